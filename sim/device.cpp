#include "sim/device.h"

#include "sim/counters.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace calcsim {

const char* const kKindNames[3] = {"hourly", "daily", "monthly"};

std::optional<Kind> kindFromName(const std::string& name) {
    for (int k = 0; k < 3; ++k)
        if (name == kKindNames[k]) return static_cast<Kind>(k);
    return std::nullopt;
}

RecordSlot recordSlotOf(int high, int low) {
    static const int offsets[3] = {0x00, 0x80, 0xC0};
    Kind k = high >= 0xC0 ? Monthly : high >= 0x80 ? Daily : Hourly;
    return {k, (high - offsets[k]) * 256 + low};
}

int archiveDepth(int type, Kind kind) {
    static const int depths[7][3] = {
        {960, 62, 0},    // row 0: 228, 229, 230
        {1023, 128, 0},  // row 1: 225
        {0, 0, 0},       // row 2: 128
        {1080, 366, 0},  // row 3: 234, 235
        {0, 0, 0},       // row 4: 231
        {1440, 366, 36}, // row 5: 236, 237
        {1023, 128, 0},  // row 6: 238 keeps the rings of 225
    };
    int row = commandRow(type);
    return row < 0 ? 0 : depths[row][kind];
}

namespace {

double unit(std::uint64_t seed, int type, int serial, int tag, long index, const std::string& name) {
    return unitValue(seed, type, serial, tag, index, name);
}

double roundTo(double v, int decimals) {
    double p = std::pow(10.0, decimals);
    return std::round(v * p) / p;
}

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// Plausible current-state and configuration values, by field name.
double stateValue(const std::string& n, double u) {
    auto in = [u](double lo, double hi, int dec) { return roundTo(lo + (hi - lo) * u, dec); };
    if (startsWith(n, "HEnergy")) return in(1000, 50000, 2);
    if (startsWith(n, "TemperF")) return in(60, 90, 2);
    if (startsWith(n, "TemperR")) return in(35, 55, 2);
    if (startsWith(n, "TemperX")) return in(5, 20, 2);
    if (startsWith(n, "Pressure")) return in(0.3, 0.8, 2);
    if (startsWith(n, "CurrV")) return in(0.5, 10, 2);
    if (startsWith(n, "Weight")) return in(1000, 100000, 2);
    if (n == "Vmin") return in(0, 100, 2);
    if (startsWith(n, "V")) return in(1000, 100000, 2);
    if (n == "E1" || n == "E2") return in(100, 10000, 2);
    if (startsWith(n, "Counter")) return std::floor(u * 1e7);
    if (startsWith(n, "Exp")) return std::floor(u * 4);
    if (n == "Mod") return 4;
    if (n == "Flow") return in(0.5, 20, 3);
    if (n == "VolumeCounter") return std::floor(u * 1e8);
    if (n == "TimeWork") return in(100, 50000, 2);
    if (n == "Diameter") {
        static const double d[] = {0.015, 0.025, 0.032, 0.05, 0.08, 0.1, 0.15, 0.2, 0.3};
        return d[static_cast<int>(u * 9)];
    }
    if (n == "PulseWeight") {
        static const double w[] = {0.001, 0.01, 0.1, 1};
        return w[static_cast<int>(u * 4)];
    }
    if (startsWith(n, "CountWeight")) {
        // Mostly litres per pulse (flag 0, value in tenths), sometimes pulses per litre (flag 1, hundredths).
        static const double w[] = {10, 100, 1000, 25, 0x8000 + 100, 0x8000 + 1000};
        return w[static_cast<int>(u * 6)];
    }
    if (startsWith(n, "SystemType")) return std::floor(u * 4);
    if (n == "SetTemperC") return 5;
    if (n == "SetTemperC1") return 15;
    if (n == "StartDay") return 1;
    if (n == "StartMonth") return 10;
    if (n == "EndDay") return 30;
    if (n == "EndMonth") return 4;
    if (startsWith(n, "MinExpense")) return in(0.1, 2, 2);
    if (startsWith(n, "MaxExpense")) return in(20, 60, 2);
    if (n == "DayOfReport") return 1 + std::floor(u * 28);
    if (n == "FlTemperC") return u < 0.5 ? 0 : 1;
    return 0; // error bytes and the rest
}

// Values of an archive record's fields other than the counters and their period amounts; `u` varies from
// record to record.
double recordFieldValue(const std::string& n, double u) {
    auto in = [u](double lo, double hi, int dec) { return roundTo(lo + (hi - lo) * u, dec); };
    if (n == "MainTemper1" || n == "MainTemper3") return in(60, 90, 2);
    if (n == "MainTemper2" || n == "MainTemper4") return in(35, 55, 2);
    if (startsWith(n, "AddTemper")) return in(5, 20, 2);
    if (startsWith(n, "Pressure")) return in(0.3, 0.8, 3);
    if (startsWith(n, "SysErr") || n == "DevErr") return u < 0.03 ? 1 << static_cast<int>(u * 200) % 8 : 0;
    return 0; // error times and energies, ErrTime
}

// Hours since 01.01.1970 00:00 of a time (its minutes dropped).
std::int64_t hourOf(const DateTime& t) {
    return Counters::hourOf(toSeconds(t));
}

// The counters start 40 months of 31 days before the clock, further back than any record asked for.
std::int64_t anchorOf(const DateTime& clock) {
    return hourOf(clock) - 40 * 31 * 24;
}

const std::vector<double>& checkedNames(const Layout& l, const std::map<std::string, double>& values,
                                        std::vector<double>& out, const char* what) {
    for (const auto& [name, v] : values) {
        int i = l.find(name);
        if (i < 0) throw std::invalid_argument(std::string("unknown ") + what + " field \"" + name + "\"");
        out[static_cast<std::size_t>(i)] = normalize(l.fields[static_cast<std::size_t>(i)].enc, v);
    }
    return out;
}

} // namespace

