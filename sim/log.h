// The request log: one line per request answered or refused, to standard error or a file, from every endpoint
// thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace calcsim {

class Log {
public:
    Log() = default;
    ~Log();
    // Appends to the file (created when missing); false when it cannot be opened.
    bool open(const std::string& path);
    void line(const std::string& text);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

} // namespace calcsim
