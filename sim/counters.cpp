#include "sim/counters.h"

#include <cmath>
#include <stdexcept>

namespace calcsim {

namespace {

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::uint64_t fnv(const std::string& s) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : s)
        h = (h ^ c) * 0x100000001B3ull;
    return h;
}

// What one counter is like: its grid step, the range of its reading at the anchor and of its hourly amount
// (in the counter's units: h, Gcal, m³, t, kWh).
struct Kind {
    double step;
    double startLow, startHigh;
    double hourLow, hourHigh;
};

constexpr double kFine = 1.0 / 1024;  // Gcal, kWh, the small hot-water volume
constexpr double kCoarse = 1.0 / 128; // m³ and t of the pipes

// nullptr for a name that is no counter.
const Kind* kindOf(const std::string& n) {
    static const Kind workTime{1, 1000, 20000, 1, 1};
    static const Kind errorTime{1, 50, 400, 0, 0}; // its hours come from the error cycle alone
    static const Kind heat1{kFine, 1000, 5000, 0.03, 0.25};
    static const Kind heat2{kFine, 500, 3000, 0.01, 0.12};
    static const Kind pipe{kCoarse, 1000, 20000, 0.8, 3.5};
    static const Kind third{kCoarse, 200, 5000, 0.1, 1.0}; // Volume3, Volume6 and their masses
    static const Kind coldWater{kFine, 50, 300, 0, 0.05};
    static const Kind electric{kFine, 100, 2000, 0.05, 0.45};
    if (n == "WorkTime") return &workTime;
    if (n == "WorkTimeErr1" || n == "WorkTimeErr2") return &errorTime;
    if (n == "HEnergy1") return &heat1;
    if (n == "HEnergy2") return &heat2;
    for (const char* prefix : {"Volume", "Weight"}) {
        std::string p = prefix;
        if (n.size() == p.size() + 1 && n.compare(0, p.size(), p) == 0 && n.back() >= '1' && n.back() <= '6')
            return n.back() == '3' || n.back() == '6' ? &third : &pipe;
    }
    if (n == "ErrHVolume") return &coldWater;
    if (n == "ElEnergy1" || n == "ElEnergy2") return &electric;
    return nullptr;
}

const char* const kCounterNames[] = {"WorkTime", "WorkTimeErr1", "WorkTimeErr2", "HEnergy1",  "HEnergy2",
                                     "Volume1",  "Volume2",      "Volume3",      "Volume4",   "Volume5",
                                     "Volume6",  "Weight1",      "Weight2",      "Weight3",   "Weight4",
                                     "Weight5",  "Weight6",      "ErrHVolume",   "ElEnergy1", "ElEnergy2"};

// floor(a / b) and the remainder that goes with it, for b > 0.
std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Sum of the first n entries of a cyclic table of length `period` whose prefix sums are `pre`.
std::int64_t cyclic(const std::int64_t* pre, int period, std::int64_t n) {
    std::int64_t q = floorDiv(n, period);
    return q * pre[period] + pre[n - q * period];
}

} // namespace

double unitValue(std::uint64_t seed, int type, int serial, int tag, long index, const std::string& name) {
    std::uint64_t h = splitmix(seed);
    h = splitmix(h ^ static_cast<std::uint64_t>(type) ^ (static_cast<std::uint64_t>(serial) << 8));
    h = splitmix(h ^ (static_cast<std::uint64_t>(tag) << 40) ^ static_cast<std::uint64_t>(index));
    h = splitmix(h ^ fnv(name));
    return static_cast<double>(h >> 11) / 9007199254740992.0;
}

std::int64_t Counters::hourOf(std::int64_t seconds) {
    return floorDiv(seconds, 3600);
}

