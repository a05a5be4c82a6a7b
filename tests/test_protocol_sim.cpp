// The frame protocol against the calculator simulator over a pseudo-terminal, UDP and TCP.
#include "dbf/table.h"
#include "poll/protocol.h"
#include "poll/serial_port.h"
#include "tests/sim_dump.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

using namespace polling;
using mervo::test::dumpOf;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

enum class Kind { Pty, Udp, Tcp };
const char* name(Kind k) {
    return k == Kind::Pty ? "pty" : k == Kind::Udp ? "udp" : "tcp";
}

// A simulated device with the program's link to it.
struct Device {
    TempDir dir;
    std::unique_ptr<SimProcess> sim;
    SerialPort port;
    std::unique_ptr<Transport> link;

    Device(Kind kind, std::vector<std::string> args, Clock& clock) {
        if (kind == Kind::Pty) {
            args.insert(args.end(), {"--pty", dir.file("vc0")});
        } else {
            args.insert(args.end(), {kind == Kind::Udp ? "--udp" : "--tcp", "0"});
        }
        sim = std::make_unique<SimProcess>(args);
        switch (kind) {
        case Kind::Pty:
            port.setPort(sim->ptyPath());
            port.open();
            link = std::make_unique<SerialLink>(port.fd());
            break;
        case Kind::Udp:
            link = std::make_unique<UdpLink>("127.0.0.1", sim->port());
            break;
        case Kind::Tcp:
            link = std::make_unique<TcpLink>("127.0.0.1", sim->port(), clock, Duration(5000));
            break;
        }
    }
};

float floatAt(std::span<const uint8_t> rec, size_t off) {
    float f;
    std::memcpy(&f, rec.data() + off, 4);
    return f;
}

const Kind kKinds[] = {Kind::Pty, Kind::Udp, Kind::Tcp};

} // namespace

TEST(ProtocolWithSimulator, EveryLinkIdentifiesTestsAndReadsTheState) {
    struct Case {
        int type, serial;
        Dest state;
    } cases[] = {{229, 1207, Dest::S0},
                 {236, 530, Dest::S3},
                 {225, 311, Dest::S1},
                 {231, 2048, Dest::S4a},
                 {128, 112, Dest::S2}};
    for (Kind kind : kKinds) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name(kind)) + " " + std::to_string(c.type));
            const std::vector<std::string> args = {"--type", std::to_string(c.type), "--serial",
                                                   std::to_string(c.serial)};
            VirtualClock clock{Duration(200)};
            StopSignal stop;
            Device dev(kind, args, clock);
            Protocol proto(clock, stop);
            proto.setTransport(dev.link.get());
            auto id = proto.identifyDevice(c.type == 231, 3);
            ASSERT_TRUE(id.has_value());
            EXPECT_EQ(id->deviceType, c.type); // a 231 answers as 230 and stays 231
            EXPECT_EQ(id->serial, c.serial);
            ASSERT_TRUE(proto.testRegistered(c.type, c.serial, 3));
            EXPECT_EQ(proto.row(), commandRowOf(c.type));
            ASSERT_TRUE(proto.sendCommand(kState, 3, c.type, c.serial));
            if (c.type == 231) {
                ASSERT_TRUE(proto.sendCommand(kParams, 3, c.type, c.serial)); // second state block
            }
            if (c.state == Dest::S0 || c.state == Dest::S3 || c.state == Dest::S1) {
                nlohmann::json d = dumpOf(args);
                EXPECT_EQ(floatAt(proto.record(c.state), 0), d["state"]["HEnergy1"].get<float>());
            }
            // another serial gets no answer
            EXPECT_FALSE(proto.sendCommand(kState, 1, c.type, c.serial + 1));
        }
    }
}

TEST(ProtocolWithSimulator, ClockAndArchiveCommands) {
    for (Kind kind : kKinds) {
        SCOPED_TRACE(name(kind));
        VirtualClock clock{Duration(200)};
        StopSignal stop;
        Device dev(kind, {"--type", "236", "--serial", "530", "--filled", "hourly=5"}, clock);
        Protocol proto(clock, stop);
        proto.setTransport(dev.link.get());
        ASSERT_TRUE(proto.testRegistered(236, 530, 3));
        EXPECT_TRUE(proto.setDeviceClock(236, 530, 3, dbf::DateTime::fromParts(2000, 1, 1)));
        ASSERT_TRUE(proto.sendCommand(kArchivePointers, 6, 236, 530));
        EXPECT_EQ(proto.response().size(), 12u);
        const int hourly = proto.response()[5] | (proto.response()[6] << 8);
        EXPECT_EQ(hourly, 5);
        EXPECT_TRUE(proto.sendCommand(kArchiveBegin, 6, 236, 530));
        // a written slot and a never-written one (day 0, hour 0)
        for (int slot : {4, 1000}) {
            proto.prepareRequest(kArchiveRecord);
            proto.request()[5] = uint8_t(slot & 0xFF);
            proto.request()[6] = uint8_t(slot >> 8);
            ASSERT_TRUE(proto.sendCommand(kArchiveRecord, 1, 236, 530)) << slot;
            auto a3 = proto.record(Dest::A3);
            const int day = a3[210] | (a3[211] << 8);
            if (slot == 4) {
                EXPECT_GT(day, 0);
                EXPECT_EQ(a3[212] | (a3[213] << 8), 4); // the record's own number
            } else {
                EXPECT_EQ(day, 0);
                EXPECT_EQ(a3[209], 0);
            }
        }
        EXPECT_TRUE(proto.sendCommand(kArchiveEnd, 6, 236, 530));
    }
}

