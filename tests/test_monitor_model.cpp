// The object monitor without widgets: button looks from MAINDB rows, the layout, the top bar's filters and
// search, the ordering and the monitor tick, on real objects tables in temporary folders.
#include "shell/monitor_model.h"
#include "tests/monitor_fixture.h"
#include "tests/tmpdir.h"

#include <gtest/gtest.h>

using namespace shell;
using mervo::test::makeObjectsTable;
using mervo::test::MonitorObject;
using mervo::test::TempDir;

namespace {

std::vector<int> nums(const std::vector<ObjectRow>& rows) {
    std::vector<int> out;
    for (const ObjectRow& r : rows)
        out.push_back(r.num);
    return out;
}

std::vector<std::string> addresses(const std::vector<ObjectRow>& rows) {
    std::vector<std::string> out;
    for (const ObjectRow& r : rows)
        out.push_back(r.address);
    return out;
}

ObjectRow rowIn(const std::string& group) {
    ObjectRow r;
    r.group = group;
    return r;
}

} // namespace

// ================================================================ looks

struct LookCase {
    const char* what;
    MonitorObject object;
    Rgb colour;
    const char* stateText;
    bool deviceLamp, systemLamp;
    const char* hintTail; // after the address
};

TEST(MonitorLook, ColourStateTextLampsAndHintFromTheRow) {
    const LookCase cases[] = {
        {"AUTOCON off hides lamps and state whatever they hold",
         {530, "Ленина 5", "Нет связи", 7, false},
         kSilver,
         "Опрос отключен",
         false,
         false,
         "\n\rОшибки системы 1\n\rОшибки системы 2\n\rОшибки устройства\n\rАвтоопрос объекта выключен"},
        {"no link", {531, "Мира 1", "Нет связи", 0, true}, kYellow, "Нет связи", false, false, ""},
        {"ERRCODE 5",
         {532, "Мира 2", "Норма", 5, true},
         kWhite,
         "Норма",
         true,
         true,
         "\n\rОшибки системы 1\n\rОшибки устройства"},
        {"ERRCODE 2",
         {533, "Мира 3", "Норма", 2, true},
         kWhite,
         "Норма",
         false,
         true,
         "\n\rОшибки системы 2"},
        {"normal", {534, "Мира 4", "Норма", 0, true}, kWhite, "Норма", false, false, ""},
        {"never polled", {535, "Мира 5", "---", 0, true}, kWhite, "---", false, false, ""},
        {"a state text is shown as it is",
         {536, "Мира 6", "Опрос выкл.", 0, true},
         kWhite,
         "Опрос выкл.",
         false,
         false,
         ""},
        {"only the low byte of ERRCODE counts",
         {537, "Мира 7", "Норма", 0x100 | 0x200, true},
         kWhite,
         "Норма",
         false,
         false,
         ""},
    };
    TempDir tmp;
    dbf::Table t;
    std::vector<MonitorObject> objects;
    for (const LookCase& c : cases)
        objects.push_back(c.object);
    makeObjectsTable(t, tmp.path(), objects);
    for (const LookCase& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(t.locate("SERIALNUM", dbf::Value(int64_t(c.object.serial))));
        ButtonLook look = buttonLook(readObjectRow(t));
        EXPECT_EQ(look.colour, c.colour);
        EXPECT_EQ(look.stateText, c.stateText);
        EXPECT_EQ(look.deviceErrorLamp, c.deviceLamp);
        EXPECT_EQ(look.systemErrorLamp, c.systemLamp);
        EXPECT_EQ(look.hint, c.object.address + c.hintTail);
        EXPECT_EQ(look.addrText, c.object.address);
        EXPECT_EQ(look.numText, "№ " + std::to_string(c.object.serial));
    }
}

