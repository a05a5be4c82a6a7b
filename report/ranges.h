// The range list of the archive viewer and the date arithmetic behind it.
#pragma once

#include <array>

namespace zorbel {

struct Ymd {
    int y = 2000, m = 1, d = 1;
    friend bool operator==(const Ymd&, const Ymd&) = default;
};

// The items of the range list, in order.
inline constexpr std::array<const char*, 7> kRangeItems{
    "Сутки", "Неделя", "Декада", "Месяц (текущий)", "Месяц (предыдущий)", "Задать диапазон", "Все записи"};
inline constexpr int kRangeAll = 6;

bool isLeapYear(int y);
int monthLength(int y, int m);
// Brings m into 1..12 by carrying whole years, then d into the month by carrying whole months: day 0 of
// March 2024 is 29 February 2024, 3 March 2024 minus 7 days (day -4) is 25 February 2024.
Ymd normalizeDate(int y, int m, int d);
Ymd addDays(Ymd date, int days);

// What changed: the range list (also at start-up), "Диапазон от" or "до".
enum class RangeChange { List, From, To };

struct DateRange {
    Ymd from, to;
};

// The two dates after a change, for range item `item` (anything outside 0..5 leaves them as they stand).
DateRange applyRangeChange(int item, RangeChange change, DateRange dates, Ymd today);

} // namespace zorbel
