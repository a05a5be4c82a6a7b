// A poll killed in the middle of its table writes: mervoctl polls the simulator and kills itself with SIGKILL
// at a point chosen by MERVO_CRASH_AT (before, amid and after each kind of write), then every table of the
// folder is read back whole, the next poll runs without faults, and the archives hold exactly the records of
// the device: none lost, none twice.
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "tests/archive_rows.h"
#include "tests/mervoctl_process.h"
#include "tests/sim_dump.h"
#include "tests/sim_process.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

using mervo::test::Ctl;
using mervo::test::dumpOf;
using mervo::test::PollFolder;
using mervo::test::Result;
using mervo::test::SimProcess;
namespace fs = std::filesystem;

namespace {

constexpr int kSerial = 530;
constexpr int kType = 236;

// The device: 40 daily records, and 150 hourly records with 20 more after every archive read that it saw to
// its end (a poll reads the daily archive first, then the hourly one).
const std::vector<std::string> kDevice = {"--type",   "236",      "--serial",   "530",    "--filled",
                                          "daily=40", "--filled", "hourly=150", "--grow", "hourly=20"};

// Every row of the table reads, its fields hold what their types allow, and every index orders exactly the
// rows of the table: as a reader sees it that changes nothing on disk, and as the next writer sees it.
void expectWhole(const std::string& dir, const std::string& file) {
    SCOPED_TRACE(dir + "/" + file);
    for (auto mode : {dbf::Table::OpenMode::ReadOnly, dbf::Table::OpenMode::ReadWrite}) {
        dbf::Table t;
        try {
            t.open(dir, file, mode);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "does not open: " << e.what();
            return;
        }
        std::vector<int> rows;
        std::set<int64_t> nums;
        for (t.first(); !t.eof(); t.next()) {
            rows.push_back(t.recNo());
            for (int i = 0; i < t.fieldCount(); ++i) {
                const dbf::FieldDef& f = t.fields()[size_t(i)];
                const dbf::Value v = t.value(i);
                if (f.required) {
                    EXPECT_FALSE(std::holds_alternative<std::monostate>(v)) << f.name;
                }
                if (const auto* d = std::get_if<dbf::DateTime>(&v)) {
                    EXPECT_TRUE(d->year() >= 1999 && d->year() <= 2100) << f.name << " " << d->dateText();
                }
            }
            const int64_t num = t.asInt("NUM");
            EXPECT_GT(num, 0);
            EXPECT_TRUE(nums.insert(num).second) << "NUM " << num << " twice";
            if (t.fieldIndex("CheckField") >= 0 && t.asInt("CheckField") == 0) {
                EXPECT_FALSE(t.isNull("WriteDay")) << "row " << t.recNo();
                EXPECT_GE(t.asInt("RecNum"), 0);
                EXPECT_LT(t.asInt("RecNum"), 1440);
            }
        }
        for (const dbf::IndexDef& ix : t.indexes()) {
            t.setIndexName(ix.name);
            std::vector<int> ordered;
            std::optional<dbf::Value> before;
            for (t.first(); !t.eof(); t.next()) {
                ordered.push_back(t.recNo());
                const dbf::Value v = t.value(ix.field);
                // numbers and times in their order (texts sort by the code page, not checked here)
                if (before && !std::holds_alternative<std::string>(v) && before->index() == v.index()) {
                    EXPECT_FALSE(v < *before) << "index " << ix.name << " out of order at row " << t.recNo();
                }
                before = v;
            }
            std::sort(ordered.begin(), ordered.end());
            EXPECT_EQ(ordered, rows) << "index " << ix.name << " does not hold the rows of the table";
        }
    }
}

void expectFolderWhole(const std::string& data) {
    for (const std::string& dir : {data, devdata::tempDirOf(data)}) {
        if (!fs::is_directory(dir)) continue;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (e.path().extension() == ".dbf") expectWhole(dir, name);
        }
    }
}

struct KillPoint {
    const char* at;  // MERVO_CRASH_AT of the killed poll
    int pollsBefore; // polls without a fault before it
    // archive reads that the killed poll saw to their end: 0 when it died before the end of the daily read,
    // 1 before the end of the hourly one, 2 after both
    int readsEnded;
    std::function<void(const PollFolder&)> before = {}; // done to the folder just before the killed poll
};

// The report program's "delete from": the newest 120 of the hourly archive's 170 rows, enough for the next
// open to squeeze them out.
void deleteNewest(const PollFolder& f) {
    dbf::Database db(f.data);
    const std::string name = devdata::archiveTableName(kSerial, devdata::kHourlyArchive, kType);
    EXPECT_EQ(db.execSql("delete from " + name + ".dbf where NUM >='51'"), 120);
}

// A state table that is no table at all: the poll moves it aside.
void damageStateTable(const PollFolder& f) {
    std::ofstream(devdata::tableFilePath(f.data, devdata::stateTableName(kType)),
                  std::ios::binary | std::ios::trunc)
        << std::string(700, 'x');
}

} // namespace

