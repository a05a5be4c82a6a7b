// The serial port service: one port, opened exclusively in raw mode at 9600 8N1 with DTR and RTS raised.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace polling {

// A failure of the serial port; what() is the text shown to the operator.
class SerialError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Modem status bits as the program reads them.
enum ModemStatus : unsigned { kCts = 1, kDsr = 2, kRing = 4, kRlsd = 8 };

// Line errors reported by the port's event thread.
enum LineError : unsigned { kFraming = 1, kParity = 2, kOverrun = 4, kBreak = 8, kBufferOverflow = 16 };

// Events of an open port, delivered on the port's own event thread (the receiver marshals them where it needs
// them). Received characters are read by the exchange itself and are no event here.
struct SerialEvents {
    std::function<void(unsigned modemStatus)> modemLinesChanged; // CTS, DSR, ring or carrier changed
    std::function<void(unsigned lineErrors)> lineError;
};

// "CTS:On DSR:Off Ring:Off RLSD:On ": the modem status as the status bar shows it.
std::string lineSignalsText(unsigned modemStatus);

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // A name without "/" is a device under /dev ("ttyUSB0"); a name with "/" is the path itself.
    void setPort(const std::string& name);
    const std::string& port() const { return name_; }
    static std::string devicePath(const std::string& name);
    void setBaudRate(int baud);

    // Does nothing when open already. Throws SerialError with the operator's texts.
    void open();
    // Does nothing when closed.
    void close();
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    size_t write(const uint8_t* data, size_t n);
    size_t write(const std::string& s) { return write(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    // At most n of the bytes waiting now, without waiting for more.
    std::vector<uint8_t> read(size_t n);
    size_t bytesWaiting() const;
    // CTS, DSR, ring and carrier bits; throws on a port without modem lines (a pseudo-terminal).
    unsigned modemStatus() const;

    // The serial devices of this machine (/dev/ttyS*, ttyUSB*, ttyACM* ... that have a driver), as port
    // names.
    static std::vector<std::string> availablePorts();

    // Receivers of the events; takes effect at the next open. A port without modem lines (a pseudo-terminal)
    // has no events: its event thread ends at once.
    void setEvents(SerialEvents events);
    // True while the event thread watches the port.
    bool watching() const { return watching_; }

private:
    void watch(int fd);
    SerialEvents events_;
    std::thread eventThread_;
    std::atomic<bool> stopEvents_{false};
    std::atomic<bool> watching_{false};
    std::string name_ = "ttyS1";
    int baud_ = 9600;
    int fd_ = -1;
};

} // namespace polling
