#include "poll/poll_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace polling {

std::string pollLockPath(const std::string& dataDir) {
    std::string path = dataDir;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + kPollLockFileName;
}

std::optional<LockSight> seeLock(const std::string& dataDir) {
    struct stat st {};
    if (::stat(pollLockPath(dataDir).c_str(), &st) != 0) {
        if (errno == ENOENT) return LockSight{};
        return std::nullopt;
    }
    std::ifstream locks("/proc/locks");
    if (!locks) return std::nullopt;
    // "1: FLOCK  ADVISORY  WRITE 4711 fe:00:5547802 0 EOF"; a waiter's line has "->" after the number
    LockSight sight;
    bool others = false;
    const long self = long(::getpid());
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream in(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(in >> number >> kind) || kind != "FLOCK") continue;
        if (!(in >> mode >> access >> pid >> file)) continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
        if (inode != st.st_ino || major != ::major(st.st_dev) || minor != ::minor(st.st_dev)) continue;
        sight.held = true;
        if (pid != self) others = true;
    }
    sight.byThisProcess = sight.held && !others;
    return sight;
}

bool DataFolderLock::tryLock(const std::string& dataDir) {
    if (held()) return true;
    const std::string path = pollLockPath(dataDir);
    // O_RDONLY is not enough on a folder where the file does not exist yet; the file is never written
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw PollLockError("Не удалось открыть файл блокировки " + path + ": " + std::strerror(errno));
    // flock locks belong to the open file, so two runs of one process exclude each other as well
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) return false;
        throw PollLockError("Не удалось заблокировать " + path + ": " + std::strerror(e));
    }
    fd_ = fd;
    return true;
}

void DataFolderLock::unlock() {
    if (fd_ < 0) return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

} // namespace polling
