// Byte-level encodings of the field types and the cp1251 text conversion.
#pragma once

#include "dbf/types.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace dbf::codec {

// Field type letters in the file.
char typeLetter(FieldType t);
// Throws Error for a letter the engine does not know.
FieldType typeFromLetter(char c);
// Width in bytes of a field of that type (Char fields: their size).
int fieldWidth(FieldType t, int size);

// '+' and 'I': 4 bytes big-endian with the sign bit flipped.
void putInt(uint8_t* p, int32_t v);
int32_t getInt(const uint8_t* p);
// 'O': 8 bytes big-endian; positive values have the sign bit set, negative ones have every bit inverted, so
// that the bytes sort as the numbers do.
void putDouble(uint8_t* p, double v);
double getDouble(const uint8_t* p);
// '@': 8 bytes big-endian IEEE double of milliseconds counted from 01.01.0001 as day 1. Reading gives nullopt
// for a stored value that is no instant of 01.01.0001 to 31.12.9999 (NaN, an infinity, a huge number).
void putTimestamp(uint8_t* p, DateTime v);
std::optional<DateTime> getTimestamp(const uint8_t* p);
// The first and the last millisecond a date-time field holds: 01.01.0001 00:00 and 31.12.9999 23:59:59.999.
constexpr int64_t kFirstStampMs = DateTime::kMsPerDay;
constexpr int64_t kLastStampMs = 3'652'059 * DateTime::kMsPerDay + DateTime::kMsPerDay - 1;
// 'D': "YYYYMMDD".
void putDate(uint8_t* p, DateTime v);
bool getDate(const uint8_t* p, DateTime& out);

bool allZero(const uint8_t* p, int n);
bool allBlank(const uint8_t* p, int n);

// UTF-8 <-> Windows-1251. Characters without a cp1251 form become '?'; invalid UTF-8 bytes too.
std::string toCp1251(std::string_view utf8);
std::string fromCp1251(std::string_view cp1251);

// One step through UTF-8 text from s[i]: Ok with the code point (i moved past its sequence); Invalid for a
// byte that starts no sequence or a sequence with a bad continuation byte (i moved by one); Truncated for a
// sequence cut off by the end of the text (i unchanged).
enum class Utf8Step { Ok, Invalid, Truncated };
Utf8Step nextUtf8(std::string_view s, size_t& i, char32_t& cp);
// Appends the UTF-8 form of a code point.
void appendUtf8(std::string& out, char32_t cp);
// Collation weight of a cp1251 byte for index ordering: byte order, except that Ё/ё sort after Е/е.
uint16_t collationWeight(uint8_t c);
int compareText(const uint8_t* a, const uint8_t* b, int n);

// File names: name with its extension replaced by ext (".MDX"), or ext appended when it has none.
std::string withExtension(const std::string& name, const char* ext);
// dir + "/" + name, without doubling a separator dir ends with.
std::string joinPath(const std::string& dir, const std::string& name);

// ASCII case-insensitive comparison of names.
bool sameName(std::string_view a, std::string_view b);
std::string upper(std::string_view s);

// Little-endian helpers for the file headers.
inline void putLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
inline uint16_t getLe16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

} // namespace dbf::codec