TEST(MonitorLook, ConnectionLabelIsDateSlashTimeEvenWhenEmpty) {
    TempDir tmp;
    dbf::Table t;
    makeObjectsTable(t, tmp.path(),
                     {{530, "Ленина 5", "Норма", 0, true, "", "05.03.2026", "12:30:15"}, {531, "Мира 1"}});
    EXPECT_EQ(buttonLook(readObjectRow(t)).clockText, "05.03.2026/12:30:15");
    t.next();
    EXPECT_EQ(buttonLook(readObjectRow(t)).clockText, "/");
}

// ================================================================ layout

TEST(MonitorLayout, ColumnsFollowTheWidthAndNeverDropBelowOne) {
    EXPECT_EQ(monitorColumns(0), 1);
    EXPECT_EQ(monitorColumns(100), 1);
    EXPECT_EQ(monitorColumns(221), 1);
    EXPECT_EQ(monitorColumns(222), 1);
    EXPECT_EQ(monitorColumns(443), 1);
    EXPECT_EQ(monitorColumns(444), 2);
    EXPECT_EQ(monitorColumns(700), 3);
}

TEST(MonitorLayout, UngroupedRowsFillColumnsLeftToRight) {
    std::vector<ObjectRow> rows(7, rowIn("some group"));
    MonitorLayout l = layoutMonitor(rows, false, 700, 13);
    ASSERT_EQ(l.buttons.size(), 7u);
    EXPECT_TRUE(l.headers.empty());
    const int expected[7][2] = {{10, 10}, {232, 10}, {454, 10}, {10, 62}, {232, 62}, {454, 62}, {10, 114}};
    for (int k = 0; k < 7; ++k) {
        EXPECT_EQ(l.buttons[size_t(k)].row, k);
        EXPECT_EQ(l.buttons[size_t(k)].left, expected[k][0]) << k;
        EXPECT_EQ(l.buttons[size_t(k)].top, expected[k][1]) << k;
    }
    EXPECT_EQ(l.width, 454 + 217 + 5);
    EXPECT_EQ(l.height, 114 + 49 + 5);
}

TEST(MonitorLayout, WindowNarrowerThanOneButtonStillShowsOneColumn) {
    std::vector<ObjectRow> rows(3);
    MonitorLayout l = layoutMonitor(rows, false, 120, 13);
    ASSERT_EQ(l.buttons.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(l.buttons[size_t(k)].left, 10);
        EXPECT_EQ(l.buttons[size_t(k)].top, 10 + 52 * k);
    }
}

TEST(MonitorLayout, GroupedObjectsWithoutGroupComeFirstWithoutHeaderAndEachGroupStartsANewRow) {
    std::vector<ObjectRow> rows{rowIn(""),  rowIn(""),  rowIn("A"), rowIn("A"),
                                rowIn("A"), rowIn("A"), rowIn("B")};
    MonitorLayout l = layoutMonitor(rows, true, 700, 13);
    ASSERT_EQ(l.headers.size(), 2u);
    EXPECT_EQ(l.headers[0].text, "A");
    EXPECT_EQ(l.headers[1].text, "B");
    // the two objects without group: one row, no header
    EXPECT_EQ(l.buttons[0].left, 10);
    EXPECT_EQ(l.buttons[0].top, 10);
    EXPECT_EQ(l.buttons[1].left, 232);
    // header A below that row: 5 + 52
    EXPECT_EQ(l.headers[0].left, 5);
    EXPECT_EQ(l.headers[0].top, 57);
    // group A starts in the first column below its header (57 + 13 + 5 + 5), four objects in two rows
    EXPECT_EQ(l.buttons[2].left, 10);
    EXPECT_EQ(l.buttons[2].top, 80);
    EXPECT_EQ(l.buttons[4].left, 454);
    EXPECT_EQ(l.buttons[5].left, 10);
    EXPECT_EQ(l.buttons[5].top, 132);
    // header B below the second row of A: the running top moves by whole rows (H + 3), so the header reaches
    // 2 pixels into the bevel of the row above, as the buttons are placed 5 pixels below the running top
    EXPECT_EQ(l.headers[1].top, 75 + 2 * 52);
    EXPECT_EQ(l.headers[1].top, l.buttons[5].top + kButtonHeight - 2);
    EXPECT_EQ(l.buttons[6].left, 10);
    EXPECT_EQ(l.buttons[6].top, l.headers[1].top + 13 + 10);
}

