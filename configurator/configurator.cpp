#include "configurator/configurator.h"

#include <QEventLoop>
#include <exception>

namespace tolvan {

namespace {

// How often the wait looks at the port; the event loop runs in between.
constexpr int kReadIntervalMs = 10;

} // namespace

Configurator::Configurator(Operator& op, const LaunchArgs& args)
    : op_(op), serial_(args.serial), address_(args.address), deviceType_(args.deviceType) {
    Timer1.setSingleShot(true);
    Timer1.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Timer1, &QTimer::timeout, [this] {
        Timer1.stop();
        timedOut_ = true;
    });
}

bool Configurator::selectPort(const std::string& name) {
    try {
        ComPort1.close();
        ComPort1.setPort(name);
        ComPort1.open();
        return true;
    } catch (const polling::SerialError&) {
        ComPort1.close();
        op_.message(text::kCannotOpenPort);
        return false;
    }
}

void Configurator::setAddressText(const std::string& text) {
    if (text.empty()) return;
    if (auto v = toInteger(text)) address_ = uint8_t(*v);
}

Bytes Configurator::waitReply() {
    Bytes reply;
    timedOut_ = false;
    Timer1.start(replyTimeoutMs_);
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(kReadIntervalMs);
    std::exception_ptr failure;
    auto look = [&] {
        try {
            size_t n = ComPort1.bytesWaiting();
            if (n > 0) reply = ComPort1.read(n);
        } catch (...) {
            failure = std::current_exception();
        }
        if (!reply.empty() || failure) {
            Timer1.stop();
            loop.quit();
        } else if (timedOut_) {
            loop.quit();
        }
    };
    QObject::connect(&tick, &QTimer::timeout, &loop, look);
    QObject::connect(&Timer1, &QTimer::timeout, &loop, &QEventLoop::quit);
    look();
    if (reply.empty() && !failure && !timedOut_) {
        tick.start();
        loop.exec();
        tick.stop();
    }
    Timer1.stop();
    if (failure) std::rethrow_exception(failure);
    return reply;
}

Bytes Configurator::sendWithRepetition(const Bytes& frame) {
    writes_ = 0;
    if (size_t stale = ComPort1.bytesWaiting()) ComPort1.read(stale);
    Bytes reply;
    while (reply.empty() && writes_ < kMaxWrites) {
        ComPort1.write(frame.data(), frame.size());
        ++writes_;
        reply = waitReply();
    }
    return reply;
}

void Configurator::apply(const Outcome& o) {
    if (o.protocol) protocol_ = *o.protocol;
    if (o.address) address_ = *o.address;
    for (const auto& m : o.messages)
        op_.message(m);
}

void Configurator::switchToModbus() {
    try {
        Bytes reply = sendWithRepetition(modbusSwitchFrame(deviceType_, serial_));
        apply(judgeModbusSwitch(reply, deviceType_, serial_));
    } catch (const std::exception&) {
        op_.message(text::kNoReply);
    }
}

void Configurator::switchToRz() {
    const uint8_t address = address_;
    const Bytes frame = rzSwitchFrame(address);
    try {
        apply(judgeRzSwitch(sendWithRepetition(frame), frame, address));
    } catch (const std::exception& e) {
        op_.message(e.what());
    }
}

bool Configurator::changeAddress() {
    std::string entry;
    if (!op_.askText(text::kNewAddressTitle, text::kNewAddressPrompt, entry)) return false;
    auto value = toInteger(entry);
    if (!value) {
        op_.error(conversionError(entry));
        return false;
    }
    const uint8_t address = address_;
    const uint8_t newAddress = uint8_t(*value);
    const Bytes frame = addressFrame(address, newAddress);
    try {
        Outcome o = judgeAddressChange(sendWithRepetition(frame), frame, address, newAddress);
        apply(o);
        return o.address.has_value();
    } catch (const std::exception& e) {
        op_.message(e.what());
        return false;
    }
}

} // namespace tolvan
