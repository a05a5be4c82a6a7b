// mervoctl schedule end to end: the built program runs the auto-poll schedule of a data folder against the
// calculator simulator, on the virtual clock (--clock) and on the real one; the store, the stored logs, the
// run summary, the metrics file and what the change command was given are read back from disk.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "shell/schedule.h"
#include "tests/mervoctl_process.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using mervo::test::Ctl;
using mervo::test::PollFolder;
using mervo::test::readAll;
using mervo::test::Result;
using mervo::test::run;
using mervo::test::SimProcess;
using mervo::test::TempDir;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

dbf::DateTime at(int y, int mo, int d, int h = 0, int mi = 0) {
    return dbf::DateTime::fromParts(y, mo, d, h, mi);
}

// "2025-01-31 00:00:00" for --clock.
std::string clockText(dbf::DateTime t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year(), t.month(), t.day(), t.hour(),
                  t.minute(), t.second());
    return buf;
}

size_t count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size()))
        ++n;
    return n;
}

// The schedule of a folder in its store: the period, the next poll time and who runs the schedule.
void setSchedule(const PollFolder& f, int period, int periodX, dbf::DateTime dtconn,
                 int scheduleBy = devdata::kScheduleByService) {
    devdata::SettingsStore store(f.how.registry);
    devdata::Settings s = store.load();
    s.period = period;
    s.periodX = periodX;
    s.dtconn = dtconn;
    s.scheduleBy = scheduleBy;
    store.save(s);
}

dbf::DateTime storedDtconn(const PollFolder& f) {
    return devdata::SettingsStore(f.how.registry).load().dtconn;
}

