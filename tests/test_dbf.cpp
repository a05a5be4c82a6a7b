// Table engine: encodings, structure, cursor, filters, master/detail, index file, local SQL.
#include "dbf/codec.h"
#include "dbf/filter.h"
#include "dbf/table.h"
#include "tests/file_bytes.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

using namespace dbf;
using mervo::test::readFile;
using mervo::test::TempDir;
using mervo::test::writeFile;

namespace {

std::string hex(const uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// A small objects table in the shape the suite uses.
std::vector<FieldDef> objectFields() {
    return {{"NUM", FieldType::AutoInc, 0, true}, {"SERIALNUM", FieldType::Integer},
            {"ADDRES", FieldType::Char, 60},      {"STATE", FieldType::Char, 30},
            {"CON_DATE", FieldType::Date},        {"AUTOCON", FieldType::Boolean},
            {"DESKRIPTION", FieldType::Char, 50}};
}
std::vector<IndexDef> objectIndexes() {
    return {{"Primary", "NUM", true, true}, {"SN", "SERIALNUM"}, {"ADR", "ADDRES"}};
}

void addObject(Table& t, int serial, const std::string& addr, const std::string& state = "---",
               const std::string& group = "") {
    t.append();
    t.setInt("SERIALNUM", serial);
    t.setString("ADDRES", addr);
    t.setString("STATE", state);
    t.setBool("AUTOCON", true);
    t.setString("DESKRIPTION", group);
    t.post();
}

std::vector<FieldDef> archiveFields() {
    return {{"NUM", FieldType::AutoInc, 0, true}, {"NUMSTATE", FieldType::Integer, 0, true},
            {"HEnergy1", FieldType::Float},       {"WriteHour", FieldType::Integer},
            {"WriteDay", FieldType::DateTime},    {"RecNum", FieldType::Integer}};
}
std::vector<IndexDef> archiveIndexes() {
    return {{"NUM", "NUM", true, false}, {"NUMSTATE", "NUMSTATE"}, {"WriteDay", "WriteDay"}};
}

std::vector<int64_t> column(Table& t, const std::string& field) {
    std::vector<int64_t> out;
    for (t.first(); !t.eof(); t.next())
        out.push_back(t.asInt(field));
    return out;
}

} // namespace

// ---------------------------------------------------------------- encodings

TEST(DbfEncoding, PublishedBytes) {
    uint8_t b[8];
    struct IntCase {
        int32_t v;
        const char* bytes;
    } ints[] = {{1, "80 00 00 01"}, {-1, "7F FF FF FF"}, {0, "80 00 00 00"}};
    for (auto& c : ints) {
        codec::putInt(b, c.v);
        EXPECT_EQ(hex(b, 4), c.bytes) << c.v;
        EXPECT_EQ(codec::getInt(b), c.v);
    }
    struct DoubleCase {
        double v;
        const char* bytes;
    } doubles[] = {{0.0, "80 00 00 00 00 00 00 00"},
                   {1.0, "BF F0 00 00 00 00 00 00"},
                   {-1.0, "40 0F FF FF FF FF FF FF"}};
    for (auto& c : doubles) {
        codec::putDouble(b, c.v);
        EXPECT_EQ(hex(b, 8), c.bytes) << c.v;
        EXPECT_EQ(codec::getDouble(b), c.v);
    }
    codec::putTimestamp(b, DateTime::fromParts(2000, 8, 16, 17, 21, 41, 310));
    EXPECT_EQ(hex(b, 8), "42 CC B2 0E 03 40 DF 00");
    codec::putTimestamp(b, DateTime::fromParts(1999, 12, 31));
    EXPECT_EQ(hex(b, 8), "42 CC AF BE 7E 42 00 00");
    EXPECT_EQ(codec::getTimestamp(b), DateTime::fromParts(1999, 12, 31));
}

TEST(DbfEncoding, BytesSortLikeValues) {
    const double ds[] = {-1e308, -12.5, -1, -1e-300, 0, 1e-300, 0.5, 1, 12.35, 1e308};
    for (size_t i = 1; i < std::size(ds); ++i) {
        uint8_t a[8], b[8];
        codec::putDouble(a, ds[i - 1]);
        codec::putDouble(b, ds[i]);
        EXPECT_LT(std::memcmp(a, b, 8), 0) << ds[i - 1] << " < " << ds[i];
    }
    const int32_t is[] = {std::numeric_limits<int32_t>::min() + 1, -70000, -1, 0, 1, 65535,
                          std::numeric_limits<int32_t>::max()};
    for (size_t i = 1; i < std::size(is); ++i) {
        uint8_t a[4], b[4];
        codec::putInt(a, is[i - 1]);
        codec::putInt(b, is[i]);
        EXPECT_LT(std::memcmp(a, b, 4), 0) << is[i - 1] << " < " << is[i];
    }
}

TEST(DbfEncoding, Cp1251RoundTripAndCollation) {
    std::string ru = "Ленина 5, кв. №3 «Ёлка» ёж";
    std::string cp = codec::toCp1251(ru);
    EXPECT_EQ(cp.size(), 26u); // one byte per character
    EXPECT_EQ(codec::fromCp1251(cp), ru);
    EXPECT_EQ(codec::toCp1251("日本"), "??");
    // Ё between Е and Ж
    auto w = [](const char* s) { return codec::collationWeight(uint8_t(codec::toCp1251(s)[0])); };
    EXPECT_LT(w("Е"), w("Ё"));
    EXPECT_LT(w("Ё"), w("Ж"));
    EXPECT_LT(w("е"), w("ё"));
    EXPECT_LT(w("ё"), w("ж"));
}

TEST(DbfDateTime, PartsTextAndParse) {
    DateTime t = DateTime::fromParts(2024, 2, 29, 23, 59, 58, 7);
    EXPECT_EQ(t.text(), "29.02.2024 23:59:58.007");
    EXPECT_EQ(t.dateText(), "29.02.2024");
    EXPECT_EQ(t.timeText(), "23:59:58");
    EXPECT_EQ(DateTime::fromParts(1, 1, 1).ms(), DateTime::kMsPerDay);
    struct Case {
        const char* text;
        std::optional<DateTime> want;
    } cases[] = {
        {"31.12.1999 00:00", DateTime::fromParts(1999, 12, 31)},
        {"31.12.1999", DateTime::fromParts(1999, 12, 31)},
        {"1.2.2003 4:05:06", DateTime::fromParts(2003, 2, 1, 4, 5, 6)},
        {"2003-02-01T04:05:06.5", DateTime::fromParts(2003, 2, 1, 4, 5, 6, 500)},
        {"29.02.2023", std::nullopt},
        {"31.12.1999 24:00", std::nullopt},
        {"12.35", std::nullopt},
        {"", std::nullopt},
    };
    for (auto& c : cases)
        EXPECT_EQ(DateTime::parse(c.text), c.want) << c.text;
    // the settings store keeps OLE day numbers
    EXPECT_DOUBLE_EQ(DateTime::fromParts(1899, 12, 30).toOleDays(), 0.0);
    EXPECT_DOUBLE_EQ(DateTime::fromParts(2000, 1, 1, 12).toOleDays(), 36526.5);
    EXPECT_EQ(DateTime::fromOleDays(36526.5), DateTime::fromParts(2000, 1, 1, 12));
}

// ---------------------------------------------------------------- files

TEST(DbfTable, HeaderIsLevel7Cp1251) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(t, 530, "Ленина 1");
    t.close();
    auto b = readFile(dir.file("MAINDB.dbf"));
    ASSERT_GE(b.size(), 68u);
    EXPECT_EQ(b[0], 0x04);
    EXPECT_EQ(b[28], 0x00);
    EXPECT_EQ(b[29], 0xC9);
    EXPECT_EQ(codec::getLe32(&b[4]), 1u);
    uint16_t hl = codec::getLe16(&b[8]), rl = codec::getLe16(&b[10]);
    EXPECT_EQ(hl, 68 + 48 * 7 + 1);
    EXPECT_EQ(b[hl - 1], 0x0D);
    EXPECT_EQ(rl, 1 + 4 + 4 + 60 + 30 + 8 + 1 + 50);
    EXPECT_EQ(b.size(), size_t(hl) + rl + 1);
    EXPECT_EQ(b.back(), 0x1A);
    // type letters in field order
    std::string letters;
    for (int i = 0; i < 7; ++i)
        letters += char(b[68 + 48 * i + 32]);
    EXPECT_EQ(letters, "+ICCDLC");
    // the address is stored in cp1251, blank padded
    const uint8_t* row = &b[hl];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(row + 9), 8), codec::toCp1251("Ленина 1"));
    EXPECT_EQ(row[9 + 8], ' ');
    EXPECT_TRUE(std::ifstream(dir.file("MAINDB.MDX")).good());
}

