#include "report/ranges.h"

namespace zorbel {

bool isLeapYear(int y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int monthLength(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

Ymd normalizeDate(int y, int m, int d) {
    // months first, by whole years
    int m0 = m - 1;
    y += m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
    m0 = ((m0 % 12) + 12) % 12;
    m = m0 + 1;
    while (d > monthLength(y, m)) {
        d -= monthLength(y, m);
        if (++m > 12) {
            m = 1;
            ++y;
        }
    }
    while (d < 1) {
        if (--m < 1) {
            m = 12;
            --y;
        }
        d += monthLength(y, m);
    }
    return {y, m, d};
}

Ymd addDays(Ymd date, int days) {
    return normalizeDate(date.y, date.m, date.d + days);
}

DateRange applyRangeChange(int item, RangeChange change, DateRange r, Ymd today) {
    int span = item == 1 ? 7 : 10;
    switch (item) {
    case 0:
        if (change == RangeChange::List)
            r.from = r.to = today;
        else
            r.to = r.from;
        break;
    case 1:
    case 2:
        if (change == RangeChange::List) {
            r.from = addDays(today, -span);
            r.to = today;
        } else if (change == RangeChange::From) {
            r.to = addDays(r.from, span);
        } else {
            r.from = addDays(r.to, -span);
        }
        break;
    case 3:
    case 4:
        if (change == RangeChange::List) {
            if (item == 3) {
                r.from = {today.y, today.m, 1};
                r.to = today;
            } else {
                r.from = normalizeDate(today.y, today.m - 1, 1);
                r.to = normalizeDate(today.y, today.m, 0);
            }
        } else if (change == RangeChange::From) {
            r.to = normalizeDate(r.from.y, r.from.m + 1, r.from.d);
        } else {
            r.from = normalizeDate(r.to.y, r.to.m - 1, r.to.d);
        }
        break;
    default:
        break;
    }
    return r;
}

} // namespace zorbel