// The stored event lists of the program folder, by name.
std::vector<std::string> storedLogs(const PollFolder& f) {
    std::vector<std::string> out;
    if (!fs::exists(f.prog + "/Log")) return out;
    for (const auto& e : fs::directory_iterator(f.prog + "/Log"))
        if (e.path().filename().string().rfind("Store", 0) == 0) out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::unique_ptr<Ctl> schedule(const PollFolder& f, std::vector<std::string> more) {
    std::vector<std::string> args = {"schedule", f.data};
    args.insert(args.end(), more.begin(), more.end());
    return std::make_unique<Ctl>(args, f.how);
}

// One due poll on the virtual clock: the schedule is started at the stored next poll time with the virtual
// time held there, waits for the end of the run and is ended with SIGTERM.
Result oneScheduledRun(const PollFolder& f, std::vector<std::string> more = {}) {
    const std::string t = clockText(storedDtconn(f));
    std::vector<std::string> args = {"--clock", t, "--clock-until", t};
    args.insert(args.end(), more.begin(), more.end());
    auto ctl = schedule(f, args);
    const bool ended =
        ctl->waitFor([&] { return ctl->out().find("schedule: poll ended") != std::string::npos; }, 60000);
    ctl->signal(SIGTERM);
    Result r = ctl->finish();
    EXPECT_TRUE(ended) << r.out << r.err;
    EXPECT_EQ(r.code, 0) << r.err;
    return r;
}

// "2025-03-10T10:mm:ss+hh:mm": ISO 8601 local time with its offset, beginning with prefix.
bool isoLocalTime(const std::string& t, const std::string& prefix) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd+dd:dd";
    if (t.size() != shape.size() || t.rfind(prefix, 0) != 0) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd'   ? std::isdigit(static_cast<unsigned char>(t[i])) != 0
                        : shape[i] == '+' ? t[i] == '+' || t[i] == '-'
                                          : t[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

json readJson(const std::string& path) {
    std::ifstream in(path);
    return json::parse(in);
}

// The record count in a table file's header, read without opening the table.
long headerRecordCount(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    unsigned char h[8];
    if (!f.read(reinterpret_cast<char*>(h), sizeof h)) return -1;
    return long(h[4]) | long(h[5]) << 8 | long(h[6]) << 16 | long(h[7]) << 24;
}

} // namespace

// 31 January plus one month is 3 March, and the schedule goes on from there: three due times in a row make
// three runs, each storing the next poll time before it polls.
TEST(MervoctlSchedule, MonthlyDueTimesOnTheVirtualClock) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=20"});
    PollFolder f;
    f.addDevice(sim.port());
    setSchedule(f, shell::kPeriodMonth, 1, at(2025, 1, 31));
    // the data folder comes from the store's DPath when none is given
    {
        devdata::SettingsStore store(f.how.registry);
        devdata::Settings s = store.load();
        s.dpath = f.data;
        store.save(s);
    }
    Ctl ctl({"schedule", "--clock", "2025-01-31 00:00:00", "--clock-until", "2025-04-03 00:00:00"}, f.how);
    ASSERT_TRUE(ctl.waitFor([&] { return count(ctl.out(), "schedule: poll ended") == 3; }, 90000))
        << ctl.out() << ctl.err();
    // the virtual time ends at the third due time: no fourth run
    ctl.waitFor([] { return false; }, 1000);
    EXPECT_EQ(storedDtconn(f), at(2025, 5, 3));
    ctl.signal(SIGTERM);
    Result r = ctl.finish();
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.code, 0) << r.err;

    EXPECT_EQ(count(r.out, "schedule: poll ended"), 3u) << r.out;
    const std::vector<std::string> due = {"poll due at 31.01.2025 00:00, next poll 03.03.2025 00:00",
                                          "poll due at 03.03.2025 00:00, next poll 03.04.2025 00:00",
                                          "poll due at 03.04.2025 00:00, next poll 03.05.2025 00:00"};
    size_t from = 0;
    for (const std::string& line : due) {
        const size_t p = r.out.find(line, from);
        ASSERT_NE(p, std::string::npos) << line << "\n" << r.out;
        from = p;
    }
    EXPECT_EQ(count(r.out, "poll due at"), 3u);
    EXPECT_EQ(count(r.out, "the auto-poll schedule is run here"), 1u);

    // one stored log per run, named by the virtual time of its end
    const std::vector<std::string> logs = storedLogs(f);
    ASSERT_EQ(logs.size(), 3u);
    for (const char* day : {"_31.01.2025.log", "_03.03.2025.log", "_03.04.2025.log"}) {
        auto it = std::find_if(logs.begin(), logs.end(),
                               [&](const std::string& l) { return l.find(day) != std::string::npos; });
        ASSERT_NE(it, logs.end()) << day;
        const std::string text = readAll(*it);
        EXPECT_NE(text.find(dbf::codec::toCp1251(" Опрос завершен\r\n")), std::string::npos) << *it;
        EXPECT_NE(text.find(dbf::codec::toCp1251("Чтение часового архива... OK")), std::string::npos);
    }
    dbf::Table archive;
    archive.open(f.data, f.hourly());
    EXPECT_GE(archive.recordCount(), 20);
}

// The schedule waits while the store gives it to the main program and takes over once it names the service.
TEST(MervoctlSchedule, PollsOnlyWhileTheStoreNamesTheService) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=5"});
    PollFolder f;
    f.addDevice(sim.port());
    setSchedule(f, shell::kPeriodHour, 1, at(2025, 6, 1, 10), devdata::kScheduleByMervo);
    auto ctl = schedule(f, {"--clock", "2025-06-01 10:00:00", "--clock-until", "2025-06-01 10:30:00"});
    ASSERT_TRUE(ctl->waitFor(
        [&] { return ctl->out().find("belongs to the main program") != std::string::npos; }, 10000))
        << ctl->out() << ctl->err();
    ctl->waitFor([] { return false; }, 1000);
    EXPECT_TRUE(storedLogs(f).empty());
    EXPECT_EQ(storedDtconn(f), at(2025, 6, 1, 10));

    // the operator hands the schedule over in the store; another value changed meanwhile is kept
    {
        devdata::SettingsStore store(f.how.registry);
        devdata::Settings s = store.load();
        s.scheduleBy = devdata::kScheduleByService;
        s.archType = 2;
        store.save(s);
    }
    ASSERT_TRUE(
        ctl->waitFor([&] { return ctl->out().find("schedule: poll ended") != std::string::npos; }, 60000))
        << ctl->out() << ctl->err();
    ctl->signal(SIGTERM);
    Result r = ctl->finish();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(count(r.out, "belongs to the main program"), 1u) << r.out;
    EXPECT_EQ(count(r.out, "the auto-poll schedule is run here"), 1u) << r.out;
    // the due time had passed by the waiting: the next one counts from the moment of the decision
    const dbf::DateTime next = storedDtconn(f);
    EXPECT_GE(next, at(2025, 6, 1, 11));
    EXPECT_LE(next, at(2025, 6, 1, 11, 30));
    const devdata::Settings s = devdata::SettingsStore(f.how.registry).load();
    EXPECT_EQ(s.archType, 2);
    EXPECT_EQ(s.scheduleBy, devdata::kScheduleByService);
    EXPECT_EQ(storedLogs(f).size(), 1u);
}

