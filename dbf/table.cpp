// The table engine: dBase level-7 ".dbf" files with an index file of our own layout (".MDX") beside each.
// This file opens, creates and closes tables and edits their rows; the file format is in format.cpp, the
// storage rules in storage.cpp, the indexes in index.cpp, the cursor in cursor.cpp, bulk appends and
// compaction in bulk.cpp and the local SQL in sql.cpp.
#include "dbf/codec.h"
#include "dbf/crash_point.h"
#include "dbf/detail/table_impl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace dbf {

using namespace codec;
using detail::Index;
using detail::Storage;

namespace {

// Deleted rows are squeezed out when a table is opened by the only handle and at least this many rows, and a
// quarter of all, are deleted.
constexpr uint32_t kPackMinDeleted = 100;

} // namespace

// ================================================================ Impl: opening and closing

std::string Table::Impl::tableFile() const {
    auto slash = file.path.rfind('/');
    return slash == std::string::npos ? file.path : file.path.substr(slash + 1);
}

void Table::Impl::create(const std::string& dir, const std::string& name, const std::vector<FieldDef>& fields,
                         const std::vector<IndexDef>& defs) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw Error("Папка не существует: " + dir);
    std::string fileName = name.find('.') == std::string::npos ? name + ".dbf" : name;
    std::string path = joinPath(dir, fileName);
    std::vector<uint8_t> header = detail::buildHeader(name, fields, defs);
    schema = detail::parseHeader(header, path);
    rows = detail::Rows{};
    rows.recLen = schema.recLen;
    indexes.list.clear();
    for (const IndexDef& def : defs) {
        Index ix;
        ix.def = def;
        if (ix.def.name.empty()) ix.def.name = def.field;
        ix.field = requireField(def.field);
        indexes.list.push_back(std::move(ix));
    }
    file.createTable(dir, fileName, header, detail::mdxBytes(indexes.list, 0, 0, schema.recLen));
    file.gen = 0;
    file.readAuto(schema);
    repairPending = false;
    mdxDirty = false;
    state = State::Browse;
    cur = -1;
    viewValid = false;
    gotoFirst();
}

void Table::Impl::openPath(const std::string& path, OpenMode mode) {
    file.openFile(path, mode == OpenMode::ReadOnly);
    bool indexStale = false;
    repairPending = false;
    try {
        Storage::Lock lock(file, file.writable);
        file.readHeader();
        schema = detail::parseHeader(file.header, path);
        file.readAuto(schema);
        rows.recLen = schema.recLen;
        rows.count = file.headerCount();
        bool needsRepair = false;
        file.completeRows(schema, rows.count, needsRepair);
        if (needsRepair && file.writable) {
            try {
                rows.count = file.repair(schema, rows.count);
            } catch (const detail::SysError& e) {
                if (!detail::cannotWrite(e.code())) throw;
                repairPending = true;
                rows.count = file.visibleRows(schema, file.headerCount());
            }
        } else if (needsRepair) {
            rows.count = file.visibleRows(schema, rows.count);
        }
        loadRows();
        bool rebuilt =
            detail::loadIndexes(indexes, file.dir, tableFile(), schema, file.header, rows, file.gen);
        if (rebuilt && file.writable) indexStale = !tryWriteMdx();
    } catch (...) {
        file.closeFile();
        throw;
    }
    if (file.writable && !repairPending) {
        uint32_t dead = 0;
        for (uint32_t r = 0; r < rows.count; ++r)
            dead += rows.deleted(r);
        if (dead >= kPackMinDeleted && dead * 4 >= rows.count) pack();
    }
    state = State::Browse;
    cur = -1;
    viewValid = false;
    // an index that could not be written is tried again when this handle closes, and by the next writer
    mdxDirty = indexStale;
    gotoFirst();
}

