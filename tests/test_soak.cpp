// Two programs on one data folder for a bounded time: mervoctl polls two simulated calculators whose archives
// grow, one poll after the other, while this process does what the windows and the report program do to
// the same tables: reads every table row by row, deletes the newest archive rows through the local SQL and
// edits the objects' addresses and groups in MAINDB. In the end the polls reported no error, no row was ever
// torn, no archive held a record twice and every edit of MAINDB is there.
//
// 60 seconds in the suite; MERVO_SOAK_SECONDS sets another length (tools/soak.sh SECONDS).
#include "dbf/table.h"
#include "devdata/tables.h"
#include "tests/mervoctl_process.h"
#include "tests/sim_process.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using mervo::test::PollFolder;
using mervo::test::Result;
using mervo::test::SimProcess;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kType = 236;
const int kSerials[] = {530, 531};

std::vector<std::string> deviceArgs(int serial) {
    return {"--type",   "236",   "--serial", std::to_string(serial), "--filled", "hourly=300", "--grow",
            "hourly=6", "--tcp", "0"};
}

int soakSeconds() {
    const char* s = std::getenv("MERVO_SOAK_SECONDS");
    const int n = s ? std::atoi(s) : 0;
    return n > 0 ? n : 60;
}

struct Counts {
    long polls = 0, tableReads = 0, rowsRead = 0, torn = 0, duplicates = 0, deletes = 0, rowsDeleted = 0,
         edits = 0, readErrors = 0;
};

// What the polls reported that they should not have: a line of the event list that tells of an error. The
// first read of a ring that is not full ends at the never-written slots after it: that line is expected.
bool errorLine(const std::string& line) {
    if (line.starts_with("Чтение архива прервано т.к. счетчик пустых записей превысил")) return false;
    for (const char* bad : {"Ошибк", "ОШИБК", "Нет связи", "Не удалось", "прервано", "Обнаружены ошибки"})
        if (line.find(bad) != std::string::npos) return true;
    return false;
}

// Reads a table whole as the report program does; counts its rows, the rows that do not hold what their
// fields allow (torn) and the records that an archive holds twice.
void readTable(const std::string& dir, const std::string& name, const std::set<int64_t>& objects, Counts& c,
               std::vector<std::string>& faults) {
    if (!dbf::tableExists(dir, name)) return;
    dbf::Table t;
    t.open(dir, name);
    ++c.tableReads;
    const bool archive = t.fieldIndex("WriteDay") >= 0;
    const bool detail = t.fieldIndex("NUMSTATE") >= 0;
    std::set<int64_t> nums, stamps;
    for (t.first(); !t.eof(); t.next()) {
        ++c.rowsRead;
        std::string why;
        for (int i = 0; i < t.fieldCount(); ++i) {
            const dbf::Value v = t.value(i); // every field reads
            if (t.fields()[size_t(i)].required && std::holds_alternative<std::monostate>(v))
                why = t.fields()[size_t(i)].name + " empty";
        }
        const int64_t num = t.asInt("NUM");
        if (num <= 0 || !nums.insert(num).second) why = "NUM " + std::to_string(num);
        if (detail && !objects.count(t.asInt("NUMSTATE"))) why = "NUMSTATE " + t.asString("NUMSTATE");
        if (archive && t.asInt("CheckField") == 0) {
            const int64_t slot = t.asInt("RecNum");
            if (t.isNull("WriteDay") || t.asDateTime("WriteDay").year() < 2000 || slot < 0 || slot >= 1440 ||
                t.isNull("HEnergy1") || !std::isfinite(t.asFloat("HEnergy1")))
                why = "record fields";
            else if (!stamps.insert(t.asDateTime("WriteDay").ms()).second) {
                ++c.duplicates;
                faults.push_back(name + ": " + t.asDateTime("WriteDay").dateText() + " " +
                                 t.asDateTime("WriteDay").timeText() + " twice");
            }
        }
        if (!why.empty()) {
            ++c.torn;
            faults.push_back(name + " row " + std::to_string(t.recNo()) + ": " + why);
        }
    }
}

} // namespace

