// The report program's core on real archive tables: command line, columns, ranges, error texts, deletions
// and what the template cells receive.
#include "devdata/layouts.h"
#include "report/columns.h"
#include "report/errors.h"
#include "report/launch.h"
#include "report/ranges.h"
#include "report/session.h"
#include "report/template_fill.h"
#include "tests/report_fixture.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace zorbel;
using mervo::test::ArchRecord;
using mervo::test::dt;
using mervo::test::ReportData;

namespace {

std::vector<std::string> split(const std::string& s) {
    std::vector<std::string> out;
    size_t b = 0;
    while (b <= s.size()) {
        size_t e = s.find(' ', b);
        if (e == std::string::npos) e = s.size();
        out.push_back(s.substr(b, e - b));
        b = e + 1;
    }
    return out;
}

} // namespace

TEST(ZorbelLaunch, CommandLines) {
    using O = LaunchCheck::Outcome;
    struct Case {
        std::vector<std::string> args;
        O outcome;
        int serial;
        ArchiveKind kind;
        bool diff;
        int type;
        int range;
    };
    const Case cases[] = {
        {split("vrelt 530 H /R 236 3"), O::Run, 530, ArchiveKind::Hourly, true, 236, 3},
        {split("vrelt 530 M x 236 0"), O::Run, 530, ArchiveKind::Monthly, false, 236, 0},
        {split("vrelt 7 D /r 225 6"), O::Run, 7, ArchiveKind::Daily, false, 225, 6},
        {split("vrelt 7 h /R 225 1"), O::Run, 7, ArchiveKind::Daily, true, 225, 1},
        {{"vrelt", "530", "H", "/R", "", ""}, O::Run, 530, ArchiveKind::Hourly, true, 0, 0},
        {{"vrelt", "530", "D"}, O::Run, 530, ArchiveKind::Daily, false, 0, 0},
        {split("vrelt 530 D /R 236 9"), O::Run, 530, ArchiveKind::Daily, true, 236, 9},
        {split("Vrelt 530 H /R 236 3"), O::EndSilently, 0, ArchiveKind::Daily, false, 0, 0},
        {{}, O::EndSilently, 0, ArchiveKind::Daily, false, 0, 0},
        {{"vrelt", "", "H", "/R", "236", "3"}, O::EndSilently, 0, ArchiveKind::Daily, false, 0, 0},
        {split("vrelt 53x H /R 236 3"), O::ConversionError, 0, ArchiveKind::Daily, false, 0, 0},
        {split("vrelt 530 H /R 2.5 3"), O::ConversionError, 0, ArchiveKind::Daily, false, 0, 0},
        {split("vrelt 530 H /R 236 three"), O::ConversionError, 0, ArchiveKind::Daily, false, 0, 0},
        {split("vrelt 99999999999 H /R 236 3"), O::ConversionError, 0, ArchiveKind::Daily, false, 0, 0},
    };
    for (const Case& c : cases) {
        LaunchCheck r = checkLaunch(c.args);
        SCOPED_TRACE(c.args.empty() ? std::string("(none)")
                                    : c.args[0] + " " + (c.args.size() > 1 ? c.args[1] : ""));
        ASSERT_EQ(r.outcome, c.outcome);
        if (c.outcome != O::Run) continue;
        EXPECT_EQ(r.args.serial, c.serial);
        EXPECT_EQ(r.args.kind, c.kind);
        EXPECT_EQ(r.args.difference, c.diff);
        EXPECT_EQ(r.args.deviceType, c.type);
        EXPECT_EQ(r.args.rangePreset, c.range);
    }
    EXPECT_EQ(checkLaunch(split("vrelt 530 H /R 236 three")).message, "'three' не является целым числом");
    EXPECT_EQ(archiveFileName(530, ArchiveKind::Hourly, 236), "ARCHDB530H236.dbf");
    EXPECT_STREQ(kindMissingText(ArchiveKind::Hourly), "Частовой архив отсутствует.");
}

