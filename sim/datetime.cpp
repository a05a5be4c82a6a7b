#include "sim/datetime.h"

#include <cstdio>

namespace calcsim {

std::int64_t daysFromCivil(int y, int m, int d) {
    // Howard Hinnant's days_from_civil.
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy =
        (153 * static_cast<unsigned>(m + (m > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(d) - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

std::int64_t toSeconds(const DateTime& t) {
    return daysFromCivil(t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

DateTime fromSeconds(std::int64_t s) {
    std::int64_t z = (s >= 0 ? s : s - 86399) / 86400;
    std::int64_t secs = s - z * 86400;
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    DateTime t;
    t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    t.year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (t.month <= 2));
    t.hour = static_cast<int>(secs / 3600);
    t.minute = static_cast<int>(secs / 60 % 60);
    t.second = static_cast<int>(secs % 60);
    return t;
}

int dayCounter(const DateTime& t) {
    return static_cast<int>(daysFromCivil(t.year, t.month, t.day) - daysFromCivil(1999, 12, 31));
}

DateTime addMonths(const DateTime& t, int months) {
    DateTime r = t;
    int m = t.year * 12 + (t.month - 1) + months;
    r.year = m / 12;
    r.month = m % 12 + 1;
    return r;
}

bool validDate(int y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1) return false;
    bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

std::optional<DateTime> parseDateTime(const std::string& s) {
    DateTime t;
    int n = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                    &t.second, &n) == 6 &&
        static_cast<std::size_t>(n) == s.size()) {
    } else {
        t.second = 0;
        n = 0;
        if (std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d%n", &t.year, &t.month, &t.day, &t.hour, &t.minute,
                        &n) != 5 ||
            static_cast<std::size_t>(n) != s.size())
            return std::nullopt;
    }
    if (!validDate(t.year, t.month, t.day) || t.hour > 23 || t.minute > 59 || t.second > 59 || t.hour < 0 ||
        t.minute < 0 || t.second < 0)
        return std::nullopt;
    return t;
}

std::string formatDateTime(const DateTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buf;
}

} // namespace calcsim
