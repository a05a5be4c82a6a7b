// The table engine: dBase level-7 ".dbf" files with an index file of our own
// layout (".MDX") beside each.
//
// File layout of the ".dbf":
//   header, 68 bytes: [0] 0x04 (level 7, no memo), [1..3] date of last change (YY-1900, MM, DD),
//   [4..7] row count (LE), [8..9] header length, [10..11] row length, [16..19] change generation (ours,
//   in the multi-user area: raised before any in-place change so that other handles reload), [28] 0 (no
//   production index for other readers), [29] 0xC9 (Windows-1251);
//   48-byte field descriptors: [0..31] name, [32] type letter, [33] width, [35] bit 0 "required" (ours),
//   [37] 1 when the index file has an index over the field, [40..43] next autoincrement value (LE);
//   0x0D; rows (flag byte ' ' or '*' for deleted, then the fields); 0x1A.
//
// Crash safety: a row is appended with its 0x1A in one write, then the autoincrement value and the row count
// are written. Opening reconciles the count with the file size, dropping an incomplete tail, so a writer
// killed at any instant leaves every complete row and no partial one.
//
// Concurrency: open file description locks on one byte far beyond the end of the file: exclusive for the
// length of each write, shared while reading. They work between processes and between handles of one process.
//
// Index file layout: "MRVMDX01", u32 row count and u32 generation of the table it was written for, u32 row
// length, u32 number of indexes; per index: name[32], field[32], flags (1 primary, 2 unique), 3 bytes, u32
// entries; then per index the row numbers in key order; u32 CRC-32 of all that. The index is checked against
// the rows on every open and rebuilt when it disagrees or is missing.

#include "dbf/table.h"

#include "dbf/codec.h"
#include "dbf/filter.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

namespace dbf {

using namespace codec;

namespace {

constexpr int kHeaderSize = 68;
constexpr int kDescSize = 48;
constexpr uint8_t kVersion = 0x04;
constexpr uint8_t kLangCp1251 = 0xC9;
constexpr off_t kLockOffset = 0x7FFFFFFF00000000LL;
// Every open handle holds a shared lock on this byte for its whole life; one that gets it exclusively is
// alone.
constexpr off_t kPresenceOffset = kLockOffset + 1;
// Deleted rows are squeezed out when a table is opened by the only handle and at least this many rows, and a
// quarter of all, are deleted.
constexpr uint32_t kPackMinDeleted = 100;
constexpr char kMdxMagic[8] = {'M', 'R', 'V', 'M', 'D', 'X', '0', '1'};
constexpr size_t kBulkFlushBytes = 1 << 20;

std::string sysError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void preadAll(int fd, void* buf, size_t n, off_t off, const std::string& path) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, off);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw Error(sysError("Ошибка чтения файла", path));
        }
        if (r == 0) throw Error("Неожиданный конец файла " + path);
        p += r;
        n -= size_t(r);
        off += r;
    }
}

// Writes rows followed by the end-of-file mark in one call.
void pwriteRows(int fd, const uint8_t* rows, size_t n, off_t off, const std::string& path) {
    static const uint8_t eof = 0x1A;
    iovec iov[2] = {{const_cast<uint8_t*>(rows), n}, {const_cast<uint8_t*>(&eof), 1}};
    size_t total = n + 1;
    ssize_t r;
    do {
        r = ::pwritev(fd, iov, 2, off);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throw Error(sysError("Ошибка записи файла", path));
    if (size_t(r) != total) {
        // a short write: finish it byte-exactly
        std::vector<uint8_t> all(rows, rows + n);
        all.push_back(eof);
        size_t done = size_t(r);
        while (done < total) {
            ssize_t w = ::pwrite(fd, all.data() + done, total - done, off + off_t(done));
            if (w < 0) {
                if (errno == EINTR) continue;
                throw Error(sysError("Ошибка записи файла", path));
            }
            done += size_t(w);
        }
    }
}

void pwriteAll(int fd, const void* buf, size_t n, off_t off, const std::string& path) {
    auto* p = static_cast<const uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pwrite(fd, p, n, off);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw Error(sysError("Ошибка записи файла", path));
        }
        p += r;
        n -= size_t(r);
        off += r;
    }
}

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

std::optional<double> parseFloat(std::string s) {
    std::replace(s.begin(), s.end(), ',', '.');
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    s = s.substr(b, e - b + 1);
    if (!s.empty() && s[0] == '+') s.erase(0, 1);
    double v = 0;
    auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
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

// Reads text as a value of the field type (text fields take it as it is); nullopt, with why set to what the
// text is not, when it does not read.
std::optional<Value> parseAs(FieldType t, const std::string& text, const char*& why) {
    switch (t) {
    case FieldType::AutoInc:
    case FieldType::Integer:
        why = "не является целым числом";
        if (auto n = parseInt(text)) return Value(*n);
        return std::nullopt;
    case FieldType::Float:
        why = "не является числом";
        if (auto x = parseFloat(text)) return Value(*x);
        return std::nullopt;
    case FieldType::Date:
    case FieldType::DateTime:
        why = "не является датой";
        if (auto dt = DateTime::parse(text)) return Value(*dt);
        return std::nullopt;
    case FieldType::Boolean:
        why = "не является логическим значением";
        if (auto b = parseBool(text)) return Value(*b);
        return std::nullopt;
    case FieldType::Char:
        return Value(text);
    }
    return std::nullopt;
}

struct Field {
    FieldDef def;
    int offset = 0; // in the row, after the flag byte
    int width = 0;
};

struct Index {
    IndexDef def;
    int field = -1;
    std::vector<uint32_t> order; // live rows in key order, ties in row order
};

struct Cond {
    int field = -1;
    Condition::Op op = Condition::Op::Eq;
    bool prefix = false;
    bool emptyLiteral = false;
    double num = 0;
    int64_t ms = 0;
    bool boolean = false;
    std::string text; // cp1251, trailing blanks removed
};

} // namespace

struct Table::Impl {
    // ---- file
    int fd = -1;
    bool writable = false;
    std::string dir, dbfPath, mdxPath;
    int lockDepth = 0;
    short lockType = F_UNLCK;

    // ---- structure
    std::vector<FieldDef> defs;
    std::vector<Field> layout;
    std::vector<uint8_t> header; // the whole header, descriptors included
    std::vector<uint8_t> blank;  // a row with every field empty
    int headerLen = 0;
    int recLen = 0;
    int autoField = -1;

    // ---- rows as last seen
    std::vector<uint8_t> data;
    uint32_t count = 0;
    uint32_t gen = 0;
    uint32_t nextAuto = 1;
    std::vector<Index> indexes;
    bool mdxDirty = false;

    // ---- cursor
    State state = State::Inactive;
    std::vector<uint8_t> buf;
    int64_t cur = -1;
    std::vector<uint32_t> view;
    bool viewValid = false;
    size_t pos = 0;
    bool eofFlag = true, bofFlag = true;
    int orderIndex = -1;
    std::string indexNameText, indexFieldsText;
    std::string filterText;
    std::vector<Cond> conds;
    bool filterOn = false;
    bool hasRange = false;
    std::vector<uint8_t> rangeLo, rangeHi; // empty: open end
    Table* masterTable = nullptr;
    std::string masterFieldName;
    int detailField = -1;
    bool masterSeen = false;
    Value masterKey;

    // ---- bulk append: rows from bulkFirst on are in memory only
    bool bulk = false;
    uint32_t bulkFirst = 0;

    ~Impl() {
        if (fd >= 0) ::close(fd);
    }