TEST(ZorbelColumns, LayoutsAndSystems) {
    auto captions = [](const std::vector<GridColumn>& cols) {
        std::vector<std::string> out;
        for (const auto& c : cols)
            out.push_back(c.caption + "|" + c.field);
        return out;
    };
    EXPECT_EQ(captions(gridColumns(236, 1)),
              (std::vector<std::string>{
                  "Дата|WriteDay", "Время|WriteHour", "Наработка [ч]|WorkTime",
                  "Наработка с ошб.|WorkTimeErr1", "Тепло [Гкал]|HEnergy1", "Объем 1 [m3]|Volume1",
                  "Объем 2 [m3]|Volume2", "Объем 3 [m3]|Volume3", "Tпод. [°C]|MainTemper1",
                  "Tобр.  [°C]|MainTemper2", "Тдоп. [°C]|AddTemper1", "Давление1 [МПа]|Pressure1",
                  "Давление2 [МПа]|Pressure2", "Ошибка системы1|SysErr1", "Ошибка устройства|DevErr"}));
    EXPECT_EQ(captions(gridColumns(229, 2)),
              (std::vector<std::string>{
                  "Дата|WriteDay", "Время|WriteHour", "Наработка [ч]|WorkTime",
                  "Наработка с ошб.|WorkTimeErr2", "Тепло [Гкал]|HEnergy2", "Объем 4 [m3]|Volume4",
                  "Объем 5 [m3]|Volume5", "Объем 6 [m3]|Volume6", "Tпод. [°C]|MainTemper3",
                  "Tобр.  [°C]|MainTemper4", "Тдоп. [°C]|AddTemper2", "Давление3 [МПа]|Pressure3",
                  "Давление4 [МПа]|Pressure4", "Ошибка системы2|SysErr2", "Ошибка устройства|DevErr"}));
    auto k1 = captions(gridColumns(225, 1));
    EXPECT_EQ(k1, captions(gridColumns(238, 2)));
    EXPECT_EQ(k1.size(), 16u);
    EXPECT_EQ(k1[11], "Объем ГВС при низкой температуре|ErrHVolume");
    EXPECT_EQ(k1[15], "Время действия ошибки|ErrTime");
    EXPECT_TRUE(gridColumns(231, 1).empty());
    EXPECT_TRUE(gridColumns(128, 1).empty());
    // "Tпод." and "Tобр." begin with a Latin T
    EXPECT_EQ(gridColumns(236, 1)[8].caption.substr(0, 1), "T");

    // every row of both layouts names a field of the archive tables it serves (or is an empty row), and
    // the layout-0 table holds every field of the 228-230 archive exactly once
    for (int type : {225, 229, 236}) {
        const auto* layout = devdata::archiveTableLayout(type);
        ASSERT_NE(layout, nullptr);
        std::set<std::string> names;
        for (const auto& f : layout->fields)
            names.insert(f.name);
        for (const TFieldGrid& r : fieldGrid(gridLayoutOf(type))) {
            if (*r.field) {
                EXPECT_TRUE(names.count(r.field)) << type << " " << r.field;
            } else {
                EXPECT_EQ(r.mask, kNeverShown);
            }
        }
    }
    std::set<std::string> grid0;
    for (const TFieldGrid& r : fieldGrid(0))
        grid0.insert(r.field);
    EXPECT_EQ(grid0.size(), 53u);
    for (const auto& f : devdata::archiveTableLayout(229)->fields)
        EXPECT_TRUE(grid0.count(f.name)) << f.name;
}