TEST(MonitorLayout, GroupedWithAGroupFirstStartsWithItsHeader) {
    std::vector<ObjectRow> rows{rowIn("A"), rowIn("A")};
    MonitorLayout l = layoutMonitor(rows, true, 120, 20);
    ASSERT_EQ(l.headers.size(), 1u);
    EXPECT_EQ(l.headers[0].top, 5);
    EXPECT_EQ(l.buttons[0].top, 5 + 20 + 10);
    EXPECT_EQ(l.buttons[1].top, 5 + 20 + 10 + 52);
}

// ================================================================ model on MAINDB

class MonitorModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        makeObjectsTable(t, tmp.path(),
                         {
                             {600, "Ленина 5", "Норма", 0, true, "Север"},      // 1
                             {530, "Мира 1", "Нет связи", 0, true, "Юг"},       // 2
                             {710, "Ленина 12", "Нет связи", 0, true, "Север"}, // 3
                             {530, "Садовая 3", "---", 0, true, ""},            // 4
                             {420, "ленина 7", "Норма", 0, false, "Юг"},        // 5
                             {800, "Аптечная 2", "Норма", 0, true, "Восток"},   // 6
                         });
    }
    TempDir tmp;
    dbf::Table t;
};

TEST(MonitorModelEmpty, EmptyTableGivesNoRowsAndOnlyAllObjects) {
    TempDir tmp;
    dbf::Table t;
    makeObjectsTable(t, tmp.path(), {});
    MonitorModel m(t);
    EXPECT_TRUE(m.readRows().empty());
    EXPECT_EQ(m.groups(), std::vector<std::string>{"Все объекты"});
    EXPECT_EQ(m.groupIndex(), 0);
    EXPECT_EQ(m.selectionCount(), 0);
}

TEST_F(MonitorModelTest, GroupListIsRefilledInTableOrderWhileUnfiltered) {
    MonitorModel m(t);
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(m.groups(), (std::vector<std::string>{"Все объекты", "Север", "Юг", "Восток"}));

    t.setIndexFieldNames("ADDRES");
    m.readRows();
    EXPECT_EQ(m.groups(), (std::vector<std::string>{"Все объекты", "Восток", "Север", "Юг"}));

    // filtered: the list stays as it is
    m.setGroupIndex(2); // "Север"
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{3, 1}));
    EXPECT_EQ(m.groups(), (std::vector<std::string>{"Все объекты", "Восток", "Север", "Юг"}));
    EXPECT_EQ(m.groupIndex(), 2);
}

TEST_F(MonitorModelTest, ReadingRowsLeavesTheMainTableWhereItWas) {
    MonitorModel m(t);
    t.setIndexFieldNames("ADDRES");
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(3))));
    EXPECT_EQ(addresses(m.readRows()), (std::vector<std::string>{"Аптечная 2", "Ленина 12", "Ленина 5",
                                                                 "Мира 1", "Садовая 3", "ленина 7"}));
    EXPECT_EQ(t.asInt("NUM"), 3);
    EXPECT_EQ(t.indexFieldNames(), "ADDRES");
}

struct FilterCase {
    int group, state;
    const char* filter;
    bool filtered;
    std::vector<int> nums;
};

