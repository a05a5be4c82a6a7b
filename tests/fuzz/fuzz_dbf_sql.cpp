// libFuzzer target of the local SQL statements: the input is a statement run on a small table "A" of every
// field type. A statement either is refused with dbf::Error or runs; after it the table still reads whole,
// every row left is a row it had, unchanged and in its place, a select removed nothing and counted what the
// same condition deletes, and a delete removed exactly the rows it counted. Statements naming a file in
// another folder are passed over: the target touches nothing outside its scratch folder.
#include "dbf/table.h"
#include "tests/fuzz/fuzz_support.h"

#include <cctype>
#include <string>
#include <vector>

namespace {

using Row = std::vector<dbf::Value>;

const std::vector<dbf::FieldDef> kFields = {
    {"NUM", dbf::FieldType::AutoInc, 0, false}, {"NUMSTATE", dbf::FieldType::Integer, 0, false},
    {"NAME", dbf::FieldType::Char, 12, false},  {"VAL", dbf::FieldType::Float, 0, false},
    {"DAY", dbf::FieldType::Date, 0, false},    {"WRITEDAY", dbf::FieldType::DateTime, 0, false},
    {"OK", dbf::FieldType::Boolean, 0, false},
};
const std::vector<dbf::IndexDef> kIndexes = {
    {"Primary", "NUM", true, true}, {"NUMSTATE", "NUMSTATE"}, {"NAME", "NAME"}};

void makeTable(const std::string& dir) {
    dbf::Table t;
    t.create(dir, "A", kFields, kIndexes);
    const char* names[] = {"Ленина 5", "abc", "", "A'B", "ab*", "zzz"};
    for (int i = 0; i < 6; ++i) {
        t.append();
        t.setInt("NUMSTATE", i % 3);
        if (i != 2) t.setString("NAME", names[i]);
        if (i != 4) t.setFloat("VAL", i * 1.25 - 2);
        t.setDateTime("DAY", dbf::DateTime::fromParts(1999 + i, 12, 31));
        if (i != 1) t.setDateTime("WRITEDAY", dbf::DateTime::fromParts(2024, 3, 5 + i, i, 30));
        t.setBool("OK", i % 2 == 0);
        t.post();
    }
}

std::vector<Row> readAll(const std::string& dir) {
    dbf::Table t;
    t.open(dir, "A");
    std::vector<Row> rows;
    for (t.first(); !t.eof(); t.next()) {
        Row r;
        for (int i = 0; i < t.fieldCount(); ++i)
            r.push_back(t.value(i));
        rows.push_back(std::move(r));
    }
    fuzz::check(int(rows.size()) == t.recordCount(), "recordCount differs from the rows visited");
    return rows;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string statement(reinterpret_cast<const char*>(data), size);
    if (statement.find('/') != std::string::npos) return 0;
    static const std::string dir = [] {
        const std::string d = fuzz::freshDir("sql");
        makeTable(d);
        return d;
    }();
    static const std::string pristine = fuzz::readBytes(dir + "/A.dbf");
    static const std::string pristineIndex = fuzz::readBytes(dir + "/A.MDX");
    static const std::vector<Row> before = readAll(dir);
    fuzz::writeBytes(dir + "/A.dbf", pristine);
    fuzz::writeBytes(dir + "/A.MDX", pristineIndex);

    // the select of the same condition, when the statement is a delete
    const size_t start = statement.find_first_not_of(" \t\r\n\v\f");
    const bool isDelete = start != std::string::npos && lower(statement.substr(start, 6)) == "delete";
    int selected = -1;
    const dbf::Database db(dir);
    if (isDelete) {
        try {
            selected = db.execSql("select * " + statement.substr(start + 6));
        } catch (const dbf::Error&) {
        }
    }
    int n = -1;
    try {
        n = db.execSql(statement);
    } catch (const dbf::Error&) {
    }
    const std::vector<Row> after = readAll(dir);
    // what is left is the old rows in their order, some of them gone
    size_t k = 0;
    for (const Row& r : after) {
        while (k < before.size() && before[k] != r)
            ++k;
        fuzz::check(k < before.size(), "a row left by the statement is not one the table had");
        ++k;
    }
    const int removed = int(before.size() - after.size());
    if (n < 0) {
        fuzz::check(removed == 0, "a refused statement removed rows");
    } else if (isDelete) {
        fuzz::check(removed == n,
                    "a delete removed " + std::to_string(removed) + " rows, counted " + std::to_string(n));
        if (selected >= 0) fuzz::check(selected == n, "select and delete of one condition disagree");
    } else {
        fuzz::check(removed == 0, "a select removed rows");
        fuzz::check(n <= int(before.size()), "a select counted more rows than the table has");
    }
    return 0;
}