TEST(ZorbelRanges, Normaliser) {
    struct Case {
        int y, m, d;
        Ymd out;
    };
    const Case cases[] = {
        {2024, 3, 3 - 7, {2024, 2, 25}}, {2024, 3, 0, {2024, 2, 29}},  {2023, 3, 0, {2023, 2, 28}},
        {2024, 0, 15, {2023, 12, 15}},   {2024, 13, 1, {2025, 1, 1}},  {2023, 2, 35, {2023, 3, 7}},
        {2100, 2, 29, {2100, 3, 1}},     {2000, 2, 29, {2000, 2, 29}}, {2024, 1, -31, {2023, 11, 30}},
        {2024, -11, 1, {2023, 1, 1}},    {2023, 12, 32, {2024, 1, 1}}, {2024, 12, 1 - 366, {2023, 12, 1}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(normalizeDate(c.y, c.m, c.d), c.out) << c.y << "-" << c.m << "-" << c.d;
}

TEST(ZorbelRanges, Presets) {
    using C = RangeChange;
    struct Case {
        int item;
        C change;
        DateRange in;
        Ymd today;
        DateRange out;
    };
    const DateRange some{{2023, 2, 28}, {2023, 2, 28}};
    const Case cases[] = {
        {0, C::List, some, {2024, 3, 15}, {{2024, 3, 15}, {2024, 3, 15}}},
        {0, C::To, {{2024, 1, 1}, {2024, 1, 9}}, {2024, 3, 15}, {{2024, 1, 1}, {2024, 1, 1}}},
        {1, C::List, some, {2024, 3, 3}, {{2024, 2, 25}, {2024, 3, 3}}},
        {1, C::From, {{2023, 2, 28}, {2000, 1, 1}}, {2024, 3, 3}, {{2023, 2, 28}, {2023, 3, 7}}},
        {1, C::To, {{2000, 1, 1}, {2023, 3, 7}}, {2024, 3, 3}, {{2023, 2, 28}, {2023, 3, 7}}},
        {2, C::List, some, {2024, 1, 5}, {{2023, 12, 26}, {2024, 1, 5}}},
        {2, C::To, {{2000, 1, 1}, {2024, 1, 5}}, {2024, 3, 3}, {{2023, 12, 26}, {2024, 1, 5}}},
        {3, C::List, some, {2024, 3, 15}, {{2024, 3, 1}, {2024, 3, 15}}},
        {3, C::From, {{2023, 1, 31}, {2000, 1, 1}}, {2024, 3, 15}, {{2023, 1, 31}, {2023, 3, 3}}},
        {3, C::To, {{2000, 1, 1}, {2024, 3, 31}}, {2024, 3, 15}, {{2024, 3, 2}, {2024, 3, 31}}},
        {4, C::List, some, {2024, 3, 15}, {{2024, 2, 1}, {2024, 2, 29}}},
        {4, C::List, some, {2024, 1, 10}, {{2023, 12, 1}, {2023, 12, 31}}},
        {4, C::From, {{2024, 2, 1}, {2000, 1, 1}}, {2024, 3, 15}, {{2024, 2, 1}, {2024, 3, 1}}},
        {5, C::List, some, {2024, 3, 15}, some},
        {6, C::List, some, {2024, 3, 15}, some},
        {9, C::List, some, {2024, 3, 15}, some},
        {-1, C::From, some, {2024, 3, 15}, some},
    };
    for (const Case& c : cases) {
        DateRange r = applyRangeChange(c.item, c.change, c.in, c.today);
        EXPECT_EQ(r.from, c.out.from) << c.item << " " << int(c.change);
        EXPECT_EQ(r.to, c.out.to) << c.item << " " << int(c.change);
    }
}

TEST(ZorbelErrors, Texts) {
    EXPECT_EQ(
        explainErrors(236, 0, 5, 0),
        "\n\rОшибка системы 1 - E5"
        "\n\r\tE1 Отсутствие расхода по счетчику воды, используемому для расчета тепловой энергии свыше 48 "
        "часов при разнице температур больше 20 ?С. "
        "\n\r\tE4 Температура первого термометра ниже, чем температура второго.  ");
    EXPECT_EQ(explainErrors(238, 0, 64, 0), "\n\rОшибка  - E64\n\r\tE64 Ошибка памяти EEPROM");
    EXPECT_EQ(
        explainErrors(229, 3, 0, 128),
        "\n\rОшибка устройства - E3\n\r\tE1 Ошибка АЦП.\n\r\tE2 Ошибка записи архива."
        "\n\rОшибка системы 2 - E128\n\r\tE128 Обратное движение теплоносителя в обратном трубопроводе  ");
    EXPECT_EQ(explainErrors(236, 0, 0, 0), "Ошибок нет");
    // a one-system device ignores the bytes it does not have
    EXPECT_EQ(explainErrors(225, 7, 0, 9), "Ошибок нет");
    EXPECT_EQ(explainErrors(231, 1, 1, 1), "Ошибок нет");
}

class ZorbelSession : public ::testing::Test {
protected:
    void SetUp() override {
        num = data.addObject(236, 530, "Ленина 5");
        std::vector<ArchRecord> hours;
        // hourly records from 27.02.2023 22:00 to 08.03.2023 02:00, and one empty device slot
        for (dbf::DateTime t = dt(2023, 2, 27, 22); t <= dt(2023, 3, 8, 2); t = t.addMs(3'600'000))
            hours.push_back({t, {{"HEnergy1", 1.0}}});
        hours.push_back({dt(1999, 12, 31), {}});
        data.addArchive(530, 'H', 236, num, hours);
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 2, 20), 20));
    }
    ReportData data;
    int num = 0;
};

