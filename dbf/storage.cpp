#include "dbf/detail/storage.h"

#include "dbf/codec.h"
#include "dbf/crash_point.h"

#include "dbf/table.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace dbf::detail {

using namespace codec;

SysError::SysError(const std::string& what, const std::string& path, int code)
    : Error(what + " " + path + ": " + std::strerror(code)), code_(code) {}

void throwSys(const std::string& what, const std::string& path) {
    throw SysError(what, path, errno);
}

bool cannotWrite(int code) {
    return code == ENOSPC || code == EDQUOT || code == EFBIG || code == EROFS || code == EACCES ||
           code == EPERM;
}

void preadAll(int fd, void* buf, size_t n, off_t off, const std::string& path) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        ssize_t r = ::pread(fd, p, n, off);
        if (r < 0) {
            if (errno == EINTR) continue;
            throwSys("Ошибка чтения файла", path);
        }
        if (r == 0) throw Error("Неожиданный конец файла " + path);
        p += r;
        n -= size_t(r);
        off += r;
    }
}

void pwriteRows(int fd, const uint8_t* rows, size_t n, off_t off, const std::string& path) {
    static const uint8_t eof = kFileEnd;
    iovec iov[2] = {{const_cast<uint8_t*>(rows), n}, {const_cast<uint8_t*>(&eof), 1}};
    size_t total = n + 1;
    ssize_t r;
    do {
        r = ::pwritev(fd, iov, 2, off);
    } while (r < 0 && errno == EINTR);
    if (r < 0) throwSys("Ошибка записи файла", path);
    if (size_t(r) != total) {
        // a short write: finish it byte-exactly
        std::vector<uint8_t> all(rows, rows + n);
        all.push_back(eof);
        size_t done = size_t(r);
        while (done < total) {
            ssize_t w = ::pwrite(fd, all.data() + done, total - done, off + off_t(done));
            if (w < 0) {
                if (errno == EINTR) continue;
                throwSys("Ошибка записи файла", path);
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
            throwSys("Ошибка записи файла", path);
        }
        p += r;
        n -= size_t(r);
        off += r;
    }
}

Storage::~Storage() {
    if (fd >= 0) ::close(fd);
}

// ================================================================ locks

void Storage::acquire(bool exclusive) {
    short want = exclusive ? F_WRLCK : F_RDLCK;
    if (lockDepth > 0) {
        if (lockType == F_RDLCK && want == F_WRLCK) throw Error("Внутренняя ошибка блокировки таблицы");
        ++lockDepth;
        return;
    }
    if (exclusive && !writable) throw Error("Таблица открыта только для чтения: " + path);
    struct flock fl {};
    fl.l_type = want;
    fl.l_whence = SEEK_SET;
    fl.l_start = kLockOffset;
    fl.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLKW, &fl) == -1) {
        if (errno == EINTR) continue;
        throwSys("Не удалось заблокировать таблицу", path);
    }
    lockType = want;
    lockDepth = 1;
}

void Storage::release() {
    if (--lockDepth > 0) return;
    struct flock fl {};
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = kLockOffset;
    fl.l_len = 1;
    ::fcntl(fd, F_OFD_SETLK, &fl);
    lockType = F_UNLCK;
}

bool Storage::presenceLock(int f, short type, bool wait, const std::string& path) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kPresenceOffset;
    fl.l_len = 1;
    while (::fcntl(f, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == -1) {
        if (errno == EINTR) continue;
        if (!wait && (errno == EAGAIN || errno == EACCES)) return false;
        throwSys("Не удалось заблокировать таблицу", path);
    }
    return true;
}

// ================================================================ opening and closing

