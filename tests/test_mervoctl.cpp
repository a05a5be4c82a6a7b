// mervoctl end to end: the built program is run on temporary data folders and its output, exit codes and the
// tables it leaves are checked.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "tests/tmpdir.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#ifndef MERVOCTL_PATH
#error "MERVOCTL_PATH must name the mervoctl program"
#endif

using mervo::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

// Runs mervoctl with the arguments (no shell involved) and collects its output.
Result run(const std::vector<std::string>& args) {
    TempDir io;
    std::string outPath = io.file("out"), errPath = io.file("err");
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        std::string prog = MERVOCTL_PATH;
        argv.push_back(prog.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(prog.c_str(), argv.data());
        ::_exit(127);
    }
    Result r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readAll(outPath);
    r.err = readAll(errPath);
    return r;
}

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