TEST(DbfTable, CreateInMissingFolderFails) {
    TempDir dir;
    Table t;
    EXPECT_THROW(t.create(dir.file("nope"), "MAINDB", objectFields(), objectIndexes()), Error);
    EXPECT_FALSE(t.isOpen());
}

TEST(DbfTable, OpenMissingTableFails) {
    TempDir dir;
    Table t;
    try {
        t.open(dir.path(), "ARCHDB1D236");
        FAIL() << "no error";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("ARCHDB1D236.dbf"), std::string::npos) << e.what();
    }
}

TEST(DbfTable, NamesMatchWithoutLetterCase) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "PARSDB", archiveFields(), archiveIndexes());
        t.append();
        t.setInt("NUMSTATE", 4);
        t.post();
    }
    Table t;
    t.open(dir.path(), "ParsDB.dbf");
    EXPECT_EQ(t.recordCount(), 1);
    EXPECT_EQ(t.asInt("numstate"), 4); // field names too
    t.close();
    // an index file spelled ".mdx" is deleted with the table
    ASSERT_EQ(::rename(dir.file("PARSDB.MDX").c_str(), dir.file("PARSDB.mdx").c_str()), 0);
    EXPECT_TRUE(tableExists(dir.path(), "parsdb"));
    deleteTable(dir.path(), "ParsDB");
    EXPECT_FALSE(tableExists(dir.path(), "PARSDB"));
    EXPECT_FALSE(std::ifstream(dir.file("PARSDB.mdx")).good());
    EXPECT_NO_THROW(deleteTable(dir.path(), "PARSDB")); // nothing left: no error
}

// A field name fills the 32 bytes of its descriptor without an ending zero: a table read with such a name can
// be made again with it, and the name reads back whole; a longer one is refused.
TEST(DbfTable, FieldNameOfAllThirtyTwoBytes) {
    TempDir dir;
    const std::string name(32, 'F');
    {
        Table t;
        t.create(dir.path(), "LONGNAME", {{name, FieldType::Integer, 0, false}}, {});
        t.append();
        t.setInt(name, 7);
        t.post();
    }
    Table t;
    t.open(dir.path(), "LONGNAME");
    EXPECT_EQ(t.fields().at(0).name, name);
    EXPECT_EQ(t.asInt(name), 7);
    Table longer;
    EXPECT_THROW(longer.create(dir.path(), "LONGER", {{name + "X", FieldType::Integer, 0, false}}, {}),
                 Error);
}

