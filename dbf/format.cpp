#include "dbf/detail/format.h"

#include "dbf/codec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

namespace dbf::detail {

using namespace codec;

// ================================================================ header

Schema parseHeader(const std::vector<uint8_t>& header, const std::string& path) {
    auto damaged = [&](const std::string& why) -> FormatError {
        return FormatError("Повреждён заголовок таблицы " + path + ": " + why);
    };
    if (header.size() < size_t(kHeaderSize) || header[0] != kVersion)
        throw FormatError("Файл " + path + " не является таблицей dBase 7");
    Schema s;
    s.headerLen = getLe16(&header[kHeaderLenAt]);
    s.recLen = getLe16(&header[kRecLenAt]);
    if (size_t(s.headerLen) != header.size()) throw damaged("длина заголовка " + std::to_string(s.headerLen));
    int off = 1;
    size_t p = kHeaderSize;
    for (;; p += kDescSize) {
        if (p < header.size() && header[p] == kHeaderEnd) break;
        if (p + kDescSize >= header.size()) throw damaged("нет конца описаний полей (0x0D)");
        Field f;
        f.def.name = std::string(reinterpret_cast<const char*>(&header[p]),
                                 strnlen(reinterpret_cast<const char*>(&header[p]), 32));
        const char letter = char(header[p + 32]);
        try {
            f.def.type = typeFromLetter(letter);
        } catch (const Error&) {
            throw damaged("неизвестный тип поля '" + std::string(1, letter) + "'");
        }
        f.width = header[p + 33];
        f.def.size = f.def.type == FieldType::Char ? f.width : 0;
        f.def.required = (header[p + 35] & 1) != 0;
        if (f.def.name.empty()) throw damaged("поле без имени");
        // the rows of a field whose name another field has could be neither read nor written by name
        for (const FieldDef& before : s.defs)
            if (sameName(before.name, f.def.name)) throw damaged("поле " + f.def.name + " повторяется");
        if (f.width != fieldWidth(f.def.type, f.def.size) || f.width == 0)
            throw damaged("недопустимая ширина поля " + f.def.name);
        f.offset = off;
        off += f.width;
        if (f.def.type == FieldType::AutoInc && s.autoField < 0) s.autoField = int(s.fields.size());
        s.defs.push_back(f.def);
        s.fields.push_back(f);
    }
    // the engine writes no field properties after the descriptors: the header ends with their terminator, and
    // a header length that says otherwise cannot be trusted to find the rows
    if (p + 1 != header.size()) throw damaged("длина заголовка " + std::to_string(s.headerLen));
    if (s.fields.empty()) throw damaged("нет полей");
    if (off != s.recLen)
        throw damaged("длина записи " + std::to_string(s.recLen) + " не совпадает с полями (" +
                      std::to_string(off) + ")");
    s.blank.assign(size_t(s.recLen), 0);
    s.clear(s.blank.data());
    return s;
}

void stampDate(uint8_t* header) {
    time_t t = ::time(nullptr);
    tm lt{};
    localtime_r(&t, &lt);
    header[1] = uint8_t(lt.tm_year);
    header[2] = uint8_t(lt.tm_mon + 1);
    header[3] = uint8_t(lt.tm_mday);
}

std::vector<uint8_t> buildHeader(const std::string& name, const std::vector<FieldDef>& fields,
                                 const std::vector<IndexDef>& indexes) {
    if (fields.empty() || fields.size() > 255) throw Error("Недопустимое число полей таблицы " + name);
    std::vector<uint8_t> header(size_t(kHeaderSize) + fields.size() * kDescSize + 1, 0);
    header[0] = kVersion;
    header[29] = kLangCp1251;
    int recLen = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const FieldDef& f = fields[i];
        if (f.name.empty() || f.name.size() > 32)
            throw Error("Недопустимое имя поля '" + f.name + "' таблицы " + name);
        for (size_t j = 0; j < i; ++j)
            if (sameName(fields[j].name, f.name))
                throw Error("Поле '" + f.name + "' повторяется в таблице " + name);
        if (f.type == FieldType::Char && (f.size < 1 || f.size > 254))
            throw Error("Недопустимый размер поля '" + f.name + "' таблицы " + name);
        uint8_t* p = &header[descOffset(int(i))];
        std::memcpy(p, f.name.data(), f.name.size());
        p[32] = uint8_t(typeLetter(f.type));
        p[33] = uint8_t(fieldWidth(f.type, f.size));
        p[35] = f.required || f.type == FieldType::AutoInc ? 1 : 0;
        if (f.type == FieldType::AutoInc) putLe32(p + kDescAutoAt, 1);
        for (const IndexDef& ix : indexes)
            if (sameName(ix.field, f.name)) p[kDescIndexedAt] = 1;
        recLen += fieldWidth(f.type, f.size);
    }
    for (const IndexDef& ix : indexes)
        if (std::none_of(fields.begin(), fields.end(),
                         [&](const FieldDef& f) { return sameName(f.name, ix.field); }))
            throw Error("Индекс по несуществующему полю '" + ix.field + "' таблицы " + name);
    if (recLen > 65535) throw Error("Слишком длинная запись таблицы " + name);
    header.back() = kHeaderEnd;
    putLe16(&header[kHeaderLenAt], uint16_t(header.size()));
    putLe16(&header[kRecLenAt], uint16_t(recLen));
    stampDate(header.data());
    return header;
}

