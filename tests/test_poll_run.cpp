// The poll run end to end against the simulator: every network type, the event lines, the objects' outcome,
// the stored rows, the log file, and the run's edge cases.
#include "dbf/codec.h"
#include "devdata/layouts.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "tests/poll_fixture.h"
#include "tests/sim_dump.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

using namespace polling;
using namespace mervo::test::poll;
using mervo::test::dumpOf;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

double round2(double v) {
    return std::round(v * 100) / 100;
}

// A port name fits the 10 characters of COMPORT: "/tmp/m" and four free characters.
std::string shortLinePath() {
    static const char chars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (unsigned seed = unsigned(::getpid()) * 7919u;; ++seed) {
        std::string p = "/tmp/m";
        for (unsigned k = 0, v = seed; k < 4; ++k, v /= 36)
            p += chars[v % 36];
        std::error_code ec;
        if (!std::filesystem::exists(std::filesystem::symlink_status(p, ec))) return p;
    }
}

} // namespace

TEST(PollRun, EveryNetworkTypeEndToEnd) {
    struct Case {
        const char* what;
        int type, serial, netType;
        std::vector<std::string> link; // endpoint options of the simulator
    } cases[] = {
        {"UDP", 236, 530, 2, {"--udp", "0"}},
        {"TCP", 229, 1207, 3, {"--tcp", "0"}},
        {"serial line", 225, 311, 0, {"--pty", "@"}},
        {"modem", 234, 4410, 1, {"--pty", "@", "--modem", "--guard", "0", "--csq", "20"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        // pseudo-terminals have no modem lines: the readiness check is switched off for the family
        f.settings.par1_225 |= devdata::kBitNoDtrCheck;
        f.settings.par1_234 |= devdata::kBitNoDtrCheck;
        const std::vector<std::string> device = {"--type",   std::to_string(c.type),
                                                 "--serial", std::to_string(c.serial),
                                                 "--filled", "daily=4",
                                                 "--filled", "hourly=6"};
        std::vector<std::string> args = device;
        for (const auto& a : c.link)
            args.push_back(a == "@" ? shortLinePath() : a);
        SimProcess sim(args);
        Object o{c.type, c.serial, c.netType, "", "89161234567", "127.0.0.1", 0, true, "ул. Ленина, 5"};
        if (c.netType >= 2)
            o.port = sim.port();
        else
            o.comPort = sim.ptyPath();
        const int num = f.add(o);
        RunResult r = f.poll();
        EXPECT_EQ(r.polled, 1);
        EXPECT_EQ(r.errors, 0) << joined(f.rec.lines);
        EXPECT_EQ(r.toPoll, 1);

        // the object's outcome
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        ASSERT_TRUE(objects.locate("NUM", int64_t(num)));
        EXPECT_EQ(objects.asString("STATE"), "Норма");
        EXPECT_FALSE(objects.asBool("ERR"));
        EXPECT_EQ(objects.asInt("ERRCODE"), 0);
        EXPECT_EQ(objects.asString("CON_DATE"), "10.12.2026");
        EXPECT_EQ(objects.asString("CON_TIME"), "12:00:00");

        // what the device holds, after the rounding of the state values
        nlohmann::json d = dumpOf(device);
        dbf::Table state;
        state.open(f.data, "STATEDB" + std::to_string(c.type));
        ASSERT_EQ(state.recordCount(), 1);
        EXPECT_EQ(state.asInt("NUMSTATE"), num);
        EXPECT_DOUBLE_EQ(state.asFloat("HEnergy1"), round2(d["state"]["HEnergy1"].get<double>()));
        EXPECT_DOUBLE_EQ(state.asFloat("V11"), round2(d["state"]["V11"].get<double>()));
        if (c.type != 225) {
            dbf::Table pars;
            pars.open(f.data, "PARSDB");
            ASSERT_EQ(pars.recordCount(), 1);
            EXPECT_EQ(pars.asInt("CountWeight1"), d["params"]["CountWeight1"].get<int>());
        }
        dbf::Table daily;
        daily.open(f.data, devdata::archiveTableName(c.serial, 1, c.type));
        // the four written records, oldest first, after the 31.12.1999 row of the never-written slot; a
        // record that names its slot (234-237) names 0 in a never-written slot and is no record of it
        const bool ownSlotNumbers = c.type >= 234;
        ASSERT_EQ(daily.recordCount(), ownSlotNumbers ? 4 : 5);
        daily.first();
        if (!ownSlotNumbers) {
            EXPECT_EQ(daily.asString("WriteDay"), "31.12.1999 00:00:00");
            daily.next();
        }
        for (int k = 0; k < 4; ++k, daily.next()) {
            EXPECT_EQ(daily.asInt("RecNum"), k);
            EXPECT_EQ(daily.asInt("CheckField"), 0);
        }

        // the lines of the object
        const std::string p = f.prefix("ул. Ленина, 5");
        auto& L = f.rec.lines;
        ASSERT_GE(L.size(), 4u);
        EXPECT_EQ(L[0], p + " Подключение...")
            << joined(L); // replaced later? no: the connection lines follow
        EXPECT_NE(std::find(L.begin(), L.end(), p + " Соединение... OK"), L.end()) << joined(L);
        EXPECT_NE(std::find(L.begin(), L.end(), p + " Чтение состояния... OK"), L.end()) << joined(L);
        EXPECT_NE(std::find(L.begin(), L.end(), p + " Чтение суточного архива... OK"), L.end()) << joined(L);
        EXPECT_NE(std::find(L.begin(), L.end(), p + " Опрошен"), L.end()) << joined(L);
        EXPECT_EQ(f.rec.status[1], "Опрос завершен");
    }
}

TEST(PollRun, LinesOfAnObjectAndTheReport) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    f.settings.par1_234 = devdata::kBitState; // the state alone
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Котельная №1"});
    f.add({229, 0, 2, "", "", "127.0.0.1", 1, false, "Школа"});
    RunResult r = f.poll();
    const std::string p = f.prefix("Котельная №1");
    const std::string q = f.prefix("Школа");
    const std::string port = std::to_string(sim.port());
    std::vector<std::string> want = {
        p + " Подключение...",
        "Тип соединения - Ethernet UDP",
        "Поиск узла 127.0.0.1 - Узел найден",
        "Подключение 127.0.0.1:" + port,
        p + " Подключение... OK",
        p + " Соединение... OK",
        p + " Чтение состояния... OK",
        p + " Чтение параметров... OK",
        p + " Опрошен",
        std::string(38, '-'),
        q + " Опрос не проводился",
        std::string(38, '-'),
        std::string(49, '*'),
        "  12:00:00 Опрос завершен",
        std::string(49, '*'),
        "Отчет автоопроса 10.12.2026 12:00:00",
        "Опрошено:      1",
        "Осталось:      0",
        "Ошибок:        0",
        "Отключено:     1",
        std::string(49, '*'),
    };
    // where the system refuses ICMP the search line says so
    auto& L = f.rec.lines;
    for (auto& l : L)
        if (l.rfind("Поиск узла 127.0.0.1 - проверка", 0) == 0) l = "Поиск узла 127.0.0.1 - Узел найден";
    EXPECT_EQ(L, want) << joined(L);
    EXPECT_EQ(r.summary, "Опрошено:\t001 из   1\n\rОшибок:\t000\n\rОтключено:\t001\n\r");
    EXPECT_EQ(f.rec.status[3], "Опрошено:   1  Осталось:   0  Ошибок:   0 ");
    // the skipped object's outcome
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    objects.last();
    EXPECT_EQ(objects.asString("STATE"), "Опрос выкл.");
    EXPECT_TRUE(objects.asBool("ERR"));

    // the stored event list: Log/Store<hh-nn-ss_dd.mm.yyyy>.log in Windows-1251, and an empty log.txt
    EXPECT_EQ(r.logFile, f.program + "/Log/Store12-00-00_10.12.2026.log");
    std::ifstream in(r.logFile, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string expect;
    for (const auto& l : f.run.eventList())
        expect += dbf::codec::toCp1251(l) + "\r\n";
    EXPECT_EQ(ss.str(), expect);
    EXPECT_TRUE(std::filesystem::exists(f.program + "/log.txt"));
    EXPECT_EQ(std::filesystem::file_size(f.program + "/log.txt"), 0u);
}

TEST(PollRun, EdgeCases) {
    // no object takes part in automatic polling
    {
        Fixture f;
        f.add({236, 530, 2, "", "", "127.0.0.1", 1, false, "А"});
        f.add({236, 531, 2, "", "", "127.0.0.1", 1, false, "Б"});
        RunResult r = f.poll();
        EXPECT_EQ(r.toPoll, 0);
        EXPECT_EQ(r.polled, 0);
        EXPECT_EQ(r.records, 2);
        auto& L = f.rec.lines;
        EXPECT_EQ(std::count(L.begin(), L.end(), "Отключено:     2"), 1) << joined(L);
        EXPECT_EQ(std::count_if(L.begin(), L.end(),
                                [](const std::string& l) {
                                    return l.find(" Опрос не проводился") != std::string::npos;
                                }),
                  2);
    }
    // a single-object run polls its object whatever AUTOCON and makes no report
    {
        Fixture f;
        SimProcess sim({"--type", "128", "--serial", "112", "--udp", "0"});
        f.add({236, 530, 2, "", "", "127.0.0.1", 1, true, "А"});
        const int num = f.add({128, 112, 2, "", "", "127.0.0.1", sim.port(), false, "Б"});
        RunResult r = f.poll(num);
        EXPECT_EQ(r.polled, 1);
        EXPECT_EQ(r.errors, 0) << joined(f.rec.lines);
        EXPECT_TRUE(r.summary.empty());
        auto& L = f.rec.lines;
        EXPECT_EQ(std::count_if(L.begin(), L.end(),
                                [](const std::string& l) { return l.rfind("Отчет автоопроса", 0) == 0; }),
                  0);
        EXPECT_EQ(f.rec.status[5], "Опрос завершен успешно!");
    }
    // a failed connection: no task runs, the object is reported and marked
    {
        Fixture f;
        f.add({236, 530, 2, "", "", "", 0, true, "Без адреса"});
        RunResult r = f.poll();
        EXPECT_EQ(r.errors, 1);
        const std::string p = f.prefix("Без адреса");
        auto& L = f.rec.lines;
        auto at = std::find(L.begin(), L.end(), p + " Подключение... Ошибка подключения");
        ASSERT_NE(at, L.end()) << joined(L);
        EXPECT_EQ(*(at + 1), "");
        EXPECT_EQ(*(at + 2), p + " Обнаружены ошибки"); // the hang-up line was replaced by it
        EXPECT_EQ(*(at + 3), std::string(38, '-'));
        EXPECT_EQ(std::count(L.begin(), L.end(), "Не заданы IP адрес и порт. Проверте настройки соединения."),
                  3);
        dbf::Table objects;
        objects.open(f.data, "MAINDB");
        EXPECT_EQ(objects.asString("STATE"), "Нет связи");
        EXPECT_TRUE(objects.asBool("ERR"));
        EXPECT_EQ(objects.asString("CON_TIME"), "12:00:00");
    }
    // a type no task names: connection, link test and hang-up only
    {
        Fixture f;
        SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
        f.add({0, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Неизвестный"});
        f.poll();
        auto& L = f.rec.lines;
        EXPECT_EQ(std::count_if(L.begin(), L.end(),
                                [](const std::string& l) { return l.find(" Чтение ") != std::string::npos; }),
                  0)
            << joined(L);
        EXPECT_NE(std::find(L.begin(), L.end(), f.prefix("Неизвестный") + " Соединение... Нет связи"),
                  L.end());
    }
}

TEST(PollRun, ATableErrorFailsTheStepNotTheRun) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    f.settings.par1_234 = devdata::kBitState;
    // the state table cannot be created: a folder stands where its file would be
    std::filesystem::create_directories(f.data + "/STATEDB236.dbf");
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Первый"});
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Второй"});
    RunResult r = f.poll();
    EXPECT_EQ(r.polled, 2);
    EXPECT_EQ(r.errors, 2);
    auto& L = f.rec.lines;
    for (const char* a : {"Первый", "Второй"}) {
        // the engine's message stays, and the verdict follows it
        const auto verdict = std::find(L.begin(), L.end(), f.prefix(a) + " Чтение состояния... Нет связи");
        ASSERT_NE(verdict, L.end()) << joined(L);
        EXPECT_EQ(*(verdict - 2), f.prefix(a) + " Чтение состояния...") << joined(L);
        EXPECT_NE((verdict - 1)->find("STATEDB236"), std::string::npos) << joined(L);
    }
    EXPECT_NE(std::find(L.begin(), L.end(), "  12:00:00 Опрос завершен"), L.end());
}

// The lines of the link test stay above its verdict: a device registered by the run says so.
TEST(PollRun, IdentificationLinesStayAboveTheVerdict) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    f.settings.par1_234 = 0;
    f.add({236, 0, 2, "", "", "127.0.0.1", sim.port(), true, "Новый"});
    RunResult r = f.poll();
    EXPECT_EQ(r.errors, 0);
    const std::string p = f.prefix("Новый");
    auto& L = f.rec.lines;
    auto at = std::find(L.begin(), L.end(), p + " Соединение...");
    ASSERT_NE(at, L.end()) << joined(L);
    ASSERT_GE(L.end() - at, 5);
    EXPECT_EQ(*(at + 1), "Определение подключенного устройсва");
    EXPECT_EQ((at + 2)->rfind("Определен тип 236 - ", 0), 0u) << *(at + 2);
    EXPECT_EQ(*(at + 3), "Новое устройство зарегистрировано в БД");
    EXPECT_EQ(*(at + 4), p + " Соединение... OK");
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    EXPECT_EQ(objects.asInt("SERIALNUM"), 530);
}

// A flow meter is addressed as a 230 but takes no wake-up byte: over UDP it answers and is polled.
TEST(PollRun, FlowMeterOverUdpIsPolled) {
    Fixture f;
    SimProcess sim({"--type", "231", "--serial", "2048", "--udp", "0"});
    f.add({231, 2048, 2, "", "", "127.0.0.1", sim.port(), true, "Расходомер"});
    RunResult r = f.poll();
    EXPECT_EQ(r.errors, 0) << joined(f.rec.lines);
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    EXPECT_EQ(objects.asString("STATE"), "Норма");
    EXPECT_FALSE(objects.asBool("ERR"));
    dbf::Table state;
    state.open(f.data, "STATEDB231");
    ASSERT_EQ(state.recordCount(), 1);
    EXPECT_EQ(state.asFloat("SerialNum"), 2048);
}

// Two runs that end in the same second keep both their lists in the one log file of that second.
TEST(PollRun, RunsEndingInOneSecondAppendToOneLog) {
    Fixture f;
    f.add({236, 530, 2, "", "", "127.0.0.1", 1, false, "А"});
    const RunResult first = f.poll();
    const std::vector<std::string> firstLines = f.run.eventList();
    const RunResult second = f.poll();
    ASSERT_EQ(first.logFile, second.logFile);
    std::ifstream in(second.logFile, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    // each run keeps its own lines; the file holds the first run's, then the second's
    const std::vector<std::string> secondLines = f.run.eventList();
    ASSERT_FALSE(secondLines.empty());
    EXPECT_EQ(secondLines.front(), firstLines.front());
    std::string both;
    for (const auto* run : {&firstLines, &secondLines})
        for (const auto& l : *run)
            both += dbf::codec::toCp1251(l) + "\r\n";
    EXPECT_EQ(ss.str(), both);
    // a run of another process ending in that second appends its lines after them
    PollRun other(f.clock, nullptr);
    PollConfig c = f.config();
    ASSERT_TRUE(other.start(c));
    other.wait();
    std::ifstream again(second.logFile, std::ios::binary);
    std::stringstream ss2;
    ss2 << again.rdbuf();
    EXPECT_EQ(ss2.str().substr(0, both.size()), both);
    EXPECT_GT(ss2.str().size(), both.size());
}

TEST(PollRun, StopBetweenObjectsEndsTheRun) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    f.settings.par1_234 = devdata::kBitState;
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Первый"});
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "Второй"});
    f.rec.onLine = [&](const std::string& l) {
        if (l.find(" Опрошен") != std::string::npos) f.run.requestStop();
    };
    RunResult r = f.poll();
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(r.polled, 1);
    auto& L = f.rec.lines;
    EXPECT_EQ(std::count_if(L.begin(), L.end(),
                            [](const std::string& l) { return l.find("Второй") != std::string::npos; }),
              0)
        << joined(L);
    EXPECT_NE(std::find(L.begin(), L.end(), f.prefix("Первый") + " Отключение... OK"), L.end()) << joined(L);
    EXPECT_NE(std::find(L.begin(), L.end(), "  12:00:00 Опрос прерван пользователем"), L.end());
    EXPECT_EQ(f.rec.status[1], "Опрос прерван");
}