// ---------------------------------------------------------------- values

TEST(DbfTable, EveryTypeRoundTripsThroughTheFile) {
    TempDir dir;
    std::vector<FieldDef> f = {{"NUM", FieldType::AutoInc, 0, true},
                               {"I", FieldType::Integer},
                               {"F", FieldType::Float},
                               {"C", FieldType::Char, 10},
                               {"D", FieldType::Date},
                               {"T", FieldType::DateTime},
                               {"B", FieldType::Boolean}};
    struct Row {
        Value i, f, c, d, t, b;
    };
    const DateTime day = DateTime::fromParts(2026, 12, 10);
    const std::vector<Row> rows = {
        {int64_t(0), 0.0, std::string("x"), day, DateTime::fromParts(1999, 12, 31), true},
        {int64_t(-1), -1.0, std::string("Лен"), DateTime::fromParts(1, 1, 1), DateTime::fromParts(1, 1, 1),
         false},
        {int64_t(std::numeric_limits<int32_t>::max()), 1e308, std::string("0123456789"),
         DateTime::fromParts(9999, 12, 31), DateTime::fromParts(9999, 12, 31, 23, 59, 59, 999), true},
        {int64_t(std::numeric_limits<int32_t>::min() + 1), -4.9e-324, std::string("ёЁ"), day,
         DateTime::fromParts(2000, 8, 16, 17, 21, 41, 310), false},
        {std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{}, std::monostate{},
         std::monostate{}},
    };
    {
        Table t;
        t.create(dir.path(), "TYPES", f, {{"NUM", "NUM", true, true}});
        for (const Row& r : rows) {
            t.append();
            t.setValue("I", r.i);
            t.setValue("F", r.f);
            t.setValue("C", r.c);
            t.setValue("D", r.d);
            t.setValue("T", r.t);
            t.setValue("B", r.b);
            t.post();
        }
    }
    Table t;
    t.open(dir.path(), "TYPES");
    ASSERT_EQ(t.recordCount(), int(rows.size()));
    size_t k = 0;
    for (t.first(); !t.eof(); t.next(), ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(t.asInt("NUM"), int64_t(k + 1));
        EXPECT_EQ(t.value("I"), rows[k].i);
        EXPECT_EQ(t.value("F"), rows[k].f);
        EXPECT_EQ(t.value("C"), rows[k].c);
        EXPECT_EQ(t.value("D"), rows[k].d);
        EXPECT_EQ(t.value("T"), rows[k].t);
        EXPECT_EQ(t.value("B"), rows[k].b);
    }
    t.last();
    for (const char* name : {"I", "F", "C", "D", "T", "B"})
        EXPECT_TRUE(t.isNull(name)) << name;
    EXPECT_EQ(t.asString("C"), "");
    EXPECT_EQ(t.asInt("I"), 0);
}

TEST(DbfTable, TextIsParsedByFieldType) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "T",
             {{"F", FieldType::Float},
              {"I", FieldType::Integer},
              {"D", FieldType::Date},
              {"T", FieldType::DateTime},
              {"B", FieldType::Boolean},
              {"C", FieldType::Char, 5}},
             {});
    t.append();
    t.setString("F", "12.35");
    t.setString("I", " -17 ");
    t.setString("D", "10.12.2026");
    t.setString("T", "31.12.1999 00:00");
    t.setString("B", "True");
    t.setString("C", "Ленинградский"); // cut to the field width
    t.post();
    EXPECT_EQ(t.asFloat("F"), 12.35);
    EXPECT_EQ(t.asString("F"), "12.35");
    EXPECT_EQ(t.asInt("I"), -17);
    EXPECT_EQ(t.asString("D"), "10.12.2026");
    EXPECT_EQ(t.asString("T"), "31.12.1999 00:00:00");
    EXPECT_TRUE(t.asBool("B"));
    EXPECT_EQ(t.asString("B"), "True");
    EXPECT_EQ(t.asString("C"), "Ленин");
    t.edit();
    t.setString("F", "0,5"); // decimal comma as typed on a Russian desktop
    t.setString("I", "");    // empty text is null
    t.post();
    EXPECT_EQ(t.asFloat("F"), 0.5);
    EXPECT_TRUE(t.isNull("I"));

    t.edit();
    struct Bad {
        const char* field;
        const char* text;
    } bad[] = {{"F", "12,3,4"}, {"I", "1.5"}, {"I", "99999999999"}, {"D", "32.01.2020"}, {"B", "может"}};
    for (auto& b : bad)
        EXPECT_THROW(t.setString(b.field, b.text), Error) << b.field << " " << b.text;
    t.cancel();
    EXPECT_EQ(t.asFloat("F"), 0.5);
    EXPECT_THROW(t.setString("F", "1"), Error); // not in edit state
}

TEST(DbfTable, RequiredUniqueAndReadOnlyFields) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "A", archiveFields(),
             {{"NUM", "NUM", true, true}, {"RecNum", "RecNum", false, true}});
    t.append();
    EXPECT_THROW(t.setInt("NUM", 5), Error);
    EXPECT_THROW(t.post(), Error); // NUMSTATE is required
    t.setInt("NUMSTATE", 1);
    t.setInt("RecNum", 7);
    t.post();
    t.append();
    t.setInt("NUMSTATE", 1);
    t.setInt("RecNum", 7);
    EXPECT_THROW(t.post(), Error); // duplicate of a unique key
    t.cancel();
    EXPECT_EQ(t.recordCount(), 1);
    t.close();
    t.open(dir.path(), "A");
    EXPECT_EQ(t.recordCount(), 1);
}

// ---------------------------------------------------------------- cursor