// ================================================================ fields

int Schema::find(std::string_view name) const {
    for (size_t i = 0; i < fields.size(); ++i)
        if (sameName(fields[i].def.name, name)) return int(i);
    return -1;
}

int Schema::require(const std::string& name, const std::string& path) const {
    int f = find(name);
    if (f < 0) throw Error("Поле '" + name + "' не найдено в таблице " + path);
    return f;
}

void Schema::clear(uint8_t* row) const {
    row[0] = ' ';
    for (const Field& f : fields) {
        uint8_t fill = (f.def.type == FieldType::Char || f.def.type == FieldType::Date ||
                        f.def.type == FieldType::Boolean)
                           ? ' '
                           : 0;
        std::memset(row + f.offset, fill, size_t(f.width));
    }
}

bool Schema::isNull(const uint8_t* row, int f) const {
    const Field& fl = fields[size_t(f)];
    const uint8_t* p = row + fl.offset;
    switch (fl.def.type) {
    case FieldType::AutoInc:
    case FieldType::Integer:
        return allZero(p, fl.width);
    // a stored value that is no number or date (damage, or another writer) is empty
    case FieldType::Float:
        return allZero(p, fl.width) || !std::isfinite(getDouble(p));
    case FieldType::DateTime:
        return allZero(p, fl.width) || !getTimestamp(p);
    case FieldType::Date: {
        DateTime dt;
        return allBlank(p, fl.width) || !getDate(p, dt);
    }
    case FieldType::Char:
        return allBlank(p, fl.width);
    case FieldType::Boolean:
        return *p != 'T' && *p != 'F' && *p != 't' && *p != 'f';
    }
    return true;
}

Value Schema::value(const uint8_t* row, int f) const {
    if (!row || isNull(row, f)) return std::monostate{};
    const Field& fl = fields[size_t(f)];
    const uint8_t* p = row + fl.offset;
    switch (fl.def.type) {
    case FieldType::AutoInc:
    case FieldType::Integer:
        return int64_t(getInt(p));
    case FieldType::Float:
        return getDouble(p);
    case FieldType::DateTime:
        return *getTimestamp(p);
    case FieldType::Date: {
        DateTime dt;
        getDate(p, dt);
        return dt;
    }
    case FieldType::Char:
        return fromCp1251(trimRight(std::string(reinterpret_cast<const char*>(p), size_t(fl.width))));
    case FieldType::Boolean:
        return *p == 'T' || *p == 't';
    }
    return std::monostate{};
}

