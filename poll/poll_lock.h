// The poll lock of a data folder: one poll run at a time per folder, across processes. The lock is an
// exclusive flock on a file in the data folder itself, so every process that shares the folder (the main
// program, the command-line tool, a scheduled job) sees it; it vanishes with the process that held it.
#pragma once

#include <stdexcept>
#include <string>

namespace polling {

// File name of the lock inside the data folder.
inline constexpr const char* kPollLockFileName = "MERVO_POLL.lock";

struct PollLockError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class DataFolderLock {
public:
    DataFolderLock() = default;
    ~DataFolderLock() { unlock(); }
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Takes the lock of the folder without waiting: false when another run holds it. Throws PollLockError
    // when the lock file cannot be opened or created (a missing or unwritable folder).
    bool tryLock(const std::string& dataDir);
    void unlock();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

} // namespace polling