TEST(DbfTable, NavigationAndRecNo) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    EXPECT_TRUE(t.eof());
    EXPECT_TRUE(t.bof());
    EXPECT_EQ(t.recNo(), 0);
    for (int i = 1; i <= 3; ++i)
        addObject(t, 100 * i, "Адрес " + std::to_string(i));
    t.first();
    EXPECT_TRUE(t.bof());
    EXPECT_FALSE(t.eof());
    EXPECT_EQ(t.asInt("NUM"), 1);
    t.prior();
    EXPECT_TRUE(t.bof());
    EXPECT_EQ(t.asInt("NUM"), 1);
    t.next();
    t.next();
    EXPECT_FALSE(t.eof());
    t.next();
    EXPECT_TRUE(t.eof());
    EXPECT_EQ(t.asInt("NUM"), 3); // stays on the last row
    t.last();
    EXPECT_EQ(t.recNo(), 3);
    t.setRecNo(2);
    EXPECT_EQ(t.asInt("SERIALNUM"), 200);
    EXPECT_THROW(t.setRecNo(9), Error);
    EXPECT_TRUE(t.locate("ADDRES", std::string("Адрес 3")));
    EXPECT_EQ(t.recNo(), 3);
    EXPECT_FALSE(t.locate("ADDRES", std::string("нет")));
    EXPECT_EQ(t.recNo(), 3);
}

TEST(DbfTable, DeleteMovesToNextRowAndSurvivesReopen) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    for (int i = 1; i <= 4; ++i)
        addObject(t, i, "A" + std::to_string(i));
    t.setRecNo(2);
    t.remove();
    EXPECT_EQ(t.asInt("NUM"), 3);
    t.last();
    t.remove();
    EXPECT_EQ(t.asInt("NUM"), 3);
    EXPECT_EQ(t.recordCount(), 2);
    t.close();
    t.open(dir.path(), "MAINDB");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{1, 3}));
    // autoincrement never reuses a number
    addObject(t, 9, "new");
    EXPECT_EQ(t.asInt("NUM"), 5);
}

TEST(DbfTable, OrderingByIndexNameAndFieldNames) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(t, 30, "Вокзальная 2", "---", "Группа 2");
    addObject(t, 10, "Ёлочная 1", "---", "Группа 1");
    addObject(t, 20, "Абрикосовая", "---", "");
    addObject(t, 10, "Ленина 5", "---", "Группа 1");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{1, 2, 3, 4}));
    t.setIndexFieldNames("SERIALNUM");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{2, 4, 3, 1})); // ties keep row order
    t.setIndexName("ADR");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{3, 1, 2, 4})); // Ё after Е, before Л
    EXPECT_THROW(t.setIndexFieldNames("DESKRIPTION"), Error);
    // an index over the group is added to the open table, as the main window does before ordering by group
    t.addIndex({"deskr", "DESKRIPTION"});
    t.setIndexFieldNames("DESKRIPTION");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{3, 2, 4, 1}));
    t.close();
    t.open(dir.path(), "maindb");
    EXPECT_TRUE(t.hasIndexOn("DESKRIPTION"));
    t.setIndexName("deskr");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{3, 2, 4, 1}));
    EXPECT_THROW(t.addIndex({"deskr", "DESKRIPTION"}), Error);
}

TEST(DbfTable, EditKeepsIndexesInStep) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    for (int i = 1; i <= 5; ++i)
        addObject(t, i * 10, "A");
    t.setIndexFieldNames("SERIALNUM");
    t.setRecNo(1);
    t.edit();
    t.setInt("SERIALNUM", 45);
    t.post();
    EXPECT_EQ(column(t, "SERIALNUM"), (std::vector<int64_t>{20, 30, 40, 45, 50}));
    t.close();
    t.open(dir.path(), "MAINDB");
    t.setIndexName("SN");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{2, 3, 4, 1, 5}));
}

// ---------------------------------------------------------------- filters

TEST(DbfTable, FilterForms) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(t, 530, "Ленина 5", "Норма", "Группа 1");
    addObject(t, 531, "Лесная 1", "Нет связи", "Группа 1");
    addObject(t, 5300, "ленина 7", "Норма", "Группа 2");
    addObject(t, 12, "Мира 1", "---", "");
    struct Case {
        const char* expr;
        std::vector<int64_t> nums;
    } cases[] = {
        {"NUM=3", {3}},
        {"SERIALNUM='530'", {1}},
        {"ADDRES='Лен*'", {1}}, // begins with, case significant
        {"ADDRES='Ле*'", {1, 2}},
        {"ADDRES='Ленина 5'", {1}},
        {"DESKRIPTION='Группа 1'", {1, 2}},
        {"STATE='Норма'", {1, 3}},
        {"DESKRIPTION='Группа 1' AND STATE='Норма'", {1}},
        {"DESKRIPTION=''", {4}},
        {"NUM >= 2 AND NUM<>3", {2, 4}},
    };
    for (auto& c : cases) {
        t.setFilter(c.expr);
        t.setFiltered(true);
        EXPECT_EQ(column(t, "NUM"), c.nums) << c.expr;
        EXPECT_EQ(t.recordCount(), int(c.nums.size())) << c.expr;
    }
    t.setFiltered(false);
    EXPECT_EQ(t.recordCount(), 4);
    for (const char* bad : {"NUM", "NUM=", "NOPE=1", "NUM=1 OR NUM=2", "ADDRES='x", "NUM='abc'"})
        EXPECT_THROW(t.setFilter(bad), Error) << bad;
}