void Table::Impl::closeFile() {
    if (!isOpen()) return;
    if (bulk) flushBulk(true);
    if (mdxDirty && file.writable) {
        try {
            Storage::Lock lock(file, true);
            syncLocked();
            auto disk = detail::readMdx(file.dir, tableFile(), schema, rows.count, false);
            bool mine = true;
            if (disk)
                for (const Index& di : disk->indexes)
                    if (!indexes.byName(di.def.name)) mine = false;
            if (mine) writeMdx();
        } catch (const Error&) {
            // the index is checked and rebuilt on the next open
        }
    }
    file.closeFile();
    state = State::Inactive;
    rows.data.clear();
    rows.data.shrink_to_fit();
    rows.count = 0;
    indexes.list.clear();
    view.clear();
    viewValid = false;
    cur = -1;
}

void Table::Impl::loadRows() {
    rows.data.resize(size_t(rows.count) * size_t(schema.recLen));
    file.readRows(schema, rows.data.data(), 0, rows.count);
}

bool Table::Impl::syncLocked() {
    if (bulk) return false; // the lock is held for the whole bulk: nobody else wrote
    uint8_t h[detail::kHeaderSize];
    detail::preadAll(file.fd, h, sizeof h, 0, file.path);
    uint32_t c = getLe32(&h[detail::kCountAt]);
    uint32_t g = getLe32(&h[detail::kGenAt]);
    if (repairPending && file.holdsExclusive()) {
        file.adoptHeader(h, schema);
        bool needsRepair = false;
        file.completeRows(schema, c, needsRepair);
        if (needsRepair) {
            rows.count = file.repair(schema, c);
        } else {
            rows.count = c;
            file.gen = g;
        }
        repairPending = false;
        loadRows();
        indexes.sortAll();
        mdxDirty = true;
        viewValid = false;
        return true;
    }
    if (g == file.gen && c == rows.count) return false;
    // a count beyond the rows in the file (damage, or a writer killed before its repair) is not believed
    if (c > rows.count) c = file.visibleRows(schema, c);
    file.adoptHeader(h, schema);
    if (g == file.gen && c >= rows.count) {
        uint32_t from = rows.count;
        if (c == from) return false;
        rows.data.resize(size_t(c) * size_t(schema.recLen));
        file.readRows(schema, rows.row(from), from, c - from);
        rows.count = c;
        for (uint32_t r = from; r < c; ++r)
            if (!rows.deleted(r)) indexes.insert(r);
    } else {
        rows.count = c;
        file.gen = g;
        loadRows();
        indexes.sortAll();
    }
    mdxDirty = true;
    viewValid = false;
    return true;
}

void Table::Impl::writeMdx() {
    detail::writeMdx(detail::mdxPath(file.dir, tableFile()),
                     detail::mdxBytes(indexes.list, rows.count, file.gen, schema.recLen));
    mdxDirty = false;
}

bool Table::Impl::tryWriteMdx() {
    try {
        writeMdx();
        return true;
    } catch (const detail::SysError& e) {
        if (!detail::cannotWrite(e.code())) throw;
        return false;
    }
}

// ================================================================ Impl: writing

void Table::Impl::checkRequired(const uint8_t* row) const {
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const FieldDef& def = schema.fields[i].def;
        if (def.required && def.type != FieldType::AutoInc && schema.isNull(row, int(i)))
            throw Error("Поле '" + def.name + "' должно иметь значение");
    }
}

void Table::Impl::postInsert() {
    Storage::Lock lock(file, true);
    syncLocked();
    if (schema.autoField >= 0)
        putInt(buf.data() + schema.fields[size_t(schema.autoField)].offset, int32_t(file.nextAuto));
    checkRequired(buf.data());
    indexes.checkUnique(buf.data(), -1);
    uint32_t r = rows.count;
    const uint32_t autoBefore = file.nextAuto;
    if (schema.autoField >= 0) ++file.nextAuto;
    if (!bulk) {
        try {
            file.appendRows(schema, buf.data(), r, 1);
        } catch (...) {
            file.nextAuto = autoBefore;
            throw;
        }
    }
    ++rows.count;
    rows.data.insert(rows.data.end(), buf.begin(), buf.end());
    if (bulk) flushBulk(false);
    indexes.insert(r);
    mdxDirty = true;
    // the new row becomes current; keep the view when it simply grows at its end
    bool atEnd = viewValid && passesFilter(r) &&
                 (orderIndex < 0 || indexes.list[size_t(orderIndex)].order.back() == r);
    if (atEnd) {
        view.push_back(r);
        pos = view.size() - 1;
    } else {
        viewValid = false;
    }
    cur = r;
}

