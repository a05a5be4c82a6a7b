#include "dbf/crash_point.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fnmatch.h>
#include <unistd.h>

namespace dbf::crash::detail {

namespace {

struct Spec {
    bool on = false;
    Op op = Op::Post;
    std::string glob;
    Phase phase = Phase::Before;
    long n = 0;
};

bool parseOp(const std::string& s, Op& op) {
    static const std::pair<const char*, Op> names[] = {{"post", Op::Post},     {"delete", Op::Delete},
                                                       {"pack", Op::Pack},     {"index", Op::Index},
                                                       {"create", Op::Create}, {"aside", Op::Aside}};
    for (const auto& [name, o] : names)
        if (s == name) {
            op = o;
            return true;
        }
    return false;
}

// A malformed value arms nothing: the facility must never turn into a fault of its own.
Spec parse(const char* text) {
    Spec s;
    if (!text || !*text) return s;
    std::string v = text;
    size_t a = v.find(':'), c = v.rfind(':');
    if (a == std::string::npos || c == a) return s;
    size_t b = v.rfind(':', c - 1);
    if (b == a) return s;
    const std::string op = v.substr(0, a), phase = v.substr(b + 1, c - b - 1);
    s.glob = v.substr(a + 1, b - a - 1);
    s.n = std::strtol(v.c_str() + c + 1, nullptr, 10);
    if (!parseOp(op, s.op) || s.n < 1) return s;
    if (phase == "before")
        s.phase = Phase::Before;
    else if (phase == "amid")
        s.phase = Phase::Amid;
    else if (phase == "after")
        s.phase = Phase::After;
    else
        return s;
    s.on = true;
    return s;
}

const Spec& spec() {
    static const Spec s = parse(std::getenv("MERVO_CRASH_AT"));
    return s;
}

} // namespace

bool armed() {
    return spec().on;
}

void reached(Op op, const std::string& path, Phase phase) {
    const Spec& s = spec();
    if (op != s.op || phase != s.phase) return;
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (::fnmatch(s.glob.c_str(), name.c_str(), FNM_CASEFOLD) != 0) return;
    static std::atomic<long> seen{0};
    if (++seen == s.n) ::kill(::getpid(), SIGKILL);
}

} // namespace dbf::crash::detail