TEST(DbfFilter, QuotedLiteralReadsBackAsTheTextItQuotes) {
    struct Case {
        const char* text;
        LiteralMatch match;
        const char* literal;
    } cases[] = {
        {"Д'Артаньян", LiteralMatch::Whole, "'Д''Артаньян'"},
        {"Д'Артаньян", LiteralMatch::BeginsWith, "'Д''Артаньян*'"},
        {"'", LiteralMatch::Whole, "''''"},
        {"''", LiteralMatch::BeginsWith, "'''''*'"},
        {"\"Заря\"", LiteralMatch::Whole, "'\"Заря\"'"},
        {"*", LiteralMatch::Whole, "'**'"},
        {"*", LiteralMatch::BeginsWith, "'***'"},
        {"a*b*", LiteralMatch::Whole, "'a**b**'"},
        {"*'", LiteralMatch::BeginsWith, "'**''*'"},
        {"Мира ", LiteralMatch::BeginsWith, "'Мира *'"},
        {" x AND Y=1", LiteralMatch::Whole, "' x AND Y=1'"},
        {"", LiteralMatch::Whole, "''"},
        {"", LiteralMatch::BeginsWith, "'*'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string literal = quoteLiteral(c.text, c.match);
        EXPECT_EQ(literal, c.literal);
        std::vector<Condition> parsed = parseConditions("ADDRES=" + literal + " AND NUM=1");
        ASSERT_EQ(parsed.size(), 2u);
        EXPECT_EQ(parsed[0].field, "ADDRES");
        EXPECT_EQ(parsed[0].literal, c.text);
        EXPECT_TRUE(parsed[0].quoted);
        EXPECT_EQ(parsed[0].prefix, c.match == LiteralMatch::BeginsWith);
        EXPECT_EQ(parsed[1].literal, "1");
    }
    // a star before the end of a literal written by hand stays a star, as it always did
    EXPECT_EQ(parseConditions("ADDRES='a*b'")[0].literal, "a*b");
    EXPECT_FALSE(parseConditions("ADDRES='a*b'")[0].prefix);
}

TEST(DbfFilter, MatchConditionByFieldType) {
    struct Case {
        FieldType type;
        const char* text;
        LiteralMatch match;
        const char* condition;
    } cases[] = {
        {FieldType::Char, "Д'Арт*", LiteralMatch::BeginsWith, "F='Д''Арт***'"},
        {FieldType::Char, "530", LiteralMatch::Whole, "F='530'"},
        {FieldType::Integer, "530", LiteralMatch::Whole, "F='530'"},
        {FieldType::Integer, "530", LiteralMatch::BeginsWith, "F='530'"}, // a number equals or not
        {FieldType::Integer, " 530 ", LiteralMatch::Whole, "F=' 530 '"},
        {FieldType::Integer, "53a", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::Integer, "5'3", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::Integer, "5\t3", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::Integer, "1\n", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::AutoInc, "*", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::Integer, "", LiteralMatch::Whole, "F=''"},
        {FieldType::Float, "2.5", LiteralMatch::Whole, "F='2.5'"},
        {FieldType::Float, "два", LiteralMatch::Whole, "F<0 AND F>0"},
        {FieldType::Date, "01.03.2026", LiteralMatch::Whole, "F='01.03.2026'"},
        {FieldType::Date, "1 марта", LiteralMatch::Whole, "F<'01.01.2000' AND F>'01.01.2000'"},
        {FieldType::DateTime, "завтра", LiteralMatch::Whole, "F<'01.01.2000' AND F>'01.01.2000'"},
        {FieldType::Boolean, "T", LiteralMatch::Whole, "F='T'"},
        {FieldType::Boolean, "может быть", LiteralMatch::Whole, "F<'T' AND F>'T'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(matchCondition("F", c.type, c.text, c.match), c.condition) << c.text;
}

TEST(DbfTable, SearchConditionsFindWhatWasTypedAndNeverFail) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(t, 530, "Д'Артаньяна 4");    // 1
    addObject(t, 531, "Мира 1");           // 2
    addObject(t, 532, "Мирная 3");         // 3
    addObject(t, 533, "*Склад*");          // 4
    addObject(t, 534, "\"Заря\" корп. 2"); // 5
    addObject(t, 535, "Мира");             // 6
    addObject(t, 536, "?");                // 7: what a character outside Windows-1251 is written as
    t.edit();
    t.setBool("AUTOCON", false);
    t.setString("CON_DATE", "01.03.2026");
    t.post();
    struct Case {
        std::string condition;
        std::vector<int64_t> nums;
    } cases[] = {
        {matchCondition("ADDRES", FieldType::Char, "Д'Арт", LiteralMatch::BeginsWith), {1}},
        {matchCondition("ADDRES", FieldType::Char, "Д'Артаньяна 4"), {1}},
        {matchCondition("ADDRES", FieldType::Char, "Мира", LiteralMatch::BeginsWith), {2, 6}},
        {matchCondition("ADDRES", FieldType::Char, "Мира ", LiteralMatch::BeginsWith), {2}},
        {matchCondition("ADDRES", FieldType::Char, "Мира "), {6}}, // the whole text: padded as the field is
        {matchCondition("ADDRES", FieldType::Char, "*", LiteralMatch::BeginsWith), {4}},
        {matchCondition("ADDRES", FieldType::Char, "*Склад"), {}},
        {matchCondition("ADDRES", FieldType::Char, "*Склад*"), {4}},
        {matchCondition("ADDRES", FieldType::Char, "\"Заря\"", LiteralMatch::BeginsWith), {5}},
        {matchCondition("ADDRES", FieldType::Char, "Ω", LiteralMatch::BeginsWith), {}},
        {matchCondition("ADDRES", FieldType::Char, "Ω"), {}},
        {"ADDRES<>'Ω'", {1, 2, 3, 4, 5, 6, 7}},
        {"ADDRES<>'Ω*'", {1, 2, 3, 4, 5, 6, 7}},
        {matchCondition("SERIALNUM", FieldType::Integer, "531"), {2}},
        {matchCondition("SERIALNUM", FieldType::Integer, "Д'Арт"), {}},
        {matchCondition("CON_DATE", FieldType::Date, "01.03.2026"), {7}},
        {matchCondition("CON_DATE", FieldType::Date, "март"), {}},
        {matchCondition("AUTOCON", FieldType::Boolean, "F"), {7}},
        {matchCondition("AUTOCON", FieldType::Boolean, "может быть"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.condition);
        ASSERT_NO_THROW(t.setFilter(c.condition));
        t.setFiltered(true);
        EXPECT_EQ(column(t, "NUM"), c.nums);
        t.setFiltered(false);
    }
    // an order comparison with a text no field can hold says so
    EXPECT_THROW(t.setFilter("ADDRES>'Ω'"), Error);
    // the local SQL reads its conditions alike
    t.close();
    Database db(dir.path());
    EXPECT_EQ(db.execSql("select * from MAINDB where ADDRES='Д''Арт*'"), 1);
    EXPECT_EQ(db.execSql("select * from MAINDB where ADDRES='Мира *'"), 1);
}

TEST(DbfTable, RangeOverDateIndexUsesBothEnds) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "ARCHDB530D236", archiveFields(), archiveIndexes());
    DateTime d0 = DateTime::fromParts(2026, 11, 1);
    for (int h = 0; h < 24 * 40; ++h) {
        t.append();
        t.setInt("NUMSTATE", 1);
        t.setDateTime("WriteDay", d0.addMs(int64_t(h) * 3'600'000));
        t.post();
    }
    t.setIndexFieldNames("WriteDay");
    DateTime from = DateTime::fromParts(2026, 11, 5), to = DateTime::fromParts(2026, 11, 7);
    t.setRange(from, to.addDays(1));
    EXPECT_EQ(t.recordCount(), 3 * 24 + 1); // both ends included
    t.first();
    EXPECT_EQ(t.asDateTime("WriteDay"), from);
    t.last();
    EXPECT_EQ(t.asDateTime("WriteDay"), to.addDays(1));
    t.setRange(std::monostate{}, d0.addMs(3'600'000));
    EXPECT_EQ(t.recordCount(), 2);
    t.cancelRange();
    EXPECT_EQ(t.recordCount(), 960);
    t.setIndexName("");
    EXPECT_THROW(t.setRange(from, to), Error); // a range needs an index order
}

// ---------------------------------------------------------------- master and detail

TEST(DbfTable, DetailFollowsMasterAndInheritsKey) {
    TempDir dir;
    Table objects, state;
    objects.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    for (int i = 1; i <= 3; ++i)
        addObject(objects, i, "A");
    state.create(dir.path(), "STATEDB236",
                 {{"NUM", FieldType::AutoInc, 0, true},
                  {"NUMSTATE", FieldType::Integer, 0, true},
                  {"HEnergy1", FieldType::Float}},
                 {{"NUM", "NUM", true}, {"NUMSTATE", "NUMSTATE"}});
    state.setIndexName("NUMSTATE");
    state.setMaster(&objects, "NUM");
    for (objects.first(); !objects.eof(); objects.next()) {
        for (int k = 0; k < int(objects.asInt("NUM")); ++k) {
            state.append(); // no NUMSTATE given: inherited from the master row
            state.setFloat("HEnergy1", double(objects.asInt("NUM")) + k / 10.0);
            state.post();
        }
    }
    objects.setRecNo(2);
    EXPECT_EQ(state.recordCount(), 2);
    EXPECT_EQ(state.asInt("NUMSTATE"), 2);
    EXPECT_EQ(state.asFloat("HEnergy1"), 2.0);
    objects.setRecNo(3);
    EXPECT_EQ(state.recordCount(), 3); // follows the master's move without a call on the detail
    std::vector<int64_t> owners = column(state, "NUMSTATE");
    EXPECT_EQ(owners, (std::vector<int64_t>{3, 3, 3}));
    // an explicit value is kept
    state.append();
    state.setInt("NUMSTATE", 7);
    state.post();
    state.clearMaster();
    state.setFilter("NUMSTATE=7");
    state.setFiltered(true);
    EXPECT_EQ(state.recordCount(), 1);
    state.setFiltered(false);
    EXPECT_EQ(state.recordCount(), 7);
    // a detail of an empty master shows nothing
    objects.setFilter("NUM=99");
    objects.setFiltered(true);
    state.setMaster(&objects);
    EXPECT_EQ(state.recordCount(), 0);
}

// ---------------------------------------------------------------- contexts

TEST(DbfTable, TwoContextsSeeEachOthersRowsAfterRefresh) {
    TempDir dir;
    Table poll, window;
    poll.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(poll, 1, "A");
    window.open(dir.path(), "MAINDB");
    EXPECT_EQ(window.recordCount(), 1);
    addObject(poll, 2, "B");
    poll.first();
    poll.edit();
    poll.setString("STATE", "Норма");
    poll.post();
    EXPECT_EQ(window.recordCount(), 1); // not yet refreshed
    EXPECT_EQ(window.asString("STATE"), "---");
    window.refresh();
    EXPECT_EQ(window.recordCount(), 2);
    EXPECT_EQ(window.asString("STATE"), "Норма"); // current row stayed current
    // the window writes too; the poll side's autoincrement and indexes take it in
    addObject(window, 3, "C");
    addObject(poll, 4, "D");
    EXPECT_EQ(poll.asInt("NUM"), 4);
    poll.setIndexName("SN");
    EXPECT_EQ(column(poll, "SERIALNUM"), (std::vector<int64_t>{1, 2, 3, 4}));
    window.refresh();
    window.remove(); // deletes row 3 (current in the window)
    poll.refresh();
    EXPECT_EQ(column(poll, "SERIALNUM"), (std::vector<int64_t>{1, 2, 4}));
}

// The poll writes an object's outcome into the row it read when its run began, while the object master (or
// another program) changes the address of the same row: neither change undoes the other. A field both
// changed keeps the one posted last.
TEST(DbfTable, EditsOfOneRowFromTwoContextsKeepEachOthersFields) {
    TempDir dir;
    Table poll, master;
    poll.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
    addObject(poll, 1, "Котельная", "---", "Север");
    master.open(dir.path(), "MAINDB");
    poll.first();
    poll.edit(); // the edit begins before the other context posts
    master.edit();
    master.setString("ADDRES", "Котельная №2");
    master.setString("STATE", "---");
    master.post();
    poll.setString("STATE", "Норма");
    poll.post();
    EXPECT_EQ(poll.asString("ADDRES"), "Котельная №2");
    // an edit begun from a copy older than the other context's post
    master.edit();
    master.setString("DESKRIPTION", "Юг");
    master.post();
    poll.edit();
    poll.setInt("SERIALNUM", 7);
    poll.post();

    Table reread;
    reread.open(dir.path(), "MAINDB");
    ASSERT_EQ(reread.recordCount(), 1);
    EXPECT_EQ(reread.asString("ADDRES"), "Котельная №2");
    EXPECT_EQ(reread.asString("STATE"), "Норма");
    EXPECT_EQ(reread.asString("DESKRIPTION"), "Юг");
    EXPECT_EQ(reread.asInt("SERIALNUM"), 7);
    // the index follows the row as it was written, not as either context had it
    reread.setIndexName("ADR");
    EXPECT_TRUE(reread.locate("ADDRES", std::string("Котельная №2")));
}

TEST(DbfTable, BulkAppendWritesEveryRow) {
    TempDir dir;
    Table t, reader;
    t.create(dir.path(), "ARCHDB1H236", archiveFields(), archiveIndexes());
    t.beginBulk();
    for (int i = 0; i < 20000; ++i) {
        t.append();
        t.setInt("NUMSTATE", 1);
        t.setInt("RecNum", i);
        t.post();
        EXPECT_EQ(t.asInt("NUM"), i + 1);
    }
    t.endBulk();
    reader.open(dir.path(), "ARCHDB1H236");
    EXPECT_EQ(reader.recordCount(), 20000);
    reader.last();
    EXPECT_EQ(reader.asInt("RecNum"), 19999);
    t.close();
    reader.close();
    auto b = readFile(dir.file("ARCHDB1H236.dbf"));
    EXPECT_EQ(b.back(), 0x1A);
}

// ---------------------------------------------------------------- index file

TEST(DbfTable, IndexFileIsRebuiltWhenLostOrWrong) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
        for (int i = 5; i >= 1; --i)
            addObject(t, i, "A");
    }
    auto expectSorted = [&](const char* what) {
        Table t;
        t.open(dir.path(), "MAINDB");
        t.setIndexFieldNames("SERIALNUM");
        std::vector<int64_t> got = column(t, "SERIALNUM");
        EXPECT_EQ(got, (std::vector<int64_t>{1, 2, 3, 4, 5})) << what;
    };
    expectSorted("intact");

    // damaged index file
    auto mdx = readFile(dir.file("MAINDB.MDX"));
    mdx[mdx.size() / 2] ^= 0xFF;
    writeFile(dir.file("MAINDB.MDX"), mdx);
    expectSorted("damaged");

    // the table changed behind the index's back: swap two serial numbers in the file itself
    auto dbf = readFile(dir.file("MAINDB.dbf"));
    uint16_t hl = codec::getLe16(&dbf[8]), rl = codec::getLe16(&dbf[10]);
    uint8_t* r0 = &dbf[hl + 5];
    uint8_t* r4 = &dbf[hl + 4 * rl + 5];
    std::swap_ranges(r0, r0 + 4, r4);
    writeFile(dir.file("MAINDB.dbf"), dbf);
    expectSorted("table edited outside");

    // lost index file: the indexes come back from the field flags
    ASSERT_EQ(::unlink(dir.file("MAINDB.MDX").c_str()), 0);
    expectSorted("lost");
    EXPECT_TRUE(std::ifstream(dir.file("MAINDB.MDX")).good());
}

