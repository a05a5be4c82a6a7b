// An all-objects run with several lanes against the simulator: one lane is the one-at-a-time run line for
// line, eight lanes store the same rows on a mixed set of links, never open one port twice, and stop on the
// stop flag.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/poll_fixture.h"
#include "tests/sim_process.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <set>
#include <unistd.h>

using namespace polling;
using namespace mervo::test::poll;
using mervo::test::SimProcess;

namespace {

namespace fs = std::filesystem;

// A free name that fits the 10 characters of COMPORT: "/tmp/l" and four characters.
std::string shortFreePath() {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<unsigned> seed{unsigned(::getpid()) * 7919u};
    for (;;) {
        std::string p = "/tmp/l";
        for (unsigned k = 0, v = seed++; k < 4; ++k, v /= 36)
            p += chars[v % 36];
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(p, ec))) return p;
    }
}

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// The simulators and objects of a mixed set: two UDP nodes, a TCP node, two serial lines with two objects
// each (the second object of line A names the line through a symbolic link, and its device is not on the
// line), a modem line and a disabled object.
struct MixedSet {
    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> links;           // symbolic links made for the set
    std::vector<std::string> devices;         // the pseudo-terminals' devices
    std::map<std::string, std::string> names; // link texts as they show in lines -> a fixed placeholder
    std::vector<std::string> addresses;       // of the objects, in MAINDB order

    explicit MixedSet(Fixture& f) {
        f.settings.repeat = 2;
        for (int* bits :
             {&f.settings.par1_225, &f.settings.par1_228, &f.settings.par1_234, &f.settings.par1_128})
            *bits |= devdata::kBitNoDtrCheck;
        auto sim = [&](int type, int serial, std::vector<std::string> link) -> SimProcess& {
            std::vector<std::string> args = {
                "--type",  std::to_string(type), "--serial", std::to_string(serial), "--filled",
                "daily=4", "--filled",           "hourly=6"};
            args.insert(args.end(), link.begin(), link.end());
            sims.push_back(std::make_unique<SimProcess>(args));
            return *sims.back();
        };
        SimProcess& udp1 = sim(236, 530, {"--udp", "0"});
        SimProcess& udp2 = sim(128, 112, {"--udp", "0"});
        SimProcess& tcp = sim(231, 2048, {"--tcp", "0"});
        SimProcess& lineA = sim(225, 311, {"--pty", shortFreePath()});
        SimProcess& lineB = sim(229, 1207, {"--pty", shortFreePath()});
        SimProcess& modem =
            sim(234, 4410, {"--pty", shortFreePath(), "--modem", "--guard", "0", "--csq", "20"});
        const std::string aliasA = shortFreePath();
        fs::create_symlink(lineA.ptyPath(), aliasA);
        links.push_back(aliasA);
        for (SimProcess* s : {&lineA, &lineB, &modem})
            devices.push_back(resolved(s->ptyPath()));
        names = {
            {lineA.ptyPath(), "<A>"}, {aliasA, "<A2>"}, {lineB.ptyPath(), "<B>"}, {modem.ptyPath(), "<M>"}};
        for (SimProcess* s : {&udp1, &udp2, &tcp})
            names[std::to_string(s->port())] = "<port>";

        auto net = [&](int type, int serial, int netType, int port, const char* address) {
            addresses.push_back(address);
            f.add({type, serial, netType, "", "", "127.0.0.1", port, true, address});
        };
        auto line = [&](int type, int serial, int netType, const std::string& path, const char* address) {
            addresses.push_back(address);
            f.add({type, serial, netType, path, "89161234567", "", 0, true, address});
        };
        line(225, 311, 0, lineA.ptyPath(), "ул. Ленина, 5");
        net(236, 530, 2, udp1.port(), "ул. Мира, 1");
        line(229, 1207, 0, lineB.ptyPath(), "пр. Победы, 12");
        line(225, 312, 0, aliasA, "ул. Ленина, 7");
        net(231, 2048, 3, tcp.port(), "ул. Садовая, 3");
        line(234, 4410, 1, modem.ptyPath(), "пер. Тихий, 2");
        line(229, 1207, 0, lineB.ptyPath(), "пр. Победы, 12а");
        net(128, 112, 2, udp2.port(), "ул. Школьная, 9");
        net(236, 531, 2, udp1.port(), "ул. Мира, 2");
        dbf::Table t;
        t.open(f.data, "MAINDB");
        t.last();
        t.edit();
        t.setBool("AUTOCON", false);
        t.post();
    }
    ~MixedSet() {
        for (const std::string& l : links)
            ::unlink(l.c_str());
    }