void Table::Impl::postEdit() {
    Storage::Lock lock(file, true);
    uint32_t r = uint32_t(cur);
    if (syncLocked() && (uint64_t(r) >= rows.count || rows.deleted(r)))
        throw Error("Запись была удалена другим пользователем");
    // Another context may have changed the row since the edit began: only the fields this edit changed go
    // over the row as it is now, so that an edit of other fields of the same row is not undone.
    const uint8_t* now = rows.row(r);
    if (std::memcmp(now, editBase.data(), size_t(schema.recLen)) != 0) {
        std::vector<uint8_t> merged(now, now + schema.recLen);
        for (const auto& f : schema.fields)
            if (std::memcmp(buf.data() + f.offset, editBase.data() + f.offset, size_t(f.width)) != 0)
                std::memcpy(merged.data() + f.offset, buf.data() + f.offset, size_t(f.width));
        buf = std::move(merged);
    }
    checkRequired(buf.data());
    indexes.checkUnique(buf.data(), r);
    crash::point(crash::Op::Post, file.path, crash::Phase::Before);
    file.bumpGeneration();
    crash::point(crash::Op::Post, file.path, crash::Phase::Amid);
    file.writeRow(schema, r, buf.data());
    crash::point(crash::Op::Post, file.path, crash::Phase::After);
    std::vector<uint8_t> old(rows.row(r), rows.row(r) + schema.recLen);
    std::memcpy(rows.row(r), buf.data(), size_t(schema.recLen));
    indexes.update(r, old.data());
    mdxDirty = true;
    viewValid = false;
}

void Table::Impl::markDeleted(const std::vector<uint32_t>& list) {
    if (list.empty()) return;
    crash::point(crash::Op::Delete, file.path, crash::Phase::Before);
    file.bumpGeneration();
    for (uint32_t r : list) {
        std::vector<uint8_t> old(rows.row(r), rows.row(r) + schema.recLen);
        file.writeDeletedFlag(schema, r);
        if (r == list.front()) crash::point(crash::Op::Delete, file.path, crash::Phase::Amid);
        indexes.remove(r, old.data());
        rows.row(r)[0] = '*';
    }
    crash::point(crash::Op::Delete, file.path, crash::Phase::After);
    mdxDirty = true;
    viewValid = false;
}

const uint8_t* Table::Impl::currentRow() const {
    if (state == State::Edit || state == State::Insert) return buf.data();
    if (cur >= 0 && uint64_t(cur) < rows.count) return rows.row(uint32_t(cur));
    return nullptr;
}

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
    d->create(dir, name, fields, indexes);
}

void Table::open(const std::string& dir, const std::string& name) {
    open(dir, name, OpenMode::ReadWrite);
}

void Table::open(const std::string& dir, const std::string& name, OpenMode mode) {
    close();
    std::string file = name.find('.') == std::string::npos ? name + ".dbf" : name;
    std::string path = findFile(dir, file);
    if (path.empty()) throw Error("Таблица не найдена: " + joinPath(dir, file));
    d->openPath(path, mode);
}

void Table::close() {
    d->closeFile();
}

bool Table::isOpen() const {
    return d->isOpen();
}
Table::State Table::state() const {
    return d->state;
}
std::string Table::path() const {
    return d->file.path;
}

// ---- structure

const std::vector<FieldDef>& Table::fields() const {
    return d->schema.defs;
}
int Table::fieldCount() const {
    return int(d->schema.defs.size());
}

int Table::fieldIndex(const std::string& name) const {
    return d->schema.find(name);
}

std::vector<IndexDef> Table::indexes() const {
    std::vector<IndexDef> out;
    for (const Index& ix : d->indexes.list)
        out.push_back(ix.def);
    return out;
}

