// The auto-poll schedule: date normalisation, the period arithmetic, the tick decision with a host that
// records what the tick did, the tick against a real poll run whose data folder another run holds, the
// status texts and the "Автоопрос" button.
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "shell/schedule.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

using dbf::DateTime;
using namespace shell;

namespace {

DateTime at(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return DateTime::fromParts(y, mo, d, h, mi, s, ms);
}

class FakeHost : public ScheduleHost {
public:
    bool running = false;
    bool on = true;
    DateTime dtconn;
    int unit = kPeriodDay;
    int times = 1;
    std::vector<DateTime> stored;
    int polls = 0;

    bool pollRunning() const override { return running; }
    bool autoPollOn() const override { return on; }
    DateTime nextPollTime() const override { return dtconn; }
    int period() const override { return unit; }
    int periodX() const override { return times; }
    void storeNextPollTime(DateTime t) override {
        // the poll must not start before the new time is stored
        EXPECT_EQ(polls, int(stored.size()));
        stored.push_back(t);
        dtconn = t;
    }
    polling::StartResult startPoll() override {
        ++polls;
        running = true;
        return {};
    }
    void eventLine(const std::string& text) override { lines.push_back(text); }
    std::vector<std::string> lines;
};

// The schedule of a program with a real poll run on a data folder of its own (an empty objects table, so
// that a run that starts ends at once). The next poll time is kept here; a poll every five minutes.
class RunHost : public ScheduleHost {
public:
    mervo::test::TempDir dir;
    std::string data = dir.file("DATA");
    polling::PollRun run{polling::systemClock()};
    DateTime dtconn;
    std::vector<std::string> lines;

    explicit RunHost(bool withFolder = true) {
        if (withFolder) makeFolder();
    }
    void makeFolder() {
        std::filesystem::create_directories(data);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
    }
    bool pollRunning() const override { return run.running(); }
    bool autoPollOn() const override { return true; }
    DateTime nextPollTime() const override { return dtconn; }
    int period() const override { return kPeriodMinute; }
    int periodX() const override { return 5; }
    void storeNextPollTime(DateTime t) override { dtconn = t; }
    polling::StartResult startPoll() override {
        polling::PollConfig c;
        c.programDir = dir.file("prog");
        c.dataDir = data;
        c.tempDir = devdata::tempDirOf(data);
        return run.start(c);
    }
    void eventLine(const std::string& text) override { lines.push_back(text); }
    // Ticks once a second from `from` (included) to `to` (excluded); how many of them started a poll.
    int tickEverySecond(DateTime from, DateTime to) {
        int started = 0;
        for (DateTime t = from; t < to; t = t.addMs(1000))
            if (scheduleTick(*this, t)) ++started;
        return started;
    }
};

} // namespace