Device::Device(const DeviceConfig& c)
    : type_(c.type), serial_(c.serial), row_(commandRow(c.type)), identType_(c.identType), seed_(c.seed) {
    if (row_ < 0) throw std::invalid_argument("unknown device type " + std::to_string(c.type));
    if (serial_ < 1 || serial_ > 65535) throw std::invalid_argument("serial number must be 1..65535");
    if (identType_ < 0) identType_ = wireType(type_);
    if (identType_ > 255) throw std::invalid_argument("identification type must be 0..255");

    initialClock_ = c.clock.value_or(DateTime{2024, 1, 15, 12, 0, 0});
    clockBase_ = toSeconds(initialClock_);
    clockSetAt_ = std::chrono::steady_clock::now();
    counters_.emplace(seed_, type_, serial_, anchorOf(initialClock_));

    auto fill = [&](const Layout& l, int tag) {
        std::vector<double> v;
        for (const auto& f : l.fields)
            v.push_back(normalize(f.enc, stateValue(f.name, unit(seed_, type_, serial_, tag, 0, f.name))));
        return v;
    };
    // Explicit values may name fields of either state block.
    std::map<std::string, double> first, second;
    for (const auto& [name, v] : c.state) {
        const Layout* l2 = calcsim::secondStateLayout(row_);
        if (calcsim::stateLayout(row_).find(name) < 0 && l2 && l2->find(name) >= 0)
            second[name] = v;
        else
            first[name] = v;
    }
    state_ = fill(calcsim::stateLayout(row_), 1);
    checkedNames(calcsim::stateLayout(row_), first, state_, "state");
    if (const Layout* l2 = calcsim::secondStateLayout(row_)) {
        state2_ = fill(*l2, 2);
        checkedNames(*l2, second, state2_, "state");
    }
    if (const Layout* p = calcsim::paramLayout(row_)) {
        std::vector<double> v = fill(*p, 3);
        checkedNames(*p, c.params, v, "parameter");
        params_ = encode(*p, v);
    } else if (!c.params.empty()) {
        throw std::invalid_argument("device type " + std::to_string(type_) + " has no configuration block");
    }

    for (const auto& [name, v] : c.state)
        explicitState_.insert(name);

    static const long defaults[3] = {72, 20, 6};
    for (int k = 0; k < 3; ++k) {
        depth_[k] = archiveDepth(type_, static_cast<Kind>(k));
        long f = c.filled[k] < 0 ? defaults[k] : c.filled[k];
        filled_[k] = initialFilled_[k] = depth_[k] ? f : 0;
        grow_[k] = depth_[k] ? c.grow[k] : 0;
    }
    DateTime t = initialClock_;
    t.minute = t.second = 0;
    lastStamp_[Hourly] = t;
    t.hour = 0;
    lastStamp_[Daily] = t;
    t.day = 1;
    lastStamp_[Monthly] = t;
    for (int k = 0; k < 3; ++k) {
        if (!filled_[k]) continue;
        long oldest = std::max(0L, filled_[k] - depth_[k]);
        if (dayCounter(recordTime(static_cast<Kind>(k), oldest)) < 1)
            throw std::invalid_argument(std::string("the ") + kKindNames[k] +
                                        " archive would reach back before 01.01.2000; set a later clock");
    }
    const Layout* rl = calcsim::recordLayout(row_);
    for (const auto& o : c.records) {
        if (!rl) throw std::invalid_argument("device type " + std::to_string(type_) + " keeps no archive");
        if (o.slot < 0 || o.slot >= depth_[o.kind])
            throw std::invalid_argument(std::string("record slot out of the ") + kKindNames[o.kind] +
                                        " ring");
        for (const auto& field : o.fields)
            if (rl->find(field.first) < 0)
                throw std::invalid_argument("unknown record field \"" + field.first + "\"");
    }
    overrides_ = c.records;
    for (int k = 0; k < 3; ++k) {
        if (c.recordValues[k].empty()) continue;
        if (!rl) throw std::invalid_argument("device type " + std::to_string(type_) + " keeps no archive");
        if (!depth_[k])
            throw std::invalid_argument(std::string("record values for the ") + kKindNames[k] +
                                        " archive, which device type " + std::to_string(type_) +
                                        " does not keep");
        for (const auto& field : c.recordValues[k])
            if (rl->find(field.first) < 0)
                throw std::invalid_argument("unknown record field \"" + field.first + "\"");
    }
    recordValues_ = c.recordValues;
    refreshStateCounters();
}

