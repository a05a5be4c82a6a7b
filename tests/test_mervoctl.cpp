// mervoctl end to end: the built program is run on temporary data folders and its output, exit codes and the
// tables it leaves are checked; its polls go to the calculator simulator.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "tests/mervoctl_process.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

using mervo::test::Ctl;
using mervo::test::Launch;
using mervo::test::PollFolder;
using mervo::test::readAll;
using mervo::test::Result;
using mervo::test::run;
using mervo::test::SimProcess;
using mervo::test::TempDir;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream s(text);
    for (std::string l; std::getline(s, l);)
        out.push_back(l);
    return out;
}

// Character (not byte) offset of needle in a UTF-8 line; -1 when absent.
long charOffset(const std::string& line, const std::string& needle) {
    auto pos = line.find(needle);
    if (pos == std::string::npos) return -1;
    long n = 0;
    for (size_t i = 0; i < pos; ++i)
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++n;
    return n;
}

int objectCount(const std::string& dir) {
    dbf::Table t;
    t.open(dir, "MAINDB");
    return t.recordCount();
}

// A data folder with an empty objects table.
class MervoctlData : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(run({"init", dir()}).code, 0); }
    std::string dir() const { return tmp_.file("DATA"); }
    std::string tmpPath() const { return tmp_.path(); }
    std::string file(const std::string& name) const { return dir() + "/" + name; }

    Result add(std::vector<std::string> fields) {
        fields.insert(fields.begin(), {"add", dir()});
        return run(fields);
    }

private:
    TempDir tmp_;
};

} // namespace

TEST(Mervoctl, WrongArgumentsGiveUsageAndCode2) {
    TempDir tmp;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"init"},
        {"init", tmp.path(), "extra"},
        {"list"},
        {"dump"},
        {"create", tmp.path()},
        {"create", tmp.path(), "journal"},
        {"create", tmp.path(), "state"},
        {"create", tmp.path(), "state", "two hundred"},
        {"create", tmp.path(), "archive", "530", "X", "236"},
        {"create", tmp.path(), "archive", "530", "D"},
        {"create", tmp.path(), "archive", "0", "D", "236"},
        {"add", tmp.path()},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        Result r = run(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("usage: mervoctl"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    // none of them left a table behind
    EXPECT_TRUE(fs::is_empty(tmp.path()));
}

TEST(Mervoctl, InitCreatesTheFolderAndNeverRecreatesTheTable) {
    TempDir tmp;
    std::string dir = tmp.file("a/b/DATA");
    Result r = run({"init", dir});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(dir + "/MAINDB.dbf"), std::string::npos);
    {
        dbf::Table t;
        t.open(dir, "MAINDB");
        EXPECT_EQ(t.fieldCount(), 17);
    }
    ASSERT_EQ(
        run({"add", dir, "ADDRES=Школа №3", "SERIALNUM=1", "DEVTYPE=225", "NETTYPE=0", "COMPORT=ttyS0"}).code,
        0);

    r = run({"init", dir});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("already exists"), std::string::npos);
    EXPECT_EQ(objectCount(dir), 1);
}

