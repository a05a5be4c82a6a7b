// libFuzzer target of the table engine: the input is a table file and its ".MDX" (two bytes giving the length
// of the table file, the table file, then the index file; an empty rest means no index file). A table that
// opens reads row by row in physical order, and through each of its indexes visits the same rows; its rows,
// written to a new table of the same fields, read back equal.
#include "dbf/table.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>
#include <cmath>
#include <variant>
#include <vector>

namespace {

using Row = std::vector<dbf::Value>;

std::string show(const dbf::Value& v) {
    struct {
        std::string operator()(std::monostate) const { return "null"; }
        std::string operator()(int64_t i) const { return "int " + std::to_string(i); }
        std::string operator()(double d) const { return "float " + std::to_string(d); }
        std::string operator()(const std::string& s) const { return "text '" + s + "'"; }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(dbf::DateTime t) const { return "time " + std::to_string(t.ms()); }
    } visitor;
    return std::visit(visitor, v);
}

bool same(const dbf::Value& a, const dbf::Value& b) {
    if (std::holds_alternative<double>(a) && std::holds_alternative<double>(b))
        return std::get<double>(a) == std::get<double>(b) ||
               (std::isnan(std::get<double>(a)) && std::isnan(std::get<double>(b)));
    return a == b;
}

std::vector<Row> readRows(dbf::Table& t, std::vector<int>* recNos = nullptr) {
    std::vector<Row> rows;
    for (t.first(); !t.eof(); t.next()) {
        Row r;
        for (int i = 0; i < t.fieldCount(); ++i)
            r.push_back(t.value(i));
        rows.push_back(std::move(r));
        if (recNos) recNos->push_back(t.recNo());
        fuzz::check(rows.size() <= 1'000'000, "endless walk over the rows");
    }
    return rows;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t tableLength = in.u16();
    const std::string_view table = in.take(tableLength);
    const std::string_view index = in.rest();
    const std::string dir = fuzz::freshDir("in");
    fuzz::writeBytes(dir + "/T.DBF", table);
    if (!index.empty()) fuzz::writeBytes(dir + "/T.MDX", index);

    std::vector<dbf::FieldDef> fields;
    std::vector<dbf::IndexDef> indexes;
    std::vector<Row> rows;
    try {
        dbf::Table t;
        t.open(dir, "T");
        fields = t.fields();
        indexes = t.indexes();
        std::vector<int> physical;
        rows = readRows(t, &physical);
        fuzz::check(int(rows.size()) == t.recordCount(), "recordCount differs from the rows visited");
        std::sort(physical.begin(), physical.end());
        for (const dbf::IndexDef& ix : indexes) {
            t.setIndexName(ix.name);
            std::vector<int> ordered;
            readRows(t, &ordered);
            std::sort(ordered.begin(), ordered.end());
            fuzz::check(ordered == physical, "index " + ix.name + " does not visit the table's rows");
        }
    } catch (const dbf::Error&) {
        return 0;
    }

    // The copy: the same fields, with the numbers the original assigned kept as plain integers and nothing
    // required (a damaged row may lack a value), over the same indexes, none of them unique.
    std::vector<dbf::FieldDef> copyFields = fields;
    for (dbf::FieldDef& f : copyFields) {
        if (f.type == dbf::FieldType::AutoInc) f.type = dbf::FieldType::Integer;
        f.required = false;
    }
    std::vector<dbf::IndexDef> copyIndexes = indexes;
    for (dbf::IndexDef& ix : copyIndexes)
        ix.primary = ix.unique = false;
    const std::string out = fuzz::freshDir("out");
    try {
        dbf::Table c;
        c.create(out, "C", copyFields, copyIndexes);
        for (const Row& r : rows) {
            c.append();
            for (int i = 0; i < int(r.size()); ++i)
                c.setValue(i, r[i]);
            c.post();
        }
    } catch (const dbf::Error& e) {
        fuzz::fail(std::string("the rows read cannot be written to a new table: ") + e.what());
    }
    dbf::Table back;
    back.open(out, "C");
    const std::vector<Row> again = readRows(back);
    fuzz::check(again.size() == rows.size(), "the copy has another number of rows");
    for (size_t r = 0; r < rows.size(); ++r)
        for (size_t i = 0; i < rows[r].size(); ++i)
            if (!same(rows[r][i], again[r][i]))
                fuzz::fail("row " + std::to_string(r + 1) + " field " + fields[i].name + ": " +
                           show(rows[r][i]) + " read back as " + show(again[r][i]));
    return 0;
}