// On the real clock: a due poll whose folder another process holds stores its next due time once, says so
// once, and runs as soon as the lock is free.
TEST(MervoctlSchedule, ADuePollFoundLockedRunsOnceTheLockIsFree) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=5"});
    PollFolder f;
    f.addDevice(sim.port());
    // missed an hour ago: the next one is a day from the moment of the decision
    const dbf::DateTime before = dbf::DateTime::now();
    setSchedule(f, shell::kPeriodDay, 1, before.addMs(-3'600'000));
    polling::DataFolderLock other;
    ASSERT_TRUE(other.tryLock(f.data));
    auto ctl = schedule(f, {});
    ASSERT_TRUE(
        ctl->waitFor([&] { return ctl->out().find("Опрос уже запущен") != std::string::npos; }, 20000))
        << ctl->out() << ctl->err();
    const dbf::DateTime after = dbf::DateTime::now();
    const dbf::DateTime stored = storedDtconn(f);
    EXPECT_GE(stored, shell::advancePollTime(before, shell::kPeriodDay, 1));
    EXPECT_LE(stored, shell::advancePollTime(after, shell::kPeriodDay, 1));

    // a few tries later still nothing has run, and the lock was told about once
    ctl->waitFor([] { return false; }, 2500);
    EXPECT_TRUE(storedLogs(f).empty());
    EXPECT_EQ(count(ctl->out(), "Опрос уже запущен"), 1u) << ctl->out();

    other.unlock();
    ASSERT_TRUE(
        ctl->waitFor([&] { return ctl->out().find("schedule: poll ended") != std::string::npos; }, 60000))
        << ctl->out() << ctl->err();
    // while it polled, the folder was its own
    ctl->waitFor([] { return false; }, 500);
    ctl->signal(SIGTERM);
    Result r = ctl->finish();
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(count(r.out, "poll due at"), 1u) << r.out;
    EXPECT_EQ(count(r.out, "schedule: poll ended"), 1u) << r.out;
    EXPECT_EQ(count(r.out, " Опрос завершен"), 1u) << r.out;
    EXPECT_EQ(storedDtconn(f), stored);
    EXPECT_EQ(storedLogs(f).size(), 1u);
    EXPECT_TRUE(other.tryLock(f.data));
}

