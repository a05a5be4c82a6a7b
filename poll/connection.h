// Connection set-up and release for an object's network type: a serial line with its readiness check, a modem
// dialled with AT commands, the UDP node search and the TCP connect; the hang-up.
#pragma once

#include "devdata/settings.h"
#include "poll/clock.h"
#include "poll/protocol.h"
#include "poll/serial_port.h"
#include "poll/transport.h"

#include <functional>
#include <memory>
#include <string>

namespace polling {

// Receives the event lines of the poll: a new line, or one that replaces the last line.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void postEventLine(const std::string& text, bool newLine) = 0;
};

// The connection fields of an object's MAINDB row.
struct ObjectLink {
    int netType = 0;
    int deviceType = 0;
    std::string comPort;
    std::string phone;
    std::string netAddress;
    int ipPort = 0;
};

// Outcome of a modem command.
struct ModemReply {
    bool ok = false;
    ExchangeState state = ExchangeState::Waiting;
    std::string text; // everything received
};

class Connections {
public:
    Connections(Protocol& protocol, Clock& clock, StopSignal& stop, EventSink& events);
    ~Connections();

    // The settings in force for the readiness switches ("Не проверять DTR").
    void setSettings(const devdata::Settings& s) { settings_ = s; }

    // Up to three attempts with a 5-second pause between them. Makes the link the protocol's transport.
    bool connectObject(const ObjectLink& object);
    // Releases the link of the current network type.
    bool hangUp();
    // The modem dialogue: AT checks, signal level, dialling; true on CONNECT.
    bool dialModem(const std::string& number);
    ModemReply modemCommand(const std::string& command, const std::string& expected, Duration timeout);
    // One ICMP echo to host; true when it answered. Refused by the system: see pingRefused().
    bool pingNode(const std::string& host, int port, Duration timeout);

    int currentNetType() const { return netType_; }
    SerialPort& port() { return port_; }
    // "CTS:On DSR:Off Ring:Off RLSD:On " for the status bar after a carrier change; empty without modem
    // lines.
    std::string modemStatusText() const;

private:
    bool connectSerial(const ObjectLink& o);
    bool connectModem(const ObjectLink& o);
    bool connectUdp(const ObjectLink& o);
    bool connectTcp(const ObjectLink& o);
    // Opens the port and checks DSR/CTS unless the family's switch is off; the port stays open when ready.
    void checkLineReady(int deviceType);
    void closePort();
    void line(const std::string& text) { events_.postEventLine(text, true); }
    void replace(const std::string& text) { events_.postEventLine(text, false); }
    bool pause(Duration d) { return clock_.sleepFor(d, &stop_); }

    Protocol& protocol_;
    Clock& clock_;
    StopSignal& stop_;
    EventSink& events_;
    devdata::Settings settings_;
    int netType_ = 0;
    SerialPort port_;
    std::unique_ptr<SerialLink> serial_;
    std::unique_ptr<UdpLink> udp_;
    std::unique_ptr<TcpLink> tcp_;
    std::string modemBuffer_;
};

} // namespace polling
