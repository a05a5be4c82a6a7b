// Civil date and time of the simulated device clocks, and the archive day counter (days since 31.12.1999).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace calcsim {

struct DateTime {
    int year = 2000, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// Days from 01.01.1970 for a proleptic Gregorian date.
std::int64_t daysFromCivil(int y, int m, int d);
// Seconds from 01.01.1970 00:00 (no time zone: the devices keep local time).
std::int64_t toSeconds(const DateTime& t);
DateTime fromSeconds(std::int64_t s);
// Day counter of the archive records: 31.12.1999 is day 0.
int dayCounter(const DateTime& t);
DateTime addMonths(const DateTime& t, int months);
// "YYYY-MM-DD hh:mm" or "YYYY-MM-DD hh:mm:ss"; nullopt for anything else or an impossible date.
std::optional<DateTime> parseDateTime(const std::string& s);
// "YYYY-MM-DD hh:mm:ss".
std::string formatDateTime(const DateTime& t);
bool validDate(int y, int m, int d);

} // namespace calcsim
