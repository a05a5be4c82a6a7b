// Archive reading against devices that misbehave as field devices do: a silent pointer request, silent and
// late slots, unfitted channels, a ring that went round since the last poll, and table writes that fail.
// Every case runs whole polls against the simulator, reads the stored archive back and compares it with the
// records the device held: no record lost, none twice, none under another slot, and the event lines and
// MAINDB say what happened.
#include "dbf/codec.h"
#include "devdata/layouts.h"
#include "devdata/readers.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/archive_rows.h"
#include "tests/file_bytes.h"
#include "tests/poll_fixture.h"
#include "tests/sim_dump.h"
#include "tests/sim_process.h"

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace polling;
using namespace mervo::test::poll;
using mervo::test::dumpOf;
using mervo::test::expectValue;
using mervo::test::recordTime;
using Stored = mervo::test::StoredRow;
using mervo::test::readText;
using mervo::test::SimProcess;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

constexpr int kSerial = 530;

// One poll of a case: the faults of the simulator it runs against (a simulator of its own unless the case
// keeps one for all its polls), a file-size limit for the poll's process, and what the poll must come to.
struct Poll {
    std::vector<std::string> faults;
    bool ok; // the hourly archive step ends "OK"
    std::vector<std::string>
        lines;              // lines the event list must hold, in this order (not necessarily adjacent)
    long rowsAfter = -1;    // rows of the main archive after the poll; -1: not checked
    long fileSizeLimit = 0; // bytes; 0: none
};

struct Case {
    const char* what;
    int type;
    std::vector<std::string> device; // the device's data, the same in every poll
    bool oneSimulator;               // one simulator for all polls (it grows between them)
    std::vector<Poll> polls;
    std::set<int> passedOver = {}; // slots stored as placeholders in the end
    // Real time a wait for an answer may take (the virtual silence time-out is 2000 ms): the late cases
    // wait the whole time-out for real, so that "late" cannot be confused with a slow machine.
    int realSliceMs = 1000;
};

struct PollOutcome {
    std::vector<std::string> lines;
    int errors = -1;
};

std::vector<std::string> deviceArgs(const Case& c) {
    std::vector<std::string> a = {"--type", std::to_string(c.type), "--serial", std::to_string(kSerial)};
    a.insert(a.end(), c.device.begin(), c.device.end());
    return a;
}

// Runs one all-objects poll; with a file-size limit, in a child process of its own (the limit holds for a
// whole process), whose stored log gives the event list.
PollOutcome runPoll(Fixture& f, long fileSizeLimit) {
    if (fileSizeLimit == 0) {
        f.rec.lines.clear();
        f.rec.ended = false;
        RunResult r = f.poll();
        return {f.rec.lines, r.errors};
    }
    const std::string out = f.dir.file("child-result");
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN); // a file that may not grow gives a write error, as a full disk does
        rlimit lim{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
        ::setrlimit(RLIMIT_FSIZE, &lim);
        f.rec.lines.clear();
        RunResult r = f.poll();
        // the result goes out under no limit's reach: a pipe would do as well, a small file is simpler
        rlimit none{RLIM_INFINITY, RLIM_INFINITY};
        ::setrlimit(RLIMIT_FSIZE, &none); // lowering the hard limit is for good: this may fail
        std::ofstream o(out, std::ios::trunc);
        o << r.errors << "\n" << r.logFile << "\n";
        o.close();
        ::_exit(o ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status)) << "the poll's process ended by signal " << WTERMSIG(status);
    std::istringstream in(readText(out));
    PollOutcome o;
    std::string logFile;
    in >> o.errors;
    std::getline(in >> std::ws, logFile);
    // the stored log, Windows-1251 with CR LF
    std::istringstream log(readText(logFile));
    for (std::string l; std::getline(log, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        o.lines.push_back(dbf::codec::fromCp1251(l));
    }
    fs::remove(logFile);
    return o;
}

// The lines hold `expected` in this order.
void expectLinesInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
    size_t at = 0;
    for (const std::string& e : expected) {
        while (at < lines.size() && lines[at].find(e) == std::string::npos)
            ++at;
        EXPECT_LT(at, lines.size()) << "no line \"" << e << "\" (in order) in\n" << joined(lines);
        ++at;
    }
}

std::vector<Stored> storedRows(const std::string& dir, int type) {
    return mervo::test::storedArchive(dir, kSerial, devdata::kHourlyArchive, type);
}

} // namespace

