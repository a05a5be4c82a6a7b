#include "poll/clock.h"

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace polling {

StopSignal::StopSignal() {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
}

StopSignal::~StopSignal() {
    if (fd_ >= 0) ::close(fd_);
}

void StopSignal::request() {
    flag_ = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(fd_, &one, sizeof one);
}

void StopSignal::clear() {
    flag_ = false;
    uint64_t v;
    while (::read(fd_, &v, sizeof v) > 0) {
    }
}

TimePoint SystemClock::now() {
    return std::chrono::steady_clock::now();
}

bool SystemClock::sleepFor(Duration d, const StopSignal* stop) {
    if (stop && stop->requested()) return false;
    TimePoint end = now() + d;
    for (;;) {
        auto left = std::chrono::duration_cast<Duration>(end - now());
        if (left.count() <= 0) return true;
        pollfd p{stop ? stop->fd() : -1, POLLIN, 0};
        int r = ::poll(&p, 1, int(left.count()));
        if (r > 0 || (stop && stop->requested())) return false;
    }
}

int SystemClock::pollFds(pollfd* fds, nfds_t n, Duration timeout) {
    int r;
    do {
        r = ::poll(fds, n, int(std::max<int64_t>(0, timeout.count())));
    } while (r < 0 && errno == EINTR);
    return r;
}

TimePoint VirtualClock::now() {
    return start_ + Duration(offset_.load());
}

bool VirtualClock::sleepFor(Duration d, const StopSignal* stop) {
    if (stop && stop->requested()) return false;
    offset_ += d.count();
    return true;
}

int VirtualClock::pollFds(pollfd* fds, nfds_t n, Duration timeout) {
    auto t0 = std::chrono::steady_clock::now();
    int real = int(std::min<int64_t>(std::max<int64_t>(0, timeout.count()), slice_.count()));
    int r;
    do {
        r = ::poll(fds, n, real);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        offset_ += timeout.count();
    else
        offset_ += std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - t0).count();
    return r;
}

SystemClock& systemClock() {
    static SystemClock c;
    return c;
}

} // namespace polling
