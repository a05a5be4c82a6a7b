// What the fuzz targets share: a scratch folder of the process, whole files written from the input, the
// input cut into parts, and the failure of a property (a message on stderr, then a trap that libFuzzer
// records as a crash with its input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>

namespace fuzz {

// A folder of this process (freshDir: a folder in it, emptied on every call), in memory where the machine has
// /dev/shm (the engine syncs every table it writes to its medium, which on a disk costs more than the rest of
// a run), else under the temporary folder.
inline const std::string& scratch() {
    // never destroyed: the exit handler that removes the folder runs after the static destructors
    static const std::string* dir = [] {
        // libFuzzer may end the process without running the exit handlers: run_target.sh names a folder of
        // its own, which it removes
        const char* given = std::getenv("MERVO_FUZZ_SCRATCH");
        const bool shm = ::access("/dev/shm", W_OK | X_OK) == 0;
        const std::filesystem::path base = given && *given ? std::filesystem::path(given)
                                           : shm           ? std::filesystem::path("/dev/shm")
                                                           : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "mervo-fuzz-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) std::abort();
        auto* d = new std::string(tmpl);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch(), ec);
        });
        return d;
    }();
    return *dir;
}

inline std::string freshDir(const std::string& name) {
    const std::string d = scratch() + "/" + name;
    std::error_code ec;
    std::filesystem::remove_all(d, ec);
    std::filesystem::create_directories(d);
    return d;
}

inline void writeBytes(const std::string& path, std::string_view bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::string readBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Reads the input front to back: single bytes, little-endian numbers, parts of a given length.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(reinterpret_cast<const char*>(data)), left_(size) {}
    bool empty() const { return left_ == 0; }
    size_t left() const { return left_; }
    uint8_t byte() {
        if (!left_) return 0;
        --left_;
        return uint8_t(*p_++);
    }
    uint16_t u16() {
        const uint16_t lo = byte();
        return uint16_t(lo | (byte() << 8));
    }
    std::string_view take(size_t n) {
        if (n > left_) n = left_;
        std::string_view v(p_, n);
        p_ += n;
        left_ -= n;
        return v;
    }
    std::string_view rest() { return take(left_); }

private:
    const char* p_;
    size_t left_;
};

[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "property failed: %s\n", what.c_str());
    std::fflush(stderr);
    __builtin_trap();
}

inline void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

} // namespace fuzz