    // A line with the set's own ports and paths replaced, for comparing runs over two sets.
    std::string normalised(std::string line) const {
        for (const auto& [text, placeholder] : names)
            for (size_t at; (at = line.find(text)) != std::string::npos;)
                line.replace(at, text.size(), placeholder);
        return line;
    }
};

// Every table of a folder as the sorted texts of its rows (field by field); the link fields of MAINDB,
// which name the set's own ports, are left out, and so is the row number of the tables that several objects
// append to (it follows the order in which the objects got there).
std::map<std::string, std::vector<std::string>> tablesOf(const std::string& dir) {
    static const std::set<std::string> linkFields = {"COMPORT", "NETADR", "IPPORT"};
    std::map<std::string, std::vector<std::string>> tables;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".dbf") continue;
        const std::string stem = entry.path().stem().string();
        dbf::Table t;
        t.open(dir, stem, dbf::Table::OpenMode::ReadOnly);
        std::vector<std::string>& rows = tables[name];
        for (t.first(); !t.eof(); t.next()) {
            std::string row;
            for (const dbf::FieldDef& fd : t.fields()) {
                if (stem == "MAINDB" && linkFields.count(fd.name)) continue;
                if ((stem == "PARSDB" || stem.rfind("STATEDB", 0) == 0) && fd.name == "NUM") continue;
                row += fd.name + "=" + (t.isNull(fd.name) ? "<null>" : t.asString(fd.name)) + "|";
            }
            rows.push_back(row);
        }
        std::sort(rows.begin(), rows.end());
    }
    return tables;
}

// Descriptors of this process open on any of the given devices. (Only looked at between runs: a look at a
// descriptor holds its file for a moment, and a port closed meanwhile would stay locked for the next open.)
int openOn(const std::vector<std::string>& devices) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string t = fs::read_symlink(entry.path(), ec).string();
        if (!ec && std::find(devices.begin(), devices.end(), t) != devices.end()) ++count;
    }
    return count;
}

// The status texts 1 of a run, all of them, and a hook on them.
struct StatusLog : Recorder {
    std::vector<std::string> firsts;
    std::function<void(const std::string&)> onFirst;
    void statusText(int index, const std::string& text) override {
        Recorder::statusText(index, text);
        if (index != 1) return;
        {
            std::lock_guard<std::mutex> g(m);
            firsts.push_back(text);
        }
        if (onFirst) onFirst(text);
    }
};

struct LaneFixture : Fixture {
    StatusLog log;
    PollRun lanesRun{clock, &log};

    RunResult pollWith(const PollConfig& c) {
        EXPECT_TRUE(lanesRun.start(c));
        lanesRun.wait();
        return log.result;
    }
};

struct Outcome {
    int64_t num;
    std::string state;
    int errcode;
    bool polled;
    std::string failedStep;
    bool operator==(const Outcome&) const = default;
    friend void PrintTo(const Outcome& o, std::ostream* os) {
        *os << o.num << " " << o.state << " " << o.errcode << (o.polled ? " polled " : " skipped ")
            << o.failedStep;
    }
};

std::vector<Outcome> outcomesOf(const RunResult& r) {
    std::vector<Outcome> v;
    for (const ObjectOutcome& o : r.objects)
        v.push_back({o.num, o.state, o.errcode, o.polled, o.failedStep});
    return v;
}

} // namespace

TEST(PollLanes, OneLaneIsTheRunWithoutTheSetting) {
    struct Run {
        std::vector<std::string> lines;
        std::map<std::string, std::vector<std::string>> tables;
        RunResult result;
    };
    auto runOnce = [](bool withSetting) {
        LaneFixture f;
        MixedSet set(f);
        PollConfig c = f.config();
        if (withSetting) {
            f.settings.lanes = 1;
            c.lanes = 1;
        }
        Run r;
        r.result = f.pollWith(c);
        for (const std::string& l : f.lanesRun.eventList())
            r.lines.push_back(set.normalised(l));
        r.tables = tablesOf(f.data);
        return r;
    };
    const Run before = runOnce(false);
    const Run one = runOnce(true);
    EXPECT_EQ(joined(one.lines), joined(before.lines));
    EXPECT_EQ(one.tables, before.tables);
    EXPECT_EQ(one.result.summary, before.result.summary);
    EXPECT_EQ(outcomesOf(one.result), outcomesOf(before.result));
    // the set's outcome as a run walks it: the second objects of line A has no device on the line
    EXPECT_EQ(before.result.toPoll, 8);
    EXPECT_EQ(before.result.polled, 8);
    EXPECT_EQ(before.result.errors, 1) << joined(before.lines);
}

