// The ".dbf" file format: the header with its field descriptors, and the encoding of field values in a row.
//
// File layout:
//   header, 68 bytes: [0] 0x04 (level 7, no memo), [1..3] date of last change (YY-1900, MM, DD),
//   [4..7] row count (LE), [8..9] header length, [10..11] row length, [16..19] change generation (ours,
//   in the multi-user area: raised before any in-place change so that other handles reload), [28] 0 (no
//   production index for other readers), [29] 0xC9 (Windows-1251);
//   48-byte field descriptors: [0..31] name, [32] type letter, [33] width, [35] bit 0 "required" (ours),
//   [37] 1 when the index file has an index over the field, [40..43] next autoincrement value (LE);
//   0x0D; rows (flag byte ' ' or '*' for deleted, then the fields); 0x1A.
#pragma once

#include "dbf/types.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dbf::detail {

constexpr int kHeaderSize = 68;
constexpr int kDescSize = 48;
constexpr uint8_t kVersion = 0x04;
constexpr uint8_t kLangCp1251 = 0xC9;
constexpr uint8_t kHeaderEnd = 0x0D;
constexpr uint8_t kFileEnd = 0x1A;

// Places in the header.
constexpr size_t kCountAt = 4;
constexpr size_t kHeaderLenAt = 8;
constexpr size_t kRecLenAt = 10;
constexpr size_t kGenAt = 16;
// Places in a field descriptor.
constexpr size_t kDescIndexedAt = 37;
constexpr size_t kDescAutoAt = 40;

constexpr size_t descOffset(int field) {
    return size_t(kHeaderSize) + size_t(field) * kDescSize;
}

struct Field {
    FieldDef def;
    int offset = 0; // in the row, after the flag byte
    int width = 0;
};

// The structure of a table as its header describes it, and the codec of its rows.
struct Schema {
    std::vector<FieldDef> defs;
    std::vector<Field> fields;
    int headerLen = 0;
    int recLen = 0;
    int autoField = -1;
    std::vector<uint8_t> blank; // a row with every field empty

    // -1 when there is no such field; names compare without regard to letter case.
    int find(std::string_view name) const;
    // Throws Error naming the table at path when there is no such field.
    int require(const std::string& name, const std::string& path) const;

    const uint8_t* at(const uint8_t* row, int f) const { return row + fields[size_t(f)].offset; }
    bool isNull(const uint8_t* row, int f) const;
    // Null for a null row.
    Value value(const uint8_t* row, int f) const;
    std::string text(const uint8_t* row, int f) const;
    // Encodes v into the field bytes at p. Throws Error on a value that does not fit the field.
    void encode(uint8_t* p, int f, const Value& v) const;
    // Orders two keys of field f as the index does.
    int compare(int f, const uint8_t* a, const uint8_t* b) const;
    void clear(uint8_t* row) const;
};

// Reads the structure from the whole header (descriptors and terminator included).
Schema parseHeader(const std::vector<uint8_t>& header, const std::string& path);
// The header of a new, empty table. Throws Error on wrong definitions.
std::vector<uint8_t> buildHeader(const std::string& name, const std::vector<FieldDef>& fields,
                                 const std::vector<IndexDef>& indexes);
// Puts today's date into bytes 1..3.
void stampDate(uint8_t* header);

// ---- text forms of values
std::string trimRight(std::string s);
std::string floatText(double v);
std::optional<double> parseFloat(std::string s);
std::optional<int64_t> parseInt(const std::string& text);
std::optional<bool> parseBool(const std::string& text);
// Reads text as a value of the field type (text fields take it as it is); nullopt, with why set to what the
// text is not, when it does not read.
std::optional<Value> parseAs(FieldType t, const std::string& text, const char*& why);
std::string textOf(const Value& v, FieldType t);

} // namespace dbf::detail