// SIGTERM during the archive read ends the run as the STOP button does and the schedule with status 0
// (SIGINT with 130); the tables read back whole.
TEST(MervoctlSchedule, ASignalDuringAPollEndsItInOrder) {
    const std::pair<int, int> cases[] = {{SIGTERM, 0}, {SIGINT, 130}};
    for (const auto& [sig, code] : cases) {
        SCOPED_TRACE(strsignal(sig));
        SimProcess sim(
            {"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=1400", "--latency", "20"});
        PollFolder f(devdata::kBitState | devdata::kBitHourly);
        f.addDevice(sim.port());
        setSchedule(f, shell::kPeriodHour, 1, at(2025, 2, 10, 8));
        auto ctl = schedule(f, {"--clock", "2025-02-10 08:00:00"});
        const std::string temp = devdata::tableFilePath(devdata::tempDirOf(f.data), f.hourly(true));
        ASSERT_TRUE(ctl->waitFor(
            [&] {
                return ctl->out().find("Чтение состояния... OK") != std::string::npos &&
                       headerRecordCount(temp) >= 3;
            },
            60000))
            << ctl->out() << ctl->err();
        ctl->signal(sig);
        Result r = ctl->finish();
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.code, code) << r.err;
        EXPECT_EQ(count(r.out, "schedule: poll ended"), 1u) << r.out;

        const std::vector<std::string> logs = storedLogs(f);
        ASSERT_EQ(logs.size(), 1u);
        const std::string text = dbf::codec::fromCp1251(readAll(logs[0]));
        const size_t stopped = text.find(" Опрос прерван пользователем\r\n");
        ASSERT_NE(stopped, std::string::npos) << text;
        // after it only the report block of the run
        EXPECT_EQ(text.find("Чтение", stopped), std::string::npos);
        EXPECT_NE(text.find("Отчет автоопроса", stopped), std::string::npos);

        // MAINDB reads back whole; the stopped read moved nothing into the archive
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        EXPECT_EQ(objects.recordCount(), 1);
        objects.first();
        EXPECT_EQ(objects.asString("ADDRES"), "Котельная №1");
        const std::string state = objects.asString("STATE");
        if (dbf::tableExists(f.data, f.hourly())) {
            dbf::Table archive;
            archive.open(f.data, f.hourly());
            EXPECT_EQ(archive.recordCount(), 0);
        }
        const json summary = readJson(f.prog + "/Log/last-run.json");
        EXPECT_TRUE(summary["stopped"].get<bool>());
        EXPECT_EQ(summary["P"], 0);
        EXPECT_EQ(summary["N"], 1);
        // the object the stop cut short: not polled, what MAINDB holds, and no change to tell
        ASSERT_EQ(summary["objects"].size(), 1u);
        EXPECT_FALSE(summary["objects"][0]["polled"].get<bool>());
        EXPECT_EQ(summary["objects"][0]["outcome"], state);
        EXPECT_FALSE(fs::exists(f.prog + "/Log/last-changes.json"));
        polling::DataFolderLock next;
        EXPECT_TRUE(next.tryLock(f.data));
    }
}

