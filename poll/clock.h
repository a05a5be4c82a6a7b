// Time and stopping for the poll engine. Every wait and pause of the engine goes through a Clock, so tests
// can run the engine on a virtual clock where a wait that nothing ends passes in an instant.
#pragma once

#include <atomic>
#include <chrono>
#include <poll.h>

namespace polling {

using Duration = std::chrono::milliseconds;
using TimePoint = std::chrono::steady_clock::time_point;

// The stop flag of a poll run. request() also wakes every wait that includes fd().
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void request();
    void clear();
    bool requested() const { return flag_.load(); }
    // Readable while a stop is requested.
    int fd() const { return fd_; }

private:
    std::atomic<bool> flag_{false};
    int fd_ = -1;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() = 0;
    // Pauses for d; returns false at once when stop is requested (stop may be null).
    virtual bool sleepFor(Duration d, const StopSignal* stop) = 0;
    // ::poll with a timeout measured on this clock; returns what ::poll returns.
    virtual int pollFds(pollfd* fds, nfds_t n, Duration timeout) = 0;
};

class SystemClock : public Clock {
public:
    TimePoint now() override;
    bool sleepFor(Duration d, const StopSignal* stop) override;
    int pollFds(pollfd* fds, nfds_t n, Duration timeout) override;
};

// Virtual time for tests: pauses take no real time, and a wait for input waits at most realSlice of real time
// (enough for a peer on this machine to answer); when nothing arrives in that slice the whole timeout is
// taken to have passed.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(Duration realSlice = Duration(150)) : slice_(realSlice) {}
    TimePoint now() override;
    bool sleepFor(Duration d, const StopSignal* stop) override;
    int pollFds(pollfd* fds, nfds_t n, Duration timeout) override;
    void advance(Duration d) { offset_ += d.count(); }
    // Virtual time spent in waits and pauses so far.
    Duration elapsed() const { return Duration(offset_.load()); }

private:
    Duration slice_;
    std::atomic<int64_t> offset_{0};
    TimePoint start_ = std::chrono::steady_clock::now();
};

SystemClock& systemClock();

} // namespace polling