TEST(CrashPoints, AKilledPollLeavesWholeTablesAndTheNextOneCompletesTheArchives) {
    const KillPoint points[] = {
        // the state: its table made, its row written, then written over in the next poll
        {"create:STATEDB*:amid:1", 0, 0},
        {"post:STATEDB*:before:1", 0, 0},
        {"post:STATEDB*:amid:1", 0, 0},
        {"post:STATEDB*:after:1", 0, 0},
        {"post:STATEDB*:amid:1", 1, 0},
        {"index:STATEDB*:amid:1", 0, 0},
        // the outcome in MAINDB, and the parameters (read after the archives)
        {"post:MAINDB.dbf:before:1", 0, 0},
        {"post:MAINDB.dbf:amid:1", 1, 0},
        {"post:MAINDB.dbf:after:1", 0, 0},
        {"index:MAINDB.MDX:amid:1", 0, 2},
        {"post:PARSDB*:amid:1", 0, 2},
        // the temporary archives
        {"post:~ARCHDB530D*:after:20", 0, 0},
        {"create:~ARCHDB530H*:amid:1", 0, 1},
        {"post:~ARCHDB530H*:before:60", 0, 1},
        {"post:~ARCHDB530H*:amid:60", 0, 1},
        {"post:~ARCHDB530H*:after:60", 0, 1},
        {"post:~ARCHDB530H*:amid:10", 1, 1},
        // the main archives: made, then the blocks of the transfer (170 hourly records: three blocks)
        {"post:ARCHDB530D*:amid:1", 0, 0},
        {"create:ARCHDB530H*:amid:1", 0, 1},
        {"create:ARCHDB530H*:after:1", 0, 1},
        {"post:ARCHDB530H*:before:1", 0, 1},
        {"post:ARCHDB530H*:amid:2", 0, 1},
        {"post:ARCHDB530H*:after:2", 0, 1},
        {"post:ARCHDB530H*:after:3", 0, 1}, // the last block
        {"post:ARCHDB530H*:amid:1", 1, 1},  // the new records of a later read
        {"index:ARCHDB530D*:amid:1", 0, 0},
        {"index:ARCHDB530H*:before:1", 0, 1},
        {"index:ARCHDB530H*:amid:1", 1, 1},
        {"index:ARCHDB530H*:after:1", 0, 1},
        // the compaction of the hourly archive after the report program deleted rows
        {"pack:ARCHDB530H*:before:1", 1, 1, deleteNewest},
        {"pack:ARCHDB530H*:amid:1", 1, 1, deleteNewest},
        {"pack:ARCHDB530H*:after:1", 1, 1, deleteNewest},
        // a damaged state table moved aside
        {"aside:STATEDB*:amid:1", 1, 0, damageStateTable},
        {"aside:STATEDB*:after:1", 1, 0, damageStateTable},
    };
    for (const KillPoint& p : points)
        [&] {
            SCOPED_TRACE(p.at);
            std::vector<std::string> args = kDevice;
            // over TCP, whose hang-up takes no pause: a case takes a fraction of a second
            args.insert(args.end(), {"--tcp", "0"});
            SimProcess sim(args);
            PollFolder f(devdata::kBitState | devdata::kBitDaily | devdata::kBitHourly);
            f.addDevice(sim.port(), 3);
            for (int k = 0; k < p.pollsBefore; ++k) {
                Result r = f.poll()->finish();
                ASSERT_EQ(r.code, 0) << r.err;
            }
            if (p.before) p.before(f);

            f.how.env = {{"MERVO_CRASH_AT", p.at}};
            Result killed = f.poll()->finish();
            ASSERT_EQ(killed.signal, SIGKILL) << "the poll did not reach the point: " << killed.code << "\n"
                                              << killed.out << killed.err;
            // the poll lock went with the process
            {
                polling::DataFolderLock lock;
                EXPECT_TRUE(lock.tryLock(f.data));
            }
            expectFolderWhole(f.data);

            f.how.env.clear();
            Result next = f.poll()->finish();
            EXPECT_EQ(next.code, 0) << next.err;
            EXPECT_NE(next.out.find(" Чтение суточного архива... OK"), std::string::npos) << next.out;
            EXPECT_NE(next.out.find(" Чтение часового архива... OK"), std::string::npos) << next.out;
            EXPECT_NE(next.out.find(" Опрошен"), std::string::npos) << next.out;
            expectFolderWhole(f.data);

            // the daily archive does not grow; the hourly one as it was when the last poll read it, after the
            // daily read of that poll
            const nlohmann::json daily = dumpOf(kDevice, 0);
            mervo::test::expectArchiveIsTheDevices(
                mervo::test::storedArchive(f.data, kSerial, devdata::kDailyArchive, kType),
                daily["archives"]["daily"]["records"]);
            const nlohmann::json hourly = dumpOf(kDevice, 2 * p.pollsBefore + p.readsEnded + 1);
            mervo::test::expectArchiveIsTheDevices(
                mervo::test::storedArchive(f.data, kSerial, devdata::kHourlyArchive, kType),
                hourly["archives"]["hourly"]["records"]);
            // the state and the object's outcome of the last poll
            dbf::Table state;
            state.open(f.data, devdata::stateTableName(kType));
            EXPECT_EQ(state.recordCount(), 1);
            dbf::Table objects;
            objects.open(f.data, "MAINDB");
            EXPECT_EQ(objects.asString("STATE"), "Норма");
            EXPECT_EQ(objects.asString("ADDRES"), "Котельная №1");
        }();
}
