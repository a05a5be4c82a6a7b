#include "poll/poll_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace polling {

bool DataFolderLock::tryLock(const std::string& dataDir) {
    if (held()) return true;
    std::string path = dataDir;
    if (!path.empty() && path.back() != '/') path += '/';
    path += kPollLockFileName;
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
