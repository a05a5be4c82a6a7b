// Starts the calculator simulator as a peer process and learns its endpoints from its READY lines.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace mervo::test {

class SimProcess {
public:
    // args without the program name; waits until every endpoint reported ready (`endpoints` of them).
    explicit SimProcess(const std::vector<std::string>& args, int endpoints = 1) {
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            // the simulator's request log goes to the terminal only when asked for
            if (!::getenv("MERVO_SIM_LOG")) {
                int devnull = ::open("/dev/null", O_WRONLY);
                ::dup2(devnull, 2);
                ::close(devnull);
            }
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            std::string prog = CALCSIM_PATH;
            argv.push_back(prog.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(prog.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        std::string pending;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (int(ready_.size()) < endpoints) {
            pollfd p{out_, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0)
                throw std::runtime_error("calcsim not ready");
            char buf[512];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) throw std::runtime_error("calcsim ended before it was ready");
            pending.append(buf, size_t(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (line.rfind("READY ", 0) == 0) ready_.push_back(line.substr(6));
            }
        }
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // "udp 127.0.0.1:PORT", "tcp 127.0.0.1:PORT", "pty PATH -> DEVICE"
    const std::vector<std::string>& ready() const { return ready_; }
    int port(size_t i = 0) const { return std::stoi(ready_.at(i).substr(ready_.at(i).rfind(':') + 1)); }
    std::string ptyPath(size_t i = 0) const {
        const std::string& r = ready_.at(i);
        return r.substr(4, r.find(" -> ") - 4);
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::vector<std::string> ready_;
};

} // namespace mervo::test
