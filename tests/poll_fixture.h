// A poll run over a data folder of the test's own, on a virtual clock, with the windows' side recorded:
// the event list, the status texts and the run's result.
#pragma once

#include "dbf/table.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/tmpdir.h"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mervo::test::poll {

using namespace polling;

const dbf::DateTime kNow = dbf::DateTime::fromParts(2026, 12, 10, 12, 0, 0);

// The windows' side of a run: the event list and the status texts.
struct Recorder : PollObserver {
    std::mutex m;
    std::vector<std::string> lines;
    std::map<int, std::string> status;
    RunResult result;
    bool ended = false;
    std::function<void(const std::string&)> onLine;

    void eventLine(const std::string& text, bool replaceLast) override {
        {
            std::lock_guard<std::mutex> g(m);
            if (replaceLast && !lines.empty())
                lines.back() = text;
            else
                lines.push_back(text);
        }
        if (onLine) onLine(text);
    }
    void statusText(int index, const std::string& text) override {
        std::lock_guard<std::mutex> g(m);
        status[index] = text;
    }
    void runEnded(const RunResult& r) override {
        result = r;
        ended = true;
    }
};

struct Object {
    int devType, serial;
    int netType;
    std::string comPort, phone, address;
    int port;
    bool autocon = true;
    std::string addres = "Объект";
};

struct Fixture {
    mervo::test::TempDir dir;
    std::string data = dir.file("DATA");
    std::string program = dir.file("prog");
    devdata::Settings settings;
    // a wait for input takes at most this much real time: generous, as a loaded machine may be slow to answer
    VirtualClock clock;
    Recorder rec;
    PollRun run{clock, &rec};

    explicit Fixture(Duration realSlice = Duration(1000)) : clock(realSlice) {
        std::filesystem::create_directories(data);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
    }

    int add(const Object& o) {
        dbf::Table t;
        t.open(data, "MAINDB");
        t.append();
        t.setInt("DEVTYPE", o.devType);
        t.setInt("SERIALNUM", o.serial);
        t.setString("ADDRES", o.addres);
        t.setInt("NETTYPE", o.netType);
        t.setString("COMPORT", o.comPort);
        t.setString("PHONE", o.phone);
        t.setString("NETADR", o.address);
        t.setInt("IPPORT", o.port);
        t.setString("STATE", "---");
        t.setInt("ERRCODE", 0);
        t.setBool("AUTOCON", o.autocon);
        t.setBool("ERR", false);
        t.post();
        return int(t.asInt("NUM"));
    }

    // The run's configuration: the fixture's folders, settings and time.
    PollConfig config() {
        PollConfig c;
        c.programDir = program;
        c.dataDir = data;
        c.tempDir = devdata::tempDirOf(data);
        c.settings = [this] { return settings; };
        c.now = [] { return kNow; };
        return c;
    }

    RunResult poll(std::optional<int> single = std::nullopt) {
        EXPECT_TRUE(run.start(config(), single));
        run.wait();
        EXPECT_TRUE(rec.ended);
        return rec.result;
    }

    std::string prefix(const std::string& addres) const { return run.eventLinePrefix(addres); }
};

inline std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v)
        s += "[" + l + "]\n";
    return s;
}

} // namespace mervo::test::poll