TEST_F(ZorbelSession, OpensTheArchiveAndItsObject) {
    ArchiveSession s(data.dir());
    EXPECT_FALSE(s.openArchive(530, ArchiveKind::Monthly, 236));
    EXPECT_FALSE(s.openArchive(531, ArchiveKind::Hourly, 236));
    ASSERT_TRUE(s.openArchive(530, ArchiveKind::Hourly, 236));
    EXPECT_EQ(s.openObject(), std::nullopt);
    EXPECT_EQ(s.objectNum(), num);
    EXPECT_EQ(s.objects().asString("ADDRES"), "Ленина 5");
    EXPECT_FALSE(s.openParams()); // no PARSDB
    data.addParams(num + 1);
    EXPECT_FALSE(s.openParams()); // only another object's row
    data.addParams(num);
    EXPECT_TRUE(s.openParams());
    EXPECT_EQ(s.params().asInt("DayOfReport"), 25);

    // the device type comes from the object row, not from the command line
    dbf::Table m;
    m.open(data.dir(), "MAINDB.dbf");
    m.first();
    m.edit();
    m.setInt("DEVTYPE", 237);
    m.post();
    ArchiveSession s2(data.dir());
    ASSERT_TRUE(s2.openArchive(530, ArchiveKind::Hourly, 236));
    EXPECT_EQ(s2.deviceType(), 236);
    EXPECT_EQ(s2.openObject(), std::nullopt);
    EXPECT_EQ(s2.deviceType(), 237);
}

TEST_F(ZorbelSession, MissingObjectsTableOrRow) {
    ReportData other;
    other.addObject(236, 1, "x"); // NUM 1
    other.addArchive(530, 'D', 236, 42, ReportData::days(dt(2023, 1, 1), 2));
    ArchiveSession s(other.dir());
    ASSERT_TRUE(s.openArchive(530, ArchiveKind::Daily, 236));
    EXPECT_EQ(s.openObject(), "Нет ни одной соответствующей записи в таблице записи в таблице " +
                                  other.dir() + "/MAINDB.dbf ");
    std::filesystem::remove(other.file("MAINDB.dbf"));
    ArchiveSession s2(other.dir());
    ASSERT_TRUE(s2.openArchive(530, ArchiveKind::Daily, 236));
    EXPECT_EQ(s2.openObject(), "Файл не найден " + other.dir() + "/MAINDB.dbf");
}

TEST_F(ZorbelSession, RangeRestriction) {
    ArchiveSession s(data.dir());
    ASSERT_TRUE(s.openArchive(530, ArchiveKind::Hourly, 236));
    ASSERT_EQ(s.openObject(), std::nullopt);
    // "Неделя" with "Диапазон от" 28.02.2023: up to 07.03.2023, rows from 28.02 00:00 to 08.03 00:00
    s.restrict(dt(2023, 2, 28, 15), dt(2023, 3, 7, 9));
    dbf::Table& a = s.archive();
    EXPECT_EQ(a.recordCount(), 8 * 24 + 1);
    a.first();
    EXPECT_EQ(a.asDateTime("WriteDay"), dt(2023, 2, 28));
    a.last();
    EXPECT_EQ(a.asDateTime("WriteDay"), dt(2023, 3, 8));
    s.showAll();
    EXPECT_EQ(a.recordCount(), 2 + 8 * 24 + 3 + 1);
    a.first();
    EXPECT_EQ(a.asDateTime("WriteDay"), dt(1999, 12, 31)); // ordered by WriteDay, the empty slot first

    EXPECT_TRUE(s.switchKind(ArchiveKind::Daily));
    s.restrict(dt(2023, 3, 1), dt(2023, 3, 3));
    EXPECT_EQ(s.archive().recordCount(), 4); // the next day's 00:00 record belongs to the range
    EXPECT_FALSE(s.switchKind(ArchiveKind::Monthly));
    EXPECT_EQ(s.kind(), ArchiveKind::Daily);
    EXPECT_EQ(s.archiveFile(), "ARCHDB530D236.dbf");
}

