#include "dbf/detail/index.h"

#include "dbf/codec.h"
#include "dbf/crash_point.h"
#include "dbf/detail/storage.h"
#include "dbf/table.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace dbf::detail {

using namespace codec;

namespace {
constexpr char kMdxMagic[8] = {'M', 'R', 'V', 'M', 'D', 'X', '0', '1'};
}

// ================================================================ orders in memory

const Index* IndexSet::byName(const std::string& name) const {
    for (const Index& ix : list)
        if (sameName(ix.def.name, name)) return &ix;
    return nullptr;
}

bool IndexSet::less(const Index& ix, uint32_t a, uint32_t b) const {
    int c = s_.compare(ix.field, s_.at(rows_.row(a), ix.field), s_.at(rows_.row(b), ix.field));
    return c < 0 || (c == 0 && a < b);
}

void IndexSet::sort(Index& ix) const {
    ix.order.clear();
    ix.order.reserve(rows_.count);
    for (uint32_t r = 0; r < rows_.count; ++r)
        if (!rows_.deleted(r)) ix.order.push_back(r);
    std::stable_sort(ix.order.begin(), ix.order.end(),
                     [&](uint32_t a, uint32_t b) { return less(ix, a, b); });
}

void IndexSet::sortAll() {
    for (Index& ix : list)
        sort(ix);
}

void IndexSet::insertInto(Index& ix, uint32_t r) const {
    if (ix.order.empty() || less(ix, ix.order.back(), r)) {
        ix.order.push_back(r);
        return;
    }
    auto it = std::upper_bound(ix.order.begin(), ix.order.end(), r,
                               [&](uint32_t a, uint32_t b) { return less(ix, a, b); });
    ix.order.insert(it, r);
}

void IndexSet::insert(uint32_t r) {
    for (Index& ix : list)
        insertInto(ix, r);
}

