// mervoctl as a process of its own, its output read through pipes while it runs, and a data folder for its
// polls with a program folder and a settings store of its own.
#pragma once

#include "devdata/catalogue.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifndef MERVOCTL_PATH
#error "MERVOCTL_PATH must name the mervoctl program"
#endif

namespace mervo::test {

struct Result {
    int code = -1;  // the exit status; -1 when the program did not exit by itself
    int signal = 0; // the signal that ended it
    std::string out;
    std::string err;
};

inline std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// How mervoctl is started: which copy of the program (its folder is the program folder that gets the poll
// logs), which settings store, which file-size limit.
struct Launch {
    std::string program = MERVOCTL_PATH;
    std::string registry; // $MERVO_REGISTRY; left as it is when empty
    rlim_t fileSizeLimit = RLIM_INFINITY;
    bool unprivileged = false; // run as the user "nobody", who may not write the test's files
    std::vector<std::pair<std::string, std::string>> env; // more environment variables of the program
};

// mervoctl as a process of its own (no shell involved), its output read through pipes while it runs.
class Ctl {
public:
    explicit Ctl(const std::vector<std::string>& args, const Launch& how = {}) {
        // Everything the child needs is made before the fork: a test that starts the program from one thread
        // while another allocates would leave the child waiting forever on a lock of the allocator.
        std::string prog = how.program;
        std::vector<std::string> argText = args;
        std::vector<char*> argv = {prog.data()};
        for (auto& a : argText)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::pair<std::string, std::string>> set = how.env;
        if (!how.registry.empty()) set.emplace_back("MERVO_REGISTRY", how.registry);
        std::vector<std::string> envText;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (std::none_of(set.begin(), set.end(), [&](const auto& v) { return v.first == name; }))
                envText.push_back(entry);
        }
        for (const auto& [name, value] : set)
            envText.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);

        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            if (how.fileSizeLimit != RLIM_INFINITY) {
                rlimit l{how.fileSizeLimit, how.fileSizeLimit};
                ::setrlimit(RLIMIT_FSIZE, &l);
            }
            if (how.unprivileged &&
                (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                ::_exit(126);
            ::execve(prog.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Ctl() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    Ctl(const Ctl&) = delete;
    Ctl& operator=(const Ctl&) = delete;

    // Reads the output until cond holds for what the program wrote so far (standard output, standard error)
    // or the time is up; returns cond.
    bool waitFor(const std::function<bool()>& cond, int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!cond()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (!pump(int(std::min<long long>(left.count(), 100)))) return cond();
        }
        return true;
    }
    // Reads what the program writes for up to ms (a caller's event loop runs between such reads); false once
    // it has closed its output, that is, it has ended.
    bool outputOpen(int ms) { return pump(ms) && (fds_[0] >= 0 || fds_[1] >= 0); }
    void signal(int sig) { ::kill(pid_, sig); }
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

    // Waits for the end of the program (killed when it has not ended in time) and gives what it left.
    Result finish(int ms = 120000) {
        waitFor([] { return false; }, ms);
        Result r;
        int status = 0;
        if (fds_[0] >= 0 || fds_[1] >= 0) {
            ADD_FAILURE() << "mervoctl did not end in time";
            ::kill(pid_, SIGKILL);
        }
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        r.out = out_;
        r.err = err_;
        return r;
    }

private:
    // One wait for output; false once both pipes are closed.
    bool pump(int ms) {
        pollfd p[2];
        int n = 0;
        for (int fd : fds_)
            if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (n == 0) return false;
        if (::poll(p, nfds_t(n), ms) <= 0) return true;
        for (int i = 0; i < n; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t got = ::read(p[i].fd, buf, sizeof buf);
            const int which = p[i].fd == fds_[0] ? 0 : 1;
            if (got > 0) {
                (which == 0 ? out_ : err_).append(buf, size_t(got));
            } else {
                ::close(fds_[which]);
                fds_[which] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    std::string out_, err_;
};

// Runs mervoctl with the arguments and collects its output.
inline Result run(const std::vector<std::string>& args, const Launch& how = {}) {
    return Ctl(args, how).finish();
}

// A data folder to poll, and a program folder of its own: mervoctl is copied there, as a poll stores its log
// under the folder of the program, and its settings store is a file of the folder. The settings enable the
// tasks of `bits` (the hourly archive alone unless told) for the family of the 236.
struct PollFolder {
    TempDir tmp;
    std::string data = tmp.file("DATA");
    std::string prog = tmp.file("prog");
    Launch how;

    explicit PollFolder(unsigned bits = devdata::kBitHourly) {
        std::filesystem::create_directories(prog);
        how.program = prog + "/mervoctl";
        std::filesystem::copy_file(MERVOCTL_PATH, how.program);
        how.registry = tmp.file("registry.ini");
        devdata::SettingsStore store(how.registry);
        devdata::Settings s = store.load();
        s.par1_234 = bits;
        s.repeat = 2;
        store.save(s);
        if (run({"init", data}).code != 0) throw std::runtime_error("mervoctl init failed");
    }
    // The 236 with serial 530 on the simulator's UDP (netType 2) or TCP (3) port.
    void addDevice(int port, int netType = 2) {
        Result r =
            run({"add", data, "ADDRES=Котельная №1", "SERIALNUM=530", "DEVTYPE=236",
                 "NETTYPE=" + std::to_string(netType), "NETADR=127.0.0.1", "IPPORT=" + std::to_string(port)});
        if (r.code != 0) throw std::runtime_error("mervoctl add failed: " + r.err);
    }
    std::unique_ptr<Ctl> poll(std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"poll", data};
        args.insert(args.end(), more.begin(), more.end());
        return std::make_unique<Ctl>(args, how);
    }
    std::string mainDb() const { return data + "/MAINDB.dbf"; }
    std::string hourly(bool temporary = false) const {
        return devdata::archiveTableName(530, devdata::kHourlyArchive, 236, temporary);
    }
};

} // namespace mervo::test
