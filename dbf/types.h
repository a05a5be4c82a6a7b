// Basic types of the table engine: field and index definitions, the date-time
// value, the error type.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace dbf {

// Every failure of the engine is raised as this error; what() is the message
// text shown to the operator or written to the logs.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file is not a valid table (a damaged or foreign header, a file cut inside its header, impossible field
// descriptors). Input/output, permission and resource failures are plain Errors: they say nothing about the
// file's contents.
class FormatError : public Error {
public:
    using Error::Error;
};

// Logical field types of the tables.
enum class FieldType {
    AutoInc,  // 32-bit integer assigned on append, read-only ('+')
    Integer,  // 32-bit signed integer ('I')
    Float,    // 64-bit floating point ('O')
    Char,     // fixed-width text, cp1251 on disk ('C')
    Date,     // calendar date ('D')
    DateTime, // date and time of day ('@')
    Boolean,  // true/false ('L')
};

struct FieldDef {
    std::string name;
    FieldType type = FieldType::Integer;
    int size = 0; // characters of a Char field; ignored for the other types
    bool required = false;
};

struct IndexDef {
    std::string name; // empty: the field name is used
    std::string field;
    bool primary = false;
    bool unique = false;
};

// A date and time with millisecond precision, counted as milliseconds from
// 01.01.0001 00:00 taken as day 1 (so 01.01.0001 00:00 is 86 400 000).
// This is the representation of the '@' field on disk.
class DateTime {
public:
    constexpr DateTime() = default;
    static constexpr DateTime fromMs(int64_t ms) { return DateTime(ms); }
    // Throws Error for an impossible date or time.
    static DateTime fromParts(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                              int msec = 0);
    // The local time of the machine.
    static DateTime now();
    // Parses "dd.MM.yyyy", "dd.MM.yyyy hh:mm", "dd.MM.yyyy hh:mm:ss", "dd.MM.yyyy hh:mm:ss.zzz" and the ISO
    // forms "yyyy-MM-dd[ hh:mm[:ss[.zzz]]]" ('T' allowed as the separator). nullopt when it is none of them.
    static std::optional<DateTime> parse(std::string_view text);
    // Days since 30.12.1899 with the time as the fraction (the settings store keeps stamps this way).
    static DateTime fromOleDays(double days);
    double toOleDays() const;

    constexpr int64_t ms() const { return ms_; }
    int year() const;
    int month() const;
    int day() const;
    int hour() const;
    int minute() const;
    int second() const;
    int msec() const;
    // Day number counted from 01.01.0001 as day 1.
    int64_t dayNumber() const;
    DateTime date() const; // the same day at 00:00
    DateTime addDays(int64_t days) const { return DateTime(ms_ + days * kMsPerDay); }
    DateTime addMs(int64_t ms) const { return DateTime(ms_ + ms); }

    // "dd.MM.yyyy"
    std::string dateText() const;
    // "hh:mm:ss"
    std::string timeText() const;
    // "dd.MM.yyyy hh:mm:ss" (".zzz" appended when the milliseconds are not zero)
    std::string text() const;

    friend constexpr bool operator==(DateTime a, DateTime b) { return a.ms_ == b.ms_; }
    friend constexpr auto operator<=>(DateTime a, DateTime b) { return a.ms_ <=> b.ms_; }

    static constexpr int64_t kMsPerDay = 86'400'000;

private:
    constexpr explicit DateTime(int64_t ms) : ms_(ms) {}
    int64_t ms_ = 0;
};

// A field value as the engine hands it over: null, integer, float, text (UTF-8), boolean or date-time.
using Value = std::variant<std::monostate, int64_t, double, std::string, bool, DateTime>;

} // namespace dbf
