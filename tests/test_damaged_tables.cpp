// Polls over a data folder whose tables were left empty by a crash or damaged: the tables the poll makes
// when they are missing are made anew (a damaged one moved aside and reported), so that collection goes on;
// the objects and parameters tables are never moved, their damage is reported.
#include "dbf/codec.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/file_bytes.h"
#include "tests/poll_fixture.h"
#include "tests/sim_process.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace polling;
using namespace mervo::test::poll;
using mervo::test::readText;
using mervo::test::SimProcess;
using mervo::test::writeText;
namespace fs = std::filesystem;

namespace {

// The files of dir whose names contain part.
std::vector<std::string> filesWith(const std::string& dir, const std::string& part) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(part) != std::string::npos)
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

int rowsOf(const std::string& dir, const std::string& name) {
    dbf::Table t;
    t.open(dir, name);
    return t.recordCount();
}

// A header that no table has: the first bytes of a text file.
const std::string kGarbage = std::string("Это не таблица, а письмо.\r\n") + std::string(600, 'x');

} // namespace

TEST(DamagedTables, TablesThePollMakesAreMadeAnewAndCollectionGoesOn) {
    struct Case {
        const char* table; // the file put in the data folder before the poll
        std::string bytes; // its contents
        bool movedAside;   // a damaged table; otherwise a 0-byte one, which counts as missing
    } cases[] = {
        {"STATEDB236", "", false},
        {"ARCHDB530H236", "", false},
        {"STATEDB236", kGarbage, true},
        {"ARCHDB530H236", kGarbage, true},
        {"ARCHDB530H236", kGarbage.substr(0, 20), true}, // cut inside its header
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.table) + (c.movedAside ? " damaged" : " empty"));
        Fixture f;
        f.settings.par1_234 = devdata::kBitState | devdata::kBitHourly;
        SimProcess sim({"--type", "236", "--serial", "530", "--filled", "hourly=40", "--udp", "0"});
        f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Котельная"});
        const std::string file = f.data + "/" + c.table + ".dbf";
        writeText(file, c.bytes);
        writeText(f.data + "/" + c.table + ".MDX", c.bytes.substr(0, c.bytes.size() / 2));

        RunResult r = f.poll();
        EXPECT_EQ(r.errors, 0) << joined(f.rec.lines);
        EXPECT_EQ(rowsOf(f.data, "STATEDB236"), 1);
        EXPECT_EQ(rowsOf(f.data, "ARCHDB530H236"), 40);
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        EXPECT_EQ(objects.asString("STATE"), "Норма");

        const auto moved = filesWith(f.data, ".damaged-");
        const std::string errorLog = readText(f.program + "/ErrorLog.log");
        if (!c.movedAside) {
            EXPECT_TRUE(moved.empty());
            EXPECT_TRUE(errorLog.empty());
            continue;
        }
        // both files moved aside whole, under the name and the date and time
        ASSERT_EQ(moved.size(), 2u) << joined(moved);
        EXPECT_EQ(moved[0].rfind(std::string(c.table) + ".MDX.damaged-", 0), 0u) << moved[0];
        EXPECT_EQ(moved[1].rfind(std::string(c.table) + ".dbf.damaged-", 0), 0u) << moved[1];
        EXPECT_EQ(readText(f.data + "/" + moved[1]), c.bytes);
        // the event list and the error log name the new place, with the engine's message
        const auto& L = f.rec.lines;
        const auto line = std::find_if(L.begin(), L.end(), [&](const std::string& l) {
            return l.find("таблица перенесена в " + f.data + "/" + moved[1]) != std::string::npos;
        });
        ASSERT_NE(line, L.end()) << joined(L);
        EXPECT_NE(line->find(file), std::string::npos) << *line;
        EXPECT_NE(errorLog.find(dbf::codec::toCp1251(f.data + "/" + moved[1])), std::string::npos);
    }
}

// MAINDB and PARSDB are never moved aside: a damaged MAINDB ends the run with the engine's message, a
// damaged PARSDB fails the parameter step with it; neither file changes.
TEST(DamagedTables, ObjectsAndParametersTablesAreReportedNotMoved) {
    {
        Fixture f;
        writeText(f.data + "/MAINDB.dbf", kGarbage);
        RunResult r = f.poll();
        EXPECT_NE(r.failure.find(f.data + "/MAINDB.dbf"), std::string::npos) << r.failure;
        EXPECT_EQ(readText(f.data + "/MAINDB.dbf"), kGarbage);
        EXPECT_TRUE(filesWith(f.data, ".damaged-").empty());
        EXPECT_NE(std::find(f.rec.lines.begin(), f.rec.lines.end(), "  12:00:00 Опрос прерван"),
                  f.rec.lines.end())
            << joined(f.rec.lines);
    }
    {
        Fixture f;
        f.settings.par1_234 = devdata::kBitState;
        SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
        f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Котельная"});
        writeText(f.data + "/PARSDB.dbf", kGarbage);
        RunResult r = f.poll();
        EXPECT_EQ(r.errors, 1);
        EXPECT_EQ(readText(f.data + "/PARSDB.dbf"), kGarbage);
        EXPECT_TRUE(filesWith(f.data, ".damaged-").empty());
        const auto& L = f.rec.lines;
        const std::string verdict = f.prefix("Котельная") + " Чтение параметров... Нет связи";
        const auto at = std::find(L.begin(), L.end(), verdict);
        ASSERT_NE(at, L.end()) << joined(L);
        EXPECT_NE((at - 1)->find(f.data + "/PARSDB.dbf"), std::string::npos) << joined(L);
    }
}
