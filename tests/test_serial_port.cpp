// Serial port service on pseudo-terminals.
#include "poll/serial_port.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace polling;

namespace {

struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[128];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        path = name;
        ::close(slave); // the port under test opens it by name
    }
    ~Pty() { ::close(master); }
};

std::string errorOf(SerialPort& p) {
    try {
        p.open();
    } catch (const SerialError& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(SerialPort, NamesAndOpenErrors) {
    EXPECT_EQ(SerialPort::devicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SerialPort::devicePath("/tmp/vc0"), "/tmp/vc0");
    SerialPort missing;
    missing.setPort("/tmp/no-such-port-here");
    EXPECT_EQ(errorOf(missing), "Попытка открыть несуществующий COM-порт");
    EXPECT_FALSE(missing.connected());

    Pty pty;
    SerialPort a, b;
    a.setPort(pty.path);
    b.setPort(pty.path);
    EXPECT_EQ(errorOf(a), "");
    EXPECT_TRUE(a.connected());
    EXPECT_EQ(errorOf(b), "Порт занят другой программой"); // held by a
    EXPECT_THROW(a.setPort("ttyS0"), SerialError);
    try {
        a.setPort("ttyS0");
    } catch (const SerialError& e) {
        EXPECT_STREQ(e.what(), "Нельзя менять свойство, пока порт открыт");
    }
    a.close();
    a.close(); // twice is harmless
    EXPECT_NO_THROW(a.setPort(""));
    EXPECT_EQ(errorOf(b), ""); // free again
}

TEST(SerialPort, RawBytesBothWaysAndReadsTakeOnlyWhatIsThere) {
    Pty pty;
    SerialPort p;
    p.setPort(pty.path);
    p.open();
    // raw mode: bytes that a terminal would treat specially pass unchanged
    const uint8_t out[] = {0x06, 0x00, 0x0D, 0x0A, 0x03, 0x11, 0x13, 0xFA};
    EXPECT_EQ(p.write(out, sizeof out), sizeof out);
    uint8_t got[16];
    ssize_t n = ::read(pty.master, got, sizeof got);
    ASSERT_EQ(n, ssize_t(sizeof out));
    EXPECT_EQ(0, std::memcmp(got, out, sizeof out));
    ASSERT_EQ(::write(pty.master, "\x07\x08\x09", 3), 3);
    ::usleep(20000);
    EXPECT_EQ(p.bytesWaiting(), 3u);
    EXPECT_EQ(p.read(10), (std::vector<uint8_t>{7, 8, 9})); // fewer than asked, at once
    EXPECT_TRUE(p.read(10).empty());
    // a pseudo-terminal has no modem lines
    EXPECT_THROW(p.modemStatus(), SerialError);
}

TEST(SerialPort, EventThreadEndsOnALineWithoutModemLinesAndWithTheClose) {
    Pty pty;
    SerialPort p;
    p.setPort(pty.path);
    std::atomic<int> changes{0};
    p.setEvents({[&](unsigned) { ++changes; }, [&](unsigned) { ++changes; }});
    p.open();
    // a pseudo-terminal has no modem lines: nothing to watch
    for (int i = 0; i < 100 && p.watching(); ++i)
        ::usleep(1000);
    EXPECT_FALSE(p.watching());
    EXPECT_EQ(changes, 0);
    // the port still carries bytes
    EXPECT_EQ(p.write(reinterpret_cast<const uint8_t*>("\x06"), 1), 1u);
    p.close();
    p.open(); // and opens again with its events
    p.close();
}
