// Connection set-up and release against the simulator: serial line, modem, UDP and TCP, with their lines.
#include "poll/connection.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace polling;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

// The event list as the window keeps it: new lines appended, replacing ones overwrite the last.
struct Lines : EventSink {
    std::vector<std::string> lines;
    void postEventLine(const std::string& text, bool newLine) override {
        if (newLine || lines.empty())
            lines.push_back(text);
        else
            lines.back() = text;
    }
    bool has(const std::string& l) const { return std::find(lines.begin(), lines.end(), l) != lines.end(); }
    int count(const std::string& l) const { return int(std::count(lines.begin(), lines.end(), l)); }
};

struct Fixture {
    VirtualClock clock{Duration(300)};
    StopSignal stop;
    Protocol protocol{clock, stop};
    Lines lines;
    Connections conn{protocol, clock, stop, lines};
    TempDir dir;

    Fixture(bool noDtrCheck = true) {
        devdata::Settings s;
        if (noDtrCheck) s.par1_234 |= devdata::kBitNoDtrCheck;
        conn.setSettings(s);
    }
};

std::string joined(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& l : v)
        s += "[" + l + "]\n";
    return s;
}

const char* kIcmpRefused = " - проверка узла недоступна: ICMP запрещен системой";

} // namespace

TEST(Connections, SerialLineWithTheReadinessCheckSwitchedOff) {
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--pty", f.dir.file("vc0")});
    ObjectLink o{0, 236, sim.ptyPath(), "", "", 0};
    ASSERT_TRUE(f.conn.connectObject(o)) << joined(f.lines.lines);
    EXPECT_EQ(f.lines.lines, (std::vector<std::string>{
                                 "Тип соединения - COM порт",
                                 "Порт " + sim.ptyPath() + " - проверка готовности отключена пользователем",
                                 sim.ptyPath() + "- Открыт",
                             }));
    EXPECT_TRUE(f.protocol.identifyDevice(false, 2).has_value()); // frames pass over the line
    EXPECT_TRUE(f.conn.hangUp());
    EXPECT_FALSE(f.conn.port().connected());
    EXPECT_EQ(f.conn.port().port(), "");
}

TEST(Connections, FailedSerialLinesTakeThreeAttemptsWithPauses) {
    struct Case {
        const char* what;
        bool simulator;
        std::string busyLine;
    } cases[] = {
        // a pseudo-terminal has no modem lines: with the check on, that is a failing call
        {"readiness check on a line without modem lines", true, ""},
        {"missing port", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f(false);
        std::unique_ptr<SimProcess> sim;
        std::string port = f.dir.file("nope");
        if (c.simulator) {
            sim = std::make_unique<SimProcess>(
                std::vector<std::string>{"--type", "236", "--serial", "530", "--pty", f.dir.file("vc0")});
            port = sim->ptyPath();
        }
        EXPECT_FALSE(f.conn.connectObject({0, 236, port, "", "", 0}));
        EXPECT_EQ(f.lines.count("Тип соединения - COM порт"), 3);
        EXPECT_EQ(f.lines.count("Порт " + port + "- Занят или отсутствует"), 3) << joined(f.lines.lines);
        EXPECT_EQ(f.lines.count("Пауза 5 сек"), 3);
        EXPECT_TRUE(f.lines.has("Подключение попытка № 2"));
        EXPECT_TRUE(f.lines.has("Подключение попытка № 3"));
        EXPECT_FALSE(f.lines.has("Подключение попытка № 4"));
        EXPECT_GE(f.clock.elapsed(), Duration(3 * 5000)); // three pauses of 5 s
    }
}

TEST(Connections, StopDuringThePauseEndsWithoutAnotherAttempt) {
    Fixture f;
    f.stop.request();
    EXPECT_FALSE(f.conn.connectObject({2, 236, "", "", "", 0}));
    EXPECT_EQ(f.lines.lines,
              (std::vector<std::string>{"Тип соединения - Ethernet UDP",
                                        "Не заданы IP адрес и порт. Проверте настройки соединения.",
                                        "Пауза 5 сек"}));
}

TEST(Connections, EthernetLines) {
    Fixture f;
    SimProcess udp({"--type", "236", "--serial", "530", "--udp", "0"});
    SimProcess tcp({"--type", "236", "--serial", "530", "--tcp", "0"});
    // a port nobody listens on
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    const int closedPort = ntohs(a.sin_port);
    ::close(s);

    struct Case {
        ObjectLink link;
        bool ok;
        std::vector<std::string> lines; // "@" stands for the node-search result line
    } cases[] = {
        {{2, 236, "", "", "127.0.0.1", udp.port()},
         true,
         {"Тип соединения - Ethernet UDP", "@ - Узел найден",
          "Подключение 127.0.0.1:" + std::to_string(udp.port()), ""}},
        {{3, 236, "", "", "127.0.0.1", tcp.port()},
         true,
         {"Тип соединения - Ethernet TCP", "@ - Узел найден",
          "Подключение 127.0.0.1:" + std::to_string(tcp.port()), ""}},
        {{3, 236, "", "", "127.0.0.1", closedPort},
         false,
         {"Тип соединения - Ethernet TCP", "@ - Узел найден",
          "Подключение 127.0.0.1:" + std::to_string(closedPort),
          "Подключение 127.0.0.1:" + std::to_string(closedPort) + " Ошибка подключения к узлу",
          "Пауза 5 сек"}},
        {{2, 236, "", "", "no.such.host.invalid", 5001},
         false,
         {"Тип соединения - Ethernet UDP", "Поиск узла no.such.host.invalid - Неверный узел", "Пауза 5 сек"}},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.link.netAddress + ":" + std::to_string(c.link.ipPort));
        Fixture g;
        EXPECT_EQ(g.conn.connectObject(c.link), c.ok);
        std::vector<std::string> got(g.lines.lines.begin(),
                                     g.lines.lines.begin() +
                                         long(std::min(g.lines.lines.size(), c.lines.size())));
        for (auto& l : c.lines) {
            if (l.rfind("@", 0) != 0) continue;
            // where the system refuses ICMP the search says so and the connection goes on
            const std::string search = "Поиск узла " + c.link.netAddress;
            const bool refused = std::find(got.begin(), got.end(), search + kIcmpRefused) != got.end();
            l = search + (refused ? kIcmpRefused : l.substr(1));
        }
        EXPECT_EQ(got, c.lines) << joined(g.lines.lines);
        if (c.ok) {
            EXPECT_TRUE(g.protocol.identifyDevice(false, 2).has_value());
            EXPECT_TRUE(g.conn.hangUp());
        }
    }
}

