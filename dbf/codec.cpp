#include "dbf/codec.h"

#include <array>
#include <bit>
#include <cerrno>
#include <iconv.h>
#include <mutex>

namespace dbf::codec {

char typeLetter(FieldType t) {
    switch (t) {
    case FieldType::AutoInc:
        return '+';
    case FieldType::Integer:
        return 'I';
    case FieldType::Float:
        return 'O';
    case FieldType::Char:
        return 'C';
    case FieldType::Date:
        return 'D';
    case FieldType::DateTime:
        return '@';
    case FieldType::Boolean:
        return 'L';
    }
    return '?';
}

FieldType typeFromLetter(char c) {
    switch (c) {
    case '+':
        return FieldType::AutoInc;
    case 'I':
        return FieldType::Integer;
    case 'O':
        return FieldType::Float;
    case 'C':
        return FieldType::Char;
    case 'D':
        return FieldType::Date;
    case '@':
        return FieldType::DateTime;
    case 'L':
        return FieldType::Boolean;
    default:
        break;
    }
    throw Error(std::string("Неизвестный тип поля '") + c + "'");
}

int fieldWidth(FieldType t, int size) {
    switch (t) {
    case FieldType::AutoInc:
    case FieldType::Integer:
        return 4;
    case FieldType::Float:
    case FieldType::DateTime:
    case FieldType::Date:
        return 8;
    case FieldType::Boolean:
        return 1;
    case FieldType::Char:
        return size;
    }
    return 0;
}

void putInt(uint8_t* p, int32_t v) {
    uint32_t u = uint32_t(v) ^ 0x80000000u;
    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap32(u);
    std::memcpy(p, &u, 4);
}

int32_t getInt(const uint8_t* p) {
    uint32_t u;
    std::memcpy(&u, p, 4);
    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap32(u);
    return int32_t(u ^ 0x80000000u);
}

static void putBe64(uint8_t* p, uint64_t u) {
    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap64(u);
    std::memcpy(p, &u, 8);
}

static uint64_t getBe64(const uint8_t* p) {
    uint64_t u;
    std::memcpy(&u, p, 8);
    if constexpr (std::endian::native == std::endian::little) u = __builtin_bswap64(u);
    return u;
}

void putDouble(uint8_t* p, double v) {
    if (v == 0) v = 0; // -0.0 is stored as 0.0
    uint64_t u = std::bit_cast<uint64_t>(v);
    if (u & 0x8000000000000000ull)
        u = ~u;
    else
        u |= 0x8000000000000000ull;
    putBe64(p, u);
}

double getDouble(const uint8_t* p) {
    uint64_t u = getBe64(p);
    if (u & 0x8000000000000000ull)
        u &= ~0x8000000000000000ull;
    else
        u = ~u;
    return std::bit_cast<double>(u);
}

void putTimestamp(uint8_t* p, DateTime v) {
    putBe64(p, std::bit_cast<uint64_t>(double(v.ms())));
}

std::optional<DateTime> getTimestamp(const uint8_t* p) {
    double d = std::bit_cast<double>(getBe64(p));
    // the comparisons are false for NaN
    if (!(d >= double(kFirstStampMs) - 0.5 && d < double(kLastStampMs) + 0.5)) return std::nullopt;
    return DateTime::fromMs(int64_t(d + 0.5));
}

void putDate(uint8_t* p, DateTime v) {
    int y = v.year(), m = v.month(), d = v.day();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y % 10000, m % 100, d % 100);
    std::memcpy(p, buf, 8);
}

bool getDate(const uint8_t* p, DateTime& out) {
    int v[8];
    for (int i = 0; i < 8; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v[i] = p[i] - '0';
    }
    int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    int m = v[4] * 10 + v[5];
    int d = v[6] * 10 + v[7];
    try {
        out = DateTime::fromParts(y, m, d);
    } catch (const Error&) {
        return false;
    }
    return true;
}

