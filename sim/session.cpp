#include "sim/session.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace calcsim {

namespace {

constexpr auto kModbusSilence = std::chrono::milliseconds(50);

std::string frameHead(std::span<const std::uint8_t> f) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "frame %d/%d cmd 0x%02X", f[1], f[2] | (f[3] << 8), f[4]);
    return buf;
}

std::string upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(" \t");
    auto e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Length of a Modbus RTU request from its first bytes; 0 while it cannot be told.
std::size_t modbusLength(const Bytes& b) {
    if (b.size() < 2) return 0;
    int fn = b[1];
    if (fn >= 1 && fn <= 6) return 8;
    if ((fn == 15 || fn == 16) && b.size() >= 7) return 9u + b[6];
    return 0;
}

} // namespace

Session::Session(const EndpointConfig& config, Log& log, std::string name)
    : config_(config), log_(log), name_(std::move(name)), device_(config.device) {
    if (config_.configurator) {
        modbus_ = config_.configurator->startInModbus;
        address_ = config_.configurator->address;
    }
}

std::vector<Transmission> Session::onStream(std::span<const std::uint8_t> data, Clock::time_point now) {
    std::vector<Transmission> out;
    for (auto b : data)
        feed(b, now, out);
    return out;
}

void Session::feed(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out) {
    if (escapeAt_) {
        log("modem: \"+++\" followed by data within the guard time: no escape");
        escapeAt_.reset();
    }
    bool lf = swallowLf_ && b == '\n';
    swallowLf_ = false;
    if (lf) {
        // taken with the command line, not echoed after its answer
    } else if (config_.configurator && modbus_)
        feedModbus(b, now, out);
    else if (config_.modem && !online_)
        feedModem(b, now, out);
    else
        feedRz(b, now, out);
    lastByte_ = now;
    anyByte_ = true;
}

void Session::feedRz(std::uint8_t b, Clock::time_point now, std::vector<Transmission>& out) {
    if (config_.modem && online_ && rz_.empty()) {
        if (b == '+') {
            auto guard = std::chrono::milliseconds(config_.modem->guardMs);
            if (plus_ == 0) plusGuardOk_ = !anyByte_ || now - lastByte_ >= guard;
            if (++plus_ < 3) return;
            plus_ = 0;
            if (!plusGuardOk_) {
                log("modem: \"+++\" without the guard time before it: taken as data and dropped");
            } else if (config_.modem->guardMs == 0) {
                online_ = false;
                log("modem: \"+++\": command mode");
                modemText("OK", out);
            } else {
                escapeAt_ = now + guard;
            }
            return;
        }
        if (plus_ > 0) {
            rz_.assign(static_cast<std::size_t>(plus_), '+');
            plus_ = 0;
        }
    }
    if (rz_.empty()) {
        if (b == 0) return; // wake-up byte
        if (b < 6) {
            log("stray byte " + hex(std::span(&b, 1)) + " dropped");
            return;
        }
    }
    rz_.push_back(b);
    if (rz_.size() == rz_[0]) {
        Bytes frame;
        frame.swap(rz_);
        rzFrameIn(frame, "", out);
    }
}

void Session::feedModbus(std::uint8_t b, Clock::time_point, std::vector<Transmission>& out) {
    mb_.push_back(b);
    std::size_t n = modbusLength(mb_);
    if (n && mb_.size() >= n) {
        Bytes frame(mb_.begin(), mb_.begin() + static_cast<long>(n));
        mb_.erase(mb_.begin(), mb_.begin() + static_cast<long>(n));
        modbusFrameIn(frame, out);
    }
}

void Session::feedModem(std::uint8_t b, Clock::time_point, std::vector<Transmission>& out) {
    if (config_.modem->echo) out.push_back(Transmission{{b}, 0, {}, config_.baud, -1});
    if (b == '\r' || b == '\n') {
        swallowLf_ = b == '\r';
        if (!atLine_.empty()) {
            std::string line;
            line.swap(atLine_);
            modemLine(line, out);
        }
        return;
    }
    if (atLine_.size() < 256) atLine_ += static_cast<char>(b);
}

