// Tolvan without its window: checksums, frames, the judging of replies, the operator's numbers, the command
// line, and the operations over a pseudo-terminal with a scripted device.
#include "configurator/configurator.h"
#include "configurator/frames.h"
#include "tests/test_tolvan_peer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <deque>
#include <gtest/gtest.h>

using namespace tolvan;
using mervo::test::PtyPeer;

namespace {

Bytes withCrc(Bytes b) {
    uint16_t c = crc16(b);
    b.push_back(uint8_t(c & 0xFF));
    b.push_back(uint8_t(c >> 8));
    return b;
}

Bytes withCrc8(Bytes b) {
    b.push_back(crc8(b.data(), b.size()));
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Strings = std::vector<std::string>;

} // namespace

// ---- checksums and frames

TEST(TolvanCrc, TablesGiveTheBitwiseCrcOfEveryByteAndKnownFrames) {
    // the bit-by-bit definition: a wrong entry in either table shows up for the byte that indexes it
    auto bitwise = [](const Bytes& b) {
        uint16_t crc = 0xFFFF;
        for (uint8_t x : b) {
            crc ^= x;
            for (int i = 0; i < 8; ++i)
                crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
        }
        return crc;
    };
    for (int first = 0; first < 256; ++first)
        for (uint8_t second : {0x00, 0x5A, 0xFF}) {
            Bytes b = {uint8_t(first), second};
            ASSERT_EQ(crc16(b), bitwise(b)) << first;
        }
    const std::string check = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x4B37);
    EXPECT_EQ(rzSwitchFrame(1), (Bytes{0x01, 0x06, 0xFF, 0xFF, 0x00, 0x00, 0x89, 0xEE}));
}

TEST(TolvanCrc, Crc16CheckWantsTheLowByteFirst) {
    Bytes good = rzSwitchFrame(1);
    EXPECT_TRUE(crc16Ok(good));
    Bytes swapped = good;
    std::swap(swapped[6], swapped[7]);
    EXPECT_FALSE(crc16Ok(swapped));
    Bytes spoiled = good;
    spoiled[3] ^= 0x01;
    EXPECT_FALSE(crc16Ok(spoiled));
    EXPECT_FALSE(crc16Ok({}));
    EXPECT_FALSE(crc16Ok({0xFF}));
    EXPECT_TRUE(crc16Ok({0xFF, 0xFF})); // CRC of nothing is 0xFFFF
}

TEST(TolvanCrc, Crc8IsTheTwosComplementOfTheSum) {
    Bytes f = modbusSwitchFrame(229, 1);
    EXPECT_EQ(f, (Bytes{0x06, 0xE5, 0x01, 0x00, 0xDB, 0x39}));
    EXPECT_TRUE(crc8Ok(f.data(), f.size()));
    f[5] = 0x3A;
    EXPECT_FALSE(crc8Ok(f.data(), f.size()));
    Bytes zero = {0x80, 0x80};
    EXPECT_EQ(crc8(zero.data(), zero.size()), 0x00);
}