const Layout& Device::stateLayout() const {
    return calcsim::stateLayout(row_);
}
const Layout* Device::secondStateLayout() const {
    return calcsim::secondStateLayout(row_);
}
const Layout* Device::paramLayout() const {
    return calcsim::paramLayout(row_);
}
const Layout* Device::recordLayout() const {
    return calcsim::recordLayout(row_);
}

int Device::pointer(Kind k) const {
    return depth_[k] ? static_cast<int>(filled_[k] % depth_[k]) : 0;
}

DateTime Device::recordTime(Kind k, long index) const {
    long delta = index - (initialFilled_[k] - 1);
    switch (k) {
    case Hourly:
        return fromSeconds(toSeconds(lastStamp_[k]) + delta * 3600);
    case Daily:
        return fromSeconds(toSeconds(lastStamp_[k]) + delta * 86400);
    case Monthly:
        return addMonths(lastStamp_[k], static_cast<int>(delta));
    }
    return {};
}

double Device::recordValue(Kind k, long index, const Field& f) const {
    // a counter's reading at the record's time; a period field: what its counter added since the record
    // before
    if (Counters::isCounter(f.name))
        return normalize(f.enc, counters_->reading(f.name, hourOf(recordTime(k, index))));
    std::string counter = Counters::counterOfPeriodField(f.name);
    if (!counter.empty())
        return normalize(f.enc, counters_->amount(counter, hourOf(recordTime(k, index - 1)),
                                                  hourOf(recordTime(k, index))));
    return normalize(f.enc, recordFieldValue(f.name, unit(seed_, type_, serial_, 10 + k, index, f.name)));
}

DateTime Device::stateTime() const {
    std::int64_t t = toSeconds(initialClock_);
    for (int k = 0; k < 3; ++k)
        if (filled_[k] > 0) t = std::max(t, toSeconds(recordTime(static_cast<Kind>(k), filled_[k] - 1)));
    return fromSeconds(t);
}

void Device::refreshStateCounters() {
    const Layout& l = stateLayout();
    const std::int64_t seconds = toSeconds(stateTime());
    const std::int64_t hour = Counters::hourOf(seconds);
    const double part = static_cast<double>(seconds - hour * 3600) / 3600.0;
    for (std::size_t i = 0; i < l.fields.size(); ++i) {
        const Field& f = l.fields[i];
        std::string counter = Counters::counterOfStateField(f.name);
        if (counter.empty() || explicitState_.count(f.name)) continue;
        // the reading at the last full hour and the running hour's share of its amount
        double step = counters_->amount(counter, hour, hour + 1);
        double v = counters_->reading(counter, hour) + step * part;
        state_[i] = normalize(f.enc, v);
    }
}

std::optional<std::vector<double>> Device::record(Kind k, int slot) const {
    const Layout* l = recordLayout();
    long f = filled_[k];
    if (!l || slot < 0 || slot >= depth_[k] || slot >= f) return std::nullopt;
    long index = slot + (f - 1 - slot) / depth_[k] * depth_[k];
    DateTime t = recordTime(k, index);
    std::vector<double> v;
    for (const auto& field : l->fields) {
        if (field.name == "hour")
            v.push_back(t.hour);
        else if (field.name == "day")
            v.push_back(dayCounter(t));
        else if (field.name == "RecNum")
            v.push_back(slot);
        else
            v.push_back(recordValue(k, index, field));
    }
    auto set = [&](const std::map<std::string, double>& values) {
        for (const auto& [name, x] : values) {
            auto i = static_cast<std::size_t>(l->find(name));
            v[i] = normalize(l->fields[i].enc, x);
        }
    };
    set(recordValues_[k]);
    for (const auto& o : overrides_)
        if (o.kind == k && o.slot == slot) set(o.fields);
    return v;
}