TEST(DbfTable, NotATableIsAnError) {
    TempDir dir;
    writeFile(dir.file("JUNK.dbf"), {'h', 'e', 'l', 'l', 'o'});
    Table t;
    EXPECT_THROW(t.open(dir.path(), "JUNK"), FormatError);
    std::vector<uint8_t> fake(200, 0);
    fake[0] = 0x04;
    fake[8] = 200; // header length pointing at garbage descriptors
    writeFile(dir.file("FAKE.dbf"), fake);
    EXPECT_THROW(t.open(dir.path(), "FAKE"), FormatError);
    EXPECT_FALSE(t.isOpen());
}

// ---------------------------------------------------------------- local SQL

TEST(DbfSql, SelectAndDeleteStatements) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "ARCHDB530D236", archiveFields(), archiveIndexes());
        const DateTime empty = DateTime::fromParts(1999, 12, 31);
        for (int i = 0; i < 10; ++i) {
            t.append();
            t.setInt("NUMSTATE", 1);
            t.setDateTime("WriteDay", i % 3 == 0 ? empty : DateTime::fromParts(2026, 1, 1 + i));
            t.post();
        }
    }
    Database db(dir.path());
    const std::string file = "ARCHDB530D236.dbf";
    EXPECT_EQ(db.execSql("select * from " + file + "\n where WRITEDAY ='31.12.1999 00:00'"), 4);
    EXPECT_EQ(db.execSql("delete from " + file + "\n where WRITEDAY ='31.12.1999 00:00'"), 4);
    EXPECT_EQ(db.execSql("select * from " + file + "\n where WRITEDAY ='31.12.1999 00:00'"), 0);
    EXPECT_EQ(db.execSql("select * from archdb530d236.DBF"), 6);
    // NUM compared as a number although quoted: 9 and 10 are not below 8
    EXPECT_EQ(db.execSql("delete from " + file + " where NUM >='8'"), 2);
    Table t;
    t.open(dir.path(), file);
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{2, 3, 5, 6}));
    for (const char* bad : {"update x set a=1", "select a from ARCHDB530D236.dbf", "delete ARCHDB530D236.dbf",
                            "select * from ARCHDB530D236.dbf where NOPE=1", "select * from MISSING.dbf"})
        EXPECT_THROW(db.execSql(bad), Error) << bad;
}