TEST_F(MonitorModelTest, GroupAndStateFiltersCompose) {
    const FilterCase cases[] = {
        {1, 0, "DESKRIPTION='Север'", true, {1, 3}},
        {0, 2, "STATE='Нет связи'", true, {2, 3}},
        {1, 2, "DESKRIPTION='Север' AND STATE='Нет связи'", true, {3}},
        {2, 1, "DESKRIPTION='Юг' AND STATE='Норма'", true, {5}},
        {3, 2, "DESKRIPTION='Восток' AND STATE='Нет связи'", true, {}},
        {0, 0, "", false, {1, 2, 3, 4, 5, 6}},
    };
    MonitorModel m(t);
    m.readRows();
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.filter);
        m.RebuildMonitor = false;
        m.setGroupIndex(c.group);
        m.setStateIndex(c.state);
        EXPECT_EQ(t.filter(), c.filter);
        EXPECT_EQ(t.filtered(), c.filtered);
        EXPECT_EQ(nums(m.readRows()), c.nums);
        EXPECT_EQ(m.selectionCount(), int(c.nums.size()));
        EXPECT_TRUE(m.RebuildMonitor);
    }
}

TEST_F(MonitorModelTest, SearchByAddressIsAPrefixWithCaseAndByNumberIsExact) {
    MonitorModel m(t);
    m.readRows();
    m.setSearchText("Лен");
    EXPECT_EQ(t.filter(), "ADDRES='Лен*'");
    EXPECT_TRUE(t.filtered());
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{1, 3}));
    EXPECT_TRUE(m.RebuildMonitor);

    m.setSearchText("Ленина 1");
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{3}));

    m.RebuildMonitor = false;
    m.setSearchKind(1);
    EXPECT_EQ(m.searchText(), "");
    EXPECT_FALSE(t.filtered());
    EXPECT_TRUE(m.RebuildMonitor);

    m.setSearchText("530");
    EXPECT_EQ(t.filter(), "SERIALNUM='530'");
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{2, 4}));
    EXPECT_EQ(m.selectionCount(), 2);

    m.setSearchText("");
    EXPECT_FALSE(t.filtered());
    EXPECT_EQ(m.selectionCount(), 6);
}

TEST(MonitorSearch, AnyTypedTextSearchesAsTypedWithoutAFilterError) {
    TempDir tmp;
    dbf::Table t;
    makeObjectsTable(t, tmp.path(),
                     {
                         {530, "Д'Артаньяна 4"},    // 1
                         {531, "Д'Артаньяна 40"},   // 2
                         {532, "Мира 1"},           // 3
                         {533, "Мирная 3"},         // 4
                         {534, "*Склад*"},          // 5
                         {535, "\"Заря\" корп. 2"}, // 6
                         {536, "Lenina 5"},         // 7
                         {537, "?"},                // 8
                         {538, "Мира"},             // 9
                         {539, "ДАртаньяна 4"},     // 10
                         {540, "Д'Артаньяна'' 1"},  // 11
                     });
    struct Case {
        int kind;
        const char* text;
        std::vector<int> nums;
    } cases[] = {
        {0, "Д'Артаньян", {1, 2, 11}},
        {0, "Д'Артаньяна 4", {1, 2}},
        {0, "Д'Артаньяна''", {11}},
        {0, "'", {}},
        {0, "\"Заря\"", {6}},
        {0, "\"", {6}},
        {0, "*", {5}},
        {0, "**", {}},
        {0, "*Склад*", {5}},
        {0, "Мира", {3, 9}},
        {0, "Мира ", {3}}, // the blank typed counts: not "Мирная", not "Мира" itself
        {0, "Мир", {3, 4, 9}},
        {0, "Lenina", {7}},
        {0, "lenina", {}}, // case counts
        {0, "Ω", {}},      // no such character in a table's text
        {0, "Мира Ω", {}},
        {0, "", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {1, "534", {5}},
        {1, " 534", {5}},
        {1, "53'4", {}},
        {1, "Д'Артаньян", {}},
        {1, "*", {}},
        {1, "Ω", {}},
        {1, "", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
    };
    MonitorModel m(t);
    m.readRows();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.kind) + " \"" + c.text + "\"");
        if (m.searchKind() != c.kind) m.setSearchKind(c.kind);
        // typed letter by letter, as the search field reports it: no step may fail
        std::string typed;
        for (size_t i = 0; i < std::string(c.text).size(); ++i) {
            typed += c.text[i];
            // whole characters only: a UTF-8 lead byte waits for the rest of its character
            if (i + 1 < std::string(c.text).size() && (uint8_t(c.text[i + 1]) & 0xC0) == 0x80) continue;
            ASSERT_NO_THROW(m.setSearchText(typed)) << typed;
        }
        ASSERT_NO_THROW(m.setSearchText(c.text));
        EXPECT_EQ(t.filtered(), *c.text != '\0');
        EXPECT_EQ(nums(m.readRows()), c.nums);
        EXPECT_EQ(m.selectionCount(), int(c.nums.size()));
    }
}