TEST_F(ZorbelSession, Deletions) {
    ArchiveSession s(data.dir());
    ASSERT_TRUE(s.openArchive(530, ArchiveKind::Hourly, 236));
    ASSERT_EQ(s.openObject(), std::nullopt);
    s.showAll();
    int all = s.archive().recordCount();
    EXPECT_EQ(s.countEmptyRecords(), 1);
    EXPECT_EQ(s.deleteEmptyRecords(), 1);
    EXPECT_EQ(s.archive().recordCount(), all - 1);
    EXPECT_EQ(s.countEmptyRecords(), 0);
    EXPECT_EQ(s.deleteEmptyRecords(), 0);

    // from the record of 05.03.2023 00:00 on, whatever range is shown
    s.restrict(dt(2023, 3, 1), dt(2023, 3, 1));
    dbf::Table probe;
    probe.open(data.dir(), "ARCHDB530H236.dbf");
    ASSERT_TRUE(probe.locate("WriteDay", dt(2023, 3, 5)));
    int64_t from = probe.asInt("NUM");
    int expected = 0;
    for (probe.first(); !probe.eof(); probe.next())
        if (probe.asInt("NUM") >= from) ++expected;
    EXPECT_EQ(s.deleteFromNum(from), expected);
    EXPECT_EQ(s.archive().recordCount(), 25); // the range stays: 01.03 00:00 to 02.03 00:00
    s.showAll();
    s.archive().last();
    EXPECT_EQ(s.archive().asDateTime("WriteDay"), dt(2023, 3, 4, 23));

    s.deleteArchive();
    EXPECT_FALSE(s.archive().isOpen());
    EXPECT_FALSE(std::filesystem::exists(data.file("ARCHDB530H236.dbf")));
    EXPECT_FALSE(std::filesystem::exists(data.file("ARCHDB530H236.MDX")));
    EXPECT_TRUE(std::filesystem::exists(data.file("ARCHDB530D236.dbf")));
    s.showAll(); // nothing open: no error
}

TEST(ZorbelTemplate, SystemTag) {
    EXPECT_EQ(replaceSystemTag("MainTemper<1+2T>", 0), "MainTemper1");
    EXPECT_EQ(replaceSystemTag("MainTemper<1+2T>", 1), "MainTemper3");
    EXPECT_EQ(replaceSystemTag("HEnergy<1+1T>", 1), "HEnergy2");
    EXPECT_EQ(replaceSystemTag("a<b <1+1T> <1+1T>", 1), "a<b 2 <1+1T>");
    EXPECT_EQ(replaceSystemTag("WriteDay", 1), "WriteDay");
    EXPECT_EQ(replaceSystemTag("x<1+2", 1), "x<1+2");
    EXPECT_THROW(replaceSystemTag("MainTemper<x+2T>", 0), TagError);
    EXPECT_THROW(replaceSystemTag("MainTemper<1+zT>", 0), TagError);
}

TEST(ZorbelTemplate, SpecialNamesAndTitles) {
    ReportContext ctx;
    ctx.deviceType = 225;
    ctx.fromDate = "01.03.2024";
    ctx.toDate = "15.03.2024";
    ctx.system = 1;
    EXPECT_EQ(specialValue("DEVTYPESTRING", ctx), "Vexa-1 K1(2)(M)");
    EXPECT_EQ(specialValue("RepFirstDate", ctx), "01.03.2024");
    EXPECT_EQ(specialValue("RepLastDate", ctx), "15.03.2024");
    EXPECT_EQ(specialValue("RepSystemNum", ctx), "Система 2");
    EXPECT_EQ(specialValue("VersInfo", ctx), "4.11");
    EXPECT_EQ(specialValue("versinfo", ctx), std::nullopt);
    ctx.deviceType = 231;
    EXPECT_EQ(specialValue("DEVTYPESTRING", ctx), std::nullopt);
    EXPECT_EQ(deviceModelName(236), "Vexa-1 П140 М new");
    EXPECT_EQ(reportTitle(ArchiveKind::Daily), "Суточный протокол учета тепловой энергии воды");
    EXPECT_EQ(reportTitle(ArchiveKind::Monthly), "Часовой протокол учета тепловой энергии воды");
    EXPECT_TRUE(isDifferenceField("henergy1"));
    EXPECT_TRUE(isDifferenceField("Weight6"));
    EXPECT_FALSE(isDifferenceField("MainTemper1"));
}