TEST(ProtocolWithSimulator, FaultsOfTheDevice) {
    struct Case {
        const char* what;
        std::vector<std::string> faults;
        int attempts;
        bool ok;
    } cases[] = {
        {"wrong checksum", {"--bad-checksum"}, 3, false},
        {"wrong length", {"--wrong-length", "1"}, 2, false},
        {"first two ignored", {"--ignore-first", "2"}, 3, true},
        {"latency below the silence", {"--latency", "300"}, 1, true},
    };
    for (Kind kind : {Kind::Pty, Kind::Udp}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name(kind)) + " " + c.what);
            std::vector<std::string> args = {"--type", "236", "--serial", "530"};
            args.insert(args.end(), c.faults.begin(), c.faults.end());
            VirtualClock clock{Duration(500)};
            StopSignal stop;
            Device dev(kind, args, clock);
            Protocol proto(clock, stop);
            proto.setTransport(dev.link.get());
            proto.setRow(commandRowOf(236));
            EXPECT_EQ(proto.sendCommand(kState, c.attempts, 236, 530), c.ok);
            if (std::string(c.what) == "wrong length") {
                EXPECT_EQ(proto.exchangeState(), ExchangeState::TimedOut);
            }
        }
    }
}

TEST(ProtocolWithSimulator, AReplyInTwoBurstsWithinTheSilenceCompletes) {
    SystemClock clock;
    StopSignal stop;
    for (Kind kind : kKinds) {
        SCOPED_TRACE(name(kind));
        Device dev(kind, {"--type", "229", "--serial", "1", "--burst", "50:400"}, clock);
        Protocol proto(clock, stop);
        proto.setTransport(dev.link.get());
        proto.setRow(commandRowOf(229));
        EXPECT_TRUE(proto.sendCommand(kState, 1, 229, 1));
    }
}

TEST(ProtocolWithSimulator, StopFlagEndsTheWaitOnASilentDevice) {
    SystemClock clock;
    StopSignal stop;
    Device dev(Kind::Udp, {"--type", "236", "--serial", "530", "--silent"}, clock);
    Protocol proto(clock, stop);
    proto.setTransport(dev.link.get());
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.request();
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(proto.sendCommand(kIdentify, 6, 236, 530));
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(700));
}

TEST(ProtocolWithSimulator, TcpConnectionDroppedMidFrame) {
    VirtualClock clock{Duration(200)};
    StopSignal stop;
    Device dev(Kind::Tcp, {"--type", "236", "--serial", "530", "--drop-after", "40"}, clock);
    Protocol proto(clock, stop);
    proto.setTransport(dev.link.get());
    proto.setRow(commandRowOf(236));
    EXPECT_FALSE(proto.sendCommand(kState, 3, 236, 530));
    // every attempt after the drop is a transport error with its short pause, not a wait of the silence
    EXPECT_LT(clock.elapsed(), Duration(2 * 2000 + 500));
}

TEST(ProtocolWithSimulator, LinkStepRegistersAnUnknownDevice) {
    struct Lines : ProtocolObserver {
        std::vector<std::string> lines;
        void eventLine(const std::string& l) override { lines.push_back(l); }
    };
    struct Case {
        std::vector<std::string> sim;
        int registeredType;
        bool ok;
        int type, serial;
        std::vector<std::string> lines;
    } cases[] = {
        {{"--type", "231", "--serial", "2048"},
         231,
         true,
         231,
         2048,
         {"Определение подключенного устройсва", "Определен тип 231 - Oxel серийный номер  2048",
          "Новое устройство зарегистрировано в БД"}},
        {{"--type", "236", "--serial", "530"},
         0,
         true,
         236,
         530,
         {"Определение подключенного устройсва",
          "Определен тип 236 - Vexa-1 П14х М тип 236 серийный номер   530",
          "Новое устройство зарегистрировано в БД"}},
        {{"--type", "236", "--serial", "530", "--silent"},
         236,
         false,
         0,
         0,
         {"Определение подключенного устройсва", "Прибор не определен"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.back());
        VirtualClock clock{Duration(100)};
        StopSignal stop;
        Device dev(Kind::Udp, c.sim, clock);
        dbf::Table objects;
        objects.create(dev.dir.path(), "MAINDB",
                       {{"NUM", dbf::FieldType::AutoInc, 0, true},
                        {"DEVTYPE", dbf::FieldType::Integer},
                        {"SERIALNUM", dbf::FieldType::Integer}},
                       {{"Primary", "NUM", true, true}});
        objects.append();
        objects.setInt("DEVTYPE", c.registeredType);
        objects.setInt("SERIALNUM", 0);
        objects.post();
        Lines obs;
        Protocol proto(clock, stop, &obs);
        proto.setTransport(dev.link.get());
        Protocol::CurrentObject object{c.registeredType, 0};
        EXPECT_EQ(proto.testLink(object, 2, &objects), c.ok);
        EXPECT_EQ(obs.lines, c.lines);
        objects.refresh();
        EXPECT_EQ(objects.asInt("DEVTYPE"), c.ok ? c.type : c.registeredType);
        EXPECT_EQ(objects.asInt("SERIALNUM"), c.serial);
        EXPECT_EQ(object.deviceType, c.type);
        if (c.ok) {
            EXPECT_EQ(proto.row(), commandRowOf(c.type));
        }
    }
}
