#include "shell/startup.h"

#include "dbf/table.h"
#include "devdata/tables.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

#ifndef MERVO_VERSION
#define MERVO_VERSION "0.0.0.0"
#endif

namespace fs = std::filesystem;

namespace shell {

SingleInstance::SingleInstance(std::string dir) {
    if (dir.empty()) {
        const char* run = std::getenv("XDG_RUNTIME_DIR");
        dir = run && *run && fs::is_directory(run) ? run : fs::temp_directory_path().string();
    }
    path_ = devdata::joinPath(dir, "MERVO_PROGRAM_CHECKEXIST.lock");
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) ::close(fd_); // the lock goes with the descriptor; the file stays for the next copy
}

bool SingleInstance::acquire() {
    if (fd_ >= 0) return true;
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true; // no place for the marker: nothing to compare with, let the program run
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

std::string programVersion() {
    // the build gives "a.b.c.d" (project VERSION); print it as four numbers whatever parts it has
    int part[4] = {0, 0, 0, 0};
    std::sscanf(MERVO_VERSION, "%d.%d.%d.%d", &part[0], &part[1], &part[2], &part[3]);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", part[0], part[1], part[2], part[3]);
    return buf;
}

std::optional<std::string> checkDataDirectory(std::string dpath, const std::string& programDir,
                                              const DataDirQuestions& ask) {
    if (dpath.empty()) dpath = devdata::joinPath(programDir, "DATA");
    std::error_code ec;
    try {
        if (!fs::is_directory(dpath, ec)) {
            fs::path p = fs::absolute(dpath, ec);
            while (p.has_relative_path() && p.filename().empty())
                p = p.parent_path();
            if (fs::is_directory(p.parent_path(), ec)) {
                // the "drive" is there: one new folder with an empty objects table
                fs::create_directory(p, ec);
                dbf::Table t;
                devdata::createObjectsTable(t, dpath);
            } else {
                std::string root = devdata::missingTopFolder(dpath);
                if (!root.empty() && root.back() != '/') root += '/';
                if (!ask.driveMissing ||
                    !ask.driveMissing("Диск " + root + " отсутствует. Укажите корректный путь к базе данных"))
                    return std::nullopt;
                for (;;) {
                    std::optional<std::string> chosen =
                        ask.chooseFolder ? ask.chooseFolder(devdata::existingAncestor(dpath)) : std::nullopt;
                    if (chosen && !chosen->empty()) {
                        dpath = *chosen;
                        break;
                    }
                    if (!ask.chooseFolder) return std::nullopt;
                }
            }
        }
    } catch (const std::exception&) {
        // a folder or table that cannot be made here: the check below says the last word
    }
    if (dpath.back() != '/') dpath += '/';
    if (!dbf::tableExists(dpath, "MAINDB")) {
        dbf::Table t;
        devdata::createObjectsTable(t, dpath);
    }
    return dpath;
}

} // namespace shell