TEST(PollLanes, EightLanesStoreTheRowsOfOneLane) {
    // the block of lines of every object, by its prefix
    auto blocksOf = [](const std::vector<std::string>& lines, const MixedSet& set, const PollRun& run) {
        std::map<std::string, std::vector<std::string>> blocks;
        std::string head;
        for (const std::string& l : lines) {
            if (l.rfind("*", 0) == 0) break;
            for (const std::string& a : set.addresses)
                if (l.rfind(run.eventLinePrefix(a), 0) == 0 && head.empty()) head = a;
            blocks[head].push_back(set.normalised(l));
            if (l == std::string(38, '-')) head.clear();
        }
        return blocks;
    };
    LaneFixture one;
    std::map<std::string, std::vector<std::string>> oneTables, oneBlocks;
    RunResult oneResult;
    {
        MixedSet set(one);
        oneResult = one.pollWith(one.config());
        oneTables = tablesOf(one.data);
        oneBlocks = blocksOf(one.lanesRun.eventList(), set, one.lanesRun);
    }

    LaneFixture eight;
    MixedSet set(eight);
    eight.settings.lanes = 8;
    const RunResult r = eight.pollWith(eight.config());
    EXPECT_EQ(openOn(set.devices), 0);
    // no lane found its port taken: the port layer refuses a second open of a port (and says so)
    for (const std::string& l : eight.lanesRun.eventList())
        EXPECT_EQ(l.find("Занят"), std::string::npos) << l;

    EXPECT_EQ(tablesOf(eight.data), oneTables);
    // the objects of one link or one archive followed each other: every object's lines are those of one lane
    EXPECT_EQ(blocksOf(eight.lanesRun.eventList(), set, eight.lanesRun), oneBlocks);
    EXPECT_EQ(outcomesOf(r), outcomesOf(oneResult));
    EXPECT_EQ(r.summary, oneResult.summary);
    EXPECT_EQ(std::make_tuple(r.toPoll, r.polled, r.errors, r.records),
              std::make_tuple(oneResult.toPoll, oneResult.polled, oneResult.errors, oneResult.records));
    EXPECT_FALSE(r.stopped);
    EXPECT_TRUE(r.failure.empty()) << r.failure;

    // the objects went side by side
    bool together = false;
    for (const std::string& s : eight.log.firsts)
        together = together || s.find(" объект") != std::string::npos;
    EXPECT_TRUE(together);
    EXPECT_EQ(eight.log.status[1], "Опрос завершен");
    EXPECT_EQ(eight.log.status[3], "Опрошено:   8  Осталось:   0  Ошибок:   1 ");

    // every object's lines form one block, from its prefix line to its dashes
    const std::vector<std::string> lines = eight.lanesRun.eventList();
    EXPECT_EQ(lines, eight.log.lines);
    const std::string dashes(38, '-');
    auto headOf = [&](const std::string& line) -> std::string {
        for (const std::string& a : set.addresses)
            if (line.rfind(eight.lanesRun.eventLinePrefix(a), 0) == 0)
                return eight.lanesRun.eventLinePrefix(a);
        return {};
    };
    std::set<std::string> seen;
    for (size_t i = 0; i < lines.size() && lines[i].rfind("*", 0) != 0;) {
        const std::string head = headOf(lines[i]);
        ASSERT_FALSE(head.empty()) << lines[i] << "\n" << joined(lines);
        EXPECT_TRUE(seen.insert(head).second) << "two blocks of " << head << "\n" << joined(lines);
        size_t j = i + 1;
        for (; j < lines.size() && lines[j] != dashes; ++j) {
            const std::string other = headOf(lines[j]);
            EXPECT_TRUE(other.empty() || other == head) << lines[j] << " inside the block of " << head;
        }
        ASSERT_LT(j, lines.size()) << joined(lines);
        i = j + 1;
    }
    EXPECT_EQ(seen.size(), 9u) << joined(lines);
}

TEST(PollLanes, StopFlagStopsEveryLane) {
    LaneFixture f;
    MixedSet set(f);
    f.settings.lanes = 8;
    f.log.onFirst = [&](const std::string& s) {
        if (s.rfind("3 объекта", 0) == 0 || s.rfind("4 объекта", 0) == 0) f.lanesRun.requestStop();
    };
    const RunResult r = f.pollWith(f.config());
    EXPECT_TRUE(r.stopped);
    EXPECT_LT(r.polled, r.toPoll);
    const std::vector<std::string> lines = f.lanesRun.eventList();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "  12:00:00 Опрос прерван пользователем"), 1)
        << joined(lines);
    EXPECT_EQ(f.log.status[1], "Опрос прерван");
    // every lane hung up: no port stays open, and a new run takes every line at once
    EXPECT_EQ(openOn(set.devices), 0);
    f.log.onFirst = nullptr;
    f.log.ended = false;
    const RunResult again = f.pollWith(f.config());
    EXPECT_EQ(again.polled, 8);
    EXPECT_EQ(again.errors, 1) << joined(f.lanesRun.eventList());
}
