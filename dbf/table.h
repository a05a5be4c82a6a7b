// A cursor over one DBF table file with its ".MDX" index file.
//
// Every Table object is an independent context: it has its own file handle, its
// own copy of the rows and its own position, filter, range and ordering. Rows
// posted through one Table are seen by another (in this or another process)
// after that one calls refresh(), or implicitly when it writes. Writers take an
// exclusive lock on the file for the length of one write and readers a shared
// one while they read, so a reader never sees a torn row.
//
// A Table is used from one thread at a time; distinct Tables may be used from
// distinct threads at once.
#pragma once

#include "dbf/types.h"

#include <memory>
#include <string>
#include <vector>

namespace dbf {

class Table {
public:
    enum class State { Inactive, Browse, Edit, Insert };

    Table();
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    // Creates "<name>.dbf" (".dbf" is added when name has no extension) and its ".MDX" in dir, replacing any
    // existing files of that name, and leaves the table open, positioned on no row. Both files are written in
    // full under scratch names first: the old table stays until the new one appears whole, also when the
    // process is killed. Throws when dir is missing, the definitions are wrong or the files cannot be
    // written.
    void create(const std::string& dir, const std::string& name, const std::vector<FieldDef>& fields,
                const std::vector<IndexDef>& indexes);
    // Opens an existing table. The file name is matched without regard to letter case. Throws FormatError
    // when the file is not a valid table (an empty file, a damaged header), Error for the failures of the
    // system. A table left behind by a killed writer is repaired (incomplete rows dropped); an index file
    // that is missing or disagrees with the table is rebuilt and written again. Where the medium refuses
    // writes: an index file that cannot be written (a full disk) is kept in memory and written by the next
    // writer; a table that cannot be written (a read-only medium, no permission) opens for reading, and its
    // writes throw.
    void open(const std::string& dir, const std::string& name);
    // ReadOnly: for readers that must change nothing on disk (a dump, a listing): nothing is written at all
    // (no repair, no index file, no change generation); the rows an interrupted append left incomplete are
    // not shown; every write to the table throws.
    enum class OpenMode { ReadWrite, ReadOnly };
    void open(const std::string& dir, const std::string& name, OpenMode mode);
    void close();
    bool isOpen() const;
    State state() const;
    // Full path of the open ".dbf" file.
    std::string path() const;

    // ---- structure
    const std::vector<FieldDef>& fields() const;
    int fieldCount() const;
    // -1 when there is no such field; names compare without regard to letter case.
    int fieldIndex(const std::string& name) const;
    std::vector<IndexDef> indexes() const;
    // Adds an index over one field to the open table and stores it in the ".MDX". Throws when an index of
    // that name exists already.
    void addIndex(const IndexDef& index);
    bool hasIndexOn(const std::string& field) const;

    // ---- ordering: by a named index, by index field names ("NUM", "ADDRES"; an index over that field must
    // exist), or physical order when both are empty. The current row stays current.
    void setIndexName(const std::string& name);
    void setIndexFieldNames(const std::string& fields);
    std::string indexName() const;
    std::string indexFieldNames() const;

    // ---- master/detail: only rows whose detailField equals masterField of master's current row are visible;
    // the restriction follows the master's moves, and an appended row receives that value. The master must
    // outlive the detail or be detached with clearMaster().
    void setMaster(Table* master, const std::string& masterField = "NUM",
                   const std::string& detailField = "NUMSTATE");
    void clearMaster();
    Table* master() const;

    // ---- filter: field comparisons joined by " AND " (FIELD=5, FIELD='text', FIELD='text*' for "begins
    // with", also <>, <, >, <=, >=). Throws on a malformed expression or an unknown field.
    void setFilter(const std::string& expression);
    std::string filter() const;
    void setFiltered(bool on);
    bool filtered() const;

    // ---- range over the current ordering index, both ends included; a null end is open.
    void setRange(const Value& low, const Value& high);
    void cancelRange();

    // ---- navigation
    void first();
    void last();
    void next();
    void prior();
    bool eof() const;
    bool bof() const;
    bool isEmpty();
    // Number of rows visible under the current filter, range and master.
    int recordCount();
    // Physical row number (1-based) of the current row, 0 when there is none; setRecNo moves to a visible
    // row.
    int recNo() const;
    void setRecNo(int recNo);
    // Moves to the first visible row whose field equals value; false (position unchanged) when none does.
    bool locate(const std::string& field, const Value& value);

    // ---- editing
    void append();
    void edit();
    void post();
    void cancel();
    // Deletes the current row; the next row (or the previous one at the end) becomes current.
    void remove();
    // Takes in the changes other contexts made; the current row stays current when it still exists.
    void refresh();

    // ---- field values of the current row (or of the row being edited)
    bool isNull(const std::string& field) const;
    std::string asString(const std::string& field) const;
    int64_t asInt(const std::string& field) const;
    double asFloat(const std::string& field) const;
    bool asBool(const std::string& field) const;
    DateTime asDateTime(const std::string& field) const;
    Value value(const std::string& field) const;
    Value value(int fieldNo) const;

    // Setters need state Edit or Insert. setString parses the text by the field's type ("12.35" into a float
    // field stores 12.35); an empty text stores null. A float field stores NaN and the infinities (also the
    // texts "nan" and "inf") as null; a date-time outside 01.01.0001 to 31.12.9999 throws. A stored value
    // that is no number or date (damage) reads as null.
    void setString(const std::string& field, const std::string& text);
    void setInt(const std::string& field, int64_t v);
    void setFloat(const std::string& field, double v);
    void setBool(const std::string& field, bool v);
    void setDateTime(const std::string& field, DateTime v);
    void setNull(const std::string& field);
    void setValue(const std::string& field, const Value& v);
    void setValue(int fieldNo, const Value& v);

    // ---- bulk appending: between beginBulk() and endBulk() appended rows are collected and written in large
    // blocks; readers see them when the block is written. endBulk() (or close()) writes what is left.
    void beginBulk();
    void endBulk();

    struct Impl;

private:
    friend class Database;
    std::unique_ptr<Impl> d;
};

// Deletes "<name>.dbf" and its ".MDX" (any letter case) from dir; missing files are no error.
void deleteTable(const std::string& dir, const std::string& name);
// The full path of the file in dir whose name equals name without regard to letter case (the exact name
// first); empty when there is none.
std::string findFile(const std::string& dir, const std::string& name);
bool tableExists(const std::string& dir, const std::string& name);

// A database context on one folder: the local SQL statements of the report program.
class Database {
public:
    explicit Database(std::string dir) : dir_(std::move(dir)) {}
    const std::string& dir() const { return dir_; }
    // "select * from FILE [where COND]" returns the number of rows selected; "delete from FILE [where COND]"
    // deletes the rows and returns their number. COND uses the filter grammar of Table::setFilter, with
    // literals converted to the field's type (WRITEDAY ='31.12.1999 00:00', NUM >='17'). Blanks, tabs and
    // line breaks separate the words; a quoted literal is taken byte for byte.
    int execSql(const std::string& statement) const;

private:
    std::string dir_;
};

} // namespace dbf
