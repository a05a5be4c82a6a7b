#include "sim/log.h"

#include <chrono>
#include <ctime>

namespace calcsim {

Log::~Log() {
    if (file_) std::fclose(file_);
}

bool Log::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
}

void Log::line(const std::string& text) {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(ms));
    std::lock_guard lock(mutex_);
    std::FILE* out = file_ ? file_ : stderr;
    std::fprintf(out, "%s %s\n", stamp, text.c_str());
    std::fflush(out);
}

} // namespace calcsim