TEST(ZorbelTemplate, ArchLineBlockWithAndWithoutDifference) {
    ReportData data;
    int num = data.addObject(229, 77, "Мира 1");
    std::vector<ArchRecord> recs = {
        {dt(2024, 3, 1), {{"HEnergy1", 100}, {"HEnergy2", 5}, {"MainTemper1", 70}, {"MainTemper3", 60}}},
        {dt(2024, 3, 2), {{"HEnergy1", 110}, {"HEnergy2", 7}, {"MainTemper1", 71}, {"MainTemper3", 61}}},
        {dt(2024, 3, 3), {{"HEnergy1", 125}, {"HEnergy2", 12}, {"MainTemper1", 72}, {"MainTemper3", 62}}},
    };
    data.addArchive(77, 'D', 229, num, recs);
    ArchiveSession s(data.dir());
    ASSERT_TRUE(s.openArchive(77, ArchiveKind::Daily, 229));
    s.showAll();
    ReportContext ctx;
    ctx.deviceType = 229;
    std::vector<std::string> line;
    for (const char* c : {"WriteDay", "HEnergy<1+1T>", "MainTemper<1+2T>", "VersInfo", "итого"})
        line.push_back(replaceSystemTag(c, 0));

    auto block = archLineBlock(s.archive(), line, ctx);
    ASSERT_EQ(block.size(), 3u);
    EXPECT_EQ(block[0][0], CellValue::date(dt(2024, 3, 1).toOleDays(), kDayFormat));
    EXPECT_EQ(block[0][1], CellValue::num(100));
    EXPECT_EQ(block[2][1], CellValue::num(125));
    EXPECT_EQ(block[1][2], CellValue::num(71));
    EXPECT_EQ(block[1][3], CellValue::str("4.11"));
    EXPECT_EQ(block[1][4], CellValue::str("итого"));

    ctx.difference = true;
    block = archLineBlock(s.archive(), line, ctx);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0][0], CellValue::date(dt(2024, 3, 1).toOleDays(), kDayFormat));
    EXPECT_EQ(block[1][0], CellValue::date(dt(2024, 3, 2).toOleDays(), kDayFormat));
    EXPECT_EQ(block[0][1], CellValue::num(10));
    EXPECT_EQ(block[1][1], CellValue::num(15));
    EXPECT_EQ(block[0][2], CellValue::num(71)); // not a counter: the next record's value
    EXPECT_EQ(block[1][2], CellValue::num(72));

    // system 2 names the second system's fields
    ctx.system = 1;
    line.clear();
    for (const char* c : {"WriteDay", "HEnergy<1+1T>", "MainTemper<1+2T>"})
        line.push_back(replaceSystemTag(c, 1));
    EXPECT_EQ(line[1], "HEnergy2");
    block = archLineBlock(s.archive(), line, ctx);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0][1], CellValue::num(2));
    EXPECT_EQ(block[1][1], CellValue::num(5));
    EXPECT_EQ(block[1][2], CellValue::num(62));

    // a single record with "Разность": no row at all
    s.restrict(dt(2024, 3, 3), dt(2024, 3, 3));
    EXPECT_TRUE(archLineBlock(s.archive(), line, ctx).empty());
}

TEST(ZorbelTemplate, DifferenceOfEveryCounterColumn) {
    // a template line wider than 56 cells still gets differences in its last columns
    std::vector<std::string> entries(60, "x");
    entries[59] = "Volume1";
    entries[0] = "WriteDay";
    std::vector<std::vector<CellValue>> rows(2, std::vector<CellValue>(60, CellValue::str("x")));
    rows[0][59] = CellValue::num(3);
    rows[1][59] = CellValue::num(8.5);
    rows[0][0] = CellValue::num(1);
    rows[1][0] = CellValue::num(2);
    applyDifference(rows, entries);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][59], CellValue::num(5.5));
    EXPECT_EQ(rows[0][0], CellValue::num(1));
    // an empty counter has no difference
    std::vector<std::vector<CellValue>> gaps = {{CellValue::num(1)}, {CellValue{}}};
    applyDifference(gaps, {"HEnergy1"});
    EXPECT_EQ(gaps[0][0], CellValue{});
}
