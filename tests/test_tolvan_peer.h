// A scripted device on a pseudo-terminal for the configurator's tests: it records every byte the program
// writes and answers each write with the bursts its script returns. It stands in where the simulator cannot
// give the reply a test needs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace mervo::test {

class PtyPeer {
public:
    using Bytes = std::vector<uint8_t>;
    struct Burst {
        int delayMs = 0; // silence before the burst
        Bytes bytes;
    };
    // request: the bytes of one write as they arrived; n: how many writes came before it.
    using Script = std::function<std::vector<Burst>(const Bytes& request, int n)>;

    explicit PtyPeer(Script script = {}) : script_(std::move(script)) {
        int slave = -1;
        char name[128];
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        path_ = name;
        ::close(slave); // the program opens it by name
        thread_ = std::thread([this] { run(); });
    }
    ~PtyPeer() {
        stop_ = true;
        thread_.join();
        if (master_ >= 0) ::close(master_);
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& path() const { return path_; }
    Bytes received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    int requests() const { return requests_; }
    // Bytes sent to the program outside any script, e.g. left-overs of an earlier reply.
    void send(const Bytes& b) {
        if (::write(master_, b.data(), b.size()) < 0) throw std::runtime_error("pty write");
    }
    // Closes the device side: the program's next write fails.
    void hangUp() { hangUp_ = true; }

private:
    void run() {
        while (!stop_) {
            if (hangUp_ && master_ >= 0) {
                ::close(master_);
                master_ = -1;
            }
            if (master_ < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN)) {
                // nobody holds the slave side yet: the master reports a hang-up; wait for the program
                if (p.revents & POLLHUP) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
            uint8_t buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n <= 0) continue;
            Bytes request(buf, buf + n);
            {
                std::lock_guard lock(mutex_);
                received_.insert(received_.end(), request.begin(), request.end());
            }
            int index = requests_++;
            if (!script_) continue;
            for (const auto& burst : script_(request, index)) {
                if (burst.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(burst.delayMs));
                if (hangUp_ || burst.bytes.empty()) continue;
                if (::write(master_, burst.bytes.data(), burst.bytes.size()) < 0) break;
            }
        }
    }

    Script script_;
    int master_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, hangUp_{false};
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    Bytes received_;
};

} // namespace mervo::test