TEST_F(MervoctlData, AddedObjectIsAcceptedAsTheObjectMasterAcceptsIt) {
    Result r = add({"addres=ул. Ленина, 5", "SerialNum=530", "DEVTYPE=236", "NETTYPE=0", "COMPORT=ttyUSB0",
                    "DESKRIPTION=Котельная №1", "SCHTYPE=2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "1\n");
    r = add({"ADDRES=пр. Мира 12", "SERIALNUM=0", "DEVTYPE=Vexa-1 П14х тип 230", "NETTYPE=Ethernet TCP",
             "NETADR=127.0.0.5", "IPPORT=5001", "AUTOCON=false"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "2\n");

    dbf::Table t;
    t.open(dir(), "MAINDB");
    t.setIndexFieldNames("NUM");
    t.first();
    EXPECT_EQ(t.asInt("NUM"), 1);
    EXPECT_EQ(t.asString("ADDRES"), "ул. Ленина, 5");
    EXPECT_EQ(t.asInt("SERIALNUM"), 530);
    EXPECT_EQ(t.asInt("DEVTYPE"), 236);
    EXPECT_EQ(t.asInt("NETTYPE"), 0);
    EXPECT_EQ(t.asString("COMPORT"), "ttyUSB0");
    EXPECT_EQ(t.asString("DESKRIPTION"), "Котельная №1");
    EXPECT_EQ(t.asInt("SCHTYPE"), 2);
    EXPECT_EQ(t.asString("STATE"), "---");
    EXPECT_EQ(t.asInt("ERRCODE"), 0);
    EXPECT_TRUE(t.isNull("CON_DATE"));
    EXPECT_EQ(t.asString("CON_TIME"), "");
    EXPECT_FALSE(t.asBool("ERR"));
    EXPECT_TRUE(t.asBool("AUTOCON"));

    t.next();
    EXPECT_EQ(t.asInt("DEVTYPE"), 230); // the master's text-to-code rule
    EXPECT_EQ(t.asInt("NETTYPE"), 3);
    EXPECT_EQ(t.asString("NETADR"), "127.0.0.5");
    EXPECT_EQ(t.asInt("IPPORT"), 5001);
    EXPECT_FALSE(t.asBool("AUTOCON"));
    EXPECT_EQ(t.asString("STATE"), "---");
    EXPECT_FALSE(t.asBool("ERR"));
}

TEST_F(MervoctlData, RefusedObjectsAreNotStored) {
    struct Case {
        std::vector<std::string> fields;
        int code;
        const char* message;
    };
    const std::vector<std::string> ok = {"ADDRES=Узел 1", "SERIALNUM=5", "DEVTYPE=229"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> f = ok;
        f.insert(f.end(), more.begin(), more.end());
        return f;
    };
    const Case cases[] = {
        {with({"NETTYPE=0", "COLOUR=red"}), 2, "unknown field COLOUR"},
        {with({"NETTYPE=0", "COMPORT"}), 2, "FIELD=VALUE"},
        {with({"NETTYPE=0", "COMPORT=ttyS0", "STATE=Норма"}), 2, "STATE"},
        {with({"NETTYPE=0", "COMPORT=ttyS0", "NUM=9"}), 2, "NUM"},
        {with({"NETTYPE=7", "COMPORT=ttyS0"}), 2, "NETTYPE"},
        {with({"NETTYPE=0", "COMPORT=ttyS0", "AUTOCON=maybe"}), 2, "AUTOCON"},
        {with({"NETTYPE=0", "COMPORT=ttyS0", "IPPORT=50x"}), 2, "IPPORT"},
        {with({"NETTYPE=0", "COMPORT=ttyS0", "ADDRES=again"}), 2, "twice"},
        {with({"NETTYPE=0", "COMPORT=/dev/pts/very/long"}), 2, "COMPORT"},
        {{"ADDRES=Узел 1", "DEVTYPE=229", "NETTYPE=0", "COMPORT=ttyS0"}, 1, "Заполните все поля"},
        {with({"NETTYPE=0"}), 1, "COMPORT"},
        {with({"NETTYPE=1", "COMPORT=ttyS0"}), 1, "PHONE"},
        {with({"NETTYPE=2", "NETADR=host"}), 1, "IPPORT"},
        {with({"NETTYPE=3", "IPPORT=5001"}), 1, "NETADR"},
        {with({"NETTYPE=Ethernet TCP", "NETADR=", "IPPORT=5001"}), 1, "NETADR"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.back());
        Result r = add(c.fields);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(objectCount(dir()), 0);

    Result r = run({"add", file("nowhere"), "ADDRES=x"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("MAINDB"), std::string::npos);
}

TEST_F(MervoctlData, ListShowsAlignedObjectsInNumberOrder) {
    ASSERT_EQ(add({"ADDRES=Школа №3", "SERIALNUM=530", "DEVTYPE=236", "NETTYPE=1", "COMPORT=ttyUSB0",
                   "PHONE=89161234567", "DESKRIPTION=Школы"})
                  .code,
              0);
    ASSERT_EQ(
        add({"ADDRES=Baths", "SERIALNUM=7", "DEVTYPE=228", "NETTYPE=2", "NETADR=10.1.1.1", "IPPORT=5001"})
            .code,
        0);
    Result r = run({"list", dir()});
    ASSERT_EQ(r.code, 0) << r.err;
    auto ls = lines(r.out);
    ASSERT_EQ(ls.size(), 4u) << r.out;
    const std::string& header = ls[0];
    EXPECT_EQ(header.rfind("NUM", 0), 0u);
    for (const char* col : {"DEVTYPE", "SERIALNUM", "ADDRES", "NETTYPE", "STATE", "DESKRIPTION"})
        EXPECT_NE(header.find(col), std::string::npos) << col;

    EXPECT_NE(ls[1].find("236 Vexa-1 П14х М тип 236"), std::string::npos) << ls[1];
    EXPECT_NE(ls[1].find("Модем"), std::string::npos);
    EXPECT_NE(ls[1].find("89161234567"), std::string::npos);
    EXPECT_NE(ls[1].find("---"), std::string::npos);
    EXPECT_NE(ls[1].find("Школы"), std::string::npos);
    EXPECT_NE(ls[2].find("228"), std::string::npos);
    EXPECT_NE(ls[2].find("Ethernet UDP"), std::string::npos);
    EXPECT_NE(ls[2].find("10.1.1.1:5001"), std::string::npos);
    EXPECT_EQ(ls[3], "(2 objects)");

    // columns line up by characters, also after Cyrillic text in earlier columns
    EXPECT_EQ(charOffset(ls[1], "Школа №3"), charOffset(header, "ADDRES"));
    EXPECT_EQ(charOffset(ls[2], "Baths"), charOffset(header, "ADDRES"));
    EXPECT_EQ(charOffset(ls[1], "Модем"), charOffset(header, "NETTYPE"));
    EXPECT_EQ(charOffset(ls[2], "Ethernet UDP"), charOffset(header, "NETTYPE"));
    EXPECT_EQ(charOffset(ls[1], "Школы"), charOffset(header, "DESKRIPTION"));
}

TEST_F(MervoctlData, ListOfAnEmptyTableAndOfAMissingOne) {
    Result r = run({"list", dir()});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(lines(r.out).back(), "(0 objects)");
    r = run({"list", file("nowhere")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no MAINDB"), std::string::npos);
}

TEST_F(MervoctlData, DumpPrintsCsvWithQuotingAndEmptyNulls) {
    ASSERT_EQ(add({"ADDRES=ул. \"Южная\", 7", "SERIALNUM=530", "DEVTYPE=236", "NETTYPE=0", "COMPORT=ttyUSB0",
                   "DESKRIPTION=Котельная"})
                  .code,
              0);
    ASSERT_EQ(add({"ADDRES=Баня", "SERIALNUM=0", "DEVTYPE=231", "NETTYPE=3", "NETADR=h", "IPPORT=5001",
                   "AUTOCON=нет"})
                  .code,
              0);
    Result r = run({"dump", file("MAINDB.dbf")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "NUM,DEVTYPE,SERIALNUM,ADDRES,NETTYPE,COMPORT,PHONE,NETADR,IPPORT,SCHTYPE,STATE,ERRCODE,"
                     "CON_DATE,CON_TIME,AUTOCON,ERR,DESKRIPTION\n"
                     "1,236,530,\"ул. \"\"Южная\"\", 7\",0,ttyUSB0,,,,,---,0,,,true,false,Котельная\n"
                     "2,231,0,Баня,3,,,h,5001,,---,0,,,false,false,\n");

    // the file name in another letter case
    EXPECT_EQ(run({"dump", file("maindb.DBF")}).out, r.out);
}

TEST_F(MervoctlData, DumpShowsFloatsDatesAndSkipsDeletedRows) {
    ASSERT_EQ(run({"create", dir(), "archive", "530", "D", "225"}).code, 0);
    {
        dbf::Table t;
        t.open(dir(), "ARCHDB530D225");
        for (int i = 0; i < 3; ++i) {
            t.append();
            t.setInt("NUMSTATE", 4);
            t.setFloat("HEnergy1", 12.35 + i);
            t.setDateTime("WriteDay", dbf::DateTime::fromParts(2024, 3, 1 + i, 5));
            t.setInt("RecNum", i);
            t.post();
        }
        t.first();
        t.next();
        t.remove();
    }
    Result r = run({"dump", file("ARCHDB530D225.dbf")});
    ASSERT_EQ(r.code, 0) << r.err;
    auto ls = lines(r.out);
    ASSERT_EQ(ls.size(), 3u) << r.out;
    EXPECT_EQ(ls[0],
              "NUM,NUMSTATE,WorkTime,WorkTimeErr1,HEnergy1,Volume1,Volume2,Volume3,ErrHVolume,ElEnergy1,"
              "ElEnergy2,MainTemper1,MainTemper2,AddTemper1,SysErr1,ErrTime,WriteHour,WriteDay,CheckField,"
              "RecNum");
    EXPECT_EQ(ls[1], "1,4,,,12.35,,,,,,,,,,,,,01.03.2024 05:00:00,,0");
    EXPECT_EQ(ls[2], "3,4,,,14.35,,,,,,,,,,,,,03.03.2024 05:00:00,,2");

    r = run({"dump", file("ARCHDB1D225.dbf")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.empty());
}

TEST_F(MervoctlData, CreateMakesEmptyTablesOfTheRightLayout) {
    const std::tuple<std::vector<std::string>, const char*, int> cases[] = {
        {{"state", "231"}, "STATEDB231", 9},
        {{"state", "236"}, "STATEDB236", 35},
        {{"params"}, "PARSDB", 23},
        {{"archive", "530", "D", "236"}, "ARCHDB530D236", 68},
        {{"archive", "17", "h", "229"}, "ARCHDB17H229", 53},
        {{"archive", "9", "M", "238"}, "ARCHDB9M238", 20},
    };
    for (const auto& [args, name, fields] : cases) {
        SCOPED_TRACE(name);
        std::vector<std::string> full = {"create", dir()};
        full.insert(full.end(), args.begin(), args.end());
        Result r = run(full);
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_NE(r.out.find(file(std::string(name) + ".dbf")), std::string::npos) << r.out;
        dbf::Table t;
        t.open(dir(), name);
        EXPECT_EQ(t.fieldCount(), fields);
        EXPECT_EQ(t.recordCount(), 0);
        EXPECT_TRUE(fs::exists(file(std::string(name) + ".MDX")));
    }
}

TEST_F(MervoctlData, CreateFailures) {
    Result r = run({"create", dir(), "archive", "530", "D", "128"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("128"), std::string::npos);
    r = run({"create", dir(), "archive", "530", "D", "231"});
    EXPECT_EQ(r.code, 1);
    r = run({"create", dir(), "state", "0"});
    EXPECT_EQ(r.code, 1);
    r = run({"create", file("missing"), "archive", "530", "D", "236"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("ОШИБКА СОЗДАНИЯ " + file("missing") + "/ARCHDB530D236.dbf"), std::string::npos)
        << r.err;
    r = run({"create", file("missing"), "params"});
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(r.err.empty());
    // only the objects table made by init is there
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir()))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"MAINDB.MDX", "MAINDB.dbf"}));
}

namespace {

// The stored log named on standard error ("log: PATH"); empty when there is none.
std::string logPath(const std::string& err) {
    for (const std::string& l : lines(err))
        if (l.rfind("log: ", 0) == 0) return l.substr(5);
    return {};
}

// The record count in the header of a table file, read without opening the table (which would share the
// writer's locks): bytes 4 to 7, little-endian; -1 when the file is not there yet.
long headerRecordCount(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    unsigned char h[8];
    if (!f.read(reinterpret_cast<char*>(h), sizeof h)) return -1;
    return long(h[4]) | long(h[5]) << 8 | long(h[6]) << 16 | long(h[7]) << 24;
}

// What the table engine says when it opens the damaged table.
std::string engineError(const std::string& dir) {
    try {
        dbf::Table t;
        t.open(dir, "MAINDB");
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(the table opened)";
}

} // namespace

TEST(MervoctlPoll, ExitStatusAndReasonOfARun) {
    struct Case {
        const char* what;
        std::function<void(PollFolder&)> prepare;
        std::vector<std::string> more; // after "poll DIR"
        int code;
        // the text expected on standard error
        std::function<std::string(const PollFolder&)> reason;
    };
    auto garbage = [](PollFolder& f) {
        std::ofstream(f.mainDb(), std::ios::binary | std::ios::trunc) << std::string(600, 'x');
    };
    auto cut = [](PollFolder& f) { fs::resize_file(f.mainDb(), 20); };
    auto engine = [](const PollFolder& f) { return engineError(f.data); };
    const Case cases[] = {
        {"garbage header", garbage, {}, 1, engine},
        {"garbage header, one object", garbage, {"--object", "1"}, 1, engine},
        {"file cut inside its header", cut, {}, 1, engine},
        {"file cut inside its header, one object", cut, {"--object", "1"}, 1, engine},
        {"missing data folder",
         [](PollFolder& f) { fs::remove_all(f.data); },
         {},
         1,
         [](const PollFolder& f) { return "no MAINDB in " + f.data; }},
        {"program folder where the log folder cannot be made",
         [](PollFolder& f) { std::ofstream(f.prog + "/Log") << "a file, not a folder"; },
         {},
         1,
         [](const PollFolder& f) { return "Не удалось сохранить журнал опроса " + f.prog + "/Log/Store"; }},
        {"file-size limit smaller than the log",
         [](PollFolder& f) { f.how.fileSizeLimit = 64; },
         {},
         1,
         [](const PollFolder& f) { return "Не удалось сохранить журнал опроса " + f.prog + "/Log/Store"; }},
        {"an empty objects table",
         [](PollFolder&) {},
         {},
         0,
         [](const PollFolder& f) { return "log: " + f.prog + "/Log/Store"; }},
        // the run went through, the object did not: the status stays 0 and the count is told
        {"an object whose device does not answer",
         [](PollFolder& f) { f.addDevice(9); },
         {},
         0,
         [](const PollFolder&) { return "mervoctl: objects with errors: 1"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PollFolder f;
        c.prepare(f);
        Result r = f.poll(c.more)->finish();
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.code, c.code) << r.err;
        const std::string reason = c.reason(f);
        EXPECT_NE(r.err.find(reason), std::string::npos) << "expected: " << reason << "\nstderr: " << r.err;
    }
}

TEST(MervoctlPoll, AFolderAnotherRunHoldsIsRefusedWithStatus3AndLeftAsItIs) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=20"});
    PollFolder f;
    f.addDevice(sim.port());
    const std::string before = readAll(f.mainDb());
    polling::DataFolderLock other;
    ASSERT_TRUE(other.tryLock(f.data));
    for (const std::vector<std::string>& more : {std::vector<std::string>{}, {"--object", "1"}}) {
        Result r = f.poll(more)->finish();
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_EQ(r.err, "mervoctl: Опрос уже запущен: " + f.data + "\n");
        EXPECT_EQ(r.out, "");
    }
    // no table, row, log or temporary folder from the refused runs
    EXPECT_EQ(readAll(f.mainDb()), before);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(f.data))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"MAINDB.MDX", "MAINDB.dbf", polling::kPollLockFileName}));
    EXPECT_FALSE(fs::exists(f.prog + "/Log"));

    // once the other run is over the folder is polled
    other.unlock();
    Result r = f.poll()->finish();
    EXPECT_EQ(r.code, 0) << r.err;
    dbf::Table archive;
    archive.open(f.data, f.hourly());
    EXPECT_GE(archive.recordCount(), 20);
}

TEST(MervoctlPoll, ASignalDuringTheArchiveReadStopsTheRunAsTheStopButtonDoes) {
    const std::pair<int, int> cases[] = {{SIGTERM, 143}, {SIGINT, 130}};
    for (const auto& [sig, code] : cases) {
        SCOPED_TRACE(strsignal(sig));
        SimProcess sim(
            {"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=1400", "--latency", "20"});
        PollFolder f;
        f.addDevice(sim.port());
        auto ctl = f.poll();
        // the link is tested and the hourly read has begun: its first records are in the temporary table
        const std::string temp = devdata::tableFilePath(devdata::tempDirOf(f.data), f.hourly(true));
        ASSERT_TRUE(ctl->waitFor(
            [&] {
                return ctl->out().find("Соединение... OK") != std::string::npos &&
                       headerRecordCount(temp) >= 3;
            },
            60000))
            << ctl->out() << ctl->err();
        ctl->signal(sig);
        Result r = ctl->finish();
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.code, code) << r.err;
        EXPECT_NE(r.out.find(" Опрос прерван пользователем"), std::string::npos) << r.out;

        const std::string log = logPath(r.err);
        ASSERT_FALSE(log.empty()) << r.err;
        EXPECT_EQ(log.rfind(f.prog + "/Log/Store", 0), 0u) << log;
        const std::string text = readAll(log);
        EXPECT_NE(text.find(dbf::codec::toCp1251(" Опрос прерван пользователем\r\n")), std::string::npos);
        EXPECT_NE(text.find(dbf::codec::toCp1251(" Чтение часового архива...")), std::string::npos);
        EXPECT_NE(text.find(dbf::codec::toCp1251(" Отключение... OK")), std::string::npos);

        // the stopped read transfers nothing to the main archive
        if (dbf::tableExists(f.data, f.hourly())) {
            dbf::Table archive;
            archive.open(f.data, f.hourly());
            EXPECT_EQ(archive.recordCount(), 0);
        }
        // and the folder is free for the next run
        polling::DataFolderLock next;
        EXPECT_TRUE(next.tryLock(f.data));
    }
}

TEST(MervoctlPoll, TwoPollsOfOneFolderStartedTogetherRunOnce) {
    SimProcess sim(
        {"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=150", "--latency", "5"});
    PollFolder f;
    f.addDevice(sim.port());
    auto first = f.poll();
    auto second = f.poll();
    Result a = first->finish(), b = second->finish();
    std::multiset<int> codes = {a.code, b.code};
    ASSERT_EQ(codes, (std::multiset<int>{0, 3})) << a.err << b.err;
    const Result& refused = a.code == 3 ? a : b;
    const Result& polled = a.code == 3 ? b : a;
    EXPECT_EQ(refused.err, "mervoctl: Опрос уже запущен: " + f.data + "\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(polled.out.find(" Опрос завершен"), std::string::npos) << polled.out;

    // every record of the device once (the device's empty slot, dated 31.12.1999, shares a slot number)
    dbf::Table archive;
    archive.open(f.data, f.hourly());
    std::set<int64_t> recNums;
    std::set<std::string> days;
    int rows = 0, records = 0;
    for (archive.first(); !archive.eof(); archive.next()) {
        ++rows;
        const std::string day = archive.asString("WriteDay");
        days.insert(day);
        if (day.rfind("31.12.1999", 0) == 0) continue;
        ++records;
        recNums.insert(archive.asInt("RecNum"));
    }
    EXPECT_EQ(records, 150);
    EXPECT_EQ(int(recNums.size()), records);
    EXPECT_EQ(int(days.size()), rows);
}

// The reading commands write nothing: on a folder their user may not write, and as root on a table whose
// index is lost or out of step and whose last row a killed writer left incomplete, every byte stays as it
// was.
TEST_F(MervoctlData, ReadingCommandsChangeNoByte) {
    for (int i = 0; i < 3; ++i) {
        Result r = add({"ADDRES=Дом " + std::to_string(i), "SERIALNUM=" + std::to_string(530 + i),
                        "DEVTYPE=236", "NETTYPE=3", "NETADR=h", "IPPORT=5001"});
        ASSERT_EQ(r.code, 0) << r.err;
    }
    const std::string table = file("MAINDB.dbf"), index = file("MAINDB.MDX");
    const std::string whole = readAll(table), wholeIndex = readAll(index);
    const size_t header = size_t(uint8_t(whole[8])) | size_t(uint8_t(whole[9])) << 8;
    const size_t row = size_t(uint8_t(whole[10])) | size_t(uint8_t(whole[11])) << 8;
    // the folder and its files readable by everyone, writable by root only
    for (const std::string& p : {tmpPath(), dir()})
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    auto files = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(dir()))
            names.insert(e.path().filename().string());
        return names;
    };
    for (const bool lostIndex : {true, false}) {
        SCOPED_TRACE(lostIndex ? "index lost" : "index out of step");
        // half a row after the last one, where a killed writer leaves it
        std::string bytes = whole;
        bytes.insert(bytes.size() - 1, whole.substr(header, row / 2));
        if (lostIndex) {
            fs::remove(index);
        } else {
            // a serial number changed behind the index's back
            std::ofstream(index, std::ios::binary | std::ios::trunc) << wholeIndex;
            const size_t serialAt = bytes.find("\x80\0\x2\x12", header);
            ASSERT_NE(serialAt, std::string::npos);
            bytes[serialAt + 3] = char(0x77);
        }
        std::ofstream(table, std::ios::binary | std::ios::trunc) << bytes;
        const std::string tableBefore = readAll(table), indexBefore = readAll(index);
        const std::set<std::string> before = files();
        for (bool unprivileged : {true, false}) {
            SCOPED_TRACE(unprivileged ? "as nobody" : "as root");
            Launch how;
            how.unprivileged = unprivileged;
            Result dump = run({"dump", table}, how);
            EXPECT_EQ(dump.code, 0) << dump.err;
            EXPECT_EQ(lines(dump.out).size(), 4u) << dump.out; // the field names and the three whole rows
            Result list = run({"list", dir()}, how);
            EXPECT_EQ(list.code, 0) << list.err;
            EXPECT_NE(list.out.find("Дом 2"), std::string::npos) << list.out;
            EXPECT_EQ(readAll(table), tableBefore);
            EXPECT_EQ(readAll(index), indexBefore);
            EXPECT_EQ(files(), before);
        }
    }
}

TEST(MervoctlPoll, LanesOptionTakesOneTo32LinksAndPollsThemSideBySide) {
    PollFolder f;
    for (const std::string command : {"poll", "schedule"})
        for (const std::vector<std::string>& bad : {std::vector<std::string>{"--lanes", "0"},
                                                    {"--lanes", "33"},
                                                    {"--lanes", "many"},
                                                    {"--lanes"}}) {
            SCOPED_TRACE(command + " " + bad[0] + " " + (bad.size() > 1 ? bad[1] : ""));
            std::vector<std::string> args = {command, f.data};
            args.insert(args.end(), bad.begin(), bad.end());
            Result r = run(args, f.how);
            EXPECT_EQ(r.code, 2) << r.err;
            EXPECT_NE(r.err.find("usage: mervoctl"), std::string::npos) << r.err;
        }

    // two nodes, one of them silent: both walked, both outcomes stored
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    SimProcess silent({"--type", "236", "--serial", "531", "--udp", "0", "--silent"});
    f.addDevice(sim.port());
    Result added = run({"add", f.data, "ADDRES=Котельная №2", "SERIALNUM=531", "DEVTYPE=236", "NETTYPE=2",
                        "NETADR=127.0.0.1", "IPPORT=" + std::to_string(silent.port())},
                       f.how);
    ASSERT_EQ(added.code, 0) << added.err;
    Result r = f.poll({"--lanes", "4", "--clock", "2026-12-10 12:00:00"})->finish();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("mervoctl: objects with errors: 1"), std::string::npos) << r.err;
    auto hasLine = [&](const std::string& address, const std::string& end) {
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);)
            if (line.find(address) != std::string::npos && line.ends_with(end)) return true;
        return false;
    };
    EXPECT_TRUE(hasLine("Котельная №1", "-  Опрошен")) << r.out;
    EXPECT_TRUE(hasLine("Котельная №2", "-  Обнаружены ошибки")) << r.out;
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    ASSERT_TRUE(objects.locate("SERIALNUM", int64_t(530)));
    EXPECT_FALSE(objects.asBool("ERR"));
    ASSERT_TRUE(objects.locate("SERIALNUM", int64_t(531)));
    EXPECT_EQ(objects.asString("STATE"), "Нет связи");
    EXPECT_TRUE(objects.asBool("ERR"));
    // the lanes' own temporary folders are gone
    EXPECT_FALSE(fs::exists(devdata::tempDirOf(f.data) + "/lane1"));
}
