// The poll lock of a data folder: one poll run at a time per folder, across processes. The lock is an
// exclusive flock on a file in the data folder itself, so every process that shares the folder (the main
// program, the command-line tool, a scheduled job) sees it; it vanishes with the process that held it.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace polling {

// File name of the lock inside the data folder.
inline constexpr const char* kPollLockFileName = "MERVO_POLL.lock";

struct PollLockError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Who holds the lock of a data folder, as the kernel's list of file locks tells it.
struct LockSight {
    bool held = false;          // some run holds it
    bool byThisProcess = false; // every holder is this process
};

// Whether the lock of the folder is held, seen without taking it (the flock entries of /proc/locks for the
// lock file), so that looking never refuses another program's start. A folder without a lock file is not
// polled. nullopt when the list cannot be read: then only a try-lock can tell.
std::optional<LockSight> seeLock(const std::string& dataDir);

// The path of the lock file of the folder.
std::string pollLockPath(const std::string& dataDir);

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
