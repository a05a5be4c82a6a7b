#include "devdata/reader_support.h"

#include <cmath>
#include <cstdio>
#include <exception>

namespace devdata::detail {

std::string formatNumber(const char* format, double value) {
    char buf[512];
    std::snprintf(buf, sizeof buf, format, value);
    return buf;
}

std::string formatInteger(const char* format, long long value) {
    // the formats are written for int ("%2d"); the values read from a device fit one
    char buf[64];
    std::snprintf(buf, sizeof buf, format, int(value));
    return buf;
}

void setFormatted(dbf::Table& table, const std::string& field, const char* format, double value) {
    // a channel that is not fitted reports NaN (or an infinity): the field stays empty, the others keep
    // their values
    if (!std::isfinite(value)) {
        table.setNull(field);
        return;
    }
    table.setString(field, formatNumber(format, value));
}

void setFormattedInt(dbf::Table& table, const std::string& field, const char* format, long long value) {
    table.setString(field, formatInteger(format, value));
}

void rewriteObjectRow(dbf::Table& table, const std::function<void()>& fill) {
    if (!table.isEmpty()) {
        table.first();
        table.edit();
    } else {
        table.append();
    }
    fill();
    table.post();
    while (table.recordCount() > 1) {
        table.last();
        table.remove();
    }
}

void cancelQuietly(dbf::Table& table) {
    try {
        if (table.state() == dbf::Table::State::Edit || table.state() == dbf::Table::State::Insert)
            table.cancel();
    } catch (const std::exception&) {
    }
}

void setConnectionTime(ReaderContext& ctx) {
    const dbf::DateTime now = ctx.now();
    ctx.objects.setString("CON_DATE", now.dateText());
    ctx.objects.setString("CON_TIME", now.timeText());
}

bool writeNoConnection(ReaderContext& ctx) {
    try {
        ctx.objects.edit();
        setConnectionTime(ctx);
        ctx.objects.setInt("ERRCODE", 0);
        ctx.objects.setBool("ERR", true);
        ctx.objects.setString("STATE", "Нет связи");
        ctx.objects.post();
        return true;
    } catch (const std::exception&) {
        cancelQuietly(ctx.objects);
        return false;
    }
}

} // namespace devdata::detail