TEST(MonitorSearch, GroupNamesWithQuotesAndStarsFilterToThatGroup) {
    TempDir tmp;
    dbf::Table t;
    makeObjectsTable(t, tmp.path(),
                     {
                         {1, "Мира 1", "Норма", 0, true, "ТСЖ \"Д'Артаньян\""},
                         {2, "Мира 2", "Норма", 0, true, "ТСЖ *"},
                         {3, "Мира 3", "Норма", 0, true, "ТСЖ **"},
                     });
    MonitorModel m(t);
    m.readRows();
    ASSERT_EQ(m.groups().size(), 4u);
    for (int g = 1; g <= 3; ++g) {
        SCOPED_TRACE(m.groups()[size_t(g)]);
        ASSERT_NO_THROW(m.setGroupIndex(g));
        EXPECT_EQ(nums(m.readRows()), std::vector<int>{g});
    }
}

TEST_F(MonitorModelTest, TheLastChangeOfFilterOrSearchWins) {
    MonitorModel m(t);
    m.readRows();
    m.setSearchText("Ленина");
    // a group chosen afterwards replaces the search
    m.setGroupIndex(2); // "Юг"
    EXPECT_EQ(t.filter(), "DESKRIPTION='Юг'");
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{2, 5}));
    // a search afterwards replaces the group
    m.setSearchText("Мир");
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{2}));
    // both lists back at their first entries with a search text: no filter at all
    m.setGroupIndex(0);
    EXPECT_FALSE(t.filtered());
    EXPECT_EQ(t.filter(), "");
    EXPECT_EQ(m.selectionCount(), 6);
}

TEST_F(MonitorModelTest, OrderingByEachField) {
    MonitorModel m(t);
    struct {
        Ordering o;
        std::vector<int> nums;
    } cases[] = {
        {Ordering::Serial, {5, 2, 4, 1, 3, 6}},
        {Ordering::Address, {6, 3, 1, 2, 4, 5}},
        {Ordering::Num, {1, 2, 3, 4, 5, 6}},
        {Ordering::Group, {4, 6, 1, 3, 2, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(orderingField(c.o));
        m.RebuildMonitor = false;
        m.setOrdering(c.o);
        EXPECT_EQ(t.indexFieldNames(), orderingField(c.o));
        EXPECT_EQ(m.grouped(), c.o == Ordering::Group);
        EXPECT_EQ(nums(m.readRows()), c.nums);
        EXPECT_TRUE(m.RebuildMonitor);
    }
}

TEST_F(MonitorModelTest, OrderingByGroupAddsTheIndexDeskrOnceKeepingFilterAndCurrentObject) {
    MonitorModel m(t);
    m.readRows();
    m.setStateIndex(1); // "Норма": 1, 5, 6
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(5))));
    ASSERT_FALSE(t.hasIndexOn("DESKRIPTION"));

    m.setOrdering(Ordering::Group);
    EXPECT_TRUE(t.isOpen());
    EXPECT_TRUE(t.hasIndexOn("DESKRIPTION"));
    EXPECT_EQ(t.filter(), "STATE='Норма'");
    EXPECT_TRUE(t.filtered());
    EXPECT_EQ(t.asInt("NUM"), 5);
    EXPECT_EQ(nums(m.readRows()), (std::vector<int>{6, 1, 5}));

    // the index is on disk under its name, and a second ordering by group adds nothing
    dbf::Table other;
    other.open(tmp.path(), "MAINDB");
    int deskr = 0;
    for (const auto& ix : other.indexes())
        if (ix.name == "deskr" && ix.field == "DESKRIPTION") ++deskr;
    EXPECT_EQ(deskr, 1);
    m.setOrdering(Ordering::Num);
    EXPECT_NO_THROW(m.setOrdering(Ordering::Group));
    EXPECT_EQ(t.indexes().size(), 5u);
}

