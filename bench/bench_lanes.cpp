// Lanes against one lane on the real clock: an all-objects run over UDP calculators of which some do not
// answer (a UDP port bound here and never read), once with 1 lane and once with several, each into a data
// folder of its own. Prints both elapsed times and their ratio, and checks the two runs stored the same rows.
//
//   bench_lanes [OBJECTS [SILENT [LANES]]]     defaults 200 20 16
//
// A silent object costs its three connection attempts with their pauses (about 13 s), so the one-lane run of
// the full size takes several minutes.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/sim_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace polling;
using mervo::test::SimProcess;
namespace fs = std::filesystem;

namespace {

// A UDP port on the loopback that nobody answers.
struct SilentPort {
    int fd = -1;
    int port = 0;
    SilentPort() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~SilentPort() { ::close(fd); }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
};

struct Object {
    int type, serial, port;
};

void addObjects(const std::string& data, const std::vector<Object>& objects) {
    dbf::Table t;
    devdata::createObjectsTable(t, data);
    for (const Object& o : objects) {
        t.append();
        t.setInt("DEVTYPE", o.type);
        t.setInt("SERIALNUM", o.serial);
        t.setString("ADDRES", "Объект " + std::to_string(o.serial));
        t.setInt("NETTYPE", 2);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", o.port);
        t.setBool("AUTOCON", true);
        t.post();
    }
}

// The rows of every table of a folder, sorted; the row number of the tables several objects append to is
// left out (it follows the order the objects got there).
std::map<std::string, std::vector<std::string>> tablesOf(const std::string& dir) {
    std::map<std::string, std::vector<std::string>> tables;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".dbf") continue;
        const std::string stem = entry.path().stem().string();
        dbf::Table t;
        t.open(dir, stem, dbf::Table::OpenMode::ReadOnly);
        auto& rows = tables[stem];
        for (t.first(); !t.eof(); t.next()) {
            std::string row;
            for (const dbf::FieldDef& f : t.fields()) {
                if (stem != "MAINDB" && f.name == "NUM") continue;
                row += f.name + "=" + (t.isNull(f.name) ? "" : t.asString(f.name)) + "|";
            }
            rows.push_back(row);
        }
        std::sort(rows.begin(), rows.end());
    }
    return tables;
}

struct Outcome {
    double seconds = 0;
    RunResult result;
};

struct Keep : PollObserver {
    RunResult result;
    void runEnded(const RunResult& r) override { result = r; }
};

Outcome pollFolder(const std::string& root, const std::vector<Object>& objects, int lanes) {
    const std::string data = root + "/DATA";
    fs::create_directories(data);
    addObjects(data, objects);
    devdata::Settings s;
    s.par1_228 = s.par1_225 = s.par1_234 = devdata::kBitState;
    s.par1_128 = devdata::kBitState;
    s.repeat = 2;
    s.lanes = lanes;
    PollConfig c;
    c.programDir = root + "/prog";
    c.dataDir = data;
    c.tempDir = devdata::tempDirOf(data);
    c.settings = [s] { return s; };
    const dbf::DateTime at = dbf::DateTime::fromParts(2026, 12, 10, 12, 0, 0);
    c.now = [at] { return at; };
    Keep keep;
    PollRun run(systemClock(), &keep);
    const auto t0 = std::chrono::steady_clock::now();
    run.start(c);
    run.wait();
    Outcome o;
    o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    o.result = keep.result;
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const int total = argc > 1 ? std::atoi(argv[1]) : 200;
    const int silent = std::min(total, argc > 2 ? std::atoi(argv[2]) : 20);
    const int lanes = std::clamp(argc > 3 ? std::atoi(argv[3]) : 16, 2, 32);
    const int live = total - silent;
    const int types[] = {229, 230, 225, 234, 235, 236, 237, 128, 231};

    const std::string root =
        (fs::temp_directory_path() / ("mervo-bench-lanes-" + std::to_string(::getpid())));
    fs::remove_all(root);
    fs::create_directories(root);
    const std::string cfg = root + "/devices.json";
    {
        std::ofstream f(cfg);
        f << "{\"endpoints\": [";
        for (int i = 0; i < live; ++i)
            f << (i ? "," : "") << "{\"udp\": 0, \"type\": " << types[i % 9] << ", \"serial\": " << 1000 + i
              << "}";
        f << "]}";
    }
    std::unique_ptr<SimProcess> sim;
    if (live > 0) sim = std::make_unique<SimProcess>(std::vector<std::string>{"--config", cfg}, live);
    std::vector<std::unique_ptr<SilentPort>> dead;
    std::vector<Object> objects;
    // the silent ones spread over the set
    for (int i = 0, l = 0; i < total; ++i) {
        if (int(dead.size()) < silent && (i * silent) / total != ((i + 1) * silent) / total) {
            dead.push_back(std::make_unique<SilentPort>());
            objects.push_back({236, 5000 + i, dead.back()->port});
        } else {
            objects.push_back({types[l % 9], 1000 + l, sim->port(size_t(l))});
            ++l;
        }
    }

    const Outcome one = pollFolder(root + "/one", objects, 1);
    const Outcome many = pollFolder(root + "/many", objects, lanes);
    const bool same = tablesOf(root + "/one/DATA") == tablesOf(root + "/many/DATA");
    std::printf("objects %d, silent %d\n", total, silent);
    std::printf("1 lane:    %8.2f s  polled %d, errors %d\n", one.seconds, one.result.polled,
                one.result.errors);
    std::printf("%d lanes: %8.2f s  polled %d, errors %d\n", lanes, many.seconds, many.result.polled,
                many.result.errors);
    std::printf("ratio %.3f (aim at most 0.100)\n", many.seconds / one.seconds);
    std::printf("stored rows %s\n", same ? "equal" : "DIFFER");
    fs::remove_all(root);
    return same ? 0 : 1;
}
