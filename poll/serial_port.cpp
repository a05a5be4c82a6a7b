#include "poll/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace polling {

namespace {

speed_t speedOf(int baud) {
    switch (baud) {
    case 110:
        return B110;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B9600;
    }
}

} // namespace

SerialPort::~SerialPort() {
    close();
}

std::string SerialPort::devicePath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

void SerialPort::setPort(const std::string& name) {
    if (connected()) throw SerialError("Нельзя менять свойство, пока порт открыт");
    name_ = name;
}

void SerialPort::setBaudRate(int baud) {
    if (connected()) throw SerialError("Нельзя менять свойство, пока порт открыт");
    baud_ = baud;
}

void SerialPort::open() {
    if (connected()) return;
    const std::string path = devicePath(name_);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENODEV || errno == ENXIO || errno == ENOTDIR || name_.empty())
            throw SerialError("Попытка открыть несуществующий COM-порт");
        throw SerialError("Порт занят другой программой");
    }
    // exclusive: a lock for programs that honour it, TIOCEXCL for those that open the device again
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        throw SerialError("Порт занят другой программой");
    }
    ::ioctl(fd, TIOCEXCL);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        ::close(fd);
        throw SerialError("Ошибка функции SetCommState");
    }
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    ::cfsetispeed(&t, speedOf(baud_));
    ::cfsetospeed(&t, speedOf(baud_));
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        ::close(fd);
        throw SerialError("Ошибка функции SetCommState");
    }
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines); // a pseudo-terminal has no modem lines: nothing to raise
    ::tcflush(fd, TCIOFLUSH);
    fd_ = fd;
    if (events_.modemLinesChanged || events_.lineError) {
        stopEvents_ = false;
        watching_ = true;
        eventThread_ = std::thread([this, fd] { watch(fd); });
    }
}

namespace {

// The modem status bits of the driver's TIOCM line bits.
unsigned modemStatusOf(int lines) {
    unsigned s = 0;
    if (lines & TIOCM_CTS) s |= kCts;
    if (lines & TIOCM_DSR) s |= kDsr;
    if (lines & TIOCM_RI) s |= kRing;
    if (lines & TIOCM_CD) s |= kRlsd;
    return s;
}

} // namespace

std::string lineSignalsText(unsigned s) {
    std::string t;
    t += s & kCts ? "CTS:On " : "CTS:Off ";
    t += s & kDsr ? "DSR:On " : "DSR:Off ";
    t += s & kRing ? "Ring:On " : "Ring:Off ";
    t += s & kRlsd ? "RLSD:On " : "RLSD:Off ";
    return t;
}

void SerialPort::setEvents(SerialEvents events) {
    events_ = std::move(events);
}

// The event thread: looks at the modem lines and the driver's error counters every 50 ms and reports changes.
// A device without modem lines fails the first look, and the thread ends.
void SerialPort::watch(int fd) {
    int lines = 0;
    serial_icounter_struct counts{};
    const bool haveCounts = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0) {
        watching_ = false;
        return;
    }
    unsigned last = modemStatusOf(lines);
    while (!stopEvents_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (haveCounts && events_.lineError) {
            serial_icounter_struct now{};
            if (::ioctl(fd, TIOCGICOUNT, &now) == 0) {
                unsigned e = 0;
                if (now.frame != counts.frame) e |= kFraming;
                if (now.parity != counts.parity) e |= kParity;
                if (now.overrun != counts.overrun) e |= kOverrun;
                if (now.brk != counts.brk) e |= kBreak;
                if (now.buf_overrun != counts.buf_overrun) e |= kBufferOverflow;
                counts = now;
                if (e) events_.lineError(e);
            }
        }
        if (::ioctl(fd, TIOCMGET, &lines) != 0) break;
        const unsigned s = modemStatusOf(lines);
        if (s != last && events_.modemLinesChanged) events_.modemLinesChanged(s);
        last = s;
    }
    watching_ = false;
}

void SerialPort::close() {
    if (!connected()) return;
    stopEvents_ = true;
    if (eventThread_.joinable()) eventThread_.join();
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd_, TIOCMBIC, &lines);
    ::tcflush(fd_, TCIOFLUSH);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
}

size_t SerialPort::write(const uint8_t* data, size_t n) {
    if (!connected()) throw SerialError("Ошибка записи в порт");
    size_t done = 0;
    // a write may take 100 ms per byte plus 1000 ms
    const int patience = int(100 * n + 1000);
    while (done < n) {
        ssize_t w = ::write(fd_, data + done, n - done);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, patience) <= 0) break;
            continue;
        }
        throw SerialError("Ошибка записи в порт");
    }
    return done;
}

std::vector<uint8_t> SerialPort::read(size_t n) {
    if (!connected()) throw SerialError("Ошибка чтения из порта");
    std::vector<uint8_t> out(n);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(fd_, out.data() + got, n - got);
        if (r > 0) {
            got += size_t(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
        throw SerialError("Ошибка чтения из порта");
    }
    out.resize(got);
    return out;
}

size_t SerialPort::bytesWaiting() const {
    int n = 0;
    if (!connected() || ::ioctl(fd_, FIONREAD, &n) != 0) throw SerialError("Ошибка функции ClearCommError");
    return size_t(std::max(0, n));
}

unsigned SerialPort::modemStatus() const {
    int bits = 0;
    if (!connected() || ::ioctl(fd_, TIOCMGET, &bits) != 0)
        throw SerialError("Ошибка функции GetCommModemStatus");
    return modemStatusOf(bits);
}

std::vector<std::string> SerialPort::availablePorts() {
    std::vector<std::string> out;
    DIR* d = ::opendir("/sys/class/tty");
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        // a real serial port has a device behind it; virtual consoles do not
        std::string dev = "/sys/class/tty/" + name + "/device/driver";
        if (::access(dev.c_str(), F_OK) != 0) continue;
        out.push_back(name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace polling
