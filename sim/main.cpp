// calcsim: simulated heat calculators on UDP, TCP and pseudo-terminal endpoints, for tests, demonstrations,
// benchmarks and set-up checks. See kUsage in config.cpp for the command line.
#include "sim/config.h"
#include "sim/dump.h"
#include "sim/endpoint.h"
#include "sim/log.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace calcsim;

namespace {

// SIGTERM and SIGINT write a byte into this pipe; the endpoint threads and the main thread watch its read
// end, which stays readable from then on.
int stopPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopSignal = 0;

void onStopSignal(int sig) {
    stopSignal = sig;
    char b = 1;
    [[maybe_unused]] auto n = ::write(stopPipe[1], &b, 1);
}

} // namespace

int main(int argc, char** argv) {
    if (::pipe2(stopPipe, O_CLOEXEC) < 0) {
        std::perror("calcsim: pipe");
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Options options;
    try {
        options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        if (options.dump) {
            std::cout << dumpJson(options) << std::endl;
            return 0;
        }
    } catch (const UsageError& e) {
        if (*e.what()) std::cerr << "calcsim: " << e.what() << "\n";
        std::cerr << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "calcsim: " << e.what() << "\n";
        return 1;
    }

    Log log;
    if (!options.logFile.empty() && !log.open(options.logFile)) {
        std::cerr << "calcsim: cannot open the log " << options.logFile << "\n";
        return 1;
    }
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    try {
        for (const auto& e : options.endpoints)
            endpoints.push_back(std::make_unique<Endpoint>(e, log));
    } catch (const std::exception& e) {
        std::cerr << "calcsim: " << e.what() << "\n";
        return 1;
    }
    std::vector<std::thread> threads;
    for (auto& e : endpoints) {
        log.line(e->readyLine());
        std::cout << e->readyLine() << "\n";
        Endpoint* ep = e.get();
        threads.emplace_back([ep, fd = stopPipe[0]] { ep->run(fd); });
    }
    std::cout.flush();

    pollfd p{stopPipe[0], POLLIN, 0};
    while (::poll(&p, 1, -1) <= 0) {
    }
    log.line(std::string("stopping on ") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM"));
    for (auto& t : threads)
        t.join();
    endpoints.clear(); // removes the pseudo-terminal links
    return 0;
}