Counters::Counters(std::uint64_t seed, int type, int serial, std::int64_t anchorHour) : anchor_(anchorHour) {
    for (const char* name : kCounterNames) {
        const Kind& k = *kindOf(name);
        Series s;
        s.step = k.step;
        auto u = [&](int tag, long i) { return unitValue(seed, type, serial, 30 + tag, i, name); };
        s.start = static_cast<std::int64_t>(
            std::floor((k.startLow + (k.startHigh - k.startLow) * u(0, 0)) / k.step));
        s.low = std::llround(k.hourLow / k.step);
        const std::int64_t quarter = (std::llround(k.hourHigh / k.step) - s.low) / 4;
        auto table = [&](std::int64_t* pre, int period, int tag) {
            pre[0] = 0;
            for (int i = 0; i < period; ++i) {
                std::int64_t v =
                    static_cast<std::int64_t>(std::floor(u(tag, i) * static_cast<double>(quarter + 1)));
                pre[i + 1] = pre[i] + std::min(v, quarter);
            }
        };
        table(s.hourOfDay, 24, 1);
        table(s.weekday, 7, 3);
        table(s.monthDay, 31, 4);
        if (&k == kindOf("WorkTimeErr1")) {
            // an hour with an error now and then: about one in 25 of a 97-hour cycle
            s.hourCycle[0] = 0;
            for (int i = 0; i < 97; ++i)
                s.hourCycle[i + 1] = s.hourCycle[i] + (u(2, i) < 0.04 ? 1 : 0);
        } else {
            table(s.hourCycle, 97, 2);
        }
        series_.emplace(name, s);
    }
}

bool Counters::isCounter(const std::string& name) {
    return kindOf(name) != nullptr;
}

std::string Counters::counterOfPeriodField(const std::string& n) {
    if (n == "CurrWorkTime") return "WorkTime";
    if (n == "CurrHeatEnergy1" || n == "CurrHeatEnergy2") return "HEnergy" + n.substr(n.size() - 1);
    for (const char* prefix : {"CurrVolume", "CurrWeight"}) {
        std::string p = prefix;
        if (n.size() == p.size() + 1 && n.compare(0, p.size(), p) == 0 && n.back() >= '1' && n.back() <= '6')
            return n.substr(4);
    }
    return "";
}

std::string Counters::counterOfStateField(const std::string& n) {
    if (n == "HEnergy1" || n == "HEnergy2") return n;
    if (n == "E1" || n == "E2") return "ElEnergy" + n.substr(1);
    // V<pipe><system> and Weight<pipe><system>: pipes 1-3 of system 1 are counters 1-3, of system 2 4-6
    for (const char* prefix : {"V", "Weight"}) {
        std::string p = prefix;
        if (n.size() != p.size() + 2 || n.compare(0, p.size(), p) != 0) continue;
        char pipe = n[p.size()], system = n[p.size() + 1];
        if (pipe < '1' || pipe > '3' || (system != '1' && system != '2')) continue;
        int counter = (pipe - '0') + (system == '2' ? 3 : 0);
        return (p == "V" ? "Volume" : "Weight") + std::to_string(counter);
    }
    return "";
}

std::int64_t Counters::sum(const Series& s, std::int64_t h) {
    std::int64_t day = floorDiv(h, 24), hour = h - day * 24;
    std::int64_t total = s.low * h + cyclic(s.hourOfDay, 24, h) + cyclic(s.hourCycle, 97, h);
    for (const auto& [pre, period] : {std::pair{s.weekday, 7}, std::pair{s.monthDay, 31}}) {
        std::int64_t d = day - floorDiv(day, period) * period;
        total += 24 * cyclic(pre, period, day) + hour * (pre[d + 1] - pre[d]);
    }
    return total;
}

const Counters::Series& Counters::series(const std::string& counter) const {
    auto it = series_.find(counter);
    if (it == series_.end()) throw std::invalid_argument("no counter \"" + counter + "\"");
    return it->second;
}

double Counters::reading(const std::string& counter, std::int64_t hour) const {
    const Series& s = series(counter);
    return static_cast<double>(s.start + sum(s, hour) - sum(s, anchor_)) * s.step;
}

double Counters::amount(const std::string& counter, std::int64_t from, std::int64_t to) const {
    const Series& s = series(counter);
    return static_cast<double>(sum(s, to) - sum(s, from)) * s.step;
}

} // namespace calcsim
