#include "dbf/types.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace dbf {

namespace {

// Days from 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

void civilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t yy = int64_t(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = int(yy + (m <= 2));
}

// 01.01.0001 is day 1.
constexpr int64_t kDay1 = daysFromCivil(1, 1, 1) - 1;
constexpr int64_t kOleEpochDay = daysFromCivil(1899, 12, 30) - kDay1;

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool isLeap(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int daysInMonth(int y, int m) {
    static const int dm[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : dm[m - 1];
}

// Reads up to maxDigits digits at s[i]; false when there are fewer than minDigits.
bool readNum(std::string_view s, size_t& i, int minDigits, int maxDigits, int& out) {
    int n = 0, v = 0;
    while (i < s.size() && n < maxDigits && s[i] >= '0' && s[i] <= '9') {
        v = v * 10 + (s[i] - '0');
        ++i;
        ++n;
    }
    out = v;
    return n >= minDigits;
}

} // namespace

DateTime DateTime::fromParts(int year, int month, int day, int hour, int minute, int second, int msec) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) ||
        hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || msec < 0 ||
        msec > 999)
        throw Error("Недопустимая дата или время");
    int64_t dn = daysFromCivil(year, unsigned(month), unsigned(day)) - kDay1;
    return DateTime(dn * kMsPerDay + ((hour * 60 + minute) * 60 + second) * 1000LL + msec);
}

DateTime DateTime::now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    tm lt{};
    localtime_r(&t, &lt);
    return fromParts(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min,
                     lt.tm_sec > 59 ? 59 : lt.tm_sec, int(ts.tv_nsec / 1000000));
}

std::optional<DateTime> DateTime::parse(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    size_t i = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    bool iso = s.size() >= 5 && s[4] == '-';
    if (iso) {
        if (!readNum(s, i, 4, 4, y) || i >= s.size() || s[i++] != '-' || !readNum(s, i, 1, 2, mo) ||
            i >= s.size() || s[i++] != '-' || !readNum(s, i, 1, 2, d))
            return std::nullopt;
    } else {
        if (!readNum(s, i, 1, 2, d) || i >= s.size() || s[i++] != '.' || !readNum(s, i, 1, 2, mo) ||
            i >= s.size() || s[i++] != '.' || !readNum(s, i, 4, 4, y))
            return std::nullopt;
    }
    if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T') return std::nullopt;
        while (i < s.size() && (s[i] == ' ' || s[i] == 'T'))
            ++i;
        if (!readNum(s, i, 1, 2, h) || i >= s.size() || s[i++] != ':' || !readNum(s, i, 2, 2, mi))
            return std::nullopt;
        if (i < s.size()) {
            if (s[i++] != ':' || !readNum(s, i, 2, 2, sec)) return std::nullopt;
            if (i < s.size()) {
                if (s[i] != '.' && s[i] != ',') return std::nullopt;
                ++i;
                size_t start = i;
                if (!readNum(s, i, 1, 3, ms)) return std::nullopt;
                for (size_t k = i - start; k < 3; ++k)
                    ms *= 10;
                if (i != s.size()) return std::nullopt;
            }
        }
    }
    try {
        return fromParts(y, mo, d, h, mi, sec, ms);
    } catch (const Error&) {
        return std::nullopt;
    }
}

DateTime DateTime::fromOleDays(double days) {
    // a stamp that is no day of 01.01.0001 to 31.12.9999 (NaN, an infinity, a damaged setting) is empty
    if (!(days > double(-kOleEpochDay) - 1 && days < 2'958'466.0)) return DateTime();
    double ip = std::trunc(days);
    double frac = std::fabs(days - ip);
    int64_t ms = (int64_t(ip) + kOleEpochDay) * kMsPerDay + int64_t(std::llround(frac * double(kMsPerDay)));
    return DateTime(ms);
}

double DateTime::toOleDays() const {
    int64_t dn = floorDiv(ms_, kMsPerDay);
    int64_t rest = ms_ - dn * kMsPerDay;
    double whole = double(dn - kOleEpochDay);
    double frac = double(rest) / double(kMsPerDay);
    return whole < 0 ? whole - frac : whole + frac;
}

int64_t DateTime::dayNumber() const {
    return floorDiv(ms_, kMsPerDay);
}

int DateTime::year() const {
    int y, m, d;
    civilFromDays(dayNumber() + kDay1, y, m, d);
    return y;
}

int DateTime::month() const {
    int y, m, d;
    civilFromDays(dayNumber() + kDay1, y, m, d);
    return m;
}

int DateTime::day() const {
    int y, m, d;
    civilFromDays(dayNumber() + kDay1, y, m, d);
    return d;
}

int DateTime::hour() const {
    return int((ms_ - dayNumber() * kMsPerDay) / 3'600'000);
}
int DateTime::minute() const {
    return int((ms_ - dayNumber() * kMsPerDay) / 60'000 % 60);
}
int DateTime::second() const {
    return int((ms_ - dayNumber() * kMsPerDay) / 1000 % 60);
}
int DateTime::msec() const {
    return int((ms_ - dayNumber() * kMsPerDay) % 1000);
}

DateTime DateTime::date() const {
    return DateTime(dayNumber() * kMsPerDay);
}

std::string DateTime::dateText() const {
    int y, m, d;
    civilFromDays(dayNumber() + kDay1, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
    return buf;
}

std::string DateTime::timeText() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour(), minute(), second());
    return buf;
}

std::string DateTime::text() const {
    std::string s = dateText() + " " + timeText();
    if (int z = msec()) {
        char buf[8];
        std::snprintf(buf, sizeof buf, ".%03d", z);
        s += buf;
    }
    return s;
}

} // namespace dbf