std::string Schema::text(const uint8_t* row, int f) const {
    return textOf(value(row, f), fields[size_t(f)].def.type);
}

int Schema::compare(int f, const uint8_t* a, const uint8_t* b) const {
    const Field& fl = fields[size_t(f)];
    if (fl.def.type == FieldType::Char) return compareText(a, b, fl.width);
    if (fl.width == 4) {
        uint32_t x, y;
        std::memcpy(&x, a, 4);
        std::memcpy(&y, b, 4);
        x = __builtin_bswap32(x);
        y = __builtin_bswap32(y);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    if (fl.width == 8) {
        uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
        return x < y ? -1 : x > y ? 1 : 0;
    }
    return std::memcmp(a, b, size_t(fl.width));
}

void Schema::encode(uint8_t* p, int f, const Value& v) const {
    const Field& fl = fields[size_t(f)];
    const FieldType t = fl.def.type;
    // the common cases first
    if (t == FieldType::Float) {
        if (const auto* x = std::get_if<double>(&v); x && std::isfinite(*x)) {
            putDouble(p, *x);
            return;
        }
    } else if (t == FieldType::Integer || t == FieldType::AutoInc) {
        if (const auto* i = std::get_if<int64_t>(&v); i && *i >= INT32_MIN && *i <= INT32_MAX) {
            putInt(p, int32_t(*i));
            return;
        }
    }
    auto badValue = [&](const std::string& text, const char* what) {
        throw Error("'" + text + "' " + what + " (поле " + fl.def.name + ")");
    };
    if (std::holds_alternative<std::monostate>(v)) {
        uint8_t fill = (t == FieldType::Char || t == FieldType::Date || t == FieldType::Boolean) ? ' ' : 0;
        std::memset(p, fill, size_t(fl.width));
        return;
    }
    if (const auto* s = std::get_if<std::string>(&v)) {
        if (t == FieldType::Char) {
            std::string c = toCp1251(*s);
            if (c.size() > size_t(fl.width)) c.resize(size_t(fl.width));
            std::memset(p, ' ', size_t(fl.width));
            std::memcpy(p, c.data(), c.size());
            return;
        }
        if (trimRight(*s).find_first_not_of(" \t") == std::string::npos) {
            encode(p, f, std::monostate{});
            return;
        }
        const char* why = "";
        auto parsed = parseAs(t, *s, why);
        if (!parsed) badValue(*s, why);
        encode(p, f, *parsed);
        return;
    }
    switch (t) {
    case FieldType::AutoInc:
    case FieldType::Integer: {
        int64_t n = 0;
        if (const auto* i = std::get_if<int64_t>(&v))
            n = *i;
        else if (const auto* x = std::get_if<double>(&v)) {
            if (!std::isfinite(*x)) badValue(floatText(*x), "не является целым числом");
            n = std::llround(*x);
        } else if (const auto* b = std::get_if<bool>(&v))
            n = *b ? 1 : 0;
        else
            badValue("дата", "не является целым числом");
        if (n < INT32_MIN || n > INT32_MAX) badValue(std::to_string(n), "вне диапазона целого числа");
        putInt(p, int32_t(n));
        return;
    }
    case FieldType::Float: {
        double x = 0;
        if (const auto* i = std::get_if<int64_t>(&v))
            x = double(*i);
        else if (const auto* d = std::get_if<double>(&v))
            x = *d;
        else if (const auto* b = std::get_if<bool>(&v))
            x = *b ? 1 : 0;
        else
            badValue("дата", "не является числом");
        // NaN and the infinities are what a device reports for a channel that is not fitted: empty
        if (!std::isfinite(x)) {
            std::memset(p, 0, size_t(fl.width));
            return;
        }
        putDouble(p, x);
        return;
    }
    case FieldType::DateTime:
    case FieldType::Date: {
        const auto* dt = std::get_if<DateTime>(&v);
        if (!dt) badValue("число", "не является датой");
        if (dt->ms() < kFirstStampMs || dt->ms() > kLastStampMs) {
            throw Error("Дата вне диапазона 01.01.0001 - 31.12.9999 (поле " + fl.def.name + ")");
        }
        if (t == FieldType::Date)
            putDate(p, *dt);
        else
            putTimestamp(p, *dt);
        return;
    }
    case FieldType::Boolean: {
        bool b = false;
        if (const auto* x = std::get_if<bool>(&v))
            b = *x;
        else if (const auto* i = std::get_if<int64_t>(&v))
            b = *i != 0;
        else
            badValue("значение", "не является логическим значением");
        *p = b ? 'T' : 'F';
        return;
    }
    case FieldType::Char: {
        std::string text;
        if (const auto* i = std::get_if<int64_t>(&v))
            text = std::to_string(*i);
        else if (const auto* x = std::get_if<double>(&v))
            text = floatText(*x);
        else if (const auto* b = std::get_if<bool>(&v))
            text = *b ? "True" : "False";
        else if (const auto* dt = std::get_if<DateTime>(&v))
            text = dt->text();
        encode(p, f, text);
        return;
    }
    }
}

// ================================================================ text

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

std::string floatText(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

namespace {

// A number in text, the forms of NaN and the infinities included.
std::optional<double> parseAnyFloat(std::string s) {
    std::replace(s.begin(), s.end(), ',', '.');
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    s = s.substr(b, e - b + 1);
    if (!s.empty() && s[0] == '+') s.erase(0, 1);
    double v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

} // namespace

std::optional<double> parseFloat(std::string s) {
    auto v = parseAnyFloat(std::move(s));
    if (!v || !std::isfinite(*v)) return std::nullopt;
    return v;
}

std::optional<int64_t> parseInt(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    std::string s = text.substr(b, e - b + 1);
    if (!s.empty() && s[0] == '+') s.erase(0, 1);
    int64_t v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
    return v;
}

std::optional<bool> parseBool(const std::string& text) {
    std::string s = upper(trimRight(text));
    if (s == "T" || s == "TRUE" || s == "Y" || s == "YES" || s == "1" || s == "ДА" || s == "Да" || s == "да")
        return true;
    if (s == "F" || s == "FALSE" || s == "N" || s == "NO" || s == "0" || s == "НЕТ" || s == "Нет" ||
        s == "нет")
        return false;
    return std::nullopt;
}

std::optional<Value> parseAs(FieldType t, const std::string& text, const char*& why) {
    std::optional<Value> out;
    switch (t) {
    case FieldType::AutoInc:
    case FieldType::Integer:
        why = "не является целым числом";
        if (auto n = parseInt(text)) out.emplace(std::in_place_type<int64_t>, *n);
        break;
    case FieldType::Float:
        why = "не является числом";
        // "nan" and "inf" as the readers write them for a channel that is not fitted: empty
        if (auto x = parseAnyFloat(text)) {
            if (std::isfinite(*x))
                out.emplace(std::in_place_type<double>, *x);
            else
                out.emplace(std::in_place_type<std::monostate>);
        }
        break;
    case FieldType::Date:
    case FieldType::DateTime:
        why = "не является датой";
        if (auto dt = DateTime::parse(text)) out.emplace(std::in_place_type<DateTime>, *dt);
        break;
    case FieldType::Boolean:
        why = "не является логическим значением";
        if (auto b = parseBool(text)) out.emplace(std::in_place_type<bool>, *b);
        break;
    case FieldType::Char:
        out.emplace(std::in_place_type<std::string>, text);
        break;
    }
    return out;
}

std::string textOf(const Value& v, FieldType t) {
    if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
    if (const auto* x = std::get_if<double>(&v)) return floatText(*x);
    if (const auto* s = std::get_if<std::string>(&v)) return *s;
    if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
    if (const auto* dt = std::get_if<DateTime>(&v)) return t == FieldType::Date ? dt->dateText() : dt->text();
    return {};
}

} // namespace dbf::detail