void Storage::openFile(const std::string& p, bool readOnly) {
    path = p;
    auto slash = p.rfind('/');
    dir = slash == std::string::npos ? "." : p.substr(0, slash);
    for (int attempt = 0;; ++attempt) {
        fd = readOnly ? -1 : ::open(p.c_str(), O_RDWR | O_CLOEXEC);
        writable = fd >= 0;
        if (fd < 0 && (readOnly || errno == EACCES || errno == EROFS || errno == EPERM))
            fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throwSys("Не удалось открыть таблицу", p);
        presenceLock(fd, F_RDLCK, true, p);
        // a compaction may have put a new file in its place while this one waited
        struct stat a {
        }, b{};
        if (::fstat(fd, &a) == 0 && ::stat(p.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
            a.st_dev == b.st_dev)
            break;
        ::close(fd);
        fd = -1;
        if (attempt == 10) throw Error("Не удалось открыть таблицу " + p + ": файл заменяется");
    }
}

namespace {

// A file of a table in the making: a name of its own beside the file it is to become, held by an exclusive
// lock on the presence byte while its maker lives.
struct Scratch {
    std::string path;
    int fd = -1;
    ~Scratch() {
        if (fd >= 0) ::close(fd);
        if (!path.empty()) ::unlink(path.c_str());
    }
};

constexpr const char* kScratchEnd = ".new~";

void makeScratch(Scratch& s, const std::string& target) {
    static std::atomic<uint32_t> counter{0};
    for (int attempt = 0;; ++attempt) {
        uint32_t tag =
            uint32_t(::getpid()) * 2654435761u + counter.fetch_add(1) * 40503u + uint32_t(::time(nullptr));
        char part[16];
        std::snprintf(part, sizeof part, ".%08x", tag);
        std::string p = target + part + kScratchEnd;
        int f = ::open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f < 0 && errno == EEXIST && attempt < 100) continue;
        if (f < 0) throwSys("Не удалось создать таблицу", target);
        // a cleaner that comes between the creation and the lock takes the file away: the creation then fails
        // on its rename, and no table is made
        s.path = p;
        s.fd = f;
        Storage::presenceLock(f, F_WRLCK, true, p);
        return;
    }
}

void fillScratch(Scratch& s, const uint8_t* bytes, size_t n) {
    pwriteAll(s.fd, bytes, n, 0, s.path);
    if (::fdatasync(s.fd) != 0) throwSys("Ошибка записи файла", s.path);
}

// Removes the scratch files of name that a killed maker left in dir: those whose lock nobody holds.
void removeStaleScratch(const std::string& dir, const std::string& name) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        // "<name>.XXXXXXXX.new~"
        if (n.size() != name.size() + 9 + std::strlen(kScratchEnd) ||
            !sameName(n.substr(0, name.size()), name) || n[name.size()] != '.' ||
            n.substr(name.size() + 9) != kScratchEnd)
            continue;
        std::string p = joinPath(dir, std::string(n));
        int f = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (f < 0) continue;
        struct flock fl {};
        fl.l_type = F_RDLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = kPresenceOffset;
        fl.l_len = 1;
        if (::fcntl(f, F_OFD_SETLK, &fl) == 0) stale.push_back(p);
        ::close(f);
    }
    ::closedir(d);
    for (const std::string& p : stale)
        ::unlink(p.c_str());
}

} // namespace

// The order of a creation: (1) the new ".dbf" (header and end mark) and (2) the new ".MDX" are written in
// full under scratch names in the same folder and flushed; (3) the old table's files are deleted, every
// spelling of its ".dbf" first, then of its ".MDX"; (4) the new ".MDX" is renamed into place, (5) then the
// new ".dbf". A table exists by its ".dbf", which appears last, complete and with its index beside it; a
// maker killed before that leaves no table of that name (at most a lone ".MDX", which the next creation
// deletes) and scratch files that the next creation of the table removes.
void Storage::createTable(const std::string& d, const std::string& file, const std::vector<uint8_t>& h,
                          const std::vector<uint8_t>& mdx) {
    const std::string target = joinPath(d, file);
    const std::string mdxFile = withExtension(file, ".MDX");
    const std::string mdxTarget = joinPath(d, mdxFile);
    crash::point(crash::Op::Create, target, crash::Phase::Before);
    removeStaleScratch(d, file);
    removeStaleScratch(d, mdxFile);
    Scratch table, index;
    makeScratch(table, target);
    makeScratch(index, mdxTarget);
    std::vector<uint8_t> bytes = h;
    bytes.push_back(kFileEnd);
    fillScratch(table, bytes.data(), bytes.size());
    fillScratch(index, mdx.data(), mdx.size());
    deleteTable(d, file);
    if (::rename(index.path.c_str(), mdxTarget.c_str()) != 0)
        throwSys("Не удалось записать индексный файл", mdxTarget);
    index.path.clear();
    crash::point(crash::Op::Create, target, crash::Phase::Amid);
    if (::rename(table.path.c_str(), target.c_str()) != 0) throwSys("Не удалось создать таблицу", target);
    table.path.clear();
    crash::point(crash::Op::Create, target, crash::Phase::After);
    // the new table is open here as any other handle has it open
    presenceLock(table.fd, F_RDLCK, true, target);
    fd = table.fd;
    table.fd = -1;
    writable = true;
    path = target;
    dir = d;
    header = h;
}

