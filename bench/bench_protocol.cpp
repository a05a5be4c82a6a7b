// Frame exchanges against the calculator simulator.
//
//   Exchange/pty|udp|tcp   state reads of a type-236 calculator (6-byte request, 129-byte reply), one after
//                          another, with no pacing: the software's own overhead per exchange
//   Pacing9600             one 222-byte archive record from a simulator that paces its answer at 9600 baud
//                          (10 bits a byte): "wire_ms" is the time the bytes take on such a line, "error_pct"
//                          how far the measured reply time (less the unpaced exchange time) is from it
#include "poll/protocol.h"
#include "poll/serial_port.h"
#include "tests/sim_process.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <memory>

using namespace polling;
using mervo::test::SimProcess;

namespace {

enum Kind { kPty, kUdp, kTcp };

struct Setup {
    std::string dir;
    std::unique_ptr<SimProcess> sim;
    SerialPort port;
    std::unique_ptr<Transport> link;
    StopSignal stop;
    Protocol proto{systemClock(), stop};

    Setup(Kind kind, std::vector<std::string> args) {
        dir = (std::filesystem::temp_directory_path() / ("mervo-bench-sim-" + std::to_string(::getpid())))
                  .string();
        std::filesystem::create_directories(dir);
        if (kind == kPty)
            args.insert(args.end(), {"--pty", dir + "/vc0"});
        else
            args.insert(args.end(), {kind == kUdp ? "--udp" : "--tcp", "0"});
        sim = std::make_unique<SimProcess>(args);
        if (kind == kPty) {
            port.setPort(sim->ptyPath());
            port.open();
            link = std::make_unique<SerialLink>(port.fd());
        } else if (kind == kUdp) {
            link = std::make_unique<UdpLink>("127.0.0.1", sim->port());
        } else {
            link = std::make_unique<TcpLink>("127.0.0.1", sim->port(), systemClock(), Duration(5000));
        }
        proto.setTransport(link.get());
        proto.setRow(commandRowOf(236));
    }
    ~Setup() {
        port.close();
        sim.reset();
        std::filesystem::remove_all(dir);
    }
};

void Exchange(benchmark::State& state) {
    Setup s(Kind(state.range(0)), {"--type", "236", "--serial", "530"});
    int failed = 0;
    for (auto _ : state)
        if (!s.proto.sendCommand(kState, 1, 236, 530)) ++failed;
    state.counters["exchanges/s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["failed"] = failed;
    state.SetLabel(state.range(0) == kPty ? "pty" : state.range(0) == kUdp ? "udp" : "tcp");
}
BENCHMARK(Exchange)->Arg(kPty)->Arg(kUdp)->Arg(kTcp)->Unit(benchmark::kMicrosecond)->UseRealTime();

double recordExchangeMs(Setup& s, int rounds) {
    double total = 0;
    for (int i = 0; i < rounds; ++i) {
        s.proto.prepareRequest(kArchiveRecord);
        s.proto.request()[5] = 0;
        s.proto.request()[6] = 0;
        auto t0 = std::chrono::steady_clock::now();
        if (!s.proto.sendCommand(kArchiveRecord, 1, 236, 530)) return -1;
        total += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    return total / rounds;
}

void Pacing9600(benchmark::State& state) {
    Setup fast(kPty, {"--type", "236", "--serial", "530", "--filled", "hourly=10"});
    const double overhead = recordExchangeMs(fast, 20);
    Setup paced(kPty, {"--type", "236", "--serial", "530", "--filled", "hourly=10", "--baud", "9600"});
    const double wire = 222 * 10 * 1000.0 / 9600;
    double measured = 0;
    for (auto _ : state)
        measured = recordExchangeMs(paced, 3);
    state.counters["wire_ms"] = wire;
    state.counters["reply_ms"] = measured - overhead;
    state.counters["error_pct"] = (measured - overhead - wire) / wire * 100;
}
BENCHMARK(Pacing9600)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
