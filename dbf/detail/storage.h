// The storage rules of a ".dbf" file: how a handle opens and shares it, the order of the writes that keeps it
// whole when a writer is killed, the reconciliation of a table such a writer left behind, and the change
// generation that tells other handles to reload.
//
// Crash safety: a row is appended with its 0x1A in one write, then the autoincrement value and the row count
// are written. Opening reconciles the count with the file size, dropping an incomplete tail, so a writer
// killed at any instant leaves every complete row and no partial one.
//
// Concurrency: open file description locks on one byte far beyond the end of the file: exclusive for the
// length of each write, shared while reading. They work between processes and between handles of one process.
// Every open handle also holds a shared lock on the next byte for its whole life; one that gets it
// exclusively is alone.
#pragma once

#include "dbf/detail/format.h"

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace dbf::detail {

constexpr off_t kLockOffset = 0x7FFFFFFF00000000LL;
constexpr off_t kPresenceOffset = kLockOffset + 1;

// A failed system call: "what path: strerror(code)", with the error number kept for the callers that tell
// the failures apart.
class SysError : public Error {
public:
    SysError(const std::string& what, const std::string& path, int code);
    int code() const { return code_; }

private:
    int code_;
};
// Throws SysError with the errno of the call that just failed.
[[noreturn]] void throwSys(const std::string& what, const std::string& path);
// True for the errors of a medium or a folder that takes no writes: full, over quota, over the file size
// limit, read-only, or without the permission.
bool cannotWrite(int code);

void preadAll(int fd, void* buf, size_t n, off_t off, const std::string& path);
void pwriteAll(int fd, const void* buf, size_t n, off_t off, const std::string& path);
// Writes rows followed by the end-of-file mark in one call.
void pwriteRows(int fd, const uint8_t* rows, size_t n, off_t off, const std::string& path);

// One handle's file of a table, with the header as this handle last saw it.
class Storage {
public:
    int fd = -1;
    bool writable = false;
    std::string path, dir;
    std::vector<uint8_t> header; // the whole header, descriptors included
    uint32_t gen = 0;
    uint32_t nextAuto = 1;

    Storage() = default;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage();

    // ---- locks
    struct Lock {
        Storage& s;
        Lock(Storage& st, bool exclusive) : s(st) { s.acquire(exclusive); }
        ~Lock() { s.release(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
    };
    // Nested locks of one handle count; an exclusive one inside a shared one is refused.
    void acquire(bool exclusive);
    void release();
    // Takes or changes the presence lock of fd; false when !wait and another handle holds a conflicting one.
    static bool presenceLock(int fd, short type, bool wait, const std::string& path);

    // ---- opening and closing
    // Opens path for reading and writing, or for reading only where the medium or the permissions refuse
    // writes (or readOnly asks for it), and takes the presence lock (waiting out a compaction that replaces
    // the file).
    void openFile(const std::string& path, bool readOnly);
    // Creates the table file "file" in dir with header and its index file with the bytes mdx, replacing
    // the table of that name, and keeps the new file open. See storage.cpp for the order of the steps.
    void createTable(const std::string& dir, const std::string& file, const std::vector<uint8_t>& header,
                     const std::vector<uint8_t>& mdx);
    void closeFile();

    // ---- reading (the caller holds a lock)
    // Reads the whole header. Throws FormatError when the file is empty, cut inside its header or not a
    // level-7 table, and when the header length is impossible.
    void readHeader();
    uint32_t headerCount() const;
    // Takes the first 68 bytes of the header as they are on disk now, with the autoincrement value.
    void adoptHeader(const uint8_t* first, const Schema& s);
    void readAuto(const Schema& s);
    off_t fileSize() const;
    // Number of complete rows the file holds, and whether it needs repair for the row count headerCount.
    uint32_t completeRows(const Schema& s, uint32_t headerCount, bool& needsRepair) const;
    // The rows a reader that repairs nothing takes: those of the count that are wholly in the file. A row
    // whose count a killed writer did not write, and a row cut short, are not among them.
    uint32_t visibleRows(const Schema& s, uint32_t headerCount) const;
    void readRows(const Schema& s, uint8_t* into, uint32_t from, uint32_t n) const;

    // ---- writing (the caller holds the exclusive lock)
    // Drops an incomplete tail, counts a completely written last row that the count missed, and puts the end
    // mark, count and autoincrement value right. Returns the row count.
    uint32_t repair(const Schema& s, uint32_t count);
    // Appends n rows at row first, then writes the count first + n and the autoincrement value.
    void appendRows(const Schema& s, const uint8_t* rows, uint32_t first, uint32_t n);
    // Raises the change generation: called before every in-place change.
    void bumpGeneration();
    void writeRow(const Schema& s, uint32_t r, const uint8_t* row);
    void writeDeletedFlag(const Schema& s, uint32_t r);
    // Sets the "indexed" flag of a field descriptor.
    void markIndexed(int field);
    bool holdsExclusive() const { return lockDepth > 0 && lockType == F_WRLCK; }

private:
    // The row count, the date of change and the autoincrement value in one write: they sit in the first
    // descriptor's page, so the write is never split.
    void writeCountAndAuto(const Schema& s, uint32_t count);
    void writeHeaderCount(uint32_t count);
    void writeAuto(const Schema& s);

    int lockDepth = 0;
    short lockType = F_UNLCK;
};

} // namespace dbf::detail