TEST_F(MonitorModelTest, WithObjectMakesItCurrentOrderedByNumAndRestoresTheOrdering) {
    MonitorModel m(t);
    m.setOrdering(Ordering::Address);
    std::string orderingInside;
    int numInside = 0;
    EXPECT_TRUE(m.withObject(4, [&] {
        orderingInside = t.indexFieldNames();
        numInside = int(t.asInt("NUM"));
    }));
    EXPECT_EQ(orderingInside, "NUM");
    EXPECT_EQ(numInside, 4);
    EXPECT_EQ(t.indexFieldNames(), "ADDRES");
    EXPECT_EQ(t.asInt("NUM"), 4);

    bool ran = false;
    EXPECT_FALSE(m.withObject(99, [&] { ran = true; }));
    EXPECT_FALSE(ran);
    EXPECT_EQ(t.indexFieldNames(), "ADDRES");
}

TEST_F(MonitorModelTest, AutoPollToggleAndAllOnlyTouchTheSelection) {
    MonitorModel m(t);
    m.readRows();
    ASSERT_TRUE(m.withObject(5, [&] { m.toggleAutoPoll(); }));
    EXPECT_TRUE(m.RefreshMonitor);
    EXPECT_TRUE(t.asBool("AUTOCON"));

    m.setGroupIndex(1); // "Север": 1, 3
    m.RefreshMonitor = false;
    m.setAutoPollAll(false);
    EXPECT_TRUE(m.RefreshMonitor);
    m.setGroupIndex(0);
    std::vector<bool> autocon;
    for (const ObjectRow& r : m.readRows())
        autocon.push_back(r.autocon);
    EXPECT_EQ(autocon, (std::vector<bool>{false, true, false, true, true, true}));

    // another context sees the posted values
    dbf::Table other;
    other.open(tmp.path(), "MAINDB");
    ASSERT_TRUE(other.locate("NUM", dbf::Value(int64_t(3))));
    EXPECT_FALSE(other.asBool("AUTOCON"));
}

TEST(MonitorTick, RebuildWinsAndClearsBothFlagsOnlyWhileVisible) {
    TempDir tmp;
    dbf::Table t;
    makeObjectsTable(t, tmp.path(), {});
    MonitorModel m(t);
    struct {
        bool visible, rebuild, refresh;
        TickAction action;
        bool rebuildAfter, refreshAfter;
    } cases[] = {
        {false, true, true, TickAction::None, true, true},
        {true, true, true, TickAction::Rebuild, false, false},
        {true, true, false, TickAction::Rebuild, false, false},
        {true, false, true, TickAction::Refresh, false, false},
        {true, false, false, TickAction::None, false, false},
    };
    for (const auto& c : cases) {
        m.RebuildMonitor = c.rebuild;
        m.RefreshMonitor = c.refresh;
        EXPECT_EQ(m.tick(c.visible), c.action);
        EXPECT_EQ(m.RebuildMonitor, c.rebuildAfter);
        EXPECT_EQ(m.RefreshMonitor, c.refreshAfter);
    }
}
