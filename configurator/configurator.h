// Tolvan's working part, apart from the window: the port, the values the window holds, the reply wait and the
// three operations with their messages. It needs a running Qt event dispatcher (QCoreApplication or
// QApplication) for the reply wait, and no display.
#pragma once

#include "configurator/frames.h"
#include "poll/serial_port.h"

#include <QTimer>
#include <string>

namespace tolvan {

// The operator's side of an operation: message boxes and the input box.
class Operator {
public:
    virtual ~Operator() = default;
    virtual void message(const std::string& text) = 0;
    // A failure of the program itself (a conversion error).
    virtual void error(const std::string& text) = 0;
    // False when the operator cancels; text holds the entry otherwise.
    virtual bool askText(const std::string& title, const std::string& prompt, std::string& text) = 0;
};

class Configurator {
public:
    static constexpr int kReplyTimeoutMs = 2000;
    static constexpr int kMaxWrites = 4;

    Configurator(Operator& op, const LaunchArgs& args);

    // Port selection: close the port, take the new name and open it. On failure the port stays closed and
    // the operator gets "Нет возможности открыть порт".
    bool selectPort(const std::string& name);
    bool portOpen() const { return ComPort1.connected(); }
    const std::string& portName() const { return ComPort1.port(); }

    // `Button1`: switch the device to Modbus RTU with the RZ frame.
    void switchToModbus();
    // `Button2`: switch the device back to RZ with the Modbus frame.
    void switchToRz();
    // `Button3`: ask for a new Modbus address and set it. True when the device took it.
    bool changeAddress();

    // `Edit2` changed: a non-empty number becomes the current address (its low 8 bits).
    void setAddressText(const std::string& text);

    uint16_t serial() const { return serial_; }
    uint8_t address() const { return address_; }
    uint8_t deviceType() const { return deviceType_; }
    const std::string& protocol() const { return protocol_; }

    // How long one wait for a reply lasts; tests shorten it.
    void setReplyTimeout(int ms) { replyTimeoutMs_ = ms; }
    // Frames written by the last operation.
    int writes() const { return writes_; }

    // Write the frame and wait for a reply; when none comes write and wait again, at most kMaxWrites writes.
    // Bytes left waiting from an earlier exchange are dropped before the first write.
    Bytes sendWithRepetition(const Bytes& frame);
    // Wait up to the reply time-out for bytes, serving the event loop meanwhile; the bytes of the first read
    // that finds any are the reply.
    Bytes waitReply();

private:
    void apply(const Outcome& o);

    Operator& op_;
    polling::SerialPort ComPort1;
    QTimer Timer1; // the reply time-out
    bool timedOut_ = false;
    uint16_t serial_;
    uint8_t address_;
    uint8_t deviceType_;
    std::string protocol_ = text::kProtocolUnknown;
    int replyTimeoutMs_ = kReplyTimeoutMs;
    int writes_ = 0;
};

} // namespace tolvan
