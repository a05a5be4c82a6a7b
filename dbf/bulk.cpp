// Bulk appends (rows collected in memory and written in large blocks) and the compaction of a table with many
// deleted rows.
#include "dbf/codec.h"
#include "dbf/crash_point.h"
#include "dbf/detail/table_impl.h"

#include <unistd.h>

namespace dbf {

using namespace codec;
using detail::Storage;

namespace {
constexpr size_t kBulkFlushBytes = 1 << 20;
}

void Table::beginBulk() {
    Impl& m = *d;
    m.requireOpen();
    if (m.bulk) return;
    m.file.acquire(true);
    try {
        m.syncLocked();
    } catch (...) {
        m.file.release();
        throw;
    }
    m.bulk = true;
    m.bulkFirst = m.rows.count;
}

void Table::endBulk() {
    Impl& m = *d;
    if (!m.bulk) return;
    m.flushBulk(true);
}

// Called after each row posted in bulk mode (finish false) and at the end (finish true, which gives up the
// lock that the bulk held from its start).
void Table::Impl::flushBulk(bool finish) {
    if (!finish && size_t(rows.count - bulkFirst) * size_t(schema.recLen) < kBulkFlushBytes) return;
    if (rows.count > bulkFirst) {
        file.appendRows(schema, rows.row(bulkFirst), bulkFirst, rows.count - bulkFirst);
        bulkFirst = rows.count;
    }
    if (finish) {
        bulk = false;
        file.release();
    }
}

// The new file is complete before it replaces the old one, so a crash leaves one or the other.
void Table::Impl::pack() {
    const std::string& path = file.path;
    if (!Storage::presenceLock(file.fd, F_WRLCK, false, path)) return;
    crash::point(crash::Op::Pack, path, crash::Phase::Before);
    std::string tmp = path + ".pack~";
    int nfd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (nfd < 0) {
        Storage::presenceLock(file.fd, F_RDLCK, true, path);
        return;
    }
    try {
        // openers of the new file wait until it is ready
        Storage::presenceLock(nfd, F_WRLCK, true, tmp);
        std::vector<uint8_t> live;
        live.reserve(rows.data.size());
        for (uint32_t r = 0; r < rows.count; ++r)
            if (!rows.deleted(r)) live.insert(live.end(), rows.row(r), rows.row(r) + schema.recLen);
        uint32_t n = uint32_t(live.size() / size_t(schema.recLen));
        std::vector<uint8_t> h = file.header;
        putLe32(&h[detail::kCountAt], n);
        putLe32(&h[detail::kGenAt], file.gen + 1);
        detail::pwriteAll(nfd, h.data(), h.size(), 0, tmp);
        detail::pwriteRows(nfd, live.data(), live.size(), off_t(h.size()), tmp);
        crash::point(crash::Op::Pack, path, crash::Phase::Amid);
        if (::rename(tmp.c_str(), path.c_str()) != 0) detail::throwSys("Ошибка записи файла", path);
        crash::point(crash::Op::Pack, path, crash::Phase::After);
        ::close(file.fd);
        file.fd = nfd;
        file.header = std::move(h);
        rows.data = std::move(live);
        rows.count = n;
        file.gen = file.gen + 1;
    } catch (const Error&) {
        if (file.fd != nfd) {
            ::close(nfd);
            ::unlink(tmp.c_str());
            Storage::presenceLock(file.fd, F_RDLCK, true, path);
        }
        return;
    }
    indexes.sortAll();
    try {
        Storage::Lock lock(file, true);
        writeMdx();
    } catch (const Error&) {
        mdxDirty = true;
    }
    Storage::presenceLock(file.fd, F_RDLCK, true, path);
}

} // namespace dbf
