#include "shell/schedule.h"

#include <cstdio>

namespace shell {

bool isLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int64_t year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return days[month - 1] + (month == 2 && isLeapYear(year) ? 1 : 0);
}

dbf::DateTime NormalizeDate(int64_t year, int64_t month, int64_t day) {
    for (;;) {
        year += (month - 1) / 12;
        month = (month - 1) % 12 + 1;
        if (year > 9999) throw dbf::Error("Недопустимая дата или время");
        int length = daysInMonth(year, int(month));
        if (day <= length) return dbf::DateTime::fromParts(int(year), int(month), int(day));
        day -= length;
        ++month;
    }
}

dbf::DateTime advancePollTime(dbf::DateTime from, int period, int periodX) {
    int64_t year = from.year(), month = from.month(), day = from.day();
    int64_t hour = from.hour(), minute = from.minute();
    switch (period) {
    case kPeriodMonth:
        month += periodX;
        break;
    case kPeriodWeek:
        day += 7 * int64_t(periodX);
        break;
    case kPeriodDay:
        day += periodX;
        break;
    case kPeriodHour:
        hour += periodX;
        break;
    case kPeriodMinute:
        minute += periodX;
        break;
    default: // no unit selected: the time stays where it is
        break;
    }
    hour += minute / 60;
    day += hour / 24;
    minute %= 60;
    hour %= 24;
    return NormalizeDate(year, month, day).addMs((hour * 60 + minute) * 60'000);
}

std::optional<dbf::DateTime> scheduleDecision(bool pollRunning, bool autoPollOn, dbf::DateTime now,
                                              dbf::DateTime dtconn, int period, int periodX) {
    if (pollRunning || !autoPollOn) return std::nullopt;
    if (now < dtconn) return std::nullopt;
    if (now > dtconn) dtconn = now;
    return advancePollTime(dtconn, period, periodX);
}

bool scheduleTick(ScheduleHost& host, dbf::DateTime now) {
    auto next = scheduleDecision(host.pollRunning(), host.autoPollOn(), now, host.nextPollTime(),
                                 host.period(), host.periodX());
    if (!next) return false;
    // stored first: a start that is refused leaves the poll to the next due time
    host.storeNextPollTime(*next);
    const polling::StartResult started = host.startPoll();
    switch (started.outcome) {
    case polling::StartResult::Started:
        return true;
    case polling::StartResult::Running:
    case polling::StartResult::Locked:
        host.eventLine(eventTimeLine(now, polling::kAlreadyRunning));
        return false;
    case polling::StartResult::Failed:
        host.eventLine(eventTimeLine(now, started.error));
        return false;
    }
    return false;
}

std::string eventTimeLine(dbf::DateTime now, const std::string& text) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%10s", now.timeText().c_str());
    return buf + (" " + text);
}

std::string autoPollStatusText(bool autoPollOn) {
    return autoPollOn ? "Авто" : "Ручной";
}

std::string nextPollStatusText(bool autoPollOn, dbf::DateTime dtconn) {
    if (!autoPollOn) return "Режим \"Автоопрос\" отключен";
    char buf[32];
    std::snprintf(buf, sizeof buf, " %02d:%02d", dtconn.hour(), dtconn.minute());
    return "Дата очередного опроса: " + dtconn.dateText() + buf;
}

bool autoPollButtonPressed(bool down, bool pollRunning, const std::function<bool()>& askStop,
                           const std::function<void()>& requestStop) {
    if (down || !pollRunning) return down;
    if (askStop()) {
        requestStop();
        return false;
    }
    return true;
}

std::string nextPollEditText(dbf::DateTime t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d", t.day(), t.month(), t.year() % 100, t.hour(),
                  t.minute());
    return buf;
}

namespace {

// Reads 1..maxDigits digits at s[i].
bool number(const std::string& s, size_t& i, size_t maxDigits, int& out, size_t* digits = nullptr) {
    size_t n = 0;
    out = 0;
    while (i < s.size() && n < maxDigits && s[i] >= '0' && s[i] <= '9') {
        out = out * 10 + (s[i] - '0');
        ++i;
        ++n;
    }
    if (digits) *digits = n;
    return n > 0;
}

bool skipBlanks(const std::string& s, size_t& i) {
    size_t start = i;
    while (i < s.size() && s[i] == ' ')
        ++i;
    return i > start;
}

} // namespace

std::optional<dbf::DateTime> parseNextPollEditText(const std::string& text, int currentYear) {
    size_t i = 0;
    int d = 0, m = 0, y = 0, h = 0, n = 0;
    size_t yearDigits = 0;
    skipBlanks(text, i);
    if (!number(text, i, 2, d) || i >= text.size() || text[i++] != '.') return std::nullopt;
    if (!number(text, i, 2, m) || i >= text.size() || text[i++] != '.') return std::nullopt;
    if (!number(text, i, 4, y, &yearDigits) || (yearDigits != 2 && yearDigits != 4)) return std::nullopt;
    if (!skipBlanks(text, i)) return std::nullopt;
    if (!number(text, i, 2, h) || i >= text.size() || text[i++] != ':') return std::nullopt;
    if (!number(text, i, 2, n)) return std::nullopt;
    skipBlanks(text, i);
    if (i != text.size()) return std::nullopt;
    if (yearDigits == 2) {
        int low = currentYear - 50;
        y += low - low % 100;
        if (y < low) y += 100;
    }
    try {
        return dbf::DateTime::fromParts(y, m, d, h, n);
    } catch (const dbf::Error&) {
        return std::nullopt;
    }
}

} // namespace shell
