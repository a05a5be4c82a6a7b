// The integral counters of one simulated heat calculator: operating and error hours, heat, volumes, masses,
// hot-water volume at low temperature and electric energy. Each counter grows every hour by an amount that
// depends only on the device (seed, type, serial), the counter and the hour; the archive records carry the
// readings at their time stamps and the state carries the reading at the device clock.
//
// Amounts and readings lie on a binary grid (whole hours; 1/1024 Gcal, kWh and m³ of hot water; 1/128 m³ and
// t) and, over the 40 months a device's counters run before its clock, stay below 2^24 grid steps, so that a
// reading is exact as an IEEE single and the difference of two readings is exactly the sum of the hourly
// amounts between them.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace calcsim {

// A number in [0, 1) that depends only on its arguments.
double unitValue(std::uint64_t seed, int type, int serial, int tag, long index, const std::string& name);

class Counters {
public:
    // anchorHour: the hour whose readings are the counters' starting values (hours since 01.01.1970 00:00);
    // every reading asked for lies after it.
    Counters(std::uint64_t seed, int type, int serial, std::int64_t anchorHour);
    // The hour of a time (hours since 01.01.1970 00:00, the minutes dropped).
    static std::int64_t hourOf(std::int64_t seconds);

    // WorkTime, WorkTimeErr1, WorkTimeErr2, HEnergy1, HEnergy2, Volume1 … Volume6, Weight1 … Weight6,
    // ErrHVolume, ElEnergy1, ElEnergy2.
    static bool isCounter(const std::string& name);
    // The counter whose period amount a record field carries: CurrWorkTime → WorkTime, CurrHeatEnergyN →
    // HEnergyN, CurrVolumeN → VolumeN, CurrWeightN → WeightN; empty for any other name.
    static std::string counterOfPeriodField(const std::string& name);
    // The counter a current-state field shows: HEnergy1, HEnergy2; V11, V21, V31, V12, V22, V32 → Volume1 …
    // Volume6; Weight11 … Weight32 → Weight1 … Weight6; E1, E2 → ElEnergy1, ElEnergy2 (layout B); empty for
    // any other name.
    static std::string counterOfStateField(const std::string& name);

    // Reading of a counter at the start of the hour (hours since 01.01.1970 00:00).
    double reading(const std::string& counter, std::int64_t hour) const;
    // What the counter added from the start of hour `from` to the start of hour `to`.
    double amount(const std::string& counter, std::int64_t from, std::int64_t to) const;

private:
    struct Series {
        double step = 1;        // grid step
        std::int64_t start = 0; // reading at the anchor, in steps
        std::int64_t low = 0;   // least hourly amount, in steps
        // Hourly amount = low + hourOfDay[h % 24] + hourCycle[h % 97] + weekday[d % 7] + monthDay[d % 31]
        // (d = h / 24); each table holds its prefix sums, entry 0 being 0.
        std::int64_t hourOfDay[25] = {}, hourCycle[98] = {}, weekday[8] = {}, monthDay[32] = {};
    };
    // Steps added from 01.01.1970 00:00 to the start of hour h.
    static std::int64_t sum(const Series& s, std::int64_t h);
    const Series& series(const std::string& counter) const;

    std::int64_t anchor_;
    std::map<std::string, Series> series_;
};

} // namespace calcsim
