// What one calcsim run serves: the endpoints with their device, modem, configurator and fault settings, read
// from the command line or from a JSON configuration file.
#pragma once

#include "sim/device.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace calcsim {

enum class FaultKind {
    Ignore,      // no answer (count = how many requests; unlimited: a silent device)
    BadChecksum, // the last byte of the answer is wrong
    WrongLength, // the answer is `delta` bytes longer (or shorter), with its length byte and checksum made to
                 // fit
    Burst,       // the answer goes out in parts, `gapMs` of silence after each split position
    Latency,     // `ms` of silence before the answer
    Drop,        // only the first `afterBytes` bytes go out, then a TCP connection is closed
};

struct Fault {
    FaultKind kind = FaultKind::Ignore;
    long count = -1;           // requests the fault applies to; -1: every one
    std::vector<int> commands; // command codes (Modbus: function codes) it applies to; empty: all
    // With slots: only archive record requests (0x03) for one of these slots of this kind.
    std::optional<Kind> archive;
    std::vector<int> slots;
    int delta = 0;
    std::vector<int> splitAt;
    int gapMs = 0;
    int ms = 0;
    int afterBytes = 0;
    long used = 0; // requests it has applied to so far

    // True when the fault is for this request: its command, and with slots the record asked for.
    bool appliesTo(int command, const std::optional<RecordSlot>& record) const;
};

struct ModemConfig {
    std::optional<int> csq = 17;              // signal level of "+CSQ: n,99"; nullopt: AT+CSQ answers "ERROR"
    std::vector<std::string> dial{"connect"}; // results of successive ATD commands, the last one repeats
    int dialMs = 0;                           // delay before the dial result
    int guardMs = 1000;                       // silence around "+++"
    bool echo = false;                        // echo the command characters
    std::string connectText = "CONNECT";
};

struct ConfiguratorConfig {
    bool jumperClosed = true;
    int address = 1;             // Modbus address
    bool startInModbus = false;  // protocol at start
    bool crcException = true;    // answer a Modbus frame with a bad CRC with exception 16
    bool serialHighFirst = true; // serial number byte order in the RZ switch answer
};

enum class Transport { Udp, Tcp, Pty };

struct EndpointConfig {
    Transport transport = Transport::Udp;
    std::string host = "127.0.0.1"; // UDP and TCP listen address
    int port = 0;                   // 0: any free port, reported on the READY line
    std::string path;               // PTY: symbolic link to the slave device
    int baud = 0;                   // wire pacing, 10 bits per byte; 0: no pacing
    int frameTimeoutMs = 1000;      // an incomplete frame is dropped after this much silence
    DeviceConfig device;
    std::vector<Fault> faults;
    std::optional<ModemConfig> modem;               // PTY only
    std::optional<ConfiguratorConfig> configurator; // PTY only

    // "udp 127.0.0.1:4001", "tcp [::1]:0", "pty /tmp/vc0"
    std::string describe() const;
};

struct Options {
    bool dump = false;
    long afterReads = 0; // --dump: the model after that many archive reading sessions
    std::string logFile; // empty: standard error
    std::vector<EndpointConfig> endpoints;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws UsageError for a wrong command line or configuration.
Options parseCommandLine(const std::vector<std::string>& args);
// The endpoints of a JSON configuration text (and its "log" entry, when present, into options).
void parseConfigJson(const std::string& text, Options& options);
// A number or one of "NaN", "Infinity", "-Infinity", "inf", "-inf" (any letter case).
std::optional<double> parseValue(const std::string& text);

extern const char* const kUsage;

} // namespace calcsim
