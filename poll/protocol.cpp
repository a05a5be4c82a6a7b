#include "poll/protocol.h"

#include "dbf/table.h"
#include "devdata/catalogue.h"

#include <algorithm>
#include <cstdio>

namespace polling {

uint8_t frameChecksum(const uint8_t* data, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += data[i];
    return uint8_t(0x100 - (sum & 0xFF));
}

bool checksumOk(const uint8_t* data, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += data[i];
    return (sum & 0xFF) == 0;
}

std::string hexBytes(const uint8_t* data, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        s += b;
    }
    return s;
}

size_t destSize(Dest d) {
    switch (d) {
    case Dest::None:
        return 0;
    case Dest::S0:
        return 99;
    case Dest::S1:
        return 35;
    case Dest::S2:
        return 25;
    case Dest::S3:
        return 123;
    case Dest::S4a:
        return 14;
    case Dest::S4b:
        return 56;
    case Dest::P0:
        return 40;
    case Dest::P3:
        return 94;
    case Dest::A0:
        return 160;
    case Dest::A1:
        return 43;
    case Dest::A3:
        return 216;
    }
    return 0;
}

namespace {

constexpr CommandEntry E(uint8_t code, uint8_t req, uint8_t resp, Dest d = Dest::None) {
    return {code, req, resp, 0, d};
}
constexpr CommandEntry None(uint8_t code) {
    return {code, 0, 0, 0, Dest::None};
}

// Rows 3 and 5 differ only in the length of the archive-pointer reply.
constexpr std::array<CommandEntry, kCommandEntries> rowWithMasses(uint8_t pointerReply) {
    return {E(0x00, 6, 6),
            E(0xF0, 10, 7),
            E(0x01, 6, 129, Dest::S3),
            E(0x04, 100, 7, Dest::P3),
            E(0x05, 6, 100, Dest::P3),
            E(0x15, 6, pointerReply),
            E(0x14, 6, 6),
            E(0x03, 8, 222, Dest::A3),
            E(0xFE, 6, 6),
            E(0x0B, 11, 6),
            E(0x09, 6, 7),
            E(0x06, 6, 7),
            E(0x0D, 23, 23),
            E(0x02, 8, 7),
            E(0x0C, 8, 40)};
}

// Rows 1 and 6 are identical.
constexpr std::array<CommandEntry, kCommandEntries> rowOneSystem() {
    return {E(0x00, 6, 6), E(0xF0, 10, 6), E(0x01, 6, 41, Dest::S1), E(0x04, 23, 7), E(0x05, 6, 23),
            E(0x15, 6, 9), None(0x00),     E(0x03, 8, 49, Dest::A1), None(0x00),     E(0x0B, 11, 6),
            E(0x09, 6, 6), E(0x06, 6, 6),  E(0x0D, 15, 14),          None(0x00),     None(0x00)};
}

} // namespace

const std::array<std::array<CommandEntry, kCommandEntries>, kCommandRows> kCommandTable = {{
    // row 0: 229, 230 (and 228)
    {E(0x00, 6, 6), E(0xF0, 10, 7), E(0x01, 6, 105, Dest::S0), E(0x04, 46, 7, Dest::P0),
     E(0x05, 6, 46, Dest::P0), E(0x15, 6, 10), E(0x14, 6, 6), E(0x03, 8, 166, Dest::A0), E(0xFE, 6, 6),
     E(0x0B, 11, 6), E(0x09, 6, 7), E(0x06, 6, 7), E(0x0D, 23, 23), E(0x02, 8, 7), E(0x0C, 8, 40)},
    // row 1: 225
    rowOneSystem(),
    // row 2: 128
    {E(0x00, 6, 6), E(0xF0, 10, 6), E(0x01, 6, 31, Dest::S2), None(0x04), None(0x05), None(0x15), None(0x00),
     None(0x03), None(0x00), None(0x0B), None(0x09), None(0x06), None(0x0D), None(0x00), None(0x00)},
    // row 3: 234, 235
    rowWithMasses(10),
    // row 4: 231
    {E(0x00, 6, 6), E(0xF0, 10, 6), E(0x06, 6, 20, Dest::S4a), None(0x04), E(0x05, 6, 62, Dest::S4b),
     None(0x15), None(0x00), None(0x03), None(0x00), None(0x0B), None(0x09), None(0x06), None(0x0D),
     None(0x00), None(0x00)},
    // row 5: 236, 237
    rowWithMasses(12),
    // row 6: 238
    rowOneSystem(),
}};

int commandRowOf(int deviceType) {
    if (!devdata::findDeviceType(deviceType)) return -1;
    return devdata::commandRow(deviceType);
}

Protocol::Protocol(Clock& clock, StopSignal& stop, ProtocolObserver* observer)
    : clock_(clock), stop_(stop), observer_(observer) {
    for (size_t i = 0; i < records_.size(); ++i)
        records_[i].assign(destSize(Dest(i)), 0);
}

const CommandEntry& Protocol::entry(int index) const {
    return kCommandTable.at(size_t(row_)).at(size_t(index));
}

