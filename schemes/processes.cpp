#include "schemes/processes.h"

#include "dbf/codec.h"

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace schemes {

namespace {

std::string baseName(std::string path) {
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool matches(const std::string& file, const std::vector<std::string>& names) {
    if (file.empty()) return false;
    for (const auto& n : names)
        if (dbf::codec::sameName(file, n)) return true;
    return false;
}

} // namespace

std::vector<pid_t> processesNamed(const std::vector<std::string>& names) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) return out;
    const pid_t self = ::getpid();
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0 || pid == self) continue;
        const std::string dir = std::string("/proc/") + e->d_name;
        char buf[4096];
        ssize_t n = ::readlink((dir + "/exe").c_str(), buf, sizeof buf - 1);
        std::string exe = n > 0 ? baseName(std::string(buf, size_t(n))) : std::string();
        std::ifstream cmd(dir + "/cmdline", std::ios::binary);
        std::string argv0;
        std::getline(cmd, argv0, '\0');
        if (matches(exe, names) || matches(baseName(argv0), names)) out.push_back(pid_t(pid));
    }
    ::closedir(d);
    return out;
}

int terminateProcessesNamed(const std::vector<std::string>& names) {
    int count = 0;
    for (pid_t pid : processesNamed(names))
        if (::kill(pid, SIGTERM) == 0) ++count;
    return count;
}

} // namespace schemes