    // ================================================================ locking
    struct Lock {
        Impl& d;
        Lock(Impl& impl, bool exclusive) : d(impl) { d.acquire(exclusive); }
        ~Lock() { d.release(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
    };

    void acquire(bool exclusive) {
        short want = exclusive ? F_WRLCK : F_RDLCK;
        if (lockDepth > 0) {
            if (lockType == F_RDLCK && want == F_WRLCK) throw Error("Внутренняя ошибка блокировки таблицы");
            ++lockDepth;
            return;
        }
        if (exclusive && !writable) throw Error("Таблица открыта только для чтения: " + dbfPath);
        struct flock fl {};
        fl.l_type = want;
        fl.l_whence = SEEK_SET;
        fl.l_start = kLockOffset;
        fl.l_len = 1;
        while (::fcntl(fd, F_OFD_SETLKW, &fl) == -1) {
            if (errno == EINTR) continue;
            throw Error(sysError("Не удалось заблокировать таблицу", dbfPath));
        }
        lockType = want;
        lockDepth = 1;
    }

    void release() {
        if (--lockDepth > 0) return;
        struct flock fl {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = kLockOffset;
        fl.l_len = 1;
        ::fcntl(fd, F_OFD_SETLK, &fl);
        lockType = F_UNLCK;
    }

    // ================================================================ structure
    uint8_t* rowPtr(uint32_t r) { return data.data() + size_t(r) * size_t(recLen); }
    const uint8_t* rowPtr(uint32_t r) const { return data.data() + size_t(r) * size_t(recLen); }
    bool deleted(uint32_t r) const { return rowPtr(r)[0] == '*'; }

    int requireField(const std::string& name) const {
        for (size_t i = 0; i < layout.size(); ++i)
            if (sameName(layout[i].def.name, name)) return int(i);
        throw Error("Поле '" + name + "' не найдено в таблице " + dbfPath);
    }

    void parseHeader() {
        if (header.size() < size_t(kHeaderSize) || header[0] != kVersion)
            throw Error("Файл " + dbfPath + " не является таблицей dBase 7");
        headerLen = getLe16(&header[8]);
        recLen = getLe16(&header[10]);
        count = getLe32(&header[4]);
        gen = getLe32(&header[16]);
        layout.clear();
        defs.clear();
        autoField = -1;
        int off = 1;
        for (size_t p = kHeaderSize; p + 1 <= header.size(); p += kDescSize) {
            if (header[p] == 0x0D) break;
            if (p + kDescSize > header.size()) throw Error("Повреждён заголовок таблицы " + dbfPath);
            Field f;
            f.def.name = std::string(reinterpret_cast<const char*>(&header[p]),
                                     strnlen(reinterpret_cast<const char*>(&header[p]), 32));
            f.def.type = typeFromLetter(char(header[p + 32]));
            f.width = header[p + 33];
            f.def.size = f.def.type == FieldType::Char ? f.width : 0;
            f.def.required = (header[p + 35] & 1) != 0;
            if (f.width != fieldWidth(f.def.type, f.def.size) || f.width == 0)
                throw Error("Повреждён заголовок таблицы " + dbfPath);
            f.offset = off;
            off += f.width;
            if (f.def.type == FieldType::AutoInc && autoField < 0) autoField = int(layout.size());
            defs.push_back(f.def);
            layout.push_back(f);
        }
        if (off != recLen || layout.empty()) throw Error("Повреждён заголовок таблицы " + dbfPath);
        blank.assign(size_t(recLen), 0);
        blankRow(blank.data());
        readAutoFromHeader();
    }

    size_t descOffset(int field) const { return size_t(kHeaderSize) + size_t(field) * kDescSize; }

    void readAutoFromHeader() {
        if (autoField >= 0) {
            nextAuto = getLe32(&header[descOffset(autoField) + 40]);
            if (nextAuto == 0) nextAuto = 1;
        }
    }

    // ================================================================ keys and values
    const uint8_t* fieldPtr(const uint8_t* row, int f) const { return row + layout[size_t(f)].offset; }

    bool isNullAt(const uint8_t* row, int f) const {
        const Field& fl = layout[size_t(f)];
        const uint8_t* p = row + fl.offset;
        switch (fl.def.type) {
        case FieldType::AutoInc:
        case FieldType::Integer:
        case FieldType::Float:
        case FieldType::DateTime:
            return allZero(p, fl.width);
        case FieldType::Date:
        case FieldType::Char:
            return allBlank(p, fl.width);
        case FieldType::Boolean:
            return *p != 'T' && *p != 'F' && *p != 't' && *p != 'f';
        }
        return true;
    }

    Value valueAt(const uint8_t* row, int f) const {
        if (!row || isNullAt(row, f)) return std::monostate{};
        const Field& fl = layout[size_t(f)];
        const uint8_t* p = row + fl.offset;
        switch (fl.def.type) {
        case FieldType::AutoInc:
        case FieldType::Integer:
            return int64_t(getInt(p));
        case FieldType::Float:
            return getDouble(p);
        case FieldType::DateTime:
            return getTimestamp(p);
        case FieldType::Date: {
            DateTime dt;
            if (!getDate(p, dt)) return std::monostate{};
            return dt;
        }
        case FieldType::Char:
            return fromCp1251(trimRight(std::string(reinterpret_cast<const char*>(p), size_t(fl.width))));
        case FieldType::Boolean:
            return *p == 'T' || *p == 't';
        }
        return std::monostate{};
    }

    int compareKeys(int f, const uint8_t* a, const uint8_t* b) const {
        const Field& fl = layout[size_t(f)];
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

    // Orders rows by the index key, ties by row number.
    bool rowLess(const Index& ix, uint32_t a, uint32_t b) const {
        int c = compareKeys(ix.field, fieldPtr(rowPtr(a), ix.field), fieldPtr(rowPtr(b), ix.field));
        return c < 0 || (c == 0 && a < b);
    }

    void blankRow(uint8_t* row) const {
        row[0] = ' ';
        for (const Field& f : layout) {
            uint8_t fill = (f.def.type == FieldType::Char || f.def.type == FieldType::Date ||
                            f.def.type == FieldType::Boolean)
                               ? ' '
                               : 0;
            std::memset(row + f.offset, fill, size_t(f.width));
        }
    }

    // Encodes v into the field bytes at p. Throws on a value that does not fit the field.
    void encode(uint8_t* p, int f, const Value& v) const {
        const Field& fl = layout[size_t(f)];
        const FieldType t = fl.def.type;
        // the common cases first
        if (t == FieldType::Float) {
            if (const auto* x = std::get_if<double>(&v); x && !std::isnan(*x)) {
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
            uint8_t fill =
                (t == FieldType::Char || t == FieldType::Date || t == FieldType::Boolean) ? ' ' : 0;
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
            if (std::isnan(x)) badValue("NaN", "не является числом");
            putDouble(p, x);
            return;
        }
        case FieldType::DateTime:
        case FieldType::Date: {
            const auto* dt = std::get_if<DateTime>(&v);
            if (!dt) badValue("число", "не является датой");
            if (dt->ms() <= 0) badValue(dt->text(), "не является датой");
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

    // ================================================================ indexes
    void sortIndex(Index& ix) {
        ix.order.clear();
        ix.order.reserve(count);
        for (uint32_t r = 0; r < count; ++r)
            if (!deleted(r)) ix.order.push_back(r);
        std::stable_sort(ix.order.begin(), ix.order.end(),
                         [&](uint32_t a, uint32_t b) { return rowLess(ix, a, b); });
    }

    void insertIntoIndexes(uint32_t r) {
        for (Index& ix : indexes) {
            if (ix.order.empty() || rowLess(ix, ix.order.back(), r)) {
                ix.order.push_back(r);
                continue;
            }
            auto it = std::upper_bound(ix.order.begin(), ix.order.end(), r,
                                       [&](uint32_t a, uint32_t b) { return rowLess(ix, a, b); });
            ix.order.insert(it, r);
        }
    }

    // Removes row r, whose key bytes are still those of oldRow, from every index.
    void removeFromIndexes(uint32_t r, const uint8_t* oldRow) {
        for (Index& ix : indexes) {
            const uint8_t* key = fieldPtr(oldRow, ix.field);
            auto it = std::lower_bound(ix.order.begin(), ix.order.end(), r, [&](uint32_t a, uint32_t) {
                int c = compareKeys(ix.field, fieldPtr(rowPtr(a), ix.field), key);
                return c < 0 || (c == 0 && a < r);
            });
            if (it != ix.order.end() && *it == r) {
                ix.order.erase(it);
            } else {
                auto lin = std::find(ix.order.begin(), ix.order.end(), r);
                if (lin != ix.order.end()) ix.order.erase(lin);
            }
        }
    }

    // Throws when row (not yet in the indexes, or being replaced as row self) would duplicate a unique key.
    void checkUnique(const uint8_t* row, int64_t self) const {
        for (const Index& ix : indexes) {
            if (!ix.def.unique && !ix.def.primary) continue;
            const uint8_t* key = fieldPtr(row, ix.field);
            // a key above the highest one (a growing number) cannot be a duplicate
            if (ix.order.empty() ||
                compareKeys(ix.field, fieldPtr(rowPtr(ix.order.back()), ix.field), key) < 0)
                continue;
            auto it = std::lower_bound(ix.order.begin(), ix.order.end(), 0u, [&](uint32_t a, uint32_t) {
                return compareKeys(ix.field, fieldPtr(rowPtr(a), ix.field), key) < 0;
            });
            for (; it != ix.order.end(); ++it) {
                if (compareKeys(ix.field, fieldPtr(rowPtr(*it), ix.field), key) != 0) break;
                if (int64_t(*it) != self)
                    throw Error("Нарушение уникальности ключа: индекс " + ix.def.name + ", значение " +
                                valueText(row, ix.field));
            }
        }
    }

    std::string valueText(const uint8_t* row, int f) const {
        Value v = valueAt(row, f);
        return textOf(v, layout[size_t(f)].def.type);
    }

    static std::string textOf(const Value& v, FieldType t) {
        if (const auto* i = std::get_if<int64_t>(&v)) return std::to_string(*i);
        if (const auto* x = std::get_if<double>(&v)) return floatText(*x);
        if (const auto* s = std::get_if<std::string>(&v)) return *s;
        if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
        if (const auto* dt = std::get_if<DateTime>(&v))
            return t == FieldType::Date ? dt->dateText() : dt->text();
        return {};
    }

    // ================================================================ index file
    std::vector<uint8_t> mdxBytes() const {
        std::vector<uint8_t> out(24);
        std::memcpy(out.data(), kMdxMagic, 8);
        putLe32(&out[8], count);
        putLe32(&out[12], gen);
        putLe32(&out[16], uint32_t(recLen));
        putLe32(&out[20], uint32_t(indexes.size()));
        for (const Index& ix : indexes) {
            uint8_t e[72] = {};
            std::string n = toCp1251(ix.def.name), fn = toCp1251(ix.def.field);
            std::memcpy(e, n.data(), std::min<size_t>(31, n.size()));
            std::memcpy(e + 32, fn.data(), std::min<size_t>(31, fn.size()));
            e[64] = uint8_t((ix.def.primary ? 1 : 0) | (ix.def.unique ? 2 : 0));
            putLe32(e + 68, uint32_t(ix.order.size()));
            out.insert(out.end(), e, e + 72);
        }
        for (const Index& ix : indexes) {
            size_t at = out.size();
            out.resize(at + ix.order.size() * 4);
            for (size_t k = 0; k < ix.order.size(); ++k)
                putLe32(&out[at + k * 4], ix.order[k]);
        }
        uint8_t crc[4];
        putLe32(crc, uint32_t(crc32(0L, out.data(), uInt(out.size()))));
        out.insert(out.end(), crc, crc + 4);
        return out;
    }

    struct MdxFile {
        uint32_t count = 0, gen = 0;
        std::vector<Index> indexes;
    };

    // nullopt when the file is missing, damaged or made for another row length.
    std::optional<MdxFile> readMdx(bool withOrders) const {
        std::string p = findFile(dir, withExtension(baseName(), ".MDX"));
        if (p.empty()) return std::nullopt;
        int f = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (f < 0) return std::nullopt;
        std::vector<uint8_t> b;
        struct stat st {};
        bool ok = ::fstat(f, &st) == 0 && st.st_size >= 28 && st.st_size < (off_t(1) << 32);
        if (ok) {
            b.resize(size_t(st.st_size));
            try {
                preadAll(f, b.data(), b.size(), 0, p);
            } catch (const Error&) {
                ok = false;
            }
        }
        ::close(f);
        if (!ok || std::memcmp(b.data(), kMdxMagic, 8) != 0) return std::nullopt;
        if (uint32_t(crc32(0L, b.data(), uInt(b.size() - 4))) != getLe32(&b[b.size() - 4]))
            return std::nullopt;
        if (getLe32(&b[16]) != uint32_t(recLen)) return std::nullopt;
        MdxFile m;
        m.count = getLe32(&b[8]);
        m.gen = getLe32(&b[12]);
        uint32_t n = getLe32(&b[20]);
        size_t at = 24;
        std::vector<uint32_t> sizes;
        for (uint32_t i = 0; i < n; ++i) {
            if (at + 72 > b.size() - 4) return std::nullopt;
            Index ix;
            ix.def.name = fromCp1251(std::string(reinterpret_cast<const char*>(&b[at]),
                                                 strnlen(reinterpret_cast<const char*>(&b[at]), 32)));
            ix.def.field = fromCp1251(std::string(reinterpret_cast<const char*>(&b[at + 32]),
                                                  strnlen(reinterpret_cast<const char*>(&b[at + 32]), 32)));
            ix.def.primary = b[at + 64] & 1;
            ix.def.unique = b[at + 64] & 2;
            sizes.push_back(getLe32(&b[at + 68]));
            at += 72;
            auto fi = std::find_if(layout.begin(), layout.end(),
                                   [&](const Field& fl) { return sameName(fl.def.name, ix.def.field); });
            if (fi == layout.end()) return std::nullopt;
            ix.field = int(fi - layout.begin());
            m.indexes.push_back(std::move(ix));
        }
        if (withOrders) {
            for (size_t i = 0; i < m.indexes.size(); ++i) {
                if (at + size_t(sizes[i]) * 4 > b.size() - 4) return std::nullopt;
                auto& o = m.indexes[i].order;
                o.resize(sizes[i]);
                for (uint32_t k = 0; k < sizes[i]; ++k)
                    o[k] = getLe32(&b[at + size_t(k) * 4]);
                at += size_t(sizes[i]) * 4;
            }
        }
        return m;
    }

    std::string baseName() const {
        auto slash = dbfPath.rfind('/');
        return slash == std::string::npos ? dbfPath : dbfPath.substr(slash + 1);
    }

    std::string mdxTarget() const {
        std::string p = findFile(dir, withExtension(baseName(), ".MDX"));
        return p.empty() ? joinPath(dir, withExtension(baseName(), ".MDX")) : p;
    }

    // Writes the index file atomically (a new file renamed over the old one). Caller holds the exclusive
    // lock.
    void writeMdx() {
        std::vector<uint8_t> bytes = mdxBytes();
        std::string target = mdxTarget();
        std::string tmp = target + ".new~";
        int f = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (f < 0) throw Error(sysError("Не удалось записать индексный файл", tmp));
        try {
            pwriteAll(f, bytes.data(), bytes.size(), 0, tmp);
        } catch (...) {
            ::close(f);
            ::unlink(tmp.c_str());
            throw;
        }
        ::close(f);
        if (::rename(tmp.c_str(), target.c_str()) != 0) {
            ::unlink(tmp.c_str());
            throw Error(sysError("Не удалось записать индексный файл", target));
        }
        mdxDirty = false;
    }

    // Sets up the indexes from the index file, or from the field flags of the header when the file is lost,
    // checking every loaded order against the rows. Returns true when anything had to be rebuilt.
    bool loadIndexes() {
        indexes.clear();
        bool rebuilt = false;
        auto m = readMdx(true);
        if (m) {
            indexes = std::move(m->indexes);
        } else {
            rebuilt = true;
            for (size_t i = 0; i < layout.size(); ++i) {
                if (header[descOffset(int(i)) + 37] != 1) continue;
                Index ix;
                ix.def.name = layout[i].def.name;
                ix.def.field = layout[i].def.name;
                ix.def.primary = ix.def.unique = layout[i].def.type == FieldType::AutoInc;
                ix.field = int(i);
                indexes.push_back(std::move(ix));
            }
        }
        for (Index& ix : indexes) {
            bool good = m && m->count <= count && verifyOrder(ix, m->count);
            if (good) {
                // rows appended after the index file was written
                for (uint32_t r = m->count; r < count; ++r)
                    if (!deleted(r)) {
                        if (ix.order.empty() || rowLess(ix, ix.order.back(), r))
                            ix.order.push_back(r);
                        else
                            ix.order.insert(
                                std::upper_bound(ix.order.begin(), ix.order.end(), r,
                                                 [&](uint32_t a, uint32_t b) { return rowLess(ix, a, b); }),
                                r);
                    }
                if (m->count != count || m->gen != gen) rebuilt = true;
            } else {
                sortIndex(ix);
                rebuilt = true;
            }
        }
        return rebuilt;
    }

    // True when order holds exactly the live rows below upTo, in key order.
    bool verifyOrder(const Index& ix, uint32_t upTo) const {
        uint32_t live = 0;
        for (uint32_t r = 0; r < upTo; ++r)
            if (!deleted(r)) ++live;
        if (ix.order.size() != live) return false;
        for (size_t k = 0; k < ix.order.size(); ++k) {
            uint32_t r = ix.order[k];
            if (r >= upTo || deleted(r)) return false;
            if (k > 0 && !rowLess(ix, ix.order[k - 1], r)) return false;
        }
        return true;
    }

    // ================================================================ reading and repair
    off_t fileSize() const {
        struct stat st {};
        if (::fstat(fd, &st) != 0) throw Error(sysError("Ошибка чтения файла", dbfPath));
        return st.st_size;
    }

    // Number of complete rows the file holds, and whether it needs repair for the row count in the header.
    uint32_t completeRows(uint32_t headerCount, bool& needsRepair) const {
        off_t size = fileSize();
        off_t body = size - headerLen;
        uint32_t full = body > 0 ? uint32_t(body / recLen) : 0;
        needsRepair = false;
        if (full != headerCount) needsRepair = true;
        off_t expectEnd = off_t(headerLen) + off_t(headerCount) * recLen;
        if (size != expectEnd + 1) needsRepair = true;
        return full;
    }

    // Caller holds the exclusive lock. Drops an incomplete tail, counts a completely written last row that
    // the count missed, and puts the end mark, count and autoincrement value right.
    void repair() {
        bool dummy;
        uint32_t full = completeRows(count, dummy);
        // rows at the tail that do not start with a valid flag byte are the remains of an interrupted write
        while (full > 0) {
            uint8_t flag;
            preadAll(fd, &flag, 1, off_t(headerLen) + off_t(full - 1) * recLen, dbfPath);
            if (flag == ' ' || flag == '*') break;
            --full;
        }
        off_t end = off_t(headerLen) + off_t(full) * recLen;
        if (::ftruncate(fd, end) != 0) throw Error(sysError("Ошибка записи файла", dbfPath));
        uint8_t eof = 0x1A;
        pwriteAll(fd, &eof, 1, end, dbfPath);
        count = full;
        // autoincrement past every value present
        if (autoField >= 0 && full > 0) {
            std::vector<uint8_t> rows(size_t(full) * size_t(recLen));
            preadAll(fd, rows.data(), rows.size(), headerLen, dbfPath);
            uint32_t maxNum = 0;
            for (uint32_t r = 0; r < full; ++r) {
                const uint8_t* p = rows.data() + size_t(r) * recLen + layout[size_t(autoField)].offset;
                if (!allZero(p, 4)) maxNum = std::max<uint32_t>(maxNum, uint32_t(std::max(0, getInt(p))));
            }
            if (nextAuto <= maxNum) nextAuto = maxNum + 1;
            putLe32(&header[descOffset(autoField) + 40], nextAuto);
            pwriteAll(fd, &header[descOffset(autoField) + 40], 4, off_t(descOffset(autoField) + 40), dbfPath);
        }
        ++gen;
        putLe32(&header[4], count);
        putLe32(&header[16], gen);
        pwriteAll(fd, &header[4], 4, 4, dbfPath);
        pwriteAll(fd, &header[16], 4, 16, dbfPath);
    }

    void loadRows() {
        data.resize(size_t(count) * size_t(recLen));
        if (count) preadAll(fd, data.data(), data.size(), headerLen, dbfPath);
    }

    // Brings the rows up to what the file holds now. Caller holds a lock. Returns true when anything changed.
    bool syncLocked() {
        if (bulk) return false; // the lock is held for the whole bulk: nobody else wrote
        uint8_t h[kHeaderSize];
        preadAll(fd, h, sizeof h, 0, dbfPath);
        uint32_t c = getLe32(&h[4]);
        uint32_t g = getLe32(&h[16]);
        if (g == gen && c == count) return false;
        std::memcpy(header.data(), h, sizeof h);
        if (autoField >= 0) {
            preadAll(fd, &header[descOffset(autoField) + 40], 4, off_t(descOffset(autoField) + 40), dbfPath);
            readAutoFromHeader();
        }
        if (g == gen && c > count) {
            uint32_t from = count;
            data.resize(size_t(c) * size_t(recLen));
            preadAll(fd, rowPtr(from), size_t(c - from) * size_t(recLen),
                     off_t(headerLen) + off_t(from) * recLen, dbfPath);
            count = c;
            for (uint32_t r = from; r < c; ++r)
                if (!deleted(r)) insertIntoIndexes(r);
        } else {
            count = c;
            gen = g;
            loadRows();
            for (Index& ix : indexes)
                sortIndex(ix);
        }
        mdxDirty = true;
        viewValid = false;
        return true;
    }

    // ================================================================ open / close
    // Takes or changes the presence lock; false when !wait and another handle holds a conflicting one.
    static bool presenceLock(int f, short type, bool wait, const std::string& path) {
        struct flock fl {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = kPresenceOffset;
        fl.l_len = 1;
        while (::fcntl(f, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == -1) {
            if (errno == EINTR) continue;
            if (!wait && (errno == EAGAIN || errno == EACCES)) return false;
            throw Error(sysError("Не удалось заблокировать таблицу", path));
        }
        return true;
    }

    void openPath(const std::string& path) {
        dbfPath = path;
        auto slash = path.rfind('/');
        dir = slash == std::string::npos ? "." : path.substr(0, slash);
        for (int attempt = 0;; ++attempt) {
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
            writable = fd >= 0;
            if (fd < 0 && (errno == EACCES || errno == EROFS))
                fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) throw Error(sysError("Не удалось открыть таблицу", path));
            presenceLock(fd, F_RDLCK, true, path);
            // a compaction may have put a new file in its place while this one waited
            struct stat a {
            }, b{};
            if (::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
                a.st_dev == b.st_dev)
                break;
            ::close(fd);
            fd = -1;
            if (attempt == 10) throw Error("Не удалось открыть таблицу " + path + ": файл заменяется");
        }
        try {
            Lock lock(*this, writable);
            uint8_t h[kHeaderSize];
            preadAll(fd, h, sizeof h, 0, path);
            if (h[0] != kVersion) throw Error("Файл " + path + " не является таблицей dBase 7");
            header.assign(getLe16(&h[8]), 0);
            if (header.size() < size_t(kHeaderSize) + kDescSize + 1)
                throw Error("Повреждён заголовок таблицы " + path);
            preadAll(fd, header.data(), header.size(), 0, path);
            parseHeader();
            bool needsRepair = false;
            uint32_t full = completeRows(count, needsRepair);
            if (needsRepair) {
                if (writable)
                    repair();
                else
                    count = std::min(count, full);
            }
            loadRows();
            bool rebuilt = loadIndexes();
            if (rebuilt && writable) writeMdx();
        } catch (...) {
            ::close(fd);
            fd = -1;
            throw;
        }
        if (writable) {
            uint32_t dead = 0;
            for (uint32_t r = 0; r < count; ++r)
                dead += deleted(r);
            if (dead >= kPackMinDeleted && dead * 4 >= count) pack();
        }
        state = State::Browse;
        cur = -1;
        viewValid = false;
        mdxDirty = false;
        gotoFirst();
    }

    // Rewrites the table without its deleted rows when this handle is the only one open; otherwise leaves it.
    // The new file is complete before it replaces the old one, so a crash leaves one or the other.
    void pack() {
        if (!presenceLock(fd, F_WRLCK, false, dbfPath)) return;
        std::string tmp = dbfPath + ".pack~";
        int nfd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (nfd < 0) {
            presenceLock(fd, F_RDLCK, true, dbfPath);
            return;
        }
        try {
            // openers of the new file wait until it is ready
            presenceLock(nfd, F_WRLCK, true, tmp);
            std::vector<uint8_t> rows;
            rows.reserve(data.size());
            for (uint32_t r = 0; r < count; ++r)
                if (!deleted(r)) rows.insert(rows.end(), rowPtr(r), rowPtr(r) + recLen);
            uint32_t live = uint32_t(rows.size() / size_t(recLen));
            std::vector<uint8_t> h = header;
            putLe32(&h[4], live);
            putLe32(&h[16], gen + 1);
            pwriteAll(nfd, h.data(), h.size(), 0, tmp);
            pwriteRows(nfd, rows.data(), rows.size(), off_t(h.size()), tmp);
            if (::rename(tmp.c_str(), dbfPath.c_str()) != 0)
                throw Error(sysError("Ошибка записи файла", dbfPath));
            ::close(fd);
            fd = nfd;
            header = std::move(h);
            data = std::move(rows);
            count = live;
            gen = gen + 1;
        } catch (const Error&) {
            if (fd != nfd) {
                ::close(nfd);
                ::unlink(tmp.c_str());
                presenceLock(fd, F_RDLCK, true, dbfPath);
            }
            return;
        }
        for (Index& ix : indexes)
            sortIndex(ix);
        try {
            Lock lock(*this, true);
            writeMdx();
        } catch (const Error&) {
            mdxDirty = true;
        }
        presenceLock(fd, F_RDLCK, true, dbfPath);
    }

    void closeFile() {
        if (fd < 0) return;
        if (bulk) flushBulk(true);
        if (mdxDirty && writable) {
            try {
                Lock lock(*this, true);
                syncLocked();
                auto disk = readMdx(false);
                bool mine = true;
                if (disk)
                    for (const Index& di : disk->indexes)
                        if (std::none_of(indexes.begin(), indexes.end(),
                                         [&](const Index& ix) { return sameName(ix.def.name, di.def.name); }))
                            mine = false;
                if (mine) writeMdx();
            } catch (const Error&) {
                // the index is checked and rebuilt on the next open
            }
        }
        ::close(fd);
        fd = -1;
        state = State::Inactive;
        data.clear();
        data.shrink_to_fit();
        indexes.clear();
        view.clear();
        viewValid = false;
        cur = -1;
        lockDepth = 0;
    }

    void requireOpen() const {
        if (fd < 0) throw Error("Таблица не открыта");
    }

    // ================================================================ the visible rows
    Value masterValue() const {
        Impl& m = *masterTable->d;
        if (m.fd < 0) return std::monostate{};
        int f = m.requireField(masterFieldName);
        if (m.state == State::Browse) {
            m.checkMaster();
            m.ensureView();
        }
        const uint8_t* row = m.currentRow();
        return row ? m.valueAt(row, f) : Value(std::monostate{});
    }

    // A detail follows its master: when the master's key changed, the detail goes to its first row.
    void checkMaster() {
        if (!masterTable || fd < 0 || state != State::Browse) return;
        Value v = masterValue();
        if (masterSeen && v == masterKey) return;
        masterSeen = true;
        masterKey = v;
        viewValid = false;
        cur = -1;
        gotoFirst();
    }

    bool passesFilter(uint32_t r) const {
        const uint8_t* row = rowPtr(r);
        if (masterTable) {
            Value v = valueAt(row, detailField);
            if (!(v == masterKey)) {
                // integers and floats compare by value
                auto num = [](const Value& x) -> std::optional<double> {
                    if (auto* i = std::get_if<int64_t>(&x)) return double(*i);
                    if (auto* d = std::get_if<double>(&x)) return *d;
                    return std::nullopt;
                };
                auto a = num(v), b = num(masterKey);
                if (!a || !b || *a != *b) return false;
            }
        }
        if (filterOn)
            for (const Cond& c : conds)
                if (!evalCond(c, row)) return false;
        if (hasRange && orderIndex >= 0) {
            const Index& ix = indexes[size_t(orderIndex)];
            const uint8_t* key = fieldPtr(row, ix.field);
            if (!rangeLo.empty() && compareKeys(ix.field, key, rangeLo.data()) < 0) return false;
            if (!rangeHi.empty() && compareKeys(ix.field, key, rangeHi.data()) > 0) return false;
        }
        return true;
    }

    bool evalCond(const Cond& c, const uint8_t* row) const {
        using Op = Condition::Op;
        const Field& fl = layout[size_t(c.field)];
        bool null = isNullAt(row, c.field);
        int cmp = 0;
        if (null || c.emptyLiteral) {
            if (null && c.emptyLiteral)
                cmp = 0;
            else
                return c.op == Op::Ne;
        } else {
            const uint8_t* p = fieldPtr(row, c.field);
            switch (fl.def.type) {
            case FieldType::AutoInc:
            case FieldType::Integer: {
                double v = getInt(p);
                cmp = v < c.num ? -1 : v > c.num ? 1 : 0;
                break;
            }
            case FieldType::Float: {
                double v = getDouble(p);
                cmp = v < c.num ? -1 : v > c.num ? 1 : 0;
                break;
            }
            case FieldType::DateTime:
            case FieldType::Date: {
                Value v = valueAt(row, c.field);
                const auto* dt = std::get_if<DateTime>(&v);
                if (!dt) return c.op == Op::Ne;
                int64_t ms = dt->ms();
                cmp = ms < c.ms ? -1 : ms > c.ms ? 1 : 0;
                break;
            }
            case FieldType::Boolean: {
                bool b = *p == 'T' || *p == 't';
                cmp = b == c.boolean ? 0 : (b ? 1 : -1);
                break;
            }
            case FieldType::Char: {
                int len = fl.width;
                while (len > 0 && (p[len - 1] == ' ' || p[len - 1] == 0))
                    --len;
                if (c.prefix) {
                    bool starts =
                        size_t(len) >= c.text.size() && std::memcmp(p, c.text.data(), c.text.size()) == 0;
                    return c.op == Op::Eq ? starts : !starts;
                }
                int n = std::min<int>(len, int(c.text.size()));
                cmp = std::memcmp(p, c.text.data(), size_t(n));
                if (cmp == 0) cmp = len < int(c.text.size()) ? -1 : len > int(c.text.size()) ? 1 : 0;
                break;
            }
            }
        }
        switch (c.op) {
        case Op::Eq:
            return cmp == 0;
        case Op::Ne:
            return cmp != 0;
        case Op::Lt:
            return cmp < 0;
        case Op::Gt:
            return cmp > 0;
        case Op::Le:
            return cmp <= 0;
        case Op::Ge:
            return cmp >= 0;
        }
        return false;
    }

    std::vector<Cond> compile(const std::string& expression) const {
        std::vector<Cond> out;
        for (const Condition& c : parseConditions(expression)) {
            Cond k;
            k.field = requireField(c.field);
            k.op = c.op;
            k.prefix = c.prefix;
            const Field& fl = layout[size_t(k.field)];
            std::string lit = c.literal;
            k.emptyLiteral = trimRight(lit).empty() && !c.prefix;
            auto bad = [&](const char* what) {
                throw Error("'" + lit + "' " + what + " (поле " + fl.def.name + " в выражении \"" +
                            expression + "\")");
            };
            if (!k.emptyLiteral && fl.def.type == FieldType::Char) {
                k.text = trimRight(toCp1251(lit));
            } else if (!k.emptyLiteral) {
                const char* why = "";
                auto v = parseAs(fl.def.type, lit, why);
                if (!v) bad(why);
                k.prefix = false;
                if (const auto* i = std::get_if<int64_t>(&*v)) k.num = double(*i);
                if (const auto* x = std::get_if<double>(&*v)) k.num = *x;
                if (const auto* b = std::get_if<bool>(&*v)) k.boolean = *b;
                if (const auto* dt = std::get_if<DateTime>(&*v))
                    k.ms = fl.def.type == FieldType::Date ? dt->date().ms() : dt->ms();
            }
            out.push_back(std::move(k));
        }
        return out;
    }

    void buildView() {
        view.clear();
        viewValid = true;
        // a detail of a master without a current row shows nothing
        if (masterTable && std::holds_alternative<std::monostate>(masterKey)) return;
        if (orderIndex >= 0) {
            const Index& ix = indexes[size_t(orderIndex)];
            auto b = ix.order.begin(), e = ix.order.end();
            if (hasRange) {
                if (!rangeLo.empty())
                    b = std::lower_bound(b, e, 0u, [&](uint32_t a, uint32_t) {
                        return compareKeys(ix.field, fieldPtr(rowPtr(a), ix.field), rangeLo.data()) < 0;
                    });
                if (!rangeHi.empty())
                    e = std::upper_bound(b, e, 0u, [&](uint32_t, uint32_t a) {
                        return compareKeys(ix.field, rangeHi.data(), fieldPtr(rowPtr(a), ix.field)) < 0;
                    });
            }
            if (masterTable && ix.field == detailField) {
                std::vector<uint8_t> key(size_t(layout[size_t(ix.field)].width));
                bool encodable = true;
                try {
                    encode(key.data(), ix.field, masterKey);
                } catch (const Error&) {
                    encodable = false;
                }
                if (!encodable) return;
                b = std::lower_bound(b, e, 0u, [&](uint32_t a, uint32_t) {
                    return compareKeys(ix.field, fieldPtr(rowPtr(a), ix.field), key.data()) < 0;
                });
                e = std::upper_bound(b, e, 0u, [&](uint32_t, uint32_t a) {
                    return compareKeys(ix.field, key.data(), fieldPtr(rowPtr(a), ix.field)) < 0;
                });
            }
            for (auto it = b; it != e; ++it)
                if (passesFilter(*it)) view.push_back(*it);
        } else {
            for (uint32_t r = 0; r < count; ++r)
                if (!deleted(r) && passesFilter(r)) view.push_back(r);
        }
        viewValid = true;
    }

    void ensureView() {
        if (viewValid) return;
        buildView();
        if (cur >= 0) {
            auto it = std::find(view.begin(), view.end(), uint32_t(cur));
            if (it != view.end()) {
                pos = size_t(it - view.begin());
                return;
            }
        }
        if (view.empty()) {
            cur = -1;
            pos = 0;
            eofFlag = bofFlag = true;
            return;
        }
        pos = std::min(pos, view.size() - 1);
        cur = view[pos];
    }

    void gotoFirst() {
        if (masterTable && !masterSeen) {
            masterSeen = true;
            masterKey = masterValue();
        }
        ensureView();
        bofFlag = true;
        if (view.empty()) {
            cur = -1;
            eofFlag = true;
            return;
        }
        pos = 0;
        cur = view[0];
        eofFlag = false;
    }

    const uint8_t* currentRow() const {
        if (state == State::Edit || state == State::Insert) return buf.data();
        if (cur >= 0 && uint64_t(cur) < count) return rowPtr(uint32_t(cur));
        return nullptr;
    }

    // ================================================================ writing
    void writeHeaderCount() {
        time_t t = ::time(nullptr);
        tm lt{};
        localtime_r(&t, &lt);
        header[1] = uint8_t(lt.tm_year);
        header[2] = uint8_t(lt.tm_mon + 1);
        header[3] = uint8_t(lt.tm_mday);
        putLe32(&header[4], count);
        pwriteAll(fd, &header[1], 7, 1, dbfPath);
    }

    // The row count, the date of change and the autoincrement value in one write: they sit in the first
    // descriptor's page, so the write is never split.
    void writeCountAndAuto() {
        if (autoField != 0) {
            writeAuto();
            writeHeaderCount();
            return;
        }
        time_t t = ::time(nullptr);
        tm lt{};
        localtime_r(&t, &lt);
        header[1] = uint8_t(lt.tm_year);
        header[2] = uint8_t(lt.tm_mon + 1);
        header[3] = uint8_t(lt.tm_mday);
        putLe32(&header[4], count);
        putLe32(&header[descOffset(autoField) + 40], nextAuto);
        size_t end = descOffset(autoField) + 44;
        pwriteAll(fd, &header[1], end - 1, 1, dbfPath);
    }

    void bumpGeneration() {
        ++gen;
        putLe32(&header[16], gen);
        pwriteAll(fd, &header[16], 4, 16, dbfPath);
    }

    void writeAuto() {
        if (autoField < 0) return;
        putLe32(&header[descOffset(autoField) + 40], nextAuto);
        pwriteAll(fd, &header[descOffset(autoField) + 40], 4, off_t(descOffset(autoField) + 40), dbfPath);
    }

    void checkRequired(const uint8_t* row) const {
        for (size_t i = 0; i < layout.size(); ++i)
            if (layout[i].def.required && layout[i].def.type != FieldType::AutoInc && isNullAt(row, int(i)))
                throw Error("Поле '" + layout[i].def.name + "' должно иметь значение");
    }

    void postInsert() {
        Lock lock(*this, true);
        syncLocked();
        if (autoField >= 0) putInt(buf.data() + layout[size_t(autoField)].offset, int32_t(nextAuto));
        checkRequired(buf.data());
        checkUnique(buf.data(), -1);
        uint32_t r = count;
        if (!bulk) pwriteRows(fd, buf.data(), buf.size(), off_t(headerLen) + off_t(r) * recLen, dbfPath);
        if (autoField >= 0) ++nextAuto;
        ++count;
        data.insert(data.end(), buf.begin(), buf.end());
        if (bulk) {
            if (size_t(count - bulkFirst) * size_t(recLen) >= kBulkFlushBytes) flushBulk(false);
        } else {
            writeCountAndAuto();
        }
        insertIntoIndexes(r);
        mdxDirty = true;
        // the new row becomes current; keep the view when it simply grows at its end
        bool atEnd =
            viewValid && passesFilter(r) && (orderIndex < 0 || indexes[size_t(orderIndex)].order.back() == r);
        if (atEnd) {
            view.push_back(r);
            pos = view.size() - 1;
        } else {
            viewValid = false;
        }
        cur = r;
    }

    void flushBulk(bool finish) {
        if (count > bulkFirst) {
            pwriteRows(fd, rowPtr(bulkFirst), size_t(count - bulkFirst) * size_t(recLen),
                       off_t(headerLen) + off_t(bulkFirst) * recLen, dbfPath);
            bulkFirst = count;
            writeCountAndAuto();
        }
        if (finish) {
            bulk = false;
            release();
        }
    }

    void postEdit() {
        Lock lock(*this, true);
        uint32_t r = uint32_t(cur);
        if (syncLocked() && (uint64_t(r) >= count || deleted(r)))
            throw Error("Запись была удалена другим пользователем");
        checkRequired(buf.data());
        checkUnique(buf.data(), r);
        bumpGeneration();
        pwriteAll(fd, buf.data(), buf.size(), off_t(headerLen) + off_t(r) * recLen, dbfPath);
        std::vector<uint8_t> old(rowPtr(r), rowPtr(r) + recLen);
        std::memcpy(rowPtr(r), buf.data(), size_t(recLen));
        // reindex only the indexes whose key changed
        for (Index& ix : indexes) {
            const Field& fl = layout[size_t(ix.field)];
            if (std::memcmp(old.data() + fl.offset, buf.data() + fl.offset, size_t(fl.width)) == 0) continue;
            auto it = std::find(ix.order.begin(), ix.order.end(), r);
            if (it != ix.order.end()) ix.order.erase(it);
            auto at = std::upper_bound(ix.order.begin(), ix.order.end(), r,
                                       [&](uint32_t a, uint32_t b) { return rowLess(ix, a, b); });
            ix.order.insert(at, r);
        }
        mdxDirty = true;
        viewValid = false;
    }

    void markDeleted(const std::vector<uint32_t>& rows) {
        if (rows.empty()) return;
        bumpGeneration();
        for (uint32_t r : rows) {
            std::vector<uint8_t> old(rowPtr(r), rowPtr(r) + recLen);
            uint8_t flag = '*';
            pwriteAll(fd, &flag, 1, off_t(headerLen) + off_t(r) * recLen, dbfPath);
            removeFromIndexes(r, old.data());
            rowPtr(r)[0] = '*';
        }
        mdxDirty = true;
        viewValid = false;
    }
};

// ==================================================================== Table

Table::Table() : d(std::make_unique<Impl>()) {}
Table::~Table() {
    try {
        close();
    } catch (...) {
    }
}

void Table::create(const std::string& dir, const std::string& name, const std::vector<FieldDef>& fields,
                   const std::vector<IndexDef>& indexes) {
    close();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw Error("Папка не существует: " + dir);
    if (fields.empty() || fields.size() > 255) throw Error("Недопустимое число полей таблицы " + name);
    std::string file = name.find('.') == std::string::npos ? name + ".dbf" : name;
    std::string path = joinPath(dir, file);

    std::vector<uint8_t> header(size_t(kHeaderSize) + fields.size() * kDescSize + 1, 0);
    header[0] = kVersion;
    header[29] = kLangCp1251;
    int recLen = 1;
    for (size_t i = 0; i < fields.size(); ++i) {
        const FieldDef& f = fields[i];
        if (f.name.empty() || f.name.size() > 31)
            throw Error("Недопустимое имя поля '" + f.name + "' таблицы " + name);
        for (size_t j = 0; j < i; ++j)
            if (sameName(fields[j].name, f.name))
                throw Error("Поле '" + f.name + "' повторяется в таблице " + name);
        if (f.type == FieldType::Char && (f.size < 1 || f.size > 254))
            throw Error("Недопустимый размер поля '" + f.name + "' таблицы " + name);
        uint8_t* p = &header[size_t(kHeaderSize) + i * kDescSize];
        std::memcpy(p, f.name.data(), f.name.size());
        p[32] = uint8_t(typeLetter(f.type));
        p[33] = uint8_t(fieldWidth(f.type, f.size));
        p[35] = f.required || f.type == FieldType::AutoInc ? 1 : 0;
        if (f.type == FieldType::AutoInc) putLe32(p + 40, 1);
        for (const IndexDef& ix : indexes)
            if (sameName(ix.field, f.name)) p[37] = 1;
        recLen += fieldWidth(f.type, f.size);
    }
    for (const IndexDef& ix : indexes)
        if (std::none_of(fields.begin(), fields.end(),
                         [&](const FieldDef& f) { return sameName(f.name, ix.field); }))
            throw Error("Индекс по несуществующему полю '" + ix.field + "' таблицы " + name);
    if (recLen > 65535) throw Error("Слишком длинная запись таблицы " + name);
    header.back() = 0x0D;
    putLe16(&header[8], uint16_t(header.size()));
    putLe16(&header[10], uint16_t(recLen));
    {
        time_t t = ::time(nullptr);
        tm lt{};
        localtime_r(&t, &lt);
        header[1] = uint8_t(lt.tm_year);
        header[2] = uint8_t(lt.tm_mon + 1);
        header[3] = uint8_t(lt.tm_mday);
    }

    deleteTable(dir, file);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) throw Error(sysError("Не удалось создать таблицу", path));
    try {
        header.push_back(0x1A);
        pwriteAll(fd, header.data(), header.size(), 0, path);
        header.pop_back();
    } catch (...) {
        ::close(fd);
        ::unlink(path.c_str());
        throw;
    }

    // hand the new file to the cursor and write its index file
    Impl& m = *d;
    m.fd = fd;
    m.writable = true;
    m.dbfPath = path;
    m.dir = dir;
    m.header = header;
    try {
        m.parseHeader();
        for (const IndexDef& def : indexes) {
            Index ix;
            ix.def = def;
            if (ix.def.name.empty()) ix.def.name = def.field;
            ix.field = m.requireField(def.field);
            m.indexes.push_back(std::move(ix));
        }
        Impl::Lock lock(m, true);
        m.writeMdx();
    } catch (...) {
        ::close(fd);
        m.fd = -1;
        ::unlink(path.c_str());
        throw;
    }
    m.state = State::Browse;
    m.cur = -1;
    m.viewValid = false;
    m.gotoFirst();
}

void Table::open(const std::string& dir, const std::string& name, OpenMode /*mode*/) {
    // the read-only mode is not told apart yet
    open(dir, name);
}

void Table::open(const std::string& dir, const std::string& name) {
    close();
    std::string file = name.find('.') == std::string::npos ? name + ".dbf" : name;
    std::string path = findFile(dir, file);
    if (path.empty()) throw Error("Таблица не найдена: " + joinPath(dir, file));
    d->openPath(path);
}

void Table::close() {
    if (d->fd < 0) return;
    d->closeFile();
}

bool Table::isOpen() const {
    return d->fd >= 0;
}
Table::State Table::state() const {
    return d->state;
}
std::string Table::path() const {
    return d->dbfPath;
}

const std::vector<FieldDef>& Table::fields() const {
    return d->defs;
}
int Table::fieldCount() const {
    return int(d->defs.size());
}

int Table::fieldIndex(const std::string& name) const {
    for (size_t i = 0; i < d->layout.size(); ++i)
        if (sameName(d->layout[i].def.name, name)) return int(i);
    return -1;
}

std::vector<IndexDef> Table::indexes() const {
    std::vector<IndexDef> out;
    for (const Index& ix : d->indexes)
        out.push_back(ix.def);
    return out;
}

void Table::addIndex(const IndexDef& def) {
    d->requireOpen();
    Impl& m = *d;
    IndexDef nd = def;
    if (nd.name.empty()) nd.name = def.field;
    for (const Index& ix : m.indexes)
        if (sameName(ix.def.name, nd.name)) throw Error("Индекс " + nd.name + " уже существует");
    Impl::Lock lock(m, true);
    m.syncLocked();
    Index ix;
    ix.def = nd;
    ix.field = m.requireField(def.field);
    m.sortIndex(ix);
    // keep indexes another handle added since this one was opened
    if (auto disk = m.readMdx(false))
        for (Index& di : disk->indexes)
            if (std::none_of(m.indexes.begin(), m.indexes.end(),
                             [&](const Index& x) { return sameName(x.def.name, di.def.name); })) {
                m.sortIndex(di);
                m.indexes.push_back(std::move(di));
            }
    m.indexes.push_back(std::move(ix));
    size_t flagAt = m.descOffset(m.indexes.back().field) + 37;
    if (m.header[flagAt] != 1) {
        m.header[flagAt] = 1;
        pwriteAll(m.fd, &m.header[flagAt], 1, off_t(flagAt), m.dbfPath);
    }
    m.writeMdx();
}

bool Table::hasIndexOn(const std::string& field) const {
    return std::any_of(d->indexes.begin(), d->indexes.end(),
                       [&](const Index& ix) { return sameName(ix.def.field, field); });
}

void Table::setIndexName(const std::string& name) {
    Impl& m = *d;
    int found = -1;
    if (!name.empty()) {
        for (size_t i = 0; i < m.indexes.size(); ++i)
            if (sameName(m.indexes[i].def.name, name)) found = int(i);
        if (found < 0) throw Error("Индекс " + name + " не найден в таблице " + m.dbfPath);
    }
    m.orderIndex = found;
    m.indexNameText = name;
    m.indexFieldsText.clear();
    m.hasRange = false;
    m.viewValid = false;
}

void Table::setIndexFieldNames(const std::string& fields) {
    Impl& m = *d;
    int found = -1;
    if (!fields.empty()) {
        for (size_t i = 0; i < m.indexes.size() && found < 0; ++i)
            if (sameName(m.indexes[i].def.field, fields)) found = int(i);
        if (found < 0) throw Error("Нет индекса по полю " + fields + " в таблице " + m.dbfPath);
    }
    m.orderIndex = found;
    m.indexFieldsText = fields;
    m.indexNameText.clear();
    m.hasRange = false;
    m.viewValid = false;
}

std::string Table::indexName() const {
    return d->indexNameText;
}
std::string Table::indexFieldNames() const {
    return d->indexFieldsText;
}

void Table::setMaster(Table* master, const std::string& masterField, const std::string& detailField) {
    Impl& m = *d;
    m.requireOpen();
    if (!master || master == this) throw Error("Недопустимая главная таблица");
    m.detailField = m.requireField(detailField);
    m.masterTable = master;
    m.masterFieldName = masterField;
    m.masterSeen = false;
    m.viewValid = false;
    m.cur = -1;
    m.gotoFirst();
}

void Table::clearMaster() {
    d->masterTable = nullptr;
    d->masterSeen = false;
    d->viewValid = false;
}

Table* Table::master() const {
    return d->masterTable;
}

void Table::setFilter(const std::string& expression) {
    Impl& m = *d;
    m.requireOpen();
    m.conds = m.compile(expression);
    m.filterText = expression;
    m.viewValid = false;
    if (m.filterOn) m.gotoFirst();
}

std::string Table::filter() const {
    return d->filterText;
}

void Table::setFiltered(bool on) {
    if (d->filterOn == on) return;
    d->filterOn = on;
    d->viewValid = false;
    if (d->fd >= 0) d->gotoFirst();
}

bool Table::filtered() const {
    return d->filterOn;
}

void Table::setRange(const Value& low, const Value& high) {
    Impl& m = *d;
    m.requireOpen();
    if (m.orderIndex < 0) throw Error("Диапазон требует упорядочения по индексу");
    int f = m.indexes[size_t(m.orderIndex)].field;
    size_t w = size_t(m.layout[size_t(f)].width);
    auto enc = [&](const Value& v) {
        std::vector<uint8_t> key;
        if (std::holds_alternative<std::monostate>(v)) return key;
        key.resize(w);
        m.encode(key.data(), f, v);
        return key;
    };
    m.rangeLo = enc(low);
    m.rangeHi = enc(high);
    m.hasRange = true;
    m.viewValid = false;
    m.cur = -1;
    m.gotoFirst();
}

void Table::cancelRange() {
    d->hasRange = false;
    d->viewValid = false;
}

void Table::first() {
    d->requireOpen();
    d->checkMaster();
    d->gotoFirst();
}

void Table::last() {
    Impl& m = *d;
    m.requireOpen();
    m.checkMaster();
    m.ensureView();
    m.eofFlag = true;
    if (m.view.empty()) {
        m.cur = -1;
        m.bofFlag = true;
        return;
    }
    m.pos = m.view.size() - 1;
    m.cur = m.view[m.pos];
    m.bofFlag = false;
}

void Table::next() {
    Impl& m = *d;
    m.requireOpen();
    m.checkMaster();
    m.ensureView();
    if (m.view.empty()) {
        m.eofFlag = m.bofFlag = true;
        return;
    }
    if (m.pos + 1 < m.view.size()) {
        ++m.pos;
        m.cur = m.view[m.pos];
        m.bofFlag = m.eofFlag = false;
    } else {
        m.eofFlag = true;
    }
}

void Table::prior() {
    Impl& m = *d;
    m.requireOpen();
    m.checkMaster();
    m.ensureView();
    if (m.view.empty()) {
        m.eofFlag = m.bofFlag = true;
        return;
    }
    if (m.pos > 0) {
        --m.pos;
        m.cur = m.view[m.pos];
        m.bofFlag = m.eofFlag = false;
    } else {
        m.bofFlag = true;
    }
}

bool Table::eof() const {
    d->checkMaster();
    d->ensureView();
    return d->eofFlag || d->view.empty();
}

bool Table::bof() const {
    d->checkMaster();
    d->ensureView();
    return d->bofFlag || d->view.empty();
}

bool Table::isEmpty() {
    return recordCount() == 0;
}

int Table::recordCount() {
    if (d->fd < 0) return 0;
    d->checkMaster();
    d->ensureView();
    return int(d->view.size());
}

int Table::recNo() const {
    d->checkMaster();
    if (d->state == State::Insert) return 0;
    d->ensureView();
    return d->cur >= 0 ? int(d->cur + 1) : 0;
}

void Table::setRecNo(int recNo) {
    Impl& m = *d;
    m.requireOpen();
    m.checkMaster();
    m.ensureView();
    auto it = std::find(m.view.begin(), m.view.end(), uint32_t(recNo - 1));
    if (recNo < 1 || it == m.view.end()) throw Error("Запись " + std::to_string(recNo) + " не найдена");
    m.pos = size_t(it - m.view.begin());
    m.cur = recNo - 1;
    m.eofFlag = m.bofFlag = false;
}

bool Table::locate(const std::string& field, const Value& value) {
    Impl& m = *d;
    m.requireOpen();
    m.checkMaster();
    m.ensureView();
    int f = m.requireField(field);
    std::vector<uint8_t> key(size_t(m.layout[size_t(f)].width));
    m.encode(key.data(), f, value);
    for (size_t i = 0; i < m.view.size(); ++i)
        if (m.compareKeys(f, m.fieldPtr(m.rowPtr(m.view[i]), f), key.data()) == 0) {
            m.pos = i;
            m.cur = m.view[i];
            m.eofFlag = m.bofFlag = false;
            return true;
        }
    return false;
}

void Table::append() {
    Impl& m = *d;
    m.requireOpen();
    if (!m.writable) throw Error("Таблица открыта только для чтения: " + m.dbfPath);
    if (m.state != State::Browse) throw Error("Таблица уже в режиме редактирования");
    m.checkMaster();
    m.buf = m.blank;
    if (m.masterTable)
        m.encode(m.buf.data() + m.layout[size_t(m.detailField)].offset, m.detailField, m.masterKey);
    m.state = State::Insert;
}

void Table::edit() {
    Impl& m = *d;
    m.requireOpen();
    if (!m.writable) throw Error("Таблица открыта только для чтения: " + m.dbfPath);
    if (m.state != State::Browse) return;
    m.checkMaster();
    m.ensureView();
    if (m.cur < 0) throw Error("Нет текущей записи для редактирования");
    m.buf.assign(m.rowPtr(uint32_t(m.cur)), m.rowPtr(uint32_t(m.cur)) + m.recLen);
    m.state = State::Edit;
}

void Table::post() {
    Impl& m = *d;
    m.requireOpen();
    if (m.state == State::Insert)
        m.postInsert();
    else if (m.state == State::Edit)
        m.postEdit();
    else
        return;
    m.state = State::Browse;
    m.eofFlag = m.bofFlag = false;
}

void Table::cancel() {
    if (d->state == State::Edit || d->state == State::Insert) d->state = State::Browse;
}

void Table::remove() {
    Impl& m = *d;
    m.requireOpen();
    if (m.state == State::Insert) {
        m.state = State::Browse;
        return;
    }
    m.state = State::Browse;
    m.checkMaster();
    m.ensureView();
    if (m.cur < 0) throw Error("Нет текущей записи для удаления");
    Impl::Lock lock(m, true);
    uint32_t r = uint32_t(m.cur);
    m.syncLocked();
    if (uint64_t(r) >= m.count) throw Error("Запись была удалена другим пользователем");
    size_t oldPos = m.pos;
    if (!m.deleted(r)) m.markDeleted({r});
    m.viewValid = false;
    m.cur = -1;
    m.buildView();
    if (m.view.empty()) {
        m.eofFlag = m.bofFlag = true;
        m.pos = 0;
        return;
    }
    m.pos = std::min(oldPos, m.view.size() - 1);
    m.cur = m.view[m.pos];
    m.eofFlag = m.bofFlag = false;
}

void Table::refresh() {
    Impl& m = *d;
    m.requireOpen();
    {
        Impl::Lock lock(m, false);
        m.syncLocked();
    }
    m.viewValid = false;
    m.checkMaster();
    m.ensureView();
}

// ---- field access

bool Table::isNull(const std::string& field) const {
    d->checkMaster();
    const uint8_t* row = d->currentRow();
    return !row || d->isNullAt(row, d->requireField(field));
}

Value Table::value(int fieldNo) const {
    d->checkMaster();
    if (fieldNo < 0 || size_t(fieldNo) >= d->layout.size())
        throw Error("Нет поля с номером " + std::to_string(fieldNo));
    return d->valueAt(d->currentRow(), fieldNo);
}

Value Table::value(const std::string& field) const {
    return value(d->requireField(field));
}

std::string Table::asString(const std::string& field) const {
    int f = d->requireField(field);
    return Impl::textOf(value(f), d->layout[size_t(f)].def.type);
}

int64_t Table::asInt(const std::string& field) const {
    Value v = value(field);
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    if (auto* x = std::get_if<double>(&v)) return std::llround(*x);
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* s = std::get_if<std::string>(&v)) {
        auto n = parseInt(*s);
        if (!n) throw Error("'" + *s + "' не является целым числом (поле " + field + ")");
        return *n;
    }
    if (std::holds_alternative<DateTime>(v)) throw Error("Поле " + field + " не является числом");
    return 0;
}

double Table::asFloat(const std::string& field) const {
    Value v = value(field);
    if (auto* i = std::get_if<int64_t>(&v)) return double(*i);
    if (auto* x = std::get_if<double>(&v)) return *x;
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* s = std::get_if<std::string>(&v)) {
        auto n = parseFloat(*s);
        if (!n) throw Error("'" + *s + "' не является числом (поле " + field + ")");
        return *n;
    }
    if (auto* dt = std::get_if<DateTime>(&v)) return dt->toOleDays();
    return 0;
}

bool Table::asBool(const std::string& field) const {
    Value v = value(field);
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* i = std::get_if<int64_t>(&v)) return *i != 0;
    if (auto* s = std::get_if<std::string>(&v)) return parseBool(*s).value_or(false);
    return false;
}

DateTime Table::asDateTime(const std::string& field) const {
    Value v = value(field);
    if (auto* dt = std::get_if<DateTime>(&v)) return *dt;
    if (auto* s = std::get_if<std::string>(&v)) {
        auto p = DateTime::parse(*s);
        if (p) return *p;
        if (s->empty()) return DateTime();
        throw Error("'" + *s + "' не является датой (поле " + field + ")");
    }
    if (std::holds_alternative<std::monostate>(v)) return DateTime();
    throw Error("Поле " + field + " не является датой");
}

void Table::setValue(int fieldNo, const Value& v) {
    Impl& m = *d;
    if (m.state != State::Edit && m.state != State::Insert)
        throw Error("Таблица не находится в режиме редактирования или вставки");
    if (fieldNo < 0 || size_t(fieldNo) >= m.layout.size())
        throw Error("Нет поля с номером " + std::to_string(fieldNo));
    if (m.layout[size_t(fieldNo)].def.type == FieldType::AutoInc)
        throw Error("Поле '" + m.layout[size_t(fieldNo)].def.name + "' только для чтения");
    m.encode(m.buf.data() + m.layout[size_t(fieldNo)].offset, fieldNo, v);
}

void Table::setValue(const std::string& field, const Value& v) {
    setValue(d->requireField(field), v);
}
void Table::setString(const std::string& field, const std::string& text) {
    setValue(field, Value(text));
}
void Table::setInt(const std::string& field, int64_t v) {
    setValue(field, Value(v));
}
void Table::setFloat(const std::string& field, double v) {
    setValue(field, Value(v));
}
void Table::setBool(const std::string& field, bool v) {
    setValue(field, Value(v));
}
void Table::setDateTime(const std::string& field, DateTime v) {
    setValue(field, Value(v));
}
void Table::setNull(const std::string& field) {
    setValue(field, Value(std::monostate{}));
}

void Table::beginBulk() {
    Impl& m = *d;
    m.requireOpen();
    if (m.bulk) return;
    m.acquire(true);
    try {
        m.syncLocked();
    } catch (...) {
        m.release();
        throw;
    }
    m.bulk = true;
    m.bulkFirst = m.count;
}

void Table::endBulk() {
    Impl& m = *d;
    if (!m.bulk) return;
    m.flushBulk(true);
}

// ==================================================================== local SQL

namespace {

// Splits "select * from FILE where COND" / "delete from FILE where COND".
struct Statement {
    bool isDelete = false;
    std::string file;
    std::string where;
};

Statement parseStatement(const std::string& sql) {
    std::string s;
    for (char c : sql)
        s += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
    size_t i = 0;
    auto skip = [&] {
        while (i < s.size() && s[i] == ' ')
            ++i;
    };
    auto word = [&]() {
        skip();
        size_t b = i;
        while (i < s.size() && s[i] != ' ')
            ++i;
        return s.substr(b, i - b);
    };
    auto fail = [&]() -> Statement { throw Error("Неподдерживаемый запрос: " + sql); };
    Statement st;
    std::string w = word();
    if (sameName(w, "SELECT")) {
        if (word() != "*") return fail();
    } else if (sameName(w, "DELETE")) {
        st.isDelete = true;
    } else {
        return fail();
    }
    if (!sameName(word(), "FROM")) return fail();
    skip();
    if (i < s.size() && (s[i] == '"' || s[i] == '\'')) {
        char q = s[i++];
        size_t b = i;
        while (i < s.size() && s[i] != q)
            ++i;
        if (i >= s.size()) return fail();
        st.file = s.substr(b, i - b);
        ++i;
    } else {
        st.file = word();
    }
    if (st.file.empty()) return fail();
    skip();
    if (i < s.size()) {
        std::string kw = word();
        if (!sameName(kw, "WHERE")) return fail();
        st.where = s.substr(i);
    }
    return st;
}

} // namespace

int Database::execSql(const std::string& statement) const {
    Statement st = parseStatement(statement);
    std::string dir = dir_;
    std::string file = st.file;
    if (auto slash = file.rfind('/'); slash != std::string::npos) {
        dir = file[0] == '/' ? file.substr(0, slash) : joinPath(dir_, file.substr(0, slash));
        file = file.substr(slash + 1);
    }
    Table t;
    t.open(dir, file);
    Table::Impl& m = *t.d;
    std::vector<Cond> conds = m.compile(st.where);
    auto matches = [&](uint32_t r) {
        if (m.deleted(r)) return false;
        for (const Cond& c : conds)
            if (!m.evalCond(c, m.rowPtr(r))) return false;
        return true;
    };
    if (!st.isDelete) {
        int n = 0;
        for (uint32_t r = 0; r < m.count; ++r)
            if (matches(r)) ++n;
        return n;
    }
    Table::Impl::Lock lock(m, true);
    m.syncLocked();
    std::vector<uint32_t> rows;
    for (uint32_t r = 0; r < m.count; ++r)
        if (matches(r)) rows.push_back(r);
    m.markDeleted(rows);
    return int(rows.size());
}

} // namespace dbf
