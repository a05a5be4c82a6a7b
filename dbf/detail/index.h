// The indexes of a table: the row orders kept in memory, and the ".MDX" file they are stored in.
//
// Index file layout: "MRVMDX01", u32 row count and u32 generation of the table it was written for, u32 row
// length, u32 number of indexes; per index: name[32], field[32], flags (1 primary, 2 unique), 3 bytes, u32
// entries; then per index the row numbers in key order; u32 CRC-32 of all that. The index is checked against
// the rows on every open and rebuilt when it disagrees or is missing.
#pragma once

#include "dbf/detail/format.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dbf::detail {

// The rows of a table as a handle last read them, in file order.
struct Rows {
    std::vector<uint8_t> data;
    uint32_t count = 0;
    int recLen = 0;

    uint8_t* row(uint32_t r) { return data.data() + size_t(r) * size_t(recLen); }
    const uint8_t* row(uint32_t r) const { return data.data() + size_t(r) * size_t(recLen); }
    bool deleted(uint32_t r) const { return row(r)[0] == '*'; }
};

struct Index {
    IndexDef def;
    int field = -1;
    std::vector<uint32_t> order; // live rows in key order, ties in row order
};

// The indexes of one handle over its rows.
class IndexSet {
public:
    IndexSet(const Schema& schema, const Rows& rows) : s_(schema), rows_(rows) {}

    std::vector<Index> list;

    const Index* byName(const std::string& name) const;
    // Orders rows by the index key, ties by row number.
    bool less(const Index& ix, uint32_t a, uint32_t b) const;
    void sort(Index& ix) const;
    void sortAll();
    // Puts row r into every index.
    void insert(uint32_t r);
    // Puts row r into ix where it belongs (r is not in it).
    void insertInto(Index& ix, uint32_t r) const;
    // Removes row r, whose key bytes are still those of oldRow, from every index.
    void remove(uint32_t r, const uint8_t* oldRow);
    // Moves row r to its new place in the indexes whose key changed from oldRow.
    void update(uint32_t r, const uint8_t* oldRow);
    // Throws when row (not yet in the indexes, or being replaced as row self) would duplicate a unique key.
    void checkUnique(const uint8_t* row, int64_t self) const;
    // True when order holds exactly the live rows below upTo, in key order.
    bool verify(const Index& ix, uint32_t upTo) const;

private:
    const Schema& s_;
    const Rows& rows_;
};

// ---- the index file
constexpr uint32_t kMaxIndexes = 1024;

struct MdxFile {
    uint32_t count = 0, gen = 0;
    std::vector<Index> indexes;
};

// The path of the table's index file: the existing one in any letter case, else "<base>.MDX".
std::string mdxPath(const std::string& dir, const std::string& tableFile);
std::vector<uint8_t> mdxBytes(const std::vector<Index>& indexes, uint32_t count, uint32_t gen, int recLen);
// nullopt when the file is missing, damaged, too large for a table of rowCount rows or made for another row
// length.
std::optional<MdxFile> readMdx(const std::string& dir, const std::string& tableFile, const Schema& s,
                               uint32_t rowCount, bool withOrders);
// Writes the index file atomically (a new file renamed over the old one).
void writeMdx(const std::string& target, const std::vector<uint8_t>& bytes);
// Sets up the indexes from the index file, or from the field flags of the header when the file is lost,
// checking every loaded order against the rows. Returns true when anything had to be rebuilt.
bool loadIndexes(IndexSet& ix, const std::string& dir, const std::string& tableFile, const Schema& s,
                 const std::vector<uint8_t>& header, const Rows& rows, uint32_t gen);

} // namespace dbf::detail
