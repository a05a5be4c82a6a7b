// The device frame protocol: frames and their checksum, the command table, the exchange over the current link
// with its silence time-out and retries, and the protocol steps identification, link test and clock setting.
#pragma once

#include "poll/clock.h"
#include "poll/transport.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dbf {
class DateTime;
class Table;
} // namespace dbf

namespace polling {

// ---- frames

// Two's complement of the 8-bit sum of the n bytes: the byte that makes a frame add up to 0 modulo 256.
uint8_t frameChecksum(const uint8_t* data, size_t n);
// True when the n bytes add up to 0 modulo 256.
bool checksumOk(const uint8_t* data, size_t n);
// "06 00 00 00 00 FA"
std::string hexBytes(const uint8_t* data, size_t n);

// ---- command table

// Records that receive the payload of a response.
enum class Dest : uint8_t { None, S0, S1, S2, S3, S4a, S4b, P0, P3, A0, A1, A3 };
// Size of a destination record in bytes.
size_t destSize(Dest d);

struct CommandEntry {
    uint8_t code = 0;
    uint8_t requestLength = 0;  // 0: the kind has no such command
    uint8_t responseLength = 0; // 0: the kind has no such command
    uint8_t reserved = 0;
    Dest dest = Dest::None;
};

constexpr int kCommandRows = 7;
constexpr int kCommandEntries = 15;
extern const std::array<std::array<CommandEntry, kCommandEntries>, kCommandRows> kCommandTable;

// Entries the system uses.
enum Entry : int {
    kIdentify = 0,
    kState = 2,
    kParams = 4,
    kArchivePointers = 5,
    kArchiveBegin = 6,
    kArchiveRecord = 7,
    kArchiveEnd = 8,
    kSetClock = 9,
};

// Command-table row of a device type; -1 for a type without one.
int commandRowOf(int deviceType);

// Exchange state.
enum class ExchangeState { Waiting = 0, Complete = 1, Stopped = 2, TimedOut = 3 };

constexpr Duration kSilenceTimeout{2000};
constexpr Duration kTransportErrorPause{100};

// What the protocol tells the outside: the traffic lines of the terminal page and the event lines of the
// poll.
class ProtocolObserver {
public:
    virtual ~ProtocolObserver() = default;
    // "", "Send:  06 00 00 00 00 FA", "Read:  06 ..."
    virtual void terminalLine(const std::string& /*line*/) {}
    // A new event line of the poll run.
    virtual void eventLine(const std::string& /*line*/) {}
};

class Protocol {
public:
    Protocol(Clock& clock, StopSignal& stop, ProtocolObserver* observer = nullptr);

    // The link of the current connection; null when none is open.
    void setTransport(Transport* t) {
        transport_ = t;
        lineMayHoldLate_ = false;
        lateRequest_.clear();
    }
    Transport* transport() const { return transport_; }
    void setObserver(ProtocolObserver* o) { observer_ = o; }

    // The current command-table row (chosen by the link test).
    void setRow(int row) { row_ = row; }
    int row() const { return row_; }
    const CommandEntry& entry(int index) const;

    // Request buffer: a caller that sends a payload sizes it with prepareRequest and writes bytes 5 .. L-2
    // before sendCommand, which keeps them.
    std::vector<uint8_t>& request() { return request_; }
    void prepareRequest(int entryIndex);
    const std::vector<uint8_t>& response() const { return response_; }
    const std::vector<uint8_t>& received() const { return received_; }
    ExchangeState exchangeState() const { return state_; }
    std::span<uint8_t> record(Dest d);
    std::span<const uint8_t> record(Dest d) const;

    // Sends one command of the current row and delivers its payload into the entry's destination record.
    // deviceType 231 goes out as 230. True on a valid response.
    bool sendCommand(int entryIndex, int attempts, int deviceType, int serial);
    // After a failed sendCommand: does the response buffer hold a reply that is right for the entry?
    bool checkReply(int entryIndex) const;
    // One send and receive of the request buffer over the current link.
    ExchangeState exchangeFrame(int deviceType, size_t responseLength);

    struct Identity {
        int deviceType = 0;
        int serial = 0;
    };
    // Asks "who is there" (06 00 00 00 00 FA); a 230 answer stays 231 when the object was registered as 231.
    std::optional<Identity> identifyDevice(bool registeredAs231, int attempts);
    // Sends entry 9 with the minutes since midnight, day, month and year within the century of `now`.
    bool setDeviceClock(int deviceType, int serial, int attempts, const dbf::DateTime& now);
    // The link test for a registered device: entry 0 with the object's type and serial; selects the type's
    // row whatever the result. False at once for a type that is not served or serial 0.
    bool testRegistered(int deviceType, int serial, int attempts);

    // The device type and serial number the poll works with for the current object.
    struct CurrentObject {
        int deviceType = 0;
        int serial = 0;
    };
    // The link step of a poll: an object without serial number is identified first and, when a device
    // answers, registered with its type and serial in the current row of objects (the objects table, when
    // given); then a registered device gets the link test. Reports its event lines to the observer.
    bool testLink(CurrentObject& object, int attempts, dbf::Table* objects);

private:
    void terminal(const std::string& line);
    void event(const std::string& line);
    void drainLateInput();

    Clock& clock_;
    StopSignal& stop_;
    ProtocolObserver* observer_;
    Transport* transport_ = nullptr;
    int row_ = 0;
    std::vector<uint8_t> request_;
    std::vector<uint8_t> response_;
    std::vector<uint8_t> received_;
    ExchangeState state_ = ExchangeState::Waiting;
    std::array<std::vector<uint8_t>, 12> records_;
    // An exchange timed out (or took a stranger's answer): its answer may still arrive, and is dropped
    // before any other request goes out.
    bool lineMayHoldLate_ = false;
    std::vector<uint8_t> lateRequest_;
};

} // namespace polling
