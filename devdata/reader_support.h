// Helpers shared by the readers of the poll: little-endian reads from a reply payload, the printf-style value
// texts the data tables are filled with, and the outcome fields of the object's MAINDB row.
#pragma once

#include "dbf/table.h"
#include "devdata/readers.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>

namespace devdata::detail {

inline uint8_t u8At(std::span<const uint8_t> b, size_t off) {
    return b[off];
}
inline uint16_t u16At(std::span<const uint8_t> b, size_t off) {
    return uint16_t(b[off] | (b[off + 1] << 8));
}
inline uint32_t u32At(std::span<const uint8_t> b, size_t off) {
    return uint32_t(b[off]) | (uint32_t(b[off + 1]) << 8) | (uint32_t(b[off + 2]) << 16) |
           (uint32_t(b[off + 3]) << 24);
}
// An IEEE 754 single, read unaligned.
inline float f32At(std::span<const uint8_t> b, size_t off) {
    uint32_t bits = u32At(b, off);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// printf of one value: "%2.2f" of a number, "%2d" of an integer.
std::string formatNumber(const char* format, double value);
std::string formatInteger(const char* format, long long value);

// The value given as text to the field, which parses it by its type: the stored number is the value rounded
// to the format's decimals. A NaN or an infinity leaves the field empty.
void setFormatted(dbf::Table& table, const std::string& field, const char* format, double value);
void setFormattedInt(dbf::Table& table, const std::string& field, const char* format, long long value);

// Rewrites the object's single row of a detail table in place (a table without one gets it): fill sets the
// fields, then the row is posted, so that the last good values stay until the new ones are stored; rows
// beyond the one (left by an older program) are removed after that. Errors propagate, the edit pending.
void rewriteObjectRow(dbf::Table& table, const std::function<void()>& fill);

// Cancels a pending edit or append; errors are swallowed.
void cancelQuietly(dbf::Table& table);

// MAINDB outcome of a failed read: CON_DATE, CON_TIME of now, ERRCODE 0, ERR true, STATE "Нет связи". A
// failing write cancels the edit; false then.
bool writeNoConnection(ReaderContext& ctx);
// Sets CON_DATE and CON_TIME of the object row being edited to now.
void setConnectionTime(ReaderContext& ctx);

} // namespace devdata::detail