TEST(NormalizeDate, RollsSurplusDaysAndMonthsOver) {
    struct Case {
        int64_t y, m, d;
        DateTime expected;
    } cases[] = {
        {2023, 2, 31, at(2023, 3, 3)},  // 31 January + 1 month, common year
        {2024, 2, 31, at(2024, 3, 2)},  // leap year
        {2023, 4, 31, at(2023, 5, 1)},  // 31 March + 1 month
        {2023, 13, 1, at(2024, 1, 1)},  // month 13 is January of the next year
        {2023, 25, 40, at(2025, 2, 9)}, // two years and a day surplus
        {2023, 12, 32, at(2024, 1, 1)}, // day surplus across the year's end
        {1900, 2, 29, at(1900, 3, 1)},  // divisible by 100: not leap
        {2000, 2, 29, at(2000, 2, 29)}, // divisible by 400: leap
        {2023, 1, 365, at(2023, 12, 31)}, {2024, 1, 366, at(2024, 12, 31)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NormalizeDate(c.y, c.m, c.d), c.expected) << c.y << "-" << c.m << "-" << c.d;
    EXPECT_THROW(NormalizeDate(9999, 13, 1), dbf::Error);
}

TEST(PollPeriod, AddsOneUnitTimesTheMultiplierAndCarries) {
    struct Case {
        DateTime from;
        int period, x;
        DateTime expected;
    } cases[] = {
        {at(2023, 1, 31, 12, 0), kPeriodMonth, 1, at(2023, 3, 3, 12, 0)},
        {at(2023, 5, 10, 23, 0), kPeriodMinute, 90, at(2023, 5, 11, 0, 30)},
        {at(2023, 12, 31, 20, 0), kPeriodHour, 30, at(2024, 1, 2, 2, 0)},
        {at(2023, 3, 31, 8, 15), kPeriodMonth, 1, at(2023, 5, 1, 8, 15)},
        {at(2023, 11, 15, 0, 0), kPeriodMonth, 14, at(2025, 1, 15, 0, 0)},
        {at(2023, 12, 28, 6, 0), kPeriodWeek, 1, at(2024, 1, 4, 6, 0)},
        {at(2024, 2, 28, 6, 0), kPeriodDay, 1, at(2024, 2, 29, 6, 0)},
        {at(2023, 2, 28, 6, 0), kPeriodDay, 1, at(2023, 3, 1, 6, 0)},
        // seconds and milliseconds are dropped
        {at(2023, 5, 10, 15, 37, 12, 345), kPeriodDay, 1, at(2023, 5, 11, 15, 37)},
        // the largest multipliers move the date without wrapping
        {at(2023, 1, 1, 0, 0), kPeriodWeek, 9999, at(2023, 1, 1).addDays(7 * 9999)},
        {at(2023, 1, 1, 0, 0), kPeriodMinute, 9999, at(2023, 1, 7, 22, 39)},
        {at(2023, 1, 1, 0, 0), kPeriodHour, 9999, at(2024, 2, 21, 15, 0)},
        {at(2023, 1, 1, 0, 0), kPeriodMonth, 9999, at(2856, 4, 1, 0, 0)},
        // no unit selected: only cut to the minute
        {at(2023, 5, 10, 15, 37, 12), -1, 5, at(2023, 5, 10, 15, 37)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(advancePollTime(c.from, c.period, c.x), c.expected)
            << c.from.text() << " + " << c.x << " x " << c.period;
}

TEST(ScheduleTick, WaitsForTheDueTimeThenStoresTheNextOneAndPolls) {
    FakeHost h;
    h.dtconn = at(2023, 5, 10, 23, 0);
    h.unit = kPeriodMinute;
    h.times = 90;
    EXPECT_FALSE(scheduleTick(h, at(2023, 5, 10, 22, 59, 59, 999)));
    EXPECT_EQ(h.polls, 0);
    EXPECT_TRUE(h.stored.empty());
    EXPECT_TRUE(scheduleTick(h, at(2023, 5, 10, 23, 0)));
    ASSERT_EQ(h.stored.size(), 1u);
    EXPECT_EQ(h.stored[0], at(2023, 5, 11, 0, 30));
    EXPECT_EQ(h.polls, 1);
}

TEST(ScheduleTick, MissedTimeIsPolledAtOnceAndCountedFromNow) {
    FakeHost h;
    DateTime now = at(2023, 5, 10, 15, 37, 12);
    h.dtconn = at(2023, 5, 7, 12, 0); // three days in the past
    h.unit = kPeriodDay;
    EXPECT_TRUE(scheduleTick(h, now));
    ASSERT_EQ(h.stored.size(), 1u);
    EXPECT_EQ(h.stored[0], at(2023, 5, 11, 15, 37));
    // the next tick, with the poll over, waits for tomorrow
    h.running = false;
    EXPECT_FALSE(scheduleTick(h, now.addMs(1000)));
    EXPECT_EQ(h.polls, 1);
}

TEST(ScheduleTick, AutoPollOffNeverPollsAndLeavesTheTime) {
    FakeHost h;
    h.on = false;
    h.dtconn = at(2001, 1, 1, 12, 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(scheduleTick(h, at(2023, 5, 10, 12, 0, i)));
    EXPECT_EQ(h.polls, 0);
    EXPECT_TRUE(h.stored.empty());
    EXPECT_EQ(h.dtconn, at(2001, 1, 1, 12, 0));
}

TEST(ScheduleTick, PollRunningAtTheDueTimeDelaysTheScheduledPollUntilItEnds) {
    FakeHost h;
    h.running = true; // a manual poll
    h.dtconn = at(2023, 5, 10, 12, 0);
    h.unit = kPeriodHour;
    EXPECT_FALSE(scheduleTick(h, at(2023, 5, 10, 12, 0)));
    EXPECT_FALSE(scheduleTick(h, at(2023, 5, 10, 12, 3, 1)));
    EXPECT_EQ(h.polls, 0);
    h.running = false;
    EXPECT_TRUE(scheduleTick(h, at(2023, 5, 10, 12, 3, 2)));
    EXPECT_EQ(h.stored.at(0), at(2023, 5, 10, 13, 3));
}

TEST(ScheduleTick, AFolderAnotherRunHoldsWritesOneLinePerDueTimeAndPollsWhenFree) {
    RunHost h;
    h.dtconn = at(2023, 5, 10, 12, 0);
    polling::DataFolderLock other; // the poll of another program
    ASSERT_TRUE(other.tryLock(h.data));

    EXPECT_EQ(h.tickEverySecond(at(2023, 5, 10, 11, 59, 58), at(2023, 5, 10, 12, 5)), 0);
    EXPECT_EQ(h.lines, std::vector<std::string>{"  12:00:00 Опрос уже запущен"});
    EXPECT_EQ(h.dtconn, at(2023, 5, 10, 12, 5)); // the poll waits for its next due time
    EXPECT_FALSE(h.run.running());

    // the next due time is refused once more, then the other run ends and the one after polls
    EXPECT_EQ(h.tickEverySecond(at(2023, 5, 10, 12, 5), at(2023, 5, 10, 12, 7)), 0);
    ASSERT_EQ(h.lines.size(), 2u);
    EXPECT_EQ(h.lines[1], "  12:05:00 Опрос уже запущен");
    other.unlock();
    EXPECT_EQ(h.tickEverySecond(at(2023, 5, 10, 12, 7), at(2023, 5, 10, 12, 10, 1)), 1);
    h.run.wait();
    EXPECT_EQ(h.lines.size(), 2u);
    EXPECT_EQ(h.dtconn, at(2023, 5, 10, 12, 15));
    const auto polled = h.run.eventList();
    EXPECT_TRUE(std::any_of(polled.begin(), polled.end(),
                            [](const std::string& l) { return l.ends_with(" Опрос завершен"); }));
    // the run let the folder go again
    polling::DataFolderLock after;
    EXPECT_TRUE(after.tryLock(h.data));
}

TEST(ScheduleTick, AStartThatFailsWritesItsErrorOncePerDueTime) {
    RunHost h(false); // the data folder is missing: the poll lock cannot be taken
    h.dtconn = at(2023, 5, 10, 12, 0);
    EXPECT_EQ(h.tickEverySecond(at(2023, 5, 10, 12, 0), at(2023, 5, 10, 12, 10)), 0);
    ASSERT_EQ(h.lines.size(), 2u);
    for (const auto& [line, time] :
         {std::pair{h.lines[0], "  12:00:00 "}, std::pair{h.lines[1], "  12:05:00 "}}) {
        EXPECT_TRUE(line.starts_with(time)) << line;
        EXPECT_NE(line.find(h.data + "/MERVO_POLL.lock"), std::string::npos) << line;
    }
    EXPECT_EQ(h.dtconn, at(2023, 5, 10, 12, 10));
    h.makeFolder();
    EXPECT_TRUE(scheduleTick(h, at(2023, 5, 10, 12, 10)));
    h.run.wait();
    EXPECT_EQ(h.lines.size(), 2u);
}

TEST(StatusTexts, ModeAndNextPollTime) {
    EXPECT_EQ(autoPollStatusText(true), "Авто");
    EXPECT_EQ(autoPollStatusText(false), "Ручной");
    EXPECT_EQ(nextPollStatusText(true, at(2023, 3, 3, 9, 5, 30)), "Дата очередного опроса: 03.03.2023 09:05");
    EXPECT_EQ(nextPollStatusText(false, at(2023, 3, 3, 9, 5)), "Режим \"Автоопрос\" отключен");
}

TEST(AutoPollButton, UpDuringAPollAsksAndCancelKeepsItOn) {
    struct Case {
        bool down, running, answerOk;
        bool expectAsked, expectStop, expectOn;
    } cases[] = {
        {true, false, true, false, false, true},
        {true, true, true, false, false, true},
        {false, false, true, false, false, false},
        {false, true, true, true, true, false},  // OK: the poll stops, auto-poll off
        {false, true, false, true, false, true}, // Cancel: poll goes on, button down again
    };
    for (const auto& c : cases) {
        bool asked = false, stopped = false;
        bool on = autoPollButtonPressed(
            c.down, c.running,
            [&] {
                asked = true;
                return c.answerOk;
            },
            [&] { stopped = true; });
        EXPECT_EQ(asked, c.expectAsked) << c.down << c.running << c.answerOk;
        EXPECT_EQ(stopped, c.expectStop) << c.down << c.running << c.answerOk;
        EXPECT_EQ(on, c.expectOn) << c.down << c.running << c.answerOk;
    }
}

TEST(NextPollEdit, FormatsAndReadsTheMaskedText) {
    EXPECT_EQ(nextPollEditText(at(2023, 3, 3, 9, 5, 30)), "03.03.23 09:05");
    EXPECT_EQ(parseNextPollEditText("03.03.23 09:05", 2026), at(2023, 3, 3, 9, 5));
    EXPECT_EQ(parseNextPollEditText("3.3.23 9:05", 2026), at(2023, 3, 3, 9, 5));
    EXPECT_EQ(parseNextPollEditText("01.01.80 00:00", 2026), at(1980, 1, 1));
    EXPECT_EQ(parseNextPollEditText("01.01.75 00:00", 2026), at(2075, 1, 1));
    EXPECT_EQ(parseNextPollEditText("01.01.2090 00:00", 2026), at(2090, 1, 1));
    for (const char* bad : {"", "  .  .     :  ", "31.02.23 10:00", "01.01.23 24:00", "01.01.23",
                            "01.01.23 10:0x", "01.01.123 10:00", "01/01/23 10:00"})
        EXPECT_FALSE(parseNextPollEditText(bad, 2026)) << bad;
}
