// Start-up of the main program: the single running copy, the program version, the data-directory check.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace shell {

inline constexpr const char* kAlreadyRunningText = "Программа уже запущена";
inline constexpr const char* kApplicationTitle = "БД узлов учета тепловой энергии ";

// Holds an exclusive lock on "MERVO_PROGRAM_CHECKEXIST.lock" in $XDG_RUNTIME_DIR (else the temporary folder)
// for the life of the first copy; the lock goes with the process, however it ends.
class SingleInstance {
public:
    // dir: where the lock file lies; empty for the default.
    explicit SingleInstance(std::string dir = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    // True for the first copy; false when another running copy holds the lock.
    bool acquire();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};

// "a.b.c.d", the version set in the build.
std::string programVersion();

// What the data-directory check asks the operator.
struct DataDirQuestions {
    // The warning "Диск <root> отсутствует. Укажите корректный путь к базе данных": true for OK.
    std::function<bool(const std::string& text)> driveMissing;
    // The folder choice; nullopt when the operator cancels (asked again until a folder is confirmed).
    std::function<std::optional<std::string>(const std::string& start)> chooseFolder;
};

// The data-directory check of the start-up. Returns the data directory to use (ending with "/") after making
// sure it holds a MAINDB, or nullopt when the operator cancelled the warning of a missing drive (the program
// then ends). A folder whose parent exists is created with an empty MAINDB; a deeper missing folder counts as
// a missing drive and names its top missing folder. Throws dbf::Error when MAINDB cannot be created.
std::optional<std::string> checkDataDirectory(std::string dpath, const std::string& programDir,
                                              const DataDirQuestions& ask);

} // namespace shell