std::span<uint8_t> Protocol::record(Dest d) {
    return records_[size_t(d)];
}
std::span<const uint8_t> Protocol::record(Dest d) const {
    return records_[size_t(d)];
}

void Protocol::prepareRequest(int entryIndex) {
    request_.resize(entry(entryIndex).requestLength);
}

void Protocol::terminal(const std::string& line) {
    if (observer_) observer_->terminalLine(line);
}

void Protocol::event(const std::string& line) {
    if (observer_) observer_->eventLine(line);
}

ExchangeState Protocol::exchangeFrame(int deviceType, size_t responseLength) {
    if (!transport_) throw TransportError("Соединение не установлено");
    Transport& t = *transport_;
    // an answer that came after its time-out may still be on its way: it must not be taken for the answer
    // to another request (a retry of the same request may take it, it is that request's answer)
    if (lineMayHoldLate_ && request_ != lateRequest_) drainLateInput();
    terminal("");
    terminal("Send:  " + hexBytes(request_.data(), request_.size()));
    t.discardInput();
    received_.clear();
    state_ = ExchangeState::Waiting;

    const bool wake = deviceType == 229 || deviceType == 230;
    const uint8_t zero = 0;
    switch (t.netType()) {
    case NetType::Com:
    case NetType::Modem:
        if (wake) t.send(&zero, 1);
        t.send(request_.data(), request_.size());
        break;
    case NetType::Udp:
        if (wake) {
            t.send(&zero, 1);
            std::vector<uint8_t> d(1, 0);
            d.insert(d.end(), request_.begin(), request_.end());
            t.send(d.data(), d.size());
        } else {
            t.send(request_.data(), request_.size());
        }
        break;
    case NetType::Tcp:
        t.send(request_.data(), request_.size());
        break;
    }

    const bool tcp = t.netType() == NetType::Tcp;
    bool frameTaken = false; // TCP: a whole frame of its own length is in; the rest is dropped
    TimePoint deadline = clock_.now() + kSilenceTimeout;
    uint8_t buf[512];
    while (state_ == ExchangeState::Waiting) {
        if (stop_.requested()) break;
        const TimePoint now = clock_.now();
        if (now >= deadline) {
            state_ = ExchangeState::TimedOut;
            break;
        }
        const auto left = std::chrono::ceil<Duration>(deadline - now);
        pollfd p[2] = {{t.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        int r = clock_.pollFds(p, 2, left);
        if (r < 0) throw TransportError("Ошибка ожидания ответа");
        if (r == 0 || !(p[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
        size_t n = t.receive(buf, sizeof buf);
        if (n == 0) {
            if (p[0].revents & (POLLERR | POLLHUP)) throw TransportError("Связь прервана");
            continue;
        }
        if (frameTaken) continue;
        received_.insert(received_.end(), buf, buf + n);
        deadline = clock_.now() + kSilenceTimeout;
        if (tcp) {
            // the first byte of a reply is its length; zero bytes in front of it are skipped
            auto nz = std::find_if(received_.begin(), received_.end(), [](uint8_t b) { return b != 0; });
            received_.erase(received_.begin(), nz);
            if (received_.empty()) continue;
            if (received_.size() < received_[0]) continue;
            received_.resize(received_[0]);
            frameTaken = true;
            terminal("");
            terminal("Read:  " + hexBytes(received_.data(), received_.size()));
            if (received_.size() == responseLength) state_ = ExchangeState::Complete;
            continue;
        }
        terminal("");
        terminal("Read:  " + hexBytes(received_.data(), received_.size()));
        if (received_[0] != 0 && received_.size() == received_[0] && received_.size() == responseLength)
            state_ = ExchangeState::Complete;
    }
    return state_;
}

// Reads and drops whatever comes in until the line has been silent for one silence time-out (at most a few
// of them in all, so that a chattering line cannot hold the poll).
void Protocol::drainLateInput() {
    Transport& t = *transport_;
    lineMayHoldLate_ = false;
    lateRequest_.clear();
    uint8_t buf[512];
    const TimePoint limit = clock_.now() + 4 * kSilenceTimeout;
    while (!stop_.requested()) {
        const TimePoint now = clock_.now();
        if (now >= limit) break;
        pollfd p[2] = {{t.fd(), POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
        const int r =
            clock_.pollFds(p, 2, std::min(kSilenceTimeout, std::chrono::ceil<Duration>(limit - now)));
        if (r <= 0 || !(p[0].revents & (POLLIN | POLLERR | POLLHUP))) break;
        const size_t n = t.receive(buf, sizeof buf);
        if (n == 0 && (p[0].revents & (POLLERR | POLLHUP))) break;
        if (n > 0) {
            terminal("");
            terminal("Late:  " + hexBytes(buf, n));
        }
    }
    t.discardInput();
}

bool Protocol::sendCommand(int entryIndex, int attempts, int deviceType, int serial) {
    const CommandEntry& e = entry(entryIndex);
    request_.resize(e.requestLength);
    response_.assign(e.responseLength, 0);
    if (e.requestLength == 0 && e.responseLength == 0) return true;
    if (e.requestLength < 6) return false;
    const int wireType = deviceType == 231 ? 230 : deviceType;
    request_[0] = e.requestLength;
    request_[1] = uint8_t(wireType);
    request_[2] = uint8_t(serial & 0xFF);
    request_[3] = uint8_t((serial >> 8) & 0xFF);
    request_[4] = e.code;
    request_.back() = frameChecksum(request_.data(), request_.size() - 1);

    std::span<uint8_t> dest = record(e.dest);
    const size_t payload = e.responseLength >= 6 ? std::min<size_t>(e.responseLength - 6, dest.size()) : 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (stop_.requested()) return false;
        std::fill(response_.begin(), response_.end(), 0);
        std::fill_n(dest.begin(), payload, 0);
        ExchangeState st;
        try {
            // the wake-up byte goes to 229 and 230 only, not to a 231 addressed as 230
            st = exchangeFrame(deviceType, e.responseLength);
        } catch (const TransportError&) {
            clock_.sleepFor(kTransportErrorPause, nullptr);
            continue;
        }
        if (st == ExchangeState::TimedOut) {
            lineMayHoldLate_ = true;
            lateRequest_ = request_;
        }
        if (st != ExchangeState::Complete) continue;
        std::copy(received_.begin(), received_.end(), response_.begin());
        const bool echo = std::equal(response_.begin() + 1, response_.begin() + 5, request_.begin() + 1);
        if (response_[0] != e.responseLength || !(echo || response_[4] == 0)) {
            // most likely the late answer to an earlier request: this request's own may follow
            lineMayHoldLate_ = true;
            lateRequest_ = request_;
            continue;
        }
        if (frameChecksum(response_.data(), size_t(response_[0]) - 1) != response_[e.responseLength - 1])
            continue;
        if (e.dest == Dest::None || e.responseLength < 7) return true;
        std::copy_n(response_.begin() + 5, payload, dest.begin());
        return true;
    }
    return false;
}

bool Protocol::checkReply(int entryIndex) const {
    const CommandEntry& e = entry(entryIndex);
    if (response_.empty() || request_.size() < 5) return false;
    const uint8_t len = response_[0];
    if (len != e.responseLength && len != 6) return false;
    if (len < 6 || len > response_.size()) return false;
    if (!std::equal(response_.begin() + 1, response_.begin() + 5, request_.begin() + 1)) return false;
    return frameChecksum(response_.data(), size_t(len) - 1) == response_[len - 1];
}

std::optional<Protocol::Identity> Protocol::identifyDevice(bool registeredAs231, int attempts) {
    if (!sendCommand(kIdentify, attempts, 0, 0)) return std::nullopt;
    Identity id;
    id.deviceType = response_[1];
    if (id.deviceType == 230 && registeredAs231) id.deviceType = 231;
    id.serial = response_[2] + 256 * response_[3];
    return id;
}

bool Protocol::testRegistered(int deviceType, int serial, int attempts) {
    if (!devdata::isPolledType(deviceType) || serial == 0) return false;
    bool ok = sendCommand(kIdentify, attempts, deviceType, serial);
    row_ = commandRowOf(deviceType);
    return ok;
}

bool Protocol::setDeviceClock(int deviceType, int serial, int attempts, const dbf::DateTime& now) {
    if (entry(kSetClock).requestLength == 0 || serial == 0) return false;
    // 238 has the clock command in its row like 225, and its clock is set like theirs
    if (!devdata::isPolledType(deviceType)) return false;
    prepareRequest(kSetClock);
    const int minutes = now.hour() * 60 + now.minute();
    request_[5] = uint8_t(minutes & 0xFF);
    request_[6] = uint8_t(minutes >> 8);
    request_[7] = uint8_t(now.day());
    request_[8] = uint8_t(now.month());
    request_[9] = uint8_t(now.year() % 100);
    return sendCommand(kSetClock, attempts, deviceType, serial);
}

} // namespace polling

namespace polling {

bool Protocol::testLink(CurrentObject& object, int attempts, dbf::Table* objects) {
    bool result = false;
    if (object.serial == 0) {
        event("Определение подключенного устройсва");
        const bool was231 = object.deviceType == 231;
        object.deviceType = 0;
        auto id = identifyDevice(was231, attempts);
        result = id.has_value();
        if (id) {
            object.deviceType = id->deviceType;
            object.serial = id->serial;
            char head[64], tail[64];
            std::snprintf(head, sizeof head, "Определен тип %3d - ", id->deviceType);
            std::snprintf(tail, sizeof tail, " серийный номер %5d", id->serial);
            event(head + devdata::deviceTypeName(id->deviceType) + tail);
            if (objects) {
                try {
                    objects->edit();
                    objects->setInt("DEVTYPE", id->deviceType);
                    objects->setInt("SERIALNUM", id->serial);
                    objects->post();
                    event("Новое устройство зарегистрировано в БД");
                } catch (const std::exception&) {
                    objects->cancel();
                    event("Ошибка регистрации прибора в БД");
                }
            }
        } else {
            event("Прибор не определен");
        }
    }
    if (devdata::isPolledType(object.deviceType) && object.serial != 0)
        result = testRegistered(object.deviceType, object.serial, attempts);
    return result;
}

} // namespace polling
