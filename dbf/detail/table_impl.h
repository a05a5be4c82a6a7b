// The state of one Table handle: its file, the structure and rows it read, its indexes and its cursor. The
// parts live in their own files: table.cpp (opening, closing, editing, values), cursor.cpp (ordering,
// filter, range, master/detail, position), bulk.cpp (bulk appends and compaction), sql.cpp (local SQL).
#pragma once

#include "dbf/detail/format.h"
#include "dbf/detail/index.h"
#include "dbf/detail/storage.h"
#include "dbf/filter.h"
#include "dbf/table.h"

#include <string>
#include <vector>

namespace dbf {

namespace detail {

// A compiled field comparison of a filter or an SQL condition.
struct Cond {
    int field = -1;
    Condition::Op op = Condition::Op::Eq;
    bool prefix = false;
    bool emptyLiteral = false;
    bool unmatchable = false; // a text no field value can equal (characters outside Windows-1251)
    double num = 0;
    int64_t ms = 0;
    bool boolean = false;
    std::string text; // cp1251, trailing blanks removed
};

} // namespace detail

struct Table::Impl {
    detail::Storage file;
    detail::Schema schema;
    detail::Rows rows;
    detail::IndexSet indexes{schema, rows};
    bool mdxDirty = false;
    // The repair of what a killed writer left could not be written (full disk): the rows are read as a
    // reader that repairs nothing reads them, and the next write of this handle repairs first.
    bool repairPending = false;

    // ---- cursor
    State state = State::Inactive;
    std::vector<uint8_t> buf;      // the row being edited or inserted
    std::vector<uint8_t> editBase; // the row as it was when its edit began
    int64_t cur = -1;
    std::vector<uint32_t> view; // the visible rows in order
    bool viewValid = false;
    size_t pos = 0;
    bool eofFlag = true, bofFlag = true;
    int orderIndex = -1;
    std::string indexNameText, indexFieldsText;
    std::string filterText;
    std::vector<detail::Cond> conds;
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

    bool isOpen() const { return file.fd >= 0; }
    void requireOpen() const {
        if (file.fd < 0) throw Error("Таблица не открыта");
    }
    // The name of the ".dbf" file without its folder.
    std::string tableFile() const;
    int requireField(const std::string& name) const { return schema.require(name, file.path); }

    // ---- table.cpp
    void create(const std::string& dir, const std::string& name, const std::vector<FieldDef>& fields,
                const std::vector<IndexDef>& indexes);
    void openPath(const std::string& path, OpenMode mode);
    void closeFile();
    void loadRows();
    // Brings the rows up to what the file holds now. Caller holds a lock. Returns true when anything changed.
    bool syncLocked();
    // Writes the index file. Caller holds the exclusive lock.
    void writeMdx();
    // The same where the medium may refuse it: false, with the index kept in memory, when it does.
    bool tryWriteMdx();
    void checkRequired(const uint8_t* row) const;
    void postInsert();
    void postEdit();
    void markDeleted(const std::vector<uint32_t>& rows);
    const uint8_t* currentRow() const;

    // ---- cursor.cpp
    Value masterValue() const;
    // A detail follows its master: when the master's key changed, the detail goes to its first row.
    void checkMaster();
    bool passesFilter(uint32_t r) const;
    bool evalCond(const detail::Cond& c, const uint8_t* row) const;
    std::vector<detail::Cond> compile(const std::string& expression) const;
    void buildView();
    void ensureView();
    void gotoFirst();

    // ---- bulk.cpp
    void flushBulk(bool finish);
    // Rewrites the table without its deleted rows when this handle is the only one open; otherwise leaves
    // it.
    void pack();
};

} // namespace dbf