// ---------------------------------------------------------------- crash remains

// The states a writer killed in the middle of an append can leave, made by hand: each must open with every
// whole row, no partial one, and an autoincrement value past every number present.
TEST(DbfTable, OpenRepairsWhatAnInterruptedAppendLeft) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&, uint16_t hl, uint16_t rl)> damage;
        int rows;
    };
    const std::vector<Case> cases = {
        {"count not yet written", [](auto& b, auto, auto) { codec::putLe32(&b[4], 2); }, 3},
        {"count and autoincrement not yet written",
         [](auto& b, auto, auto) {
             codec::putLe32(&b[4], 2);
             codec::putLe32(&b[68 + 40], 3);
         },
         3},
        {"half a row after the last one",
         [](auto& b, auto, uint16_t rl) {
             b.pop_back();
             std::vector<uint8_t> half(b.end() - rl, b.end() - rl / 2);
             b.insert(b.end(), half.begin(), half.end());
         },
         3},
        {"end mark missing", [](auto& b, auto, auto) { b.pop_back(); }, 3},
        {"count larger than the rows present", [](auto& b, auto, auto) { codec::putLe32(&b[4], 5); }, 3},
        {"a row-sized tail of garbage",
         [](auto& b, auto, uint16_t rl) {
             b.pop_back();
             b.insert(b.end(), rl, 0);
             b.push_back(0x1A);
         },
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        {
            Table t;
            t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
            for (int i = 1; i <= 3; ++i)
                addObject(t, i, "Адрес " + std::to_string(i));
        }
        auto b = readFile(dir.file("MAINDB.dbf"));
        uint16_t hl = codec::getLe16(&b[8]), rl = codec::getLe16(&b[10]);
        c.damage(b, hl, rl);
        writeFile(dir.file("MAINDB.dbf"), b);
        Table t;
        t.open(dir.path(), "MAINDB");
        EXPECT_EQ(column(t, "SERIALNUM"), (std::vector<int64_t>{1, 2, 3}));
        t.setIndexName("SN");
        EXPECT_EQ(t.recordCount(), c.rows);
        addObject(t, 4, "new");
        EXPECT_EQ(t.asInt("NUM"), 4);
        t.close();
        auto after = readFile(dir.file("MAINDB.dbf"));
        EXPECT_EQ(after.size(), size_t(hl) + 4u * rl + 1);
        EXPECT_EQ(codec::getLe32(&after[4]), 4u);
        EXPECT_EQ(after.back(), 0x1A);
    }
}

