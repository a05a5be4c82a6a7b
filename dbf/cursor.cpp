// The cursor of a table: ordering, filter, range, master/detail and the position among the visible rows.
#include "dbf/codec.h"
#include "dbf/detail/table_impl.h"

#include <algorithm>
#include <cstring>

namespace dbf {

using namespace codec;
using detail::Cond;

// ================================================================ the visible rows

Value Table::Impl::masterValue() const {
    Impl& m = *masterTable->d;
    if (!m.isOpen()) return std::monostate{};
    int f = m.requireField(masterFieldName);
    if (m.state == State::Browse) {
        m.checkMaster();
        m.ensureView();
    }
    const uint8_t* row = m.currentRow();
    return row ? m.schema.value(row, f) : Value(std::monostate{});
}

void Table::Impl::checkMaster() {
    if (!masterTable || !isOpen() || state != State::Browse) return;
    Value v = masterValue();
    if (masterSeen && v == masterKey) return;
    masterSeen = true;
    masterKey = v;
    viewValid = false;
    cur = -1;
    gotoFirst();
}

bool Table::Impl::passesFilter(uint32_t r) const {
    const uint8_t* row = rows.row(r);
    if (masterTable) {
        Value v = schema.value(row, detailField);
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
        const detail::Index& ix = indexes.list[size_t(orderIndex)];
        const uint8_t* key = schema.at(row, ix.field);
        if (!rangeLo.empty() && schema.compare(ix.field, key, rangeLo.data()) < 0) return false;
        if (!rangeHi.empty() && schema.compare(ix.field, key, rangeHi.data()) > 0) return false;
    }
    return true;
}

bool Table::Impl::evalCond(const Cond& c, const uint8_t* row) const {
    using Op = Condition::Op;
    const detail::Field& fl = schema.fields[size_t(c.field)];
    bool null = schema.isNull(row, c.field);
    int cmp = 0;
    if (c.unmatchable) return c.op == Op::Ne;
    if (null || c.emptyLiteral) {
        if (null && c.emptyLiteral)
            cmp = 0;
        else
            return c.op == Op::Ne;
    } else {
        const uint8_t* p = schema.at(row, c.field);
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
            Value v = schema.value(row, c.field);
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

std::vector<Cond> Table::Impl::compile(const std::string& expression) const {
    std::vector<Cond> out;
    for (const Condition& c : parseConditions(expression)) {
        Cond k;
        k.field = requireField(c.field);
        k.op = c.op;
        k.prefix = c.prefix;
        const detail::Field& fl = schema.fields[size_t(k.field)];
        std::string lit = c.literal;
        k.emptyLiteral = detail::trimRight(lit).empty() && !c.prefix;
        auto bad = [&](const char* what) {
            throw Error("'" + lit + "' " + what + " (поле " + fl.def.name + " в выражении \"" + expression +
                        "\")");
        };
        if (!k.emptyLiteral && fl.def.type == FieldType::Char) {
            // "begins with" keeps the blanks at the end of its text: "Мира " is not a prefix of "Мирная"
            k.text = toCp1251(lit);
            if (!k.prefix) k.text = detail::trimRight(k.text);
            // a character that Windows-1251 cannot hold is in no stored text: equal to nothing
            if (fromCp1251(toCp1251(lit)) != lit) {
                if (k.op != Condition::Op::Eq && k.op != Condition::Op::Ne)
                    bad("содержит символы вне кодировки Windows-1251");
                k.unmatchable = true;
            }
        } else if (!k.emptyLiteral) {
            const char* why = "";
            auto v = detail::parseAs(fl.def.type, lit, why);
            // the literal is taken as written: a tab or a line break in it is no part of a number or a date
            if (std::any_of(lit.begin(), lit.end(), [](char ch) { return uint8_t(ch) < 0x20; })) v.reset();
            if (!v) bad(why);
            if (std::holds_alternative<std::monostate>(*v)) k.emptyLiteral = true;
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

void Table::Impl::buildView() {
    view.clear();
    viewValid = true;
    // a detail of a master without a current row shows nothing
    if (masterTable && std::holds_alternative<std::monostate>(masterKey)) return;
    if (orderIndex >= 0) {
        const detail::Index& ix = indexes.list[size_t(orderIndex)];
        auto keyOf = [&](uint32_t r) { return schema.at(rows.row(r), ix.field); };
        auto b = ix.order.begin(), e = ix.order.end();
        if (hasRange) {
            if (!rangeLo.empty())
                b = std::lower_bound(b, e, 0u, [&](uint32_t a, uint32_t) {
                    return schema.compare(ix.field, keyOf(a), rangeLo.data()) < 0;
                });
            if (!rangeHi.empty())
                e = std::upper_bound(b, e, 0u, [&](uint32_t, uint32_t a) {
                    return schema.compare(ix.field, rangeHi.data(), keyOf(a)) < 0;
                });
        }
        if (masterTable && ix.field == detailField) {
            std::vector<uint8_t> key(size_t(schema.fields[size_t(ix.field)].width));
            bool encodable = true;
            try {
                schema.encode(key.data(), ix.field, masterKey);
            } catch (const Error&) {
                encodable = false;
            }
            if (!encodable) return;
            b = std::lower_bound(b, e, 0u, [&](uint32_t a, uint32_t) {
                return schema.compare(ix.field, keyOf(a), key.data()) < 0;
            });
            e = std::upper_bound(b, e, 0u, [&](uint32_t, uint32_t a) {
                return schema.compare(ix.field, key.data(), keyOf(a)) < 0;
            });
        }
        for (auto it = b; it != e; ++it)
            if (passesFilter(*it)) view.push_back(*it);
    } else {
        for (uint32_t r = 0; r < rows.count; ++r)
            if (!rows.deleted(r) && passesFilter(r)) view.push_back(r);
    }
    viewValid = true;
}

void Table::Impl::ensureView() {
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

void Table::Impl::gotoFirst() {
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

// ================================================================ ordering

void Table::setIndexName(const std::string& name) {
    Impl& m = *d;
    int found = -1;
    if (!name.empty()) {
        for (size_t i = 0; i < m.indexes.list.size(); ++i)
            if (sameName(m.indexes.list[i].def.name, name)) found = int(i);
        if (found < 0) throw Error("Индекс " + name + " не найден в таблице " + m.file.path);
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
        for (size_t i = 0; i < m.indexes.list.size() && found < 0; ++i)
            if (sameName(m.indexes.list[i].def.field, fields)) found = int(i);
        if (found < 0) throw Error("Нет индекса по полю " + fields + " в таблице " + m.file.path);
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

// ================================================================ master and detail

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

// ================================================================ filter and range

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
    if (d->isOpen()) d->gotoFirst();
}

bool Table::filtered() const {
    return d->filterOn;
}

void Table::setRange(const Value& low, const Value& high) {
    Impl& m = *d;
    m.requireOpen();
    if (m.orderIndex < 0) throw Error("Диапазон требует упорядочения по индексу");
    int f = m.indexes.list[size_t(m.orderIndex)].field;
    size_t w = size_t(m.schema.fields[size_t(f)].width);
    auto enc = [&](const Value& v) {
        std::vector<uint8_t> key;
        if (std::holds_alternative<std::monostate>(v)) return key;
        key.resize(w);
        m.schema.encode(key.data(), f, v);
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

// ================================================================ navigation

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
    if (!d->isOpen()) return 0;
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
    std::vector<uint8_t> key(size_t(m.schema.fields[size_t(f)].width));
    m.schema.encode(key.data(), f, value);
    for (size_t i = 0; i < m.view.size(); ++i)
        if (m.schema.compare(f, m.schema.at(m.rows.row(m.view[i]), f), key.data()) == 0) {
            m.pos = i;
            m.cur = m.view[i];
            m.eofFlag = m.bofFlag = false;
            return true;
        }
    return false;
}

} // namespace dbf