TEST(PollRun, ASecondStartIsRefusedWhileRunning) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "100"});
    f.settings.par1_234 = devdata::kBitState;
    f.add({236, 530, 2, "", "", "127.0.0.1", sim.port(), true, "А"});
    PollConfig c = f.config();
    ASSERT_TRUE(f.run.start(c));
    EXPECT_FALSE(f.run.start(c));
    f.run.wait();
    EXPECT_FALSE(f.run.running());
    EXPECT_TRUE(f.run.start(c)); // free again
    f.run.wait();
}

TEST(PollRun, FaultyDevicesAreReportedAndTheNextObjectIsPolled) {
    struct Case {
        const char* addres;
        std::vector<std::string> faults;
        bool ok;
    } cases[] = {
        {"Контрольная сумма", {"--bad-checksum", "--fault-commands", "1"}, false},
        {"Молчит", {"--silent"}, false},
        {"Обрыв ответа", {"--drop-after", "30", "--fault-commands", "1"}, false},
        {"Хороший", {}, true},
    };
    Fixture f;
    f.settings.par1_234 = devdata::kBitState | devdata::kBitDaily;
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--type", "236", "--serial", "530", "--tcp", "0"};
        args.insert(args.end(), c.faults.begin(), c.faults.end());
        sims.push_back(std::make_unique<SimProcess>(args));
        f.add({236, 530, 3, "", "", "127.0.0.1", sims.back()->port(), true, c.addres});
    }
    RunResult r = f.poll();
    EXPECT_EQ(r.polled, 4);
    EXPECT_EQ(r.errors, 3);
    auto& L = f.rec.lines;
    dbf::Table objects;
    objects.open(f.data, "MAINDB");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addres);
        ASSERT_TRUE(objects.locate("ADDRES", std::string(c.addres)));
        EXPECT_EQ(objects.asString("STATE"), c.ok ? "Норма" : "Нет связи");
        EXPECT_EQ(objects.asBool("ERR"), !c.ok);
        const std::string outcome = f.prefix(c.addres) + (c.ok ? " Опрошен" : " Обнаружены ошибки");
        EXPECT_NE(std::find(L.begin(), L.end(), outcome), L.end()) << joined(L);
    }
    // the good object's rows are whole and only its own
    dbf::Table state;
    state.open(f.data, "STATEDB236");
    ASSERT_EQ(state.recordCount(), 1);
    EXPECT_EQ(state.asInt("NUMSTATE"), 4);
    dbf::Table daily;
    daily.open(f.data, devdata::archiveTableName(530, 1, 236));
    for (daily.first(); !daily.eof(); daily.next())
        EXPECT_EQ(daily.asInt("NUMSTATE"), 4);
    EXPECT_GT(daily.recordCount(), 1);
}