DateTime Device::clock() const {
    auto elapsed = std::chrono::steady_clock::now() - clockSetAt_;
    return fromSeconds(clockBase_ + std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

void Device::endArchiveSession() {
    for (int k = 0; k < 3; ++k)
        filled_[k] += grow_[k];
    refreshStateCounters();
}

Bytes Device::pointersPayload() const {
    auto u16 = [](Bytes& b, int v) {
        b.push_back(static_cast<std::uint8_t>(v & 0xFF));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    Bytes p;
    u16(p, pointer(Hourly));
    switch (row_) {
    case 0: // hourly word, daily byte, one spare byte
        p.push_back(static_cast<std::uint8_t>(pointer(Daily)));
        p.push_back(0);
        break;
    case 1:
    case 6: // hourly word, daily byte
        p.push_back(static_cast<std::uint8_t>(pointer(Daily)));
        break;
    case 3:
        u16(p, pointer(Daily));
        break;
    case 5:
        u16(p, pointer(Daily));
        u16(p, pointer(Monthly));
        break;
    }
    return p;
}

Bytes Device::recordPayload(RecordSlot r, std::string& what) const {
    const Layout* l = recordLayout();
    Kind k = r.kind;
    int slot = r.slot;
    what = std::string("archive record ") + kKindNames[k] + " " + std::to_string(slot);
    auto values = record(k, slot);
    if (!values) {
        what += slot >= depth_[k] ? " (beyond the ring: zeros)" : " (never written: zeros)";
        return Bytes(static_cast<std::size_t>(l->size), 0);
    }
    return encode(*l, *values);
}

Device::Reply Device::handle(std::span<const std::uint8_t> f) {
    Reply r;
    if (f.size() < 6 || f[0] != f.size()) {
        r.what = "not a frame";
        return r;
    }
    if (!rzChecksumOk(f)) {
        r.what = "bad checksum";
        return r;
    }
    int type = f[1], serial = f[2] | (f[3] << 8), code = f[4];
    if (type == 0 && serial == 0) {
        if (code != 0 || f.size() != 6) {
            r.what = "type 0 serial 0 frame that is not an identification";
            return r;
        }
        r.command = 0;
        r.answered = true;
        r.what = "identification";
        r.frame = rzFrame(identType_, serial_, 0, {});
        return r;
    }
    if (type != wireType(type_)) {
        r.what = "frame for type " + std::to_string(type);
        return r;
    }
    if (serial != serial_) {
        r.what = "frame for serial " + std::to_string(serial);
        return r;
    }
    r.command = code;
    const Command* c = findCommand(row_, code);
    if (!c) {
        r.what = "unknown command " + hex(f.subspan(4, 1));
        return r;
    }
    if (static_cast<int>(f.size()) != c->requestLength) {
        r.what = std::string(c->name) + " of wrong length " + std::to_string(f.size()) + " (expects " +
                 std::to_string(c->requestLength) + ")";
        return r;
    }
    r.what = c->name;
    Bytes payload;
    auto in = f.subspan(5, f.size() - 6);
    switch (c->op) {
    case Op::State:
        payload = statePayload(stateLayout(), state_);
        break;
    case Op::ParamRead:
        if (row_ == 4)
            payload = statePayload(*secondStateLayout(), state2_);
        else
            payload = params_;
        break;
    case Op::ParamWrite:
        if (in.size() == params_.size()) params_.assign(in.begin(), in.end());
        payload.push_back(0);
        break;
    case Op::Pointers:
        payload = pointersPayload();
        break;
    case Op::Record:
        r.record = recordSlotOf(in[1], in[0]);
        payload = recordPayload(*r.record, r.what);
        break;
    case Op::ArchiveEnd:
        endArchiveSession();
        break;
    case Op::SetClock: {
        int minutes = in[0] | (in[1] << 8), day = in[2], month = in[3], year = 2000 + in[4];
        if (minutes < 1440 && validDate(year, month, day)) {
            DateTime t{year, month, day, minutes / 60, minutes % 60, 0};
            clockBase_ = toSeconds(t);
            clockSetAt_ = std::chrono::steady_clock::now();
            r.what += " to " + formatDateTime(t);
        } else {
            r.what += " with an impossible date (clock kept)";
        }
        break;
    }
    case Op::Identify:
    case Op::Service:
    case Op::ArchiveBegin:
    case Op::Other:
        break;
    }
    payload.resize(static_cast<std::size_t>(c->responseLength - 6), 0);
    r.answered = true;
    r.frame = rzFrame(type, serial_, code, payload);
    return r;
}

} // namespace calcsim
