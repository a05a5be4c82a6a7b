// What one endpoint does with the bytes it receives, independent of the transport: the modem in front (AT
// commands, "+++" escape), the configurator's protocol switch and Modbus RTU, the assembly of RZ frames from
// a byte stream or a datagram, the device's answer and the faults that change or withhold it. The result is a
// list of transmissions that the transport sends with their timing.
#pragma once

#include "sim/config.h"
#include "sim/device.h"
#include "sim/log.h"

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calcsim {

using Clock = std::chrono::steady_clock;

struct Transmission {
    Bytes bytes;
    int latencyMs = 0;                             // silence before the first byte
    std::vector<std::pair<std::size_t, int>> gaps; // (position, ms): silence before byte `position`
    int baud = 0;                                  // pacing; 0: as fast as the transport goes
    long dropAfter = -1;                           // send only that many bytes, then drop the connection
};

class Session {
public:
    Session(const EndpointConfig& config, Log& log, std::string name);

    // Bytes from a serial line (PTY) or TCP connection.
    std::vector<Transmission> onStream(std::span<const std::uint8_t> data, Clock::time_point now);
    // One UDP datagram.
    std::vector<Transmission> onDatagram(std::span<const std::uint8_t> data, const std::string& from);
    // Timers: an incomplete frame ageing out, a Modbus frame ended by silence, the "+++" guard time.
    std::optional<Clock::time_point> nextTimer() const;
    std::vector<Transmission> onTimer(Clock::time_point now);
    // The line was closed (PTY client gone, TCP connection closed): the modem hangs up, partial input is
    // dropped.
    void onLineClosed(const std::string& why);

    Device& device() { return device_; }
    const std::string& name() const { return name_; }

private:
    void feed(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out);
    void feedRz(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out);
    void feedModbus(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out);
    void feedModem(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out);
    void modemLine(std::string line, std::vector<Transmission>& out);
    void modemText(const std::string& text, std::vector<Transmission>& out, int latencyMs = 0);
    void rzFrameIn(std::span<const std::uint8_t> frame, const std::string& from,
                   std::vector<Transmission>& out);
    bool rzSwitch(std::span<const std::uint8_t> frame, std::vector<Transmission>& out);
    void modbusFrameIn(std::span<const std::uint8_t> frame, std::vector<Transmission>& out);
    // Applies the faults to a reply (`record`: the archive record the request asked for, which faults with
    // slots look at); logs the outcome; appends the transmission unless withheld.
    void reply(Bytes frame, int command, bool modbus, const std::optional<RecordSlot>& record,
               const std::string& what, std::vector<Transmission>& out);
    void log(const std::string& text) { log_.line(name_ + ": " + text); }

    EndpointConfig config_;
    Log& log_;
    std::string name_;
    Device device_;

    // RZ stream assembly
    Bytes rz_;
    Clock::time_point lastByte_{};
    bool anyByte_ = false;
    // modem
    bool online_ = false; // data mode: bytes go to the device
    bool callUp_ = false;
    std::string atLine_;
    bool swallowLf_ = false; // the line feed after a command's carriage return belongs to the command
    std::size_t dialCount_ = 0;
    int plus_ = 0;             // "+" characters seen at a frame boundary in data mode
    bool plusGuardOk_ = false; // the silence before the first "+" was long enough
    std::optional<Clock::time_point> escapeAt_;
    // configurator
    bool modbus_ = false;
    int address_ = 1;
    Bytes mb_;
};

} // namespace calcsim