TEST(TolvanFrames, FramesCarryTypeSerialAndAddresses) {
    struct Case {
        Bytes frame, want;
    };
    Case cases[] = {
        // serial low byte first in the RZ frame
        {modbusSwitchFrame(236, 0x1234), withCrc8({0x06, 236, 0x34, 0x12, 0xDB})},
        {rzSwitchFrame(247), withCrc({247, 0x06, 0xFF, 0xFF, 0x00, 0x00})},
        {addressFrame(1, 44), withCrc({0x01, 0x06, 0x00, 0x4C, 0x00, 44})},
        // an entry of 300 keeps its low 8 bits: 44
        {addressFrame(1, uint8_t(*toInteger("300"))), withCrc({0x01, 0x06, 0x00, 0x4C, 0x00, 0x2C})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.frame, c.want);
}

// ---- judging the replies

TEST(TolvanJudge, ModbusSwitchReply) {
    const uint8_t type = 229;
    const uint16_t serial = 0x0102;
    // the reply carries the serial number high byte first
    auto reply = [](std::initializer_list<uint8_t> head) { return withCrc8(Bytes(head)); };
    const Strings packet = {text::kPacketError};
    struct Case {
        const char* what;
        Bytes reply;
        Strings messages;
        bool modbus;
    };
    Case cases[] = {
        {"switched", reply({7, 229, 1, 2, 4, 0}), {text::kModbusOn}, true},
        {"jumper open", reply({7, 229, 1, 2, 4, 1}), {text::kJumperOpenRz}, false},
        {"other state byte", reply({7, 229, 1, 2, 4, 2}), {}, false},
        {"serial low byte first", reply({7, 229, 2, 1, 4, 0}), packet, false},
        {"other type", reply({7, 230, 1, 2, 4, 0}), packet, false},
        {"byte 4 not 4", reply({7, 229, 1, 2, 5, 0}), packet, false},
        {"length byte not 7", reply({8, 229, 1, 2, 4, 0}), packet, false},
        {"no reply: zero area", {}, packet, false},
        {"short frame adding up", withCrc8({6, 229, 1, 2, 4}), packet, false},
        {"bad checksum", {7, 229, 1, 2, 4, 0, 0x11}, {text::kCrc8Error, text::kNoReply}, false},
        // adds up as a whole, but its first 7 bytes do not
        {"long reply", withCrc8({7, 229, 1, 2, 4, 0, 0x10, 0x20}), {text::kCrc8Error}, false},
        // a good answer followed by bytes that add up to 0: judged on its first 7 bytes
        {"good head, more bytes", reply({7, 229, 1, 2, 4, 0}) + Bytes{0x01, 0xFF}, {text::kModbusOn}, true},
    };
    for (const auto& c : cases) {
        Outcome o = judgeModbusSwitch(c.reply, type, serial);
        EXPECT_EQ(o.messages, c.messages) << c.what;
        EXPECT_EQ(o.protocol.has_value(), c.modbus) << c.what;
        if (c.modbus) {
            EXPECT_EQ(*o.protocol, "Modbus RTU") << c.what;
        }
        EXPECT_FALSE(o.address) << c.what;
    }
}

TEST(TolvanJudge, ExceptionCodes) {
    struct Case {
        int code;
        const char* text;
    };
    Case cases[] = {{1, "Переданная функция не поддерживается устройством"},
                    {2, "Неверный начальный адрес или длина пакета "},
                    {4, "Неправильные данные."},
                    {16, "Ошибка контрольной суммы."},
                    {32, "не замкнута пермычка"},
                    {3, ""},
                    {0, ""},
                    {0x86, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(exceptionText(c.code), c.text) << c.code;
}

TEST(TolvanJudge, RzSwitchAndAddressReplies) {
    const uint8_t addr = 5;
    const Bytes rz = rzSwitchFrame(addr);
    const Bytes ad = addressFrame(addr, 44);
    const Strings none;
    struct Case {
        const char* what;
        bool addressChange; // Button3, else Button2
        Bytes reply;
        Strings messages;
    };
    Case cases[] = {
        {"rz: echo", false, rz, {text::kRzOn}},
        {"rz: no reply", false, {}, {text::kNoReply}},
        {"rz: bad crc",
         false,
         [&] {
             Bytes b = rz;
             b[7] ^= 0xA5;
             return b;
         }(),
         {text::kCrc16Error}},
        {"rz: one byte", false, {0x05}, {text::kCrc16Error}},
        {"rz: exception 32", false, withCrc({addr, 0x86, 32}), {"не замкнута пермычка"}},
        {"rz: exception, unknown code", false, withCrc({addr, 0x86, 7}), none},
        {"rz: exception from another address", false, withCrc({6, 0x86, 4}), none},
        {"rz: exception of another function", false, withCrc({addr, 0x83, 4}), none},
        {"rz: other 8 bytes", false, withCrc({addr, 0x06, 0xFF, 0xFF, 0x00, 0x01}), none},
        {"rz: 10 bytes", false, withCrc({addr, 0x06, 0xFF, 0xFF, 0x00, 0x00, 0, 0}), none},
        {"addr: new address answers",
         true,
         withCrc({44, 0x06, 0x00, 0x4C, 0x00, 44}),
         {text::kAddressChanged}},
        {"addr: old address answers", true, ad, none},
        {"addr: other value", true, withCrc({44, 0x06, 0x00, 0x4C, 0x00, 45}), none},
        {"addr: no reply", true, {}, {text::kNoReply}},
        {"addr: bad crc",
         true,
         [&] {
             Bytes b = ad;
             b[6] ^= 1;
             return b;
         }(),
         {text::kCrc16Error}},
        {"addr: exception 4 from the current address",
         true,
         withCrc({addr, 0x86, 4}),
         {"Неправильные данные."}},
        {"addr: exception from the new address", true, withCrc({44, 0x86, 4}), none},
    };
    for (const auto& c : cases) {
        Outcome o =
            c.addressChange ? judgeAddressChange(c.reply, ad, addr, 44) : judgeRzSwitch(c.reply, rz, addr);
        EXPECT_EQ(o.messages, c.messages) << c.what;
        bool ok = c.messages == Strings{text::kRzOn} || c.messages == Strings{text::kAddressChanged};
        EXPECT_EQ(o.protocol.has_value(), ok && !c.addressChange) << c.what;
        EXPECT_EQ(o.address.has_value(), ok && c.addressChange) << c.what;
    }
    EXPECT_EQ(judgeRzSwitch(rz, rz, addr).protocol, std::optional<std::string>("RZ стандарт"));
    EXPECT_EQ(judgeAddressChange(withCrc({44, 0x06, 0x00, 0x4C, 0x00, 44}), ad, addr, 44).address, 44);
}

// ---- numbers and the command line

TEST(TolvanArgs, IntegerEntries) {
    struct Case {
        const char* text;
        std::optional<int32_t> value;
    };
    Case cases[] = {{"300", 300},
                    {"7", 7},
                    {"  12", 12},
                    {"+5", 5},
                    {"-1", -1},
                    {"$1F", 31},
                    {"0x1f", 31},
                    {"2147483647", INT32_MAX},
                    {"-2147483648", INT32_MIN},
                    {"2147483648", {}},
                    {"12 ", {}},
                    {"abc", {}},
                    {"", {}},
                    {"  ", {}},
                    {"1a", {}},
                    {"$", {}},
                    {"-", {}},
                    {"0x", {}},
                    {"1.5", {}}};
    for (const auto& c : cases)
        EXPECT_EQ(toInteger(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(uint8_t(*toInteger("-1")), 255); // low 8 bits
    EXPECT_EQ(conversionError("abc"), "'abc' не является допустимым целым значением");
}

TEST(TolvanArgs, CommandLine) {
    auto ok = parseLaunch({"vrelt", "/tmp/vc0", "530", "0", "229"});
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->port, "/tmp/vc0");
    EXPECT_EQ(ok->serial, 530);
    EXPECT_EQ(ok->serialText, "530");
    EXPECT_EQ(ok->address, 0);
    EXPECT_EQ(ok->deviceType, 229);
    EXPECT_EQ(ok->typeName, "Vexa-1П14");
    EXPECT_TRUE(parseLaunch({"vrelt", "ttyS0", "1", "7", "225", "extra"}));

    const std::vector<std::vector<std::string>> refused = {
        {},
        {"Vrelt", "ttyS0", "1", "0", "229"},
        {"vrelt ", "ttyS0", "1", "0", "229"},
        {"vrelt", "", "1", "0", "229"},
        {"vrelt", "ttyS0", "", "0", "229"},
        {"vrelt", "ttyS0", "1", "", "229"},
        {"vrelt", "ttyS0", "1", "0", ""},
        {"vrelt", "ttyS0", "1", "0"},
        {"vrelt", "ttyS0", "x1", "0", "229"},
        {"vrelt", "ttyS0", "1", "0", "Vexa"},
    };
    for (const auto& args : refused) {
        std::string line;
        for (const auto& a : args)
            line += "[" + a + "]";
        EXPECT_FALSE(parseLaunch(args)) << line;
    }

    struct Name {
        const char* arg;
        const char* name;
    };
    Name names[] = {{"225", "Vexa-1К1/2(М)"}, {"228", "Vexa-1П12"},  {"229", "Vexa-1П14"},
                    {"230", "Vexa-1П15"},     {"231", "Vexa-1П140"}, {"0229", "Vexa-1П140"}};
    for (const auto& n : names)
        EXPECT_EQ(deviceTypeName(n.arg), n.name) << n.arg;
}

// ---- operations over a pseudo-terminal

namespace {

struct FakeOperator : Operator {
    Strings messages, errors, prompts;
    std::deque<std::optional<std::string>> entries;
    void message(const std::string& t) override { messages.push_back(t); }
    void error(const std::string& t) override { errors.push_back(t); }
    bool askText(const std::string& title, const std::string& prompt, std::string& t) override {
        prompts.push_back(title + "|" + prompt);
        if (entries.empty() || !entries.front()) {
            if (!entries.empty()) entries.pop_front();
            return false;
        }
        t = *entries.front();
        entries.pop_front();
        return true;
    }
};

LaunchArgs device(uint8_t type = 229, uint16_t serial = 1, uint8_t address = 1) {
    LaunchArgs a;
    a.deviceType = type;
    a.serial = serial;
    a.address = address;
    return a;
}

Bytes times(const Bytes& frame, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

} // namespace

TEST(TolvanExchange, NoReplyMeansFourWritesOfTheFrame) {
    PtyPeer peer;
    FakeOperator op;
    Configurator c(op, device());
    c.setReplyTimeout(100);
    ASSERT_TRUE(c.selectPort(peer.path()));
    QElapsedTimer t;
    t.start();
    c.switchToModbus();
    EXPECT_GE(t.elapsed(), 4 * 100);
    EXPECT_EQ(c.writes(), 4);
    EXPECT_EQ(op.messages, Strings{text::kPacketError});
    EXPECT_EQ(peer.received(), times(modbusSwitchFrame(229, 1), 4));

    c.switchToRz();
    EXPECT_EQ(op.messages, (Strings{text::kPacketError, text::kNoReply}));
    EXPECT_EQ(c.writes(), 4);
}

TEST(TolvanExchange, RepeatsUntilAReplyComes) {
    // answers only the third write
    PtyPeer peer([](const PtyPeer::Bytes& req, int n) -> std::vector<PtyPeer::Burst> {
        if (n < 2) return {};
        return {{0, req}};
    });
    FakeOperator op;
    Configurator c(op, device(229, 1, 9));
    c.setReplyTimeout(300);
    ASSERT_TRUE(c.selectPort(peer.path()));
    c.switchToRz();
    EXPECT_EQ(c.writes(), 3);
    EXPECT_EQ(op.messages, Strings{text::kRzOn});
    EXPECT_EQ(c.protocol(), "RZ стандарт");
}

TEST(TolvanExchange, TheFirstReadIsTheReplyAndLeftOversAreDroppedBeforeTheNextFrame) {
    const Bytes echo = rzSwitchFrame(1);
    // the echo in two bursts: the first read takes only its first 5 bytes
    PtyPeer peer([&](const PtyPeer::Bytes&, int) -> std::vector<PtyPeer::Burst> {
        return {{0, Bytes(echo.begin(), echo.begin() + 5)}, {600, Bytes(echo.begin() + 5, echo.end())}};
    });
    FakeOperator op;
    Configurator c(op, device());
    ASSERT_TRUE(c.selectPort(peer.path()));
    EXPECT_EQ(c.sendWithRepetition(echo), Bytes(echo.begin(), echo.begin() + 5));
    EXPECT_EQ(c.writes(), 1);
    // the second burst lands in the input queue; the next operation does not take it for its reply
    ::usleep(900 * 1000);
    c.switchToRz();
    EXPECT_EQ(op.messages, Strings{text::kCrc16Error}); // judged on the new first burst, not the left-over
}

TEST(TolvanExchange, TheWaitKeepsTheEventLoopRunning) {
    PtyPeer peer;
    FakeOperator op;
    Configurator c(op, device());
    c.setReplyTimeout(300);
    ASSERT_TRUE(c.selectPort(peer.path()));
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(20);
    EXPECT_TRUE(c.waitReply().empty());
    EXPECT_GE(ticks, 3);
}

TEST(TolvanExchange, AFailingPortEndsTheRzSwitchWithNoReplyAndTheOthersWithTheError) {
    FakeOperator op;
    Configurator c(op, device());
    {
        PtyPeer peer;
        ASSERT_TRUE(c.selectPort(peer.path()));
        peer.hangUp();
        ::usleep(100 * 1000);
        c.switchToModbus();
        c.switchToRz();
    }
    // Button2 shows the port service's own text of the failure
    ASSERT_EQ(op.messages.size(), 2u);
    EXPECT_EQ(op.messages[0], text::kNoReply);
    EXPECT_EQ(op.messages[1].rfind("Ошибка ", 0), 0u) << op.messages[1];
}

TEST(TolvanExchange, PortSelection) {
    FakeOperator op;
    Configurator c(op, device());
    EXPECT_FALSE(c.selectPort("/tmp/no-such-port-for-tolvan"));
    EXPECT_FALSE(c.portOpen());
    EXPECT_EQ(op.messages, Strings{text::kCannotOpenPort});

    PtyPeer peer;
    polling::SerialPort other; // the port is held by another program
    other.setPort(peer.path());
    other.open();
    EXPECT_FALSE(c.selectPort(peer.path()));
    EXPECT_EQ(op.messages.size(), 2u);
    other.close();
    EXPECT_TRUE(c.selectPort(peer.path()));
    EXPECT_TRUE(c.portOpen());
    EXPECT_EQ(c.portName(), peer.path());
    EXPECT_EQ(op.messages.size(), 2u);
    // a failed selection leaves the port closed, not the old one open
    EXPECT_FALSE(c.selectPort("/tmp/no-such-port-for-tolvan"));
    EXPECT_FALSE(c.portOpen());
}

TEST(TolvanExchange, AddressChange) {
    // a device at address 1 that takes any new address
    PtyPeer peer([](const PtyPeer::Bytes& req, int) -> std::vector<PtyPeer::Burst> {
        if (req.size() != 8) return {};
        return {{0, withCrc({req[5], 0x06, 0x00, 0x4C, 0x00, req[5]})}};
    });
    FakeOperator op;
    Configurator c(op, device());
    ASSERT_TRUE(c.selectPort(peer.path()));

    op.entries = {std::nullopt, "abc", "300"};
    EXPECT_FALSE(c.changeAddress()); // cancelled
    EXPECT_FALSE(c.changeAddress()); // not a number
    EXPECT_EQ(op.errors, Strings{"'abc' не является допустимым целым значением"});
    EXPECT_TRUE(peer.received().empty());
    EXPECT_TRUE(op.messages.empty());
    EXPECT_EQ(op.prompts.front(), "Новый АДРЕС Modbus|введите новый адрес Modbus от 1 до 247 ");

    EXPECT_TRUE(c.changeAddress());
    EXPECT_EQ(peer.received(), addressFrame(1, 44));
    EXPECT_EQ(c.address(), 44);
    EXPECT_EQ(op.messages, Strings{text::kAddressChanged});
}

TEST(TolvanExchange, AddressFromTheEditBox) {
    FakeOperator op;
    Configurator c(op, device(229, 1, 3));
    c.setAddressText("");
    EXPECT_EQ(c.address(), 3);
    c.setAddressText("17");
    EXPECT_EQ(c.address(), 17);
    c.setAddressText("258");
    EXPECT_EQ(c.address(), 2);
    c.setAddressText("x");
    EXPECT_EQ(c.address(), 2);
    EXPECT_TRUE(op.messages.empty());
}