void Session::modemText(const std::string& text, std::vector<Transmission>& out, int latencyMs) {
    std::string s = "\r\n" + text + "\r\n";
    out.push_back(Transmission{Bytes(s.begin(), s.end()), latencyMs, {}, config_.baud, -1});
}

void Session::modemLine(std::string line, std::vector<Transmission>& out) {
    const ModemConfig& m = *config_.modem;
    auto at = upper(line).find("AT");
    if (at == std::string::npos) {
        log("modem: \"" + line + "\" ignored: not an AT command");
        return;
    }
    std::string cmd = upper(trim(line.substr(at)));
    if (cmd == "AT") {
        log("modem: \"AT\": OK");
        modemText("OK", out);
    } else if (cmd.rfind("AT+CSQ", 0) == 0) {
        if (m.csq) {
            std::string level = "+CSQ: " + std::to_string(*m.csq) + ",99";
            log("modem: \"" + cmd + "\": " + level + ", OK");
            std::string s = "\r\n" + level + "\r\n\r\nOK\r\n";
            out.push_back(Transmission{Bytes(s.begin(), s.end()), 0, {}, config_.baud, -1});
        } else {
            log("modem: \"" + cmd + "\": ERROR");
            modemText("ERROR", out);
        }
    } else if (cmd.rfind("ATD", 0) == 0) {
        const std::string& result = m.dial[std::min(dialCount_, m.dial.size() - 1)];
        ++dialCount_;
        std::string text;
        if (result == "connect") {
            text = m.connectText;
            online_ = callUp_ = true;
            rz_.clear();
            plus_ = 0;
        } else if (result == "busy") {
            text = "BUSY";
        } else if (result == "no_carrier") {
            text = "NO CARRIER";
        } else if (result == "no_dialtone") {
            text = "NO DIALTONE";
        } else if (result == "error") {
            text = "ERROR";
        }
        log("modem: \"" + cmd + "\": " + (text.empty() ? "no answer (configured)" : text));
        if (!text.empty()) modemText(text, out, m.dialMs);
    } else if (cmd.rfind("ATH", 0) == 0) {
        log(std::string("modem: \"") + cmd + "\": OK" + (callUp_ ? ", call ended" : ""));
        callUp_ = false;
        modemText("OK", out);
    } else if (cmd.rfind("ATO", 0) == 0) {
        if (callUp_) {
            online_ = true;
            log("modem: \"" + cmd + "\": back to data mode");
            modemText(m.connectText, out);
        } else {
            log("modem: \"" + cmd + "\": NO CARRIER");
            modemText("NO CARRIER", out);
        }
    } else {
        log("modem: \"" + cmd + "\": OK");
        modemText("OK", out);
    }
}

std::vector<Transmission> Session::onDatagram(std::span<const std::uint8_t> data, const std::string& from) {
    std::vector<Transmission> out;
    std::size_t zeros = 0;
    while (zeros < data.size() && data[zeros] == 0)
        ++zeros;
    auto rest = data.subspan(zeros);
    if (rest.empty()) {
        log(from + "wake-up datagram of " + std::to_string(data.size()) + " zero byte(s): no answer");
        return out;
    }
    // only 229 and 230 take the wake-up byte; to any other device a datagram that begins with it is noise
    const bool takesWakeUp = device_.type() == 229 || device_.type() == 230;
    if (zeros > 0 && !takesWakeUp) {
        log(from + "datagram of " + std::to_string(data.size()) + " bytes (" + hex(data, 16) +
            ") ignored: this device takes no wake-up byte");
        return out;
    }
    if (rest[0] < 6 || rest.size() != rest[0]) {
        log(from + "datagram of " + std::to_string(rest.size()) + " bytes (" + hex(rest, 16) +
            ") ignored: its length byte does not match");
        return out;
    }
    rzFrameIn(rest, from, out);
    return out;
}