// The run summary and the metrics after a run where one device answers and the other stays silent, as the
// schedule and as `mervoctl poll` write them.
TEST(MervoctlSchedule, RunSummaryAndMetricsOfMixedOutcomes) {
    for (const bool scheduled : {true, false}) {
        SCOPED_TRACE(scheduled ? "schedule" : "poll");
        SimProcess answering({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=5"});
        SimProcess silent({"--type", "236", "--serial", "531", "--udp", "0", "--silent"});
        PollFolder f(devdata::kBitState | devdata::kBitHourly);
        f.addDevice(answering.port());
        ASSERT_EQ(run({"add", f.data, "ADDRES=Школа №3", "SERIALNUM=531", "DEVTYPE=236", "NETTYPE=2",
                       "NETADR=127.0.0.1", "IPPORT=" + std::to_string(silent.port())})
                      .code,
                  0);
        // switched off: counted in T only
        ASSERT_EQ(run({"add", f.data, "ADDRES=Баня", "SERIALNUM=532", "DEVTYPE=236", "NETTYPE=2",
                       "NETADR=127.0.0.1", "IPPORT=9", "AUTOCON=false"})
                      .code,
                  0);
        setSchedule(f, shell::kPeriodHour, 1, at(2025, 3, 10, 10));
        const std::string metrics = f.tmp.file("metrics/mervo.prom");
        fs::create_directories(f.tmp.file("metrics"));
        if (scheduled) {
            oneScheduledRun(f, {"--metrics", metrics});
        } else {
            Result r = f.poll({"--metrics", metrics, "--clock", "2025-03-10 10:00:00"})->finish();
            EXPECT_EQ(r.code, 0) << r.err;
        }

        const json s = readJson(f.prog + "/Log/last-run.json");
        EXPECT_EQ(s["P"], 2);
        EXPECT_EQ(s["N"], 2);
        EXPECT_EQ(s["E"], 1);
        EXPECT_EQ(s["T"], 3);
        EXPECT_FALSE(s["stopped"].get<bool>());
        EXPECT_TRUE(isoLocalTime(s["start"], "2025-03-10T10:")) << s["start"];
        EXPECT_TRUE(isoLocalTime(s["end"], "2025-03-10T10:")) << s["end"];
        EXPECT_LE(s["start"].get<std::string>(), s["end"].get<std::string>());
        EXPECT_EQ(s["log"], storedLogs(f).at(0));
        ASSERT_EQ(s["objects"].size(), 3u) << s.dump(2);
        const json& ok = s["objects"][0];
        EXPECT_EQ(ok["NUM"], 1);
        EXPECT_EQ(ok["address"], "Котельная №1");
        EXPECT_EQ(ok["outcome"], "Норма");
        EXPECT_TRUE(ok["failed_step"].is_null());
        EXPECT_EQ(ok["before"]["outcome"], "---");
        const json& lost = s["objects"][1];
        EXPECT_EQ(lost["NUM"], 2);
        EXPECT_EQ(lost["address"], "Школа №3");
        EXPECT_EQ(lost["outcome"], "Нет связи");
        EXPECT_EQ(lost["error_bits"], 0);
        EXPECT_EQ(lost["failed_step"], "Соединение");
        const json& off = s["objects"][2];
        EXPECT_EQ(off["outcome"], "Опрос выкл.");
        EXPECT_FALSE(off["polled"].get<bool>());
        // what MAINDB holds is what the summary says
        {
            dbf::Table t;
            t.open(f.data, "MAINDB");
            t.setIndexFieldNames("NUM");
            t.first();
            for (const json& o : s["objects"]) {
                EXPECT_EQ(t.asString("STATE"), o["outcome"].get<std::string>());
                EXPECT_EQ(t.asInt("ERRCODE"), o["error_bits"].get<int>());
                t.next();
            }
        }

        std::map<std::string, double> values;
        std::set<std::string> help, type;
        std::istringstream m(readAll(metrics));
        for (std::string line; std::getline(m, line);) {
            if (line.rfind("# HELP ", 0) == 0) {
                help.insert(line.substr(7, line.find(' ', 7) - 7));
            } else if (line.rfind("# TYPE ", 0) == 0) {
                EXPECT_EQ(line.substr(line.rfind(' ') + 1), "gauge") << line;
                type.insert(line.substr(7, line.find(' ', 7) - 7));
            } else {
                const size_t sp = line.rfind(' ');
                values[line.substr(0, sp)] = std::stod(line.substr(sp + 1));
            }
        }
        const std::set<std::string> names = {"mervo_poll_objects_total", "mervo_poll_duration_seconds",
                                             "mervo_poll_last_end_timestamp"};
        EXPECT_EQ(help, names);
        EXPECT_EQ(type, names);
        EXPECT_EQ(values["mervo_poll_objects_total{outcome=\"polled\"}"], 1);
        EXPECT_EQ(values["mervo_poll_objects_total{outcome=\"device_error\"}"], 0);
        EXPECT_EQ(values["mervo_poll_objects_total{outcome=\"no_connection\"}"], 1);
        EXPECT_EQ(values["mervo_poll_objects_total{outcome=\"not_polled\"}"], 0);
        EXPECT_EQ(values.size(), 6u);
        // the virtual run: the silent device's waits count in full
        EXPECT_GT(values["mervo_poll_duration_seconds"], 1);
        std::tm tm{};
        tm.tm_year = 125, tm.tm_mon = 2, tm.tm_mday = 10, tm.tm_hour = 10, tm.tm_isdst = -1;
        const double start = double(std::mktime(&tm));
        EXPECT_NEAR(values["mervo_poll_last_end_timestamp"], start + values["mervo_poll_duration_seconds"],
                    1.0);
        // no scratch file is left beside them
        EXPECT_EQ(std::distance(fs::directory_iterator(f.tmp.file("metrics")), fs::directory_iterator()), 1);
        for (const auto& e : fs::directory_iterator(f.prog + "/Log")) {
            const std::string name = e.path().filename().string();
            EXPECT_TRUE(name == "last-run.json" || name.rfind("Store", 0) == 0) << name;
        }
    }
}

// The change command: started once for a device that stopped answering, with the change in its file; not for
// a first run of objects never polled, nor for a run that changed nothing. The option wins over the store's
// OnChange, which the schedule uses without it; a command that cannot be started is one line on standard
// error.
TEST(MervoctlSchedule, TheChangeCommandIsStartedForChangedOutcomesOnly) {
    auto sim = std::make_unique<SimProcess>(
        std::vector<std::string>{"--type", "236", "--serial", "530", "--udp", "0", "--filled", "hourly=5"});
    const int port = sim->port();
    SimProcess silent({"--type", "236", "--serial", "531", "--udp", "0", "--silent"});
    PollFolder f(devdata::kBitState | devdata::kBitHourly);
    f.addDevice(port);
    ASSERT_EQ(run({"add", f.data, "ADDRES=Школа №3", "SERIALNUM=531", "DEVTYPE=236", "NETTYPE=2",
                   "NETADR=127.0.0.1", "IPPORT=" + std::to_string(silent.port())})
                  .code,
              0);
    setSchedule(f, shell::kPeriodHour, 1, at(2025, 4, 1, 9));
    const std::string script = f.tmp.file("told.sh");
    std::ofstream(script) << "#!/bin/sh\n"
                             "log=$1\n"
                             "{ echo \"call $2 $3\"; cat \"$3\"; echo; } >> \"$log\"\n";
    fs::permissions(script, fs::perms::owner_all);
    const std::string byOption = f.tmp.file("option.log"), byStore = f.tmp.file("store.log");
    {
        devdata::SettingsStore store(f.how.registry);
        devdata::Settings s = store.load();
        s.onChange = script + " " + byStore;
        store.save(s);
    }
    const std::vector<std::string> option = {"--on-change", script, byOption, "--"};
    auto calls = [](const std::string& log) { return count(readAll(log), "call "); };

    // first run: both objects were never polled; second: nothing changed
    oneScheduledRun(f, option);
    oneScheduledRun(f, option);
    // the device stops answering
    sim.reset();
    oneScheduledRun(f, option);
    // the command is not waited for: give it a moment to write
    for (int i = 0; i < 100 && calls(byOption) == 0; ++i)
        ::usleep(50'000);
    ::usleep(300'000);
    EXPECT_EQ(calls(byOption), 1u) << readAll(byOption);
    EXPECT_EQ(calls(byStore), 0u);
    const std::string told = readAll(byOption);
    const std::string summaryPath = f.prog + "/Log/last-run.json";
    const std::string changesPath = f.prog + "/Log/last-changes.json";
    EXPECT_NE(told.find("call " + summaryPath + " " + changesPath), std::string::npos) << told;
    const json changes = json::parse(told.substr(told.find('\n') + 1));
    ASSERT_EQ(changes["changes"].size(), 1u) << changes.dump(2);
    EXPECT_EQ(changes["changes"][0]["NUM"], 1);
    EXPECT_EQ(changes["changes"][0]["address"], "Котельная №1");
    EXPECT_EQ(changes["changes"][0]["before"], "Норма");
    EXPECT_EQ(changes["changes"][0]["after"], "Нет связи");

    // back on its port: back to "Норма", told by the store's command
    sim = std::make_unique<SimProcess>(std::vector<std::string>{
        "--type", "236", "--serial", "530", "--udp", std::to_string(port), "--filled", "hourly=5"});
    oneScheduledRun(f);
    for (int i = 0; i < 100 && calls(byStore) == 0; ++i)
        ::usleep(50'000);
    EXPECT_EQ(calls(byStore), 1u);
    EXPECT_EQ(calls(byOption), 1u);
    const std::string back = readAll(byStore);
    const json c = json::parse(back.substr(back.find('\n') + 1));
    ASSERT_EQ(c["changes"].size(), 1u);
    EXPECT_EQ(c["changes"][0]["before"], "Нет связи");
    EXPECT_EQ(c["changes"][0]["after"], "Норма");

    // a command that cannot be started
    sim.reset();
    Result r = oneScheduledRun(f, {"--on-change", f.tmp.file("no-such-command")});
    EXPECT_EQ(count(r.err, "cannot start " + f.tmp.file("no-such-command")), 1u) << r.err;
    EXPECT_EQ(calls(byStore), 1u);
}

TEST(MervoctlSchedule, WrongArguments) {
    const std::vector<std::vector<std::string>> cases = {
        {"schedule", "a", "b"},
        {"schedule", "--on-change"},
        {"schedule", "--on-change", "--"},
        {"schedule", "--clock", "yesterday"},
        {"schedule", "--clock-until", "2025-01-01 00:00:00"},
        {"schedule", "--frequency", "1"},
        {"poll", "x", "--clock", "later"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        Result r = run(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_NE(r.err.find("usage: mervoctl"), std::string::npos);
    }
}