TEST(Soak, PollsWhileAnotherProgramReadsDeletesAndEdits) {
    const int seconds = soakSeconds();
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (int serial : kSerials)
        sims.push_back(std::make_unique<SimProcess>(deviceArgs(serial)));
    PollFolder f(devdata::kBitState | devdata::kBitHourly);
    std::set<int64_t> objects;
    for (size_t k = 0; k < sims.size(); ++k) {
        Result r = mervo::test::run({"add", f.data, "ADDRES=Котельная " + std::to_string(k + 1),
                                     "SERIALNUM=" + std::to_string(kSerials[k]), "DEVTYPE=236", "NETTYPE=3",
                                     "NETADR=127.0.0.1", "IPPORT=" + std::to_string(sims[k]->port())},
                                    f.how);
        ASSERT_EQ(r.code, 0) << r.err;
        objects.insert(std::stoll(r.out));
    }

    Counts c;
    std::vector<std::string> faults;
    std::mutex faultsMutex;
    std::atomic<bool> stop{false};
    std::atomic<long> polls{0};
    // the poller: one mervoctl poll after the other
    std::thread poller([&] {
        while (!stop) {
            Result r = f.poll()->finish();
            ++polls;
            std::lock_guard<std::mutex> g(faultsMutex);
            if (r.code != 0 || r.signal != 0)
                faults.push_back("poll " + std::to_string(polls) + " ended " + std::to_string(r.code) + "/" +
                                 std::to_string(r.signal) + ": " + r.err);
            std::stringstream out(r.out);
            for (std::string l; std::getline(out, l);)
                if (errorLine(l)) faults.push_back("poll " + std::to_string(polls) + ": " + l);
        }
    });

    // the other program: reads all the time, edits MAINDB every 150 ms, deletes archive rows every 2 s
    std::map<int64_t, std::pair<std::string, std::string>> edited; // NUM: ADDRES, DESKRIPTION written last
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    auto nextEdit = Clock::now(), nextDelete = Clock::now() + std::chrono::seconds(2);
    size_t deleteTurn = 0;
    while (Clock::now() < end) {
        std::vector<std::string> found;
        try {
            readTable(f.data, "MAINDB", objects, c, found);
            readTable(f.data, devdata::stateTableName(kType), objects, c, found);
            readTable(f.data, devdata::kParamsTableName, objects, c, found);
            for (int serial : kSerials)
                readTable(f.data, devdata::archiveTableName(serial, devdata::kHourlyArchive, kType), objects,
                          c, found);
            if (Clock::now() >= nextEdit) {
                nextEdit += std::chrono::milliseconds(150);
                const int64_t num = *std::next(objects.begin(), long(c.edits % objects.size()));
                const std::string addres =
                    "Котельная " + std::to_string(num) + " правка " + std::to_string(c.edits);
                const std::string group = "Группа " + std::to_string(c.edits % 7);
                dbf::Table t;
                t.open(f.data, "MAINDB");
                if (t.locate("NUM", num)) {
                    t.edit();
                    t.setString("ADDRES", addres);
                    t.setString("DESKRIPTION", group);
                    t.post();
                    edited[num] = {addres, group};
                    ++c.edits;
                }
            }
            if (Clock::now() >= nextDelete) {
                nextDelete += std::chrono::seconds(2);
                // the newest rows of one archive, from a NUM as the report program's delete names it
                const std::string name =
                    devdata::archiveTableName(kSerials[deleteTurn++ % 2], devdata::kHourlyArchive, kType);
                int64_t from = 0;
                if (dbf::tableExists(f.data, name)) {
                    dbf::Table t;
                    t.open(f.data, name);
                    t.last();
                    for (int k = 0; k < 4 && !t.bof(); ++k)
                        t.prior();
                    if (!t.isEmpty()) from = t.asInt("NUM");
                }
                if (from > 0) {
                    dbf::Database db(f.data);
                    c.rowsDeleted +=
                        db.execSql("delete from " + name + ".dbf where NUM >='" + std::to_string(from) + "'");
                    ++c.deletes;
                }
            }
        } catch (const std::exception& e) {
            ++c.readErrors;
            found.push_back(std::string("error: ") + e.what());
        }
        {
            std::lock_guard<std::mutex> g(faultsMutex);
            faults.insert(faults.end(), found.begin(), found.end());
        }
        // as often as a window refreshes, and leaving the poll its share of a small machine
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop = true;
    poller.join();
    c.polls = polls;

    // after the last poll: every table once more, and the edits
    std::vector<std::string> last;
    readTable(f.data, "MAINDB", objects, c, last);
    for (int serial : kSerials)
        readTable(f.data, devdata::archiveTableName(serial, devdata::kHourlyArchive, kType), objects, c,
                  last);
    faults.insert(faults.end(), last.begin(), last.end());
    dbf::Table t;
    t.open(f.data, "MAINDB");
    for (const auto& [num, fields] : edited) {
        ASSERT_TRUE(t.locate("NUM", num));
        EXPECT_EQ(t.asString("ADDRES"), fields.first) << "the last edit of object " << num;
        EXPECT_EQ(t.asString("DESKRIPTION"), fields.second) << "the last edit of object " << num;
        EXPECT_EQ(t.asString("STATE"), "Норма");
    }

    std::cout << "soak " << seconds << " s: polls " << c.polls << ", tables read " << c.tableReads
              << ", rows read " << c.rowsRead << ", deletes " << c.deletes << " (" << c.rowsDeleted
              << " rows), MAINDB edits " << c.edits << "; torn rows " << c.torn << ", duplicates "
              << c.duplicates << ", read errors " << c.readErrors << std::endl;
    ::testing::Test::RecordProperty("polls", int(c.polls));
    ::testing::Test::RecordProperty("rows_read", int(c.rowsRead));
    ::testing::Test::RecordProperty("deletes", int(c.deletes));
    ::testing::Test::RecordProperty("edits", int(c.edits));
    std::string shown;
    for (size_t k = 0; k < faults.size() && k < 30; ++k)
        shown += faults[k] + "\n";
    EXPECT_TRUE(faults.empty()) << faults.size() << " faults:\n" << shown;
    EXPECT_EQ(c.torn, 0);
    EXPECT_EQ(c.duplicates, 0);
    EXPECT_GE(c.polls, 3);
    EXPECT_GE(c.edits, 3);
    EXPECT_GE(c.deletes, 1);
}