void Table::addIndex(const IndexDef& def) {
    d->requireOpen();
    Impl& m = *d;
    IndexDef nd = def;
    if (nd.name.empty()) nd.name = def.field;
    if (m.indexes.byName(nd.name)) throw Error("Индекс " + nd.name + " уже существует");
    Storage::Lock lock(m.file, true);
    m.syncLocked();
    Index ix;
    ix.def = nd;
    ix.field = m.requireField(def.field);
    m.indexes.sort(ix);
    // keep indexes another handle added since this one was opened
    if (auto disk = detail::readMdx(m.file.dir, m.tableFile(), m.schema, m.rows.count, false))
        for (Index& di : disk->indexes)
            if (!m.indexes.byName(di.def.name)) {
                m.indexes.sort(di);
                m.indexes.list.push_back(std::move(di));
            }
    m.indexes.list.push_back(std::move(ix));
    m.file.markIndexed(m.indexes.list.back().field);
    m.writeMdx();
}

bool Table::hasIndexOn(const std::string& field) const {
    return std::any_of(d->indexes.list.begin(), d->indexes.list.end(),
                       [&](const Index& ix) { return sameName(ix.def.field, field); });
}

// ---- editing

void Table::append() {
    Impl& m = *d;
    m.requireOpen();
    if (!m.file.writable) throw Error("Таблица открыта только для чтения: " + m.file.path);
    if (m.state != State::Browse) throw Error("Таблица уже в режиме редактирования");
    m.checkMaster();
    m.buf = m.schema.blank;
    if (m.masterTable)
        m.schema.encode(m.buf.data() + m.schema.fields[size_t(m.detailField)].offset, m.detailField,
                        m.masterKey);
    m.state = State::Insert;
}

void Table::edit() {
    Impl& m = *d;
    m.requireOpen();
    if (!m.file.writable) throw Error("Таблица открыта только для чтения: " + m.file.path);
    if (m.state != State::Browse) return;
    m.checkMaster();
    m.ensureView();
    if (m.cur < 0) throw Error("Нет текущей записи для редактирования");
    m.buf.assign(m.rows.row(uint32_t(m.cur)), m.rows.row(uint32_t(m.cur)) + m.schema.recLen);
    m.editBase = m.buf;
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
    Storage::Lock lock(m.file, true);
    uint32_t r = uint32_t(m.cur);
    m.syncLocked();
    if (uint64_t(r) >= m.rows.count) throw Error("Запись была удалена другим пользователем");
    size_t oldPos = m.pos;
    if (!m.rows.deleted(r)) m.markDeleted({r});
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
        Storage::Lock lock(m.file, false);
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
    return !row || d->schema.isNull(row, d->requireField(field));
}

Value Table::value(int fieldNo) const {
    d->checkMaster();
    if (fieldNo < 0 || size_t(fieldNo) >= d->schema.fields.size())
        throw Error("Нет поля с номером " + std::to_string(fieldNo));
    return d->schema.value(d->currentRow(), fieldNo);
}

Value Table::value(const std::string& field) const {
    return value(d->requireField(field));
}

std::string Table::asString(const std::string& field) const {
    int f = d->requireField(field);
    return detail::textOf(value(f), d->schema.fields[size_t(f)].def.type);
}

int64_t Table::asInt(const std::string& field) const {
    Value v = value(field);
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    if (auto* x = std::get_if<double>(&v)) return std::llround(*x);
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* s = std::get_if<std::string>(&v)) {
        auto n = detail::parseInt(*s);
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
        auto n = detail::parseFloat(*s);
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
    if (auto* s = std::get_if<std::string>(&v)) return detail::parseBool(*s).value_or(false);
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
    if (fieldNo < 0 || size_t(fieldNo) >= m.schema.fields.size())
        throw Error("Нет поля с номером " + std::to_string(fieldNo));
    const detail::Field& f = m.schema.fields[size_t(fieldNo)];
    if (f.def.type == FieldType::AutoInc) throw Error("Поле '" + f.def.name + "' только для чтения");
    m.schema.encode(m.buf.data() + f.offset, fieldNo, v);
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

} // namespace dbf