void Storage::closeFile() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    lockDepth = 0;
    lockType = F_UNLCK;
}

// ================================================================ reading

void Storage::readHeader() {
    const off_t size = fileSize();
    if (size == 0) throw FormatError("Файл таблицы пуст: " + path);
    if (size < kHeaderSize) throw FormatError("Файл таблицы обрезан внутри заголовка: " + path);
    uint8_t h[kHeaderSize];
    preadAll(fd, h, sizeof h, 0, path);
    if (h[0] != kVersion) throw FormatError("Файл " + path + " не является таблицей dBase 7");
    const size_t len = getLe16(&h[kHeaderLenAt]);
    if (len < size_t(kHeaderSize) + kDescSize + 1)
        throw FormatError("Повреждён заголовок таблицы " + path + ": длина заголовка " + std::to_string(len));
    if (off_t(len) > size)
        throw FormatError("Повреждён заголовок таблицы " + path + ": длина заголовка " + std::to_string(len) +
                          " больше файла (" + std::to_string(size) + " байт)");
    header.assign(len, 0);
    preadAll(fd, header.data(), header.size(), 0, path);
    gen = getLe32(&header[kGenAt]);
}

uint32_t Storage::headerCount() const {
    return getLe32(&header[kCountAt]);
}

void Storage::readAuto(const Schema& s) {
    if (s.autoField >= 0) {
        nextAuto = getLe32(&header[descOffset(s.autoField) + kDescAutoAt]);
        if (nextAuto == 0) nextAuto = 1;
    }
}

void Storage::adoptHeader(const uint8_t* first, const Schema& s) {
    std::memcpy(header.data(), first, kHeaderSize);
    if (s.autoField >= 0) {
        size_t at = descOffset(s.autoField) + kDescAutoAt;
        preadAll(fd, &header[at], 4, off_t(at), path);
        readAuto(s);
    }
}

off_t Storage::fileSize() const {
    struct stat st {};
    if (::fstat(fd, &st) != 0) throwSys("Ошибка чтения файла", path);
    return st.st_size;
}

uint32_t Storage::completeRows(const Schema& s, uint32_t count, bool& needsRepair) const {
    off_t size = fileSize();
    off_t body = size - s.headerLen;
    uint32_t full = body > 0 ? uint32_t(std::min<off_t>(body / s.recLen, UINT32_MAX)) : 0;
    needsRepair = false;
    if (full != count) needsRepair = true;
    off_t expectEnd = off_t(s.headerLen) + off_t(count) * s.recLen;
    if (size != expectEnd + 1) needsRepair = true;
    return full;
}

uint32_t Storage::visibleRows(const Schema& s, uint32_t count) const {
    bool needsRepair;
    return std::min(count, completeRows(s, count, needsRepair));
}

void Storage::readRows(const Schema& s, uint8_t* into, uint32_t from, uint32_t n) const {
    if (n)
        preadAll(fd, into, size_t(n) * size_t(s.recLen), off_t(s.headerLen) + off_t(from) * s.recLen, path);
}

// ================================================================ writing

