// calcsim: simulated heat calculators on UDP, TCP and pseudo-terminal endpoints, for tests, demonstrations,
// benchmarks and set-up checks. See kUsage in config.cpp for the command line.
#include "sim/config.h"
#include "sim/dump.h"
#include "sim/endpoint.h"
#include "sim/log.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <thread>
#include <unistd.h>

using namespace calcsim;

int main(int argc, char** argv) {
    // SIGTERM and SIGINT are taken by sigwait on the main thread; the endpoint threads watch a pipe.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
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
    int stopPipe[2];
    if (::pipe(stopPipe) < 0) {
        std::perror("calcsim: pipe");
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

    int sig = 0;
    sigwait(&stopSignals, &sig);
    log.line(std::string("stopping on ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    char b = 1;
    if (::write(stopPipe[1], &b, 1) < 0) std::perror("calcsim: stop");
    for (auto& t : threads)
        t.join();
    endpoints.clear(); // removes the pseudo-terminal links
    return 0;
}
