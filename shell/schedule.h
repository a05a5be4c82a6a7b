// The auto-poll schedule of the main program: the next poll time DTConn advanced by a period unit times a
// multiplier, the one-second schedule tick that starts a poll when DTConn has come, the status texts 0 and 4
// of the main window and the "Автоопрос" button. No window here: the main window and the settings window
// call these.
#pragma once

#include "dbf/types.h"
#include "poll/poll_run.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace shell {

// The period units, in the order of the settings window's list (Period is the list index).
enum PeriodUnit : int {
    kPeriodMonth = 0,
    kPeriodWeek = 1,
    kPeriodDay = 2,
    kPeriodHour = 3,
    kPeriodMinute = 4,
};
inline constexpr const char* kPeriodNames[] = {"Месяц", "Неделя", "День", "Час", "Минута"};

inline constexpr const char* kAutoPollButtonCaption = "Автоопрос";
inline constexpr const char* kAutoPollButtonHint =
    "Включение/отключение режима автоопроса объектов по расписанию.";
inline constexpr const char* kStopPollQuestion = "Внимание идет опрос объекта. Прервать опрос?";

bool isLeapYear(int64_t year);
// 31, 28 (29 in a leap year), 31, 30, ... for months 1 to 12.
int daysInMonth(int64_t year, int month);

// The date of year-month-day for a month of 1 or more and a day of 1 or more that may lie beyond the month's
// end: the surplus months become years, the surplus days roll into the following months. Throws dbf::Error
// when the result lies beyond the year 9999.
dbf::DateTime NormalizeDate(int64_t year, int64_t month, int64_t day);

// from, cut to the minute, plus one period: Period "Месяц" adds periodX months (31.01 + 1 month is 03.03),
// "Неделя" 7 × periodX days, "День" periodX days, "Час" periodX hours, "Минута" periodX minutes; minutes and
// hours carry into days. A period outside the list adds nothing. Throws dbf::Error beyond the year 9999.
dbf::DateTime advancePollTime(dbf::DateTime from, int period, int periodX);

// The decision of one schedule tick: nothing (nullopt) while a poll runs, while auto-poll is off or before
// dtconn; otherwise the new next poll time, counted from dtconn or, when the due time has passed, from now
// (a poll missed while the program was closed is made at once and the schedule goes on from that moment).
std::optional<dbf::DateTime> scheduleDecision(bool pollRunning, bool autoPollOn, dbf::DateTime now,
                                              dbf::DateTime dtconn, int period, int periodX);

// What the schedule tick needs of the program.
class ScheduleHost {
public:
    virtual ~ScheduleHost() = default;
    virtual bool pollRunning() const = 0;
    virtual bool autoPollOn() const = 0;
    // DTConn, Period and PeriodX in force.
    virtual dbf::DateTime nextPollTime() const = 0;
    virtual int period() const = 0;
    virtual int periodX() const = 0;
    // Shows the new next poll time in the settings window and runs the settings Save, which stores it with
    // the other settings.
    virtual void storeNextPollTime(dbf::DateTime t) = 0;
    // Clears the single-object flag and starts a poll of every object with AUTOCON, without a message box.
    virtual polling::StartResult startPoll() = 0;
    // A line for the event list.
    virtual void eventLine(const std::string& text) = 0;
};

// One tick of the one-second schedule timer; true when it started a poll. A start refused because another
// run holds the data folder writes "  hh:mm:ss Опрос уже запущен" to the event list (a start that failed, its
// error) and the poll waits for the next due time, which is stored before the start: one line per due time.
bool scheduleTick(ScheduleHost& host, dbf::DateTime now);
// "%10s text": a time line of the event list, as the run writes its own.
std::string eventTimeLine(dbf::DateTime now, const std::string& text);

// Status text 0: "Авто" or "Ручной".
std::string autoPollStatusText(bool autoPollOn);
// Status text 4: "Дата очередного опроса: dd.mm.yyyy hh:mm", or "Режим \"Автоопрос\" отключен".
std::string nextPollStatusText(bool autoPollOn, dbf::DateTime dtconn);

// The "Автоопрос" button went down (true) or up. Going up while a poll runs asks kStopPollQuestion: OK
// (askStop true) requests the stop and auto-poll goes off, Cancel puts the button down again. Returns the
// button's final state, which is the new AutoPollOn.
bool autoPollButtonPressed(bool down, bool pollRunning, const std::function<bool()>& askStop,
                           const std::function<void()>& requestStop);

// The next poll time as the settings window shows it: "dd.mm.yy hh:nn".
std::string nextPollEditText(dbf::DateTime t);
// Reads "d.m.yy h:n" (one or two digits each; a four-digit year is taken as it is). A two-digit year is put
// into the hundred years from currentYear - 50 to currentYear + 49. nullopt for anything else.
std::optional<dbf::DateTime> parseNextPollEditText(const std::string& text, int currentYear);

} // namespace shell
