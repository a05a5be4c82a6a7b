// Poll runs against the calculator simulator.
//
//   Run100Tcp           one all-objects run over 100 calculators of mixed types on TCP loopback with no
//   pacing:
//                       state, parameters and the daily archive of each; "objects/s", "exchanges" and
//                       "own_us/exchange" (this process's processor time per exchange: the suite's own code,
//                       the simulator runs in another process)
//   HourlyArchive9600   the full hourly archive (1440 records) of a type-236 calculator over a
//   pseudo-terminal
//                       whose simulator paces its answers at 9600 baud: elapsed time against the pure wire
//                       time of the answers ("over_wire_pct"); takes about six minutes
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/sim_process.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

using namespace polling;
using mervo::test::SimProcess;

namespace {

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Counter : PollObserver {
    std::atomic<long> sends{0};
    void terminalLine(const std::string& l) override {
        if (l.rfind("Send:", 0) == 0) ++sends;
    }
};

struct Bench {
    std::string dir;
    std::string data;
    Bench(const char* name) {
        dir = (std::filesystem::temp_directory_path() /
               ("mervo-bench-" + std::string(name) + "-" + std::to_string(::getpid())))
                  .string();
        std::filesystem::remove_all(dir);
        data = dir + "/DATA";
        std::filesystem::create_directories(data);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
    }
    ~Bench() { std::filesystem::remove_all(dir); }

    void add(int type, int serial, int netType, const std::string& port, int ipPort) {
        dbf::Table t;
        t.open(data, "MAINDB");
        t.append();
        t.setInt("DEVTYPE", type);
        t.setInt("SERIALNUM", serial);
        t.setString("ADDRES", "Объект " + std::to_string(serial));
        t.setInt("NETTYPE", netType);
        t.setString("COMPORT", port);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", ipPort);
        t.setBool("AUTOCON", true);
        t.post();
    }

    void run(Counter& counter, const devdata::Settings& s) {
        PollRun r(systemClock(), &counter);
        PollConfig c;
        c.programDir = dir + "/prog";
        c.dataDir = data;
        c.tempDir = devdata::tempDirOf(data);
        c.settings = [s] { return s; };
        r.start(c);
        r.wait();
    }
};

void Run100Tcp(benchmark::State& state) {
    const int types[] = {229, 230, 225, 234, 235, 236, 237, 238, 128, 231};
    for (auto _ : state) {
        state.PauseTiming();
        Bench b("run100");
        std::string cfg = b.dir + "/devices.json";
        {
            std::ofstream f(cfg);
            f << "{\"endpoints\": [";
            for (int i = 0; i < 100; ++i)
                f << (i ? "," : "") << "{\"tcp\": 0, \"type\": " << types[i % 10]
                  << ", \"serial\": " << 1000 + i << ", \"filled\": {\"daily\": 20}}";
            f << "]}";
        }
        SimProcess sim({"--config", cfg}, 100);
        for (int i = 0; i < 100; ++i)
            b.add(types[i % 10], 1000 + i, 3, "", sim.port(size_t(i)));
        devdata::Settings s;
        s.par1_228 = s.par1_225 = s.par1_234 = devdata::kBitState | devdata::kBitDaily;
        s.par1_128 = devdata::kBitState;
        Counter counter;
        state.ResumeTiming();
        const double cpu0 = cpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        b.run(counter, s);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = cpuSeconds() - cpu0;
        state.counters["objects/s"] = 100 / secs;
        state.counters["exchanges"] = double(counter.sends);
        state.counters["own_us/exchange"] = cpu * 1e6 / double(counter.sends);
    }
}
BENCHMARK(Run100Tcp)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void HourlyArchive9600(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        Bench b("hourly9600");
        const std::string line = "/tmp/mb" + std::to_string(::getpid() % 1000);
        SimProcess sim(
            {"--type", "236", "--serial", "530", "--pty", line, "--baud", "9600", "--filled", "hourly=1440"});
        b.add(236, 530, 0, line, 0);
        devdata::Settings s;
        s.par1_234 = devdata::kBitHourly | devdata::kBitNoDtrCheck;
        Counter counter;
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        b.run(counter, s);
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        // answers: identification 6, pointers 12, entry 6 and 8 answers 6 each, 1440 records of 222 bytes
        const double wire = (6 + 12 + 6 + 6 + 1440.0 * 222) * 10 / 9600;
        state.counters["wire_s"] = wire;
        state.counters["elapsed_s"] = secs;
        state.counters["over_wire_pct"] = (secs - wire) / wire * 100;
        state.counters["exchanges"] = double(counter.sends);
    }
}
BENCHMARK(HourlyArchive9600)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