void IndexSet::remove(uint32_t r, const uint8_t* oldRow) {
    for (Index& ix : list) {
        const uint8_t* key = s_.at(oldRow, ix.field);
        auto it = std::lower_bound(ix.order.begin(), ix.order.end(), r, [&](uint32_t a, uint32_t) {
            int c = s_.compare(ix.field, s_.at(rows_.row(a), ix.field), key);
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

void IndexSet::update(uint32_t r, const uint8_t* oldRow) {
    // reindex only the indexes whose key changed
    for (Index& ix : list) {
        const Field& fl = s_.fields[size_t(ix.field)];
        if (std::memcmp(oldRow + fl.offset, rows_.row(r) + fl.offset, size_t(fl.width)) == 0) continue;
        auto it = std::find(ix.order.begin(), ix.order.end(), r);
        if (it != ix.order.end()) ix.order.erase(it);
        insertInto(ix, r);
    }
}

void IndexSet::checkUnique(const uint8_t* row, int64_t self) const {
    for (const Index& ix : list) {
        if (!ix.def.unique && !ix.def.primary) continue;
        const uint8_t* key = s_.at(row, ix.field);
        // a key above the highest one (a growing number) cannot be a duplicate
        if (ix.order.empty() || s_.compare(ix.field, s_.at(rows_.row(ix.order.back()), ix.field), key) < 0)
            continue;
        auto it = std::lower_bound(ix.order.begin(), ix.order.end(), 0u, [&](uint32_t a, uint32_t) {
            return s_.compare(ix.field, s_.at(rows_.row(a), ix.field), key) < 0;
        });
        for (; it != ix.order.end(); ++it) {
            if (s_.compare(ix.field, s_.at(rows_.row(*it), ix.field), key) != 0) break;
            if (int64_t(*it) != self)
                throw Error("Нарушение уникальности ключа: индекс " + ix.def.name + ", значение " +
                            s_.text(row, ix.field));
        }
    }
}

bool IndexSet::verify(const Index& ix, uint32_t upTo) const {
    uint32_t live = 0;
    for (uint32_t r = 0; r < upTo; ++r)
        if (!rows_.deleted(r)) ++live;
    if (ix.order.size() != live) return false;
    for (size_t k = 0; k < ix.order.size(); ++k) {
        uint32_t r = ix.order[k];
        if (r >= upTo || rows_.deleted(r)) return false;
        if (k > 0 && !less(ix, ix.order[k - 1], r)) return false;
    }
    return true;
}

// ================================================================ the index file

std::string mdxPath(const std::string& dir, const std::string& tableFile) {
    std::string p = findFile(dir, withExtension(tableFile, ".MDX"));
    return p.empty() ? joinPath(dir, withExtension(tableFile, ".MDX")) : p;
}

std::vector<uint8_t> mdxBytes(const std::vector<Index>& indexes, uint32_t count, uint32_t gen, int recLen) {
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

std::optional<MdxFile> readMdx(const std::string& dir, const std::string& tableFile, const Schema& s,
                               uint32_t rowCount, bool withOrders) {
    std::string p = findFile(dir, withExtension(tableFile, ".MDX"));
    if (p.empty()) return std::nullopt;
    int f = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (f < 0) return std::nullopt;
    std::vector<uint8_t> b;
    struct stat st {};
    // an index file larger than any that the rows could need is damage: it is not read into memory
    const uint64_t most = 28 + uint64_t(kMaxIndexes) * (72 + 4 * uint64_t(rowCount));
    bool ok = ::fstat(f, &st) == 0 && st.st_size >= 28 && uint64_t(st.st_size) <= most;
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
    if (uint32_t(crc32(0L, b.data(), uInt(b.size() - 4))) != getLe32(&b[b.size() - 4])) return std::nullopt;
    if (getLe32(&b[16]) != uint32_t(s.recLen)) return std::nullopt;
    MdxFile m;
    m.count = getLe32(&b[8]);
    m.gen = getLe32(&b[12]);
    uint32_t n = getLe32(&b[20]);
    if (n > kMaxIndexes) return std::nullopt;
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
        ix.field = s.find(ix.def.field);
        if (ix.field < 0) return std::nullopt;
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

void writeMdx(const std::string& target, const std::vector<uint8_t>& bytes) {
    crash::point(crash::Op::Index, target, crash::Phase::Before);
    std::string tmp = target + ".new~";
    int f = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (f < 0) throwSys("Не удалось записать индексный файл", tmp);
    try {
        pwriteAll(f, bytes.data(), bytes.size(), 0, tmp);
    } catch (...) {
        ::close(f);
        ::unlink(tmp.c_str());
        throw;
    }
    ::close(f);
    crash::point(crash::Op::Index, target, crash::Phase::Amid);
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(tmp.c_str());
        throw SysError("Не удалось записать индексный файл", target, e);
    }
    crash::point(crash::Op::Index, target, crash::Phase::After);
}

bool loadIndexes(IndexSet& set, const std::string& dir, const std::string& tableFile, const Schema& s,
                 const std::vector<uint8_t>& header, const Rows& rows, uint32_t gen) {
    set.list.clear();
    bool rebuilt = false;
    auto m = readMdx(dir, tableFile, s, rows.count, true);
    if (m) {
        set.list = std::move(m->indexes);
    } else {
        rebuilt = true;
        for (size_t i = 0; i < s.fields.size(); ++i) {
            if (header[descOffset(int(i)) + kDescIndexedAt] != 1) continue;
            Index ix;
            ix.def.name = s.fields[i].def.name;
            ix.def.field = s.fields[i].def.name;
            ix.def.primary = ix.def.unique = s.fields[i].def.type == FieldType::AutoInc;
            ix.field = int(i);
            set.list.push_back(std::move(ix));
        }
    }
    for (Index& ix : set.list) {
        bool good = m && m->count <= rows.count && set.verify(ix, m->count);
        if (good) {
            // rows appended after the index file was written
            for (uint32_t r = m->count; r < rows.count; ++r)
                if (!rows.deleted(r)) set.insertInto(ix, r);
            if (m->count != rows.count || m->gen != gen) rebuilt = true;
        } else {
            set.sort(ix);
            rebuilt = true;
        }
    }
    return rebuilt;
}

} // namespace dbf::detail