bool allZero(const uint8_t* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

bool allBlank(const uint8_t* p, int n) {
    for (int i = 0; i < n; ++i)
        if (p[i] != ' ' && p[i] != 0) return false;
    return true;
}

namespace {

// The cp1251 table is taken from the system's iconv once, so that the conversion of a field is a table
// lookup.
struct Cp1251Tables {
    std::array<std::string, 256> toUtf8;
    // Code points 0x80..0xFFFF that have a cp1251 byte.
    std::array<uint8_t, 0x10000> fromUnicode{};

    Cp1251Tables() {
        iconv_t cd = iconv_open("UTF-8", "CP1251");
        for (int b = 0; b < 256; ++b) {
            if (b < 0x80) {
                toUtf8[b] = std::string(1, char(b));
                continue;
            }
            char in[1] = {char(b)};
            char out[8];
            char* ip = in;
            char* op = out;
            size_t il = 1, ol = sizeof out;
            if (cd != iconv_t(-1) && iconv(cd, &ip, &il, &op, &ol) != size_t(-1)) {
                toUtf8[b] = std::string(out, op);
            } else {
                toUtf8[b].assign(1, '?');
                continue;
            }
            // decode the UTF-8 to a code point for the reverse table
            const std::string& s = toUtf8[b];
            uint32_t cp = 0;
            unsigned char c0 = s[0];
            if (s.size() == 2)
                cp = ((c0 & 0x1F) << 6) | (s[1] & 0x3F);
            else if (s.size() == 3)
                cp = ((c0 & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
            if (cp && cp < 0x10000) fromUnicode[cp] = uint8_t(b);
        }
        if (cd != iconv_t(-1)) iconv_close(cd);
    }
};

const Cp1251Tables& tables() {
    static const Cp1251Tables t;
    return t;
}

} // namespace

Utf8Step nextUtf8(std::string_view s, size_t& i, char32_t& cp) {
    const unsigned char c = s[i];
    int len;
    if (c < 0x80) {
        cp = c;
        len = 1;
    } else if ((c & 0xE0) == 0xC0) {
        cp = c & 0x1F;
        len = 2;
    } else if ((c & 0xF0) == 0xE0) {
        cp = c & 0x0F;
        len = 3;
    } else if ((c & 0xF8) == 0xF0) {
        cp = c & 0x07;
        len = 4;
    } else {
        ++i;
        return Utf8Step::Invalid;
    }
    if (i + size_t(len) > s.size()) return Utf8Step::Truncated;
    for (int k = 1; k < len; ++k) {
        const unsigned char d = s[i + size_t(k)];
        if ((d & 0xC0) != 0x80) {
            ++i;
            return Utf8Step::Invalid;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    i += size_t(len);
    return Utf8Step::Ok;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::string toCp1251(std::string_view s) {
    const auto& t = tables();
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        char32_t cp = 0;
        const Utf8Step step = nextUtf8(s, i, cp);
        if (step == Utf8Step::Truncated) {
            out += '?';
            break;
        }
        if (step == Utf8Step::Invalid) {
            out += '?';
            continue;
        }
        if (cp < 0x80) {
            out += char(cp);
            continue;
        }
        const uint8_t b = cp < 0x10000 ? t.fromUnicode[cp] : 0;
        out += b ? char(b) : '?';
    }
    return out;
}

std::string fromCp1251(std::string_view s) {
    const auto& t = tables();
    std::string out;
    out.reserve(s.size() * 2);
    for (unsigned char c : s) {
        if (c < 0x80)
            out += char(c);
        else
            out += t.toUtf8[c];
    }
    return out;
}

uint16_t collationWeight(uint8_t c) {
    // Е = 0xC5, е = 0xE5, Ё = 0xA8, ё = 0xB8: Ё sorts right after Е, ё right after е.
    if (c == 0xA8) return uint16_t(0xC5 * 2 + 1);
    if (c == 0xB8) return uint16_t(0xE5 * 2 + 1);
    return uint16_t(c * 2);
}

int compareText(const uint8_t* a, const uint8_t* b, int n) {
    for (int i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        uint16_t wa = collationWeight(a[i]), wb = collationWeight(b[i]);
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    return 0;
}

std::string withExtension(const std::string& name, const char* ext) {
    auto dot = name.rfind('.');
    if (dot != std::string::npos && name.find('/', dot) == std::string::npos)
        return name.substr(0, dot) + ext;
    return name + ext;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
    }
    return true;
}

std::string upper(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return r;
}

} // namespace dbf::codec