TEST(Connections, ModemDialogue) {
    struct Case {
        std::vector<std::string> modem;
        bool ok;
        std::vector<std::string> expectLines;
    } cases[] = {
        {{"--csq", "99", "--dial", "connect"},
         true,
         {"Уровень принимаемого сигнала = 330 %", "Набор номера 89161234567"}},
        {{"--csq", "10", "--dial", "connect"},
         true,
         {"ВНИМАНИЕ! СЛАБЫЙ УРОВЕНЬ ПРИНИМАЕМОГО СИГНАЛА", "Уровень принимаемого сигнала = 33 %"}},
        {{"--csq", "11", "--dial", "busy"}, false, {"Уровень принимаемого сигнала = 36 %", "Абонент занят"}},
        {{"--csq", "error", "--dial", "no_carrier"},
         false,
         {"Команда AT+CSQ не поддерживается", "No carrier"}},
        {{"--csq", "20", "--dial", "no_dialtone"}, false, {"Отсутствует гудок"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expectLines.back());
        Fixture f;
        // the pauses around "+++" pass on the virtual clock: no guard time on the simulated modem
        std::vector<std::string> args = {"--type",         "236",     "--serial", "530", "--pty",
                                         f.dir.file("m0"), "--modem", "--guard",  "0"};
        args.insert(args.end(), c.modem.begin(), c.modem.end());
        SimProcess sim(args);
        const bool ok = f.conn.connectObject({1, 236, sim.ptyPath(), "89161234567", "", 0});
        if (c.ok) {
            EXPECT_TRUE(ok) << joined(f.lines.lines);
        } else {
            EXPECT_FALSE(ok);
        }
        for (const auto& l : c.expectLines)
            EXPECT_TRUE(f.lines.has(l)) << l << "\n" << joined(f.lines.lines);
        if (!c.ok && ok == false) {
            EXPECT_EQ(f.lines.count("Тип соединения - Модем"), 3);
            EXPECT_EQ(f.conn.port().port(), "");
        }
        if (c.ok) {
            EXPECT_EQ(f.lines.lines[0], "Тип соединения - Модем");
            EXPECT_TRUE(f.lines.has(sim.ptyPath() + "- Открыт"));
            EXPECT_TRUE(f.protocol.identifyDevice(false, 2).has_value()); // frames pass after CONNECT
            EXPECT_TRUE(f.conn.hangUp());
            EXPECT_FALSE(f.conn.port().connected());
        }
    }
}

TEST(Connections, ModemReplyRules) {
    // the rules in their order decide on the first line feed
    Fixture f;
    SimProcess sim({"--type", "236", "--serial", "530", "--pty", f.dir.file("m0"), "--modem", "--dial",
                    "connect", "--guard", "0"});
    ASSERT_TRUE(f.conn.connectObject({1, 236, sim.ptyPath(), "1", "", 0}));
    // CONNECT to a plain "AT" counts as success (rule 5): in data mode "+++" returns to commands first
    ModemReply r = f.conn.modemCommand("+++", "OK", Duration(2000));
    EXPECT_TRUE(r.ok);
    r = f.conn.modemCommand("ATD5\r\n", "OK", Duration(2000));
    EXPECT_TRUE(r.ok) << r.text; // "CONNECT" though "OK" was expected
    EXPECT_NE(r.text.find("CONNECT"), std::string::npos);
}