TEST(ArchiveFaults, EveryRecordOnceInItsPlaceAndEveryFailureReported) {
    const std::string hourlyOk = " Чтение часового архива... OK";
    const std::string hourlyFailed = " Чтение часового архива... Нет связи";
    // 236: records name their own slot; 229: they do not. A late answer comes after the next try has gone
    // out, and the answer to that try after the request for the next slot.
    const Case cases[] = {
        {"the pointer request goes unanswered",
         236,
         {"--filled", "hourly=200"},
         false,
         {{{"--silent", "--fault-commands", "0x15"},
           false,
           {"Не удалось прочитать указатели архива", hourlyFailed},
           0},
          {{}, true, {hourlyOk}, 200}}},
        {"a slot is silent in one poll",
         236,
         {"--filled", "hourly=200"},
         false,
         {{{"--silent", "--fault-commands", "3", "--fault-slots", "hourly:150"},
           false,
           {"Не удалось прочитать запись №150", hourlyFailed},
           150},
          {{}, true, {hourlyOk}, 200}}},
        {"a slot is silent in every poll",
         236,
         {"--filled", "hourly=200"},
         false,
         {{{"--silent", "--fault-commands", "3", "--fault-slots", "hourly:150"},
           false,
           {"Не удалось прочитать запись №150", hourlyFailed},
           150},
          {{"--silent", "--fault-commands", "3", "--fault-slots", "hourly:150"},
           false,
           {"Не удалось прочитать запись №150", hourlyFailed},
           150},
          {{"--silent", "--fault-commands", "3", "--fault-slots", "hourly:150"},
           true,
           {"Запись №150 пропущена: не прочитана в 3 опросах подряд", hourlyOk},
           200}},
         {150}},
        {"answers come after their time-out (records name their slot)",
         236,
         {"--filled", "hourly=200"},
         false,
         {{{"--latency", "2700", "--fault-commands", "3", "--fault-slots", "hourly:150,120"},
           true,
           {hourlyOk},
           200}},
         {},
         2000},
        {"answers come after their time-out (records do not name their slot)",
         229,
         {"--filled", "hourly=200"},
         false,
         {{{"--latency", "2700", "--fault-commands", "3", "--fault-slots", "hourly:150,120"},
           true,
           {hourlyOk},
           201}}, // and the row of the never-written slot
         {},
         2000},
        {"a channel that is not fitted reports NaN in every record",
         236,
         {"--filled", "hourly=200", "--record-value", "hourly:Volume3=nan", "--record-value",
          "hourly:CurrWeight6=inf"},
         false,
         {{{}, true, {hourlyOk}, 200}}},
        {"the ring went round past the stored records between two polls",
         236,
         {"--filled", "hourly=100", "--grow", "hourly=2000"},
         true,
         {{{}, true, {hourlyOk}, 100},
          {{},
           true,
           {"Архив прибора перезаписан по кругу после последнего опроса: читается весь архив", hourlyOk},
           1540}}},
        {"the temporary table cannot grow (a full disk)",
         236,
         {"--filled", "hourly=200"},
         false,
         {{{}, false, {"Ошибка сохранения архива", hourlyFailed}, 0, 60000}, {{}, true, {hourlyOk}, 200}}},
        {"the main archive cannot grow during the transfer",
         236,
         {"--filled", "hourly=1000", "--grow", "hourly=100"},
         true,
         {{{}, true, {hourlyOk}, 1000},
          {{}, false, {"Ошибка переноса данных в основную БД", hourlyFailed}, -1, -1},
          {{}, true, {hourlyOk}, 1200}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f{Duration(c.realSliceMs)};
        f.settings.repeat = 2;
        f.settings.par1_234 = devdata::kBitState | devdata::kBitHourly;
        f.settings.par1_228 = devdata::kBitState | devdata::kBitHourly;
        const std::vector<std::string> device = deviceArgs(c);
        const int num = f.add({c.type, kSerial, 2, "", "", "127.0.0.1", 0, true, "Котельная"});
        // the run's time is the fixture's: "  12:00:00 Котельная" and the address padded to 30 characters
        const std::string prefix = "  12:00:00 Котельная" + std::string(21, ' ') + "   - ";

        std::unique_ptr<SimProcess> shared;
        std::map<long, json> held; // every record the device held at one of the polls, by time stamp
        for (size_t k = 0; k < c.polls.size(); ++k) {
            const Poll& poll = c.polls[k];
            SCOPED_TRACE("poll " + std::to_string(k + 1));
            std::unique_ptr<SimProcess> own;
            std::vector<std::string> args = device;
            const std::vector<std::string>& faults = c.oneSimulator ? c.polls[0].faults : poll.faults;
            args.insert(args.end(), faults.begin(), faults.end());
            args.insert(args.end(), {"--udp", "0"});
            if (!c.oneSimulator || !shared)
                (c.oneSimulator ? shared : own) = std::make_unique<SimProcess>(args);
            SimProcess& sim = c.oneSimulator ? *shared : *own;
            {
                dbf::Table objects;
                objects.open(f.data, "MAINDB");
                ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
                objects.edit();
                objects.setInt("IPPORT", sim.port());
                objects.post();
            }
            const json dump = dumpOf(device, c.oneSimulator ? int(k) : 0);
            for (const auto& r : dump["archives"]["hourly"]["records"])
                held[recordTime(r).ms()] = r;

            long limit = poll.fileSizeLimit;
            if (limit < 0) {
                // the main archive may take about 30 more rows; the temporary table of 100 rows stays below
                const std::string name = devdata::archiveTableName(kSerial, devdata::kHourlyArchive, c.type);
                const long size = long(fs::file_size(fs::path(f.data) / (name + ".dbf")));
                long count = 0;
                {
                    dbf::Table t;
                    t.open(f.data, name);
                    count = t.recordCount();
                }
                ASSERT_GT(count, 500);
                const long rowLength = (size - 4000) / count; // the header is under 4000 bytes
                limit = size + 30 * rowLength;
            }
            const PollOutcome out = runPoll(f, limit);
            std::vector<std::string> expected;
            for (const std::string& l : poll.lines)
                expected.push_back(l.starts_with(" ") && l.find("...") != std::string::npos ? prefix + l : l);
            expectLinesInOrder(out.lines, expected);
            EXPECT_EQ(out.errors, poll.ok ? 0 : 1) << joined(out.lines);

            dbf::Table objects;
            objects.open(f.data, "MAINDB");
            ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
            EXPECT_EQ(objects.asString("STATE"), poll.ok ? "Норма" : "Нет связи");
            EXPECT_EQ(objects.asBool("ERR"), !poll.ok);
            if (poll.rowsAfter >= 0) {
                EXPECT_EQ(long(storedRows(f.data, c.type).size()), poll.rowsAfter);
            }
        }

        // the stored archive: the device's records oldest first, each once, each under its own slot, and the
        // slots passed over as placeholders where they stand
        const std::vector<Stored> rows = storedRows(f.data, c.type);
        std::vector<const Stored*> records;
        static const dbf::DateTime kEmptySlot = dbf::DateTime::fromParts(1999, 12, 31);
        for (const Stored& s : rows) {
            if (!s.placeholder && s.at == kEmptySlot) {
                // a new archive of a device whose records do not name their slot starts with the row of a
                // never-written slot
                EXPECT_EQ(&s, &rows.front());
                EXPECT_LT(c.type, 234);
                continue;
            }
            if (s.placeholder) {
                EXPECT_TRUE(c.passedOver.count(int(s.slot))) << "placeholder for slot " << s.slot;
                continue;
            }
            records.push_back(&s);
        }
        ASSERT_EQ(records.size(), held.size() - c.passedOver.size());
        auto want = held.begin();
        for (size_t k = 0; k < records.size(); ++k, ++want) {
            while (want != held.end() && c.passedOver.count(want->second["slot"].get<int>()))
                ++want;
            ASSERT_NE(want, held.end());
            const Stored& s = *records[k];
            const json& r = want->second;
            ASSERT_EQ(s.at, recordTime(r)) << "row " << k;
            ASSERT_EQ(s.slot, r["slot"].get<long>()) << "row " << k;
            for (const auto& [field, value] : r.items()) {
                if (field == "slot" || field == "time" || field == "hour" || field == "day" ||
                    field == "RecNum")
                    continue;
                expectValue(s.values.at(field), value, field, s.slot);
            }
        }
        for (int slot : c.passedOver) {
            const auto it =
                std::find_if(rows.begin(), rows.end(), [&](const Stored& s) { return s.slot == slot; });
            ASSERT_NE(it, rows.end());
            EXPECT_TRUE(it->placeholder);
            // between its neighbours
            ASSERT_TRUE(it != rows.begin() && it + 1 != rows.end());
            EXPECT_EQ((it - 1)->slot, slot - 1);
            EXPECT_EQ((it + 1)->slot, slot + 1);
        }
    }
}

// Two runs over one data folder at once: the second is refused while the first holds the folder, from this
// process as from another; the archive holds every record once.
TEST(ArchiveFaults, OnePollAtATimePerDataFolder) {
    Fixture f;
    f.settings.par1_234 = devdata::kBitHourly;
    SimProcess sim(
        {"--type", "236", "--serial", "530", "--filled", "hourly=300", "--latency", "20", "--udp", "0"});
    f.add({236, kSerial, 2, "", "", "127.0.0.1", sim.port(), true, "Котельная"});
    PollConfig c = f.config();
    ASSERT_TRUE(f.run.start(c));
    PollRun second(f.clock);
    EXPECT_EQ(second.start(c).outcome, StartResult::Locked);
    // another process
    const pid_t child = ::fork();
    if (child == 0) {
        DataFolderLock lock;
        ::_exit(lock.tryLock(f.data) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process took the lock";
    f.run.wait();
    EXPECT_EQ(storedRows(f.data, 236).size(), 300u);
    // free again once the run has ended
    EXPECT_TRUE(second.start(c));
    second.wait();
    EXPECT_EQ(storedRows(f.data, 236).size(), 300u);

    // a folder that cannot hold the lock file
    c.dataDir = f.dir.file("missing");
    const StartResult r = second.start(c);
    EXPECT_EQ(r.outcome, StartResult::Failed);
    EXPECT_NE(r.error.find("MERVO_POLL.lock"), std::string::npos) << r.error;
}

// A state that cannot be stored leaves the last good state as it was; the event list says why.
TEST(ArchiveFaults, StateThatCannotBeStoredKeepsTheLastGoodOne) {
    Fixture f;
    f.settings.par1_234 = devdata::kBitState;
    SimProcess first({"--type", "236", "--serial", "530", "--state", "HEnergy1=100", "--udp", "0"});
    const int num = f.add({236, kSerial, 2, "", "", "127.0.0.1", first.port(), true, "Котельная"});
    ASSERT_EQ(runPoll(f, 0).errors, 0);

    SimProcess second({"--type", "236", "--serial", "530", "--state", "HEnergy1=200", "--udp", "0"});
    {
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
        objects.edit();
        objects.setInt("IPPORT", second.port());
        objects.post();
    }
    // no file may be written beyond the header of the state table: its row cannot be rewritten, while the
    // object's row of MAINDB lies within reach
    const std::string header = readText(f.data + "/STATEDB236.dbf").substr(0, 12);
    const long headerLength = long(uint8_t(header[8])) | long(uint8_t(header[9])) << 8;
    ASSERT_GT(headerLength, long(fs::file_size(f.data + "/MAINDB.dbf")));
    const PollOutcome out = runPoll(f, headerLength);
    EXPECT_EQ(out.errors, 1);
    const std::string prefix = "  12:00:00 Котельная" + std::string(21, ' ') + "   - ";
    expectLinesInOrder(out.lines, {prefix + " Чтение состояния...", "Ошибка при сохраненнии данных состояния",
                                   prefix + " Чтение состояния... Нет связи"});
    dbf::Table state;
    state.open(f.data, "STATEDB236");
    ASSERT_EQ(state.recordCount(), 1);
    EXPECT_EQ(state.asFloat("HEnergy1"), 100.0);
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
    EXPECT_EQ(objects.asString("STATE"), "Нет связи");
}

// A device whose clock was set back writes records stamped before the ones already stored: they are read
// but not copied, so that the archive keeps one row per time stamp, in order.
TEST(ArchiveFaults, RecordsOfAClockSetBackAreNotStoredTwice) {
    Fixture f;
    f.settings.repeat = 2;
    f.settings.par1_234 = devdata::kBitHourly;
    const std::vector<std::string> before = {"--type", "236", "--serial", "530", "--filled", "hourly=200"};
    const std::vector<std::string> after = {"--type",   "236",        "--serial", "530",
                                            "--filled", "hourly=210", "--clock",  "2024-01-15 05:00"};
    std::vector<std::string> args = before;
    args.insert(args.end(), {"--udp", "0"});
    auto sim = std::make_unique<SimProcess>(args);
    const int num = f.add({236, kSerial, 2, "", "", "127.0.0.1", sim->port(), true, "Котельная"});
    ASSERT_EQ(runPoll(f, 0).errors, 0);
    ASSERT_EQ(storedRows(f.data, 236).size(), 200u);
    const dbf::DateTime newest = storedRows(f.data, 236).back().at;

    args = after;
    args.insert(args.end(), {"--udp", "0"});
    sim = std::make_unique<SimProcess>(args);
    {
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
        objects.edit();
        objects.setInt("IPPORT", sim->port());
        objects.post();
    }
    const json dump = dumpOf(after);
    size_t newer = 0;
    for (const auto& r : dump["archives"]["hourly"]["records"])
        if (r["slot"].get<int>() >= 200 && recordTime(r) > newest) ++newer;
    ASSERT_LT(newer, 10u) << "the second device's clock is not behind the first one's";
    EXPECT_EQ(runPoll(f, 0).errors, 0);
    const auto rows = storedRows(f.data, 236);
    EXPECT_EQ(rows.size(), 200 + newer);
    for (size_t k = 1; k < rows.size(); ++k)
        EXPECT_LT(rows[k - 1].at, rows[k].at) << "row " << k;
}
