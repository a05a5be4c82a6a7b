// What a report template's cells receive, apart from the spreadsheet engine: the system tag, the special
// names, field values of the object, parameter and archive rows, the record block of "ArchLine" with its
// differences, and the title.
#pragma once

#include "dbf/table.h"
#include "report/launch.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorbel {

inline constexpr const char* kVersionText = "4.11";

// The named ranges the filler looks for, in the order it processes them ("Title" comes last, apart).
inline constexpr const char* kFillNames[] = {"MainData",      "ParsData",     "ReportData",
                                             "ArchFirstLine", "ArchLastLine", "ArchLine"};
inline constexpr const char* kTitleName = "Title";

// A tag in a cell text that is not one: "<x+2T>". Processing of the named range it lies in is abandoned.
class TagError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Replaces the first system tag "<a+kT>" by a + k × system (system 0 for "Система 1", 1 for "Система 2").
// Throws TagError when a or k is not a digit.
std::string replaceSystemTag(const std::string& text, int system);

// Device model for "DEVTYPESTRING"; empty for a type without one.
std::string deviceModelName(int deviceType);
// "Суточный протокол учета тепловой энергии воды" for the daily archive, the hourly title otherwise.
std::string reportTitle(ArchiveKind kind);
// One of the 20 accumulating counters whose differences "Разность" shows (any letter case).
bool isDifferenceField(const std::string& name);

struct CellValue {
    enum class Kind { Empty, Number, Text } kind = Kind::Empty;
    double number = 0;
    std::string text;
    // The number format code a number takes in a cell whose format is the General one (a date would
    // otherwise show as its day count); empty: the cell's format alone.
    std::string format;
    static CellValue num(double v) { return {Kind::Number, v, {}, {}}; }
    static CellValue str(std::string s) { return {Kind::Text, 0, std::move(s), {}}; }
    static CellValue date(double days, std::string code) { return {Kind::Number, days, {}, std::move(code)}; }
    friend bool operator==(const CellValue&, const CellValue&) = default;
};

struct ReportContext {
    int deviceType = 0;
    int system = 0;       // 0: "Система 1", 1: "Система 2"
    std::string fromDate; // "Диапазон от" as "dd.MM.yyyy"
    std::string toDate;   // "до"
    bool difference = false;
    ArchiveKind kind = ArchiveKind::Daily;
};

// The value of a special name, nullopt when text is none or its value is empty.
std::optional<std::string> specialValue(const std::string& text, const ReportContext& ctx);
// DEVTYPESTRING, RepFirstDate, RepLastDate, RepSystemNum or VersInfo (compared exactly).
bool isSpecialName(const std::string& text);

// The value of a date-time as a spreadsheet date: days since 30.12.1899 with the time as fraction.
double spreadsheetDate(dbf::DateTime t);
// The format code of a date field in a General cell: the day, with the hour for the hourly archive.
inline constexpr const char* kDayFormat = "DD.MM.YYYY";
inline constexpr const char* kHourFormat = "DD.MM.YYYY HH:MM";
const char* dateFormat(ArchiveKind kind);

// The value a cell of MainData, ParsData, ReportData, ArchFirstLine or ArchLastLine receives from the current
// row of table (nullptr: no table), nullopt when the cell stays unchanged. A cell with nothing to show is
// emptied (an empty CellValue), so that no template text is printed: one naming a field of the table when
// the table has no record to show (none in the range, no parameter row), one naming a field of `layout` (the
// fields the table has when it exists; used when it is missing or cannot be read), a special name whose
// value is empty.
std::optional<CellValue> cellValue(const dbf::Table* table, const std::string& text, const ReportContext& ctx,
                                   const std::vector<std::string>& layout = {});
// The field names of the table a named range refers to, for cellValue's `layout`: PARSDB's for "ParsData",
// the archive layout of the device type for "ArchFirstLine" and "ArchLastLine", none for the others.
std::vector<std::string> layoutFieldsOf(const std::string& rangeName, int deviceType);

// The "ArchLine" block: one row per record of the archive in its present order and range, one column per
// entry of the template line; with "Разность" the differences of consecutive records and one row fewer. A
// special name whose value is empty gives an empty cell.
std::vector<std::vector<CellValue>>
archLineBlock(dbf::Table& archive, const std::vector<std::string>& entries, const ReportContext& ctx);
// The difference step alone (rows are records in order).
void applyDifference(std::vector<std::vector<CellValue>>& rows, const std::vector<std::string>& entries);

} // namespace zorbel