std::optional<Clock::time_point> Session::nextTimer() const {
    std::optional<Clock::time_point> t;
    auto earliest = [&t](Clock::time_point x) {
        if (!t || x < *t) t = x;
    };
    if (escapeAt_) earliest(*escapeAt_);
    if (!rz_.empty() || plus_ > 0) earliest(lastByte_ + std::chrono::milliseconds(config_.frameTimeoutMs));
    if (!mb_.empty()) earliest(lastByte_ + kModbusSilence);
    return t;
}

std::vector<Transmission> Session::onTimer(Clock::time_point now) {
    std::vector<Transmission> out;
    if (escapeAt_ && now >= *escapeAt_) {
        escapeAt_.reset();
        online_ = false;
        log("modem: \"+++\": command mode");
        modemText("OK", out);
    }
    if ((!rz_.empty() || plus_ > 0) && now - lastByte_ >= std::chrono::milliseconds(config_.frameTimeoutMs)) {
        if (!rz_.empty())
            log("incomplete frame dropped: " + std::to_string(rz_.size()) + " of " + std::to_string(rz_[0]) +
                " bytes (" + hex(rz_, 16) + ")");
        rz_.clear();
        plus_ = 0;
    }
    if (!mb_.empty() && now - lastByte_ >= kModbusSilence) {
        Bytes frame;
        frame.swap(mb_);
        modbusFrameIn(frame, out);
    }
    return out;
}

void Session::onLineClosed(const std::string& why) {
    if (config_.modem && (online_ || callUp_)) log("modem: " + why + ": call dropped");
    online_ = callUp_ = false;
    rz_.clear();
    mb_.clear();
    atLine_.clear();
    swallowLf_ = false;
    plus_ = 0;
    escapeAt_.reset();
}

void Session::rzFrameIn(std::span<const std::uint8_t> frame, const std::string& from,
                        std::vector<Transmission>& out) {
    if (config_.configurator && rzSwitch(frame, out)) return;
    auto r = device_.handle(frame);
    if (!r.answered) {
        log(from + frameHead(frame) + ": ignored: " + r.what);
        return;
    }
    reply(std::move(r.frame), r.command, false, r.record, from + frameHead(frame) + " (" + r.what + ")", out);
}

bool Session::rzSwitch(std::span<const std::uint8_t> f, std::vector<Transmission>& out) {
    if (f.size() != 6 || f[4] != 0xDB || !rzChecksumOk(f)) return false;
    int type = f[1], serial = f[2] | (f[3] << 8);
    if ((type != device_.type() && type != wireType(device_.type())) || serial != device_.serial())
        return false;
    const ConfiguratorConfig& c = *config_.configurator;
    int s = device_.serial();
    Bytes r = {7,
               static_cast<std::uint8_t>(type),
               static_cast<std::uint8_t>(c.serialHighFirst ? s >> 8 : s & 0xFF),
               static_cast<std::uint8_t>(c.serialHighFirst ? s & 0xFF : s >> 8),
               4,
               static_cast<std::uint8_t>(c.jumperClosed ? 0 : 1)};
    r.push_back(rzChecksum(r));
    std::string what = frameHead(f) + " (switch to Modbus RTU): ";
    if (c.jumperClosed) {
        modbus_ = true;
        what += "switched, Modbus address " + std::to_string(address_);
    } else {
        what += "set-up jumper open";
    }
    reply(std::move(r), 0xDB, false, std::nullopt, what, out);
    return true;
}