// Deleted rows (the state tables delete an object's row at every poll) are squeezed out when the table is
// opened by the only handle, so that the files do not grow without end.
TEST(DbfTable, DeletedRowsAreSqueezedOutWhenOpenedAlone) {
    TempDir dir;
    Table t, other;
    t.create(dir.path(), "STATEDB236", archiveFields(), archiveIndexes());
    for (int i = 0; i < 400; ++i) {
        t.append();
        t.setInt("NUMSTATE", i % 4);
        t.setInt("RecNum", i);
        t.post();
    }
    other.open(dir.path(), "STATEDB236");
    Database(dir.path()).execSql("delete from STATEDB236.dbf where RecNum < 300");
    t.close();
    const auto sizeOf = [&] { return readFile(dir.file("STATEDB236.dbf")).size(); };
    const size_t full = sizeOf();

    t.open(dir.path(), "STATEDB236"); // another handle is open: nothing is moved under it
    EXPECT_EQ(sizeOf(), full);
    t.close();
    other.close();

    t.open(dir.path(), "statedb236");
    EXPECT_LT(sizeOf(), full / 3);
    EXPECT_EQ(t.recordCount(), 100);
    t.setIndexName("NUMSTATE");
    std::vector<int64_t> owners = column(t, "NUMSTATE");
    EXPECT_TRUE(std::is_sorted(owners.begin(), owners.end()));
    t.setIndexName("");
    t.first();
    EXPECT_EQ(t.asInt("NUM"), 301);
    EXPECT_EQ(t.asInt("RecNum"), 300);
    t.append();
    t.setInt("NUMSTATE", 1);
    t.post();
    EXPECT_EQ(t.asInt("NUM"), 401); // numbers are never given twice
    t.close();
    t.open(dir.path(), "STATEDB236"); // the index file agrees with the new file
    t.setIndexName("NUM");
    t.last();
    EXPECT_EQ(t.asInt("NUM"), 401);
    EXPECT_FALSE(std::ifstream(dir.file("STATEDB236.dbf.pack~")).good());
}
