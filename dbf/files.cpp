#include "dbf/codec.h"
#include "dbf/table.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dbf {

std::string findFile(const std::string& dir, const std::string& name) {
    std::string base = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    struct stat st {};
    if (::stat((base + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return base + name;
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* e = ::readdir(d)) {
        if (codec::sameName(e->d_name, name)) {
            std::string p = base + e->d_name;
            if (::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                found = p;
                break;
            }
        }
    }
    ::closedir(d);
    return found;
}

namespace {

void removeAll(const std::string& dir, const std::string& name) {
    // every spelling of the name, not only the first one found
    for (;;) {
        std::string p = findFile(dir, name);
        if (p.empty()) return;
        if (::unlink(p.c_str()) != 0)
            throw Error("Не удалось удалить файл " + p + ": " + std::strerror(errno));
    }
}

} // namespace

void deleteTable(const std::string& dir, const std::string& name) {
    removeAll(dir, codec::withExtension(name, ".dbf"));
    removeAll(dir, codec::withExtension(name, ".MDX"));
}

bool tableExists(const std::string& dir, const std::string& name) {
    return !findFile(dir, codec::withExtension(name, ".dbf")).empty();
}

} // namespace dbf