void Session::modbusFrameIn(std::span<const std::uint8_t> f, std::vector<Transmission>& out) {
    const ConfiguratorConfig& c = *config_.configurator;
    std::string head = "Modbus " + hex(f, 16);
    if (f.size() < 4) {
        log(head + ": ignored: too short");
        return;
    }
    int addr = f[0], fn = f[1];
    if (addr != address_ && addr != 0) {
        log(head + ": ignored: for address " + std::to_string(addr));
        return;
    }
    auto exception = [&](int code, const std::string& why) {
        if (addr == 0) {
            log(head + ": broadcast, " + why + ": no answer");
            return;
        }
        Bytes r = withCrc16({static_cast<std::uint8_t>(address_),
                             static_cast<std::uint8_t>((fn | 0x80) & 0xFF), static_cast<std::uint8_t>(code)});
        reply(std::move(r), fn, true, std::nullopt,
              head + ": exception " + std::to_string(code) + " (" + why + ")", out);
    };
    std::uint16_t crc = crc16Modbus(f.first(f.size() - 2));
    if (f[f.size() - 2] != (crc & 0xFF) || f[f.size() - 1] != (crc >> 8)) {
        if (c.crcException)
            exception(16, "bad CRC");
        else
            log(head + ": ignored: bad CRC");
        return;
    }
    if (fn != 6 || f.size() != 8) {
        exception(1, "function not supported");
        return;
    }
    int reg = (f[2] << 8) | f[3], value = (f[4] << 8) | f[5];
    if (reg == 0xFFFF) {
        if (value != 0) return exception(4, "bad data");
        if (!c.jumperClosed) return exception(32, "set-up jumper open");
        modbus_ = false;
        if (addr == 0) {
            log(head + ": broadcast: switched to RZ, no answer");
            return;
        }
        reply(Bytes(f.begin(), f.end()), fn, true, std::nullopt, head + ": switched to RZ", out);
    } else if (reg == 0x004C) {
        if (value < 1 || value > 247) return exception(4, "bad data");
        if (!c.jumperClosed) return exception(32, "set-up jumper open");
        address_ = value;
        if (addr == 0) {
            log(head + ": broadcast: address " + std::to_string(value) + ", no answer");
            return;
        }
        Bytes r = withCrc16(
            {static_cast<std::uint8_t>(value), 0x06, 0x00, 0x4C, 0x00, static_cast<std::uint8_t>(value)});
        reply(std::move(r), fn, true, std::nullopt, head + ": new address " + std::to_string(value), out);
    } else {
        exception(2, "bad register");
    }
}

void Session::reply(Bytes frame, int command, bool modbus, const std::optional<RecordSlot>& record,
                    const std::string& what, std::vector<Transmission>& out) {
    Transmission t;
    t.baud = config_.baud;
    std::string faults;
    for (auto& f : config_.faults) {
        if (!f.appliesTo(command, record)) continue;
        if (f.count >= 0 && f.used >= f.count) continue;
        ++f.used;
        std::string n = f.count >= 0 ? " " + std::to_string(f.used) + " of " + std::to_string(f.count) : "";
        switch (f.kind) {
        case FaultKind::Ignore:
            log(what + ": ignored: fault \"no answer\"" + n);
            return;
        case FaultKind::BadChecksum:
            frame.back() ^= 0xA5;
            faults += ", bad checksum" + n;
            break;
        case FaultKind::WrongLength: {
            long size = std::max<long>(modbus ? 4 : 6, static_cast<long>(frame.size()) + f.delta);
            if (modbus) {
                frame.resize(static_cast<std::size_t>(size - 2));
                frame = withCrc16(std::move(frame));
            } else {
                frame.pop_back();
                frame.resize(static_cast<std::size_t>(size - 1), 0);
                frame[0] = static_cast<std::uint8_t>(size);
                frame.push_back(rzChecksum(frame));
            }
            faults += ", wrong length" + n;
            break;
        }
        case FaultKind::Burst:
            for (int pos : f.splitAt)
                if (pos > 0 && static_cast<std::size_t>(pos) < frame.size())
                    t.gaps.emplace_back(static_cast<std::size_t>(pos), f.gapMs);
            faults += ", bursts with " + std::to_string(f.gapMs) + " ms gaps" + n;
            break;
        case FaultKind::Latency:
            t.latencyMs += f.ms;
            faults += ", latency " + std::to_string(f.ms) + " ms" + n;
            break;
        case FaultKind::Drop:
            t.dropAfter = f.afterBytes;
            faults += ", dropped after " + std::to_string(f.afterBytes) + " bytes" + n;
            break;
        }
    }
    std::sort(t.gaps.begin(), t.gaps.end());
    log(what + ": answered " + std::to_string(frame.size()) + " bytes" + faults);
    t.bytes = std::move(frame);
    out.push_back(std::move(t));
}

} // namespace calcsim