uint32_t Storage::repair(const Schema& s, uint32_t count) {
    bool dummy;
    uint32_t full = completeRows(s, count, dummy);
    // rows at the tail that do not start with a valid flag byte are the remains of an interrupted write
    while (full > 0) {
        uint8_t flag;
        preadAll(fd, &flag, 1, off_t(s.headerLen) + off_t(full - 1) * s.recLen, path);
        if (flag == ' ' || flag == '*') break;
        --full;
    }
    off_t end = off_t(s.headerLen) + off_t(full) * s.recLen;
    if (::ftruncate(fd, end) != 0) throwSys("Ошибка записи файла", path);
    uint8_t eof = kFileEnd;
    pwriteAll(fd, &eof, 1, end, path);
    // autoincrement past every value present
    if (s.autoField >= 0 && full > 0) {
        std::vector<uint8_t> rows(size_t(full) * size_t(s.recLen));
        readRows(s, rows.data(), 0, full);
        uint32_t maxNum = 0;
        for (uint32_t r = 0; r < full; ++r) {
            const uint8_t* p = rows.data() + size_t(r) * s.recLen + s.fields[size_t(s.autoField)].offset;
            if (!allZero(p, 4)) maxNum = std::max<uint32_t>(maxNum, uint32_t(std::max(0, getInt(p))));
        }
        if (nextAuto <= maxNum) nextAuto = maxNum + 1;
        writeAuto(s);
    }
    ++gen;
    putLe32(&header[kCountAt], full);
    putLe32(&header[kGenAt], gen);
    pwriteAll(fd, &header[kCountAt], 4, kCountAt, path);
    pwriteAll(fd, &header[kGenAt], 4, kGenAt, path);
    return full;
}

void Storage::appendRows(const Schema& s, const uint8_t* rows, uint32_t first, uint32_t n) {
    crash::point(crash::Op::Post, path, crash::Phase::Before);
    pwriteRows(fd, rows, size_t(n) * size_t(s.recLen), off_t(s.headerLen) + off_t(first) * s.recLen, path);
    crash::point(crash::Op::Post, path, crash::Phase::Amid);
    writeCountAndAuto(s, first + n);
    crash::point(crash::Op::Post, path, crash::Phase::After);
}

void Storage::writeHeaderCount(uint32_t count) {
    stampDate(header.data());
    putLe32(&header[kCountAt], count);
    pwriteAll(fd, &header[1], 7, 1, path);
}

void Storage::writeCountAndAuto(const Schema& s, uint32_t count) {
    if (s.autoField != 0) {
        writeAuto(s);
        writeHeaderCount(count);
        return;
    }
    stampDate(header.data());
    putLe32(&header[kCountAt], count);
    putLe32(&header[descOffset(s.autoField) + kDescAutoAt], nextAuto);
    size_t end = descOffset(s.autoField) + kDescAutoAt + 4;
    pwriteAll(fd, &header[1], end - 1, 1, path);
}

void Storage::writeAuto(const Schema& s) {
    if (s.autoField < 0) return;
    size_t at = descOffset(s.autoField) + kDescAutoAt;
    putLe32(&header[at], nextAuto);
    pwriteAll(fd, &header[at], 4, off_t(at), path);
}

void Storage::bumpGeneration() {
    ++gen;
    putLe32(&header[kGenAt], gen);
    pwriteAll(fd, &header[kGenAt], 4, kGenAt, path);
}

void Storage::writeRow(const Schema& s, uint32_t r, const uint8_t* row) {
    pwriteAll(fd, row, size_t(s.recLen), off_t(s.headerLen) + off_t(r) * s.recLen, path);
}

void Storage::writeDeletedFlag(const Schema& s, uint32_t r) {
    uint8_t flag = '*';
    pwriteAll(fd, &flag, 1, off_t(s.headerLen) + off_t(r) * s.recLen, path);
}

void Storage::markIndexed(int field) {
    size_t at = descOffset(field) + kDescIndexedAt;
    if (header[at] == 1) return;
    header[at] = 1;
    pwriteAll(fd, &header[at], 1, off_t(at), path);
}

} // namespace dbf::detail
