// The button view of the object monitor on the offscreen platform: buttons and their parts made from MAINDB,
// grouped headers, a narrow window, refresh, the monitor tick and the mouse, plus pictures of the view.
#include "shell/object_monitor.h"
#include "tests/monitor_fixture.h"
#include "tests/qt_test_helpers.h"
#include "tests/tmpdir.h"

#include <QLabel>
#include <QSignalSpy>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace shell;
using mervo::test::makeObjectsTable;
using mervo::test::MonitorObject;
using mervo::test::TempDir;

namespace {

QColor colourOf(const ObjectButton* b) {
    return b->palette().color(QPalette::Window);
}

class ObjectMonitorTest : public ::testing::Test {
protected:
    void make(const std::vector<MonitorObject>& objects, int width = 700, int height = 400) {
        makeObjectsTable(t, tmp.path(), objects);
        model = std::make_unique<MonitorModel>(t);
        view = std::make_unique<ObjectMonitor>(*model);
        view->resize(width, height);
    }
    TempDir tmp;
    dbf::Table t;
    std::unique_ptr<MonitorModel> model;
    std::unique_ptr<ObjectMonitor> view;
};

} // namespace

TEST_F(ObjectMonitorTest, ButtonsAndTheirPartsShowTheObjects) {
    make({{530, "Ленина 5", "Норма", 5, true, "", "05.03.2026", "12:30:15"},
          {531, "Мира 1", "Нет связи", 0, true},
          {532, "Садовая 3", "Нет связи", 7, false}});
    view->rebuild();
    ASSERT_EQ(view->buttonCount(), 3);

    ObjectButton* b1 = view->panel()->findChild<ObjectButton*>("Link1");
    ASSERT_NE(b1, nullptr);
    EXPECT_EQ(b1, view->button(1));
    EXPECT_EQ(b1->size(), QSize(217, 49));
    EXPECT_EQ(b1->pos(), QPoint(10, 10));
    EXPECT_EQ(colourOf(b1), QColor(255, 255, 255));
    EXPECT_EQ(b1->part("State1")->text(), "Норма");
    EXPECT_EQ(b1->part("State1")->pos(), QPoint(18, 3));
    EXPECT_TRUE(b1->part("State1")->textFont().underline());
    EXPECT_EQ(b1->part("Addr1")->text(), "Ленина 5");
    EXPECT_EQ(b1->part("Num1")->text(), "№ 530");
    EXPECT_EQ(b1->part("Clock1")->text(), "05.03.2026/12:30:15");
    EXPECT_EQ(b1->part("Clock1")->pos(), QPoint(104, 32));
    EXPECT_FALSE(b1->part("ERRLED1")->isHidden());
    EXPECT_FALSE(b1->part("WarnLED1")->isHidden());
    EXPECT_EQ(b1->part("WarnLED1")->geometry(), QRect(2, 16, 16, 16));
    // the hint's lines are broken once each: no carriage return is left to show as a blank or empty line
    EXPECT_EQ(b1->toolTip(), "Ленина 5\nОшибки системы 1\nОшибки устройства");

    ObjectButton* b2 = view->button(2);
    EXPECT_EQ(colourOf(b2), QColor(255, 255, 0));
    EXPECT_TRUE(b2->ERRLED.isHidden());
    EXPECT_TRUE(b2->WarnLED.isHidden());

    ObjectButton* b3 = view->button(3);
    EXPECT_EQ(colourOf(b3), QColor(192, 192, 192));
    EXPECT_EQ(b3->State.text(), "Опрос отключен");
    EXPECT_TRUE(b3->ERRLED.isHidden());
    EXPECT_TRUE(b3->WarnLED.isHidden());
    EXPECT_EQ(b3->pos(), QPoint(454, 10));
}

TEST_F(ObjectMonitorTest, EmptyTableGivesAnEmptyMonitor) {
    make({});
    QSignalSpy rebuilt(view.get(), &ObjectMonitor::rebuilt);
    view->rebuild();
    EXPECT_EQ(view->buttonCount(), 0);
    EXPECT_TRUE(view->headers().isEmpty());
    EXPECT_EQ(rebuilt.count(), 1);
    EXPECT_EQ(model->groups(), std::vector<std::string>{"Все объекты"});
}

TEST_F(ObjectMonitorTest, AFailingTableLeavesAnEmptyVisibleMonitorAndRaisesTheError) {
    make(mervo::test::sampleObjects(3));
    view->show();
    view->rebuild();
    ASSERT_EQ(view->buttonCount(), 3);
    std::filesystem::remove(t.path());
    EXPECT_THROW(view->rebuild(), dbf::Error);
    EXPECT_EQ(view->buttonCount(), 0);
    EXPECT_TRUE(view->panel()->isVisible());
}

TEST_F(ObjectMonitorTest, RebuildReplacesEveryButtonWithTheNewSelection) {
    make(mervo::test::sampleObjects(12));
    view->rebuild();
    EXPECT_EQ(view->buttonCount(), 12);
    model->setSearchText("Ленина");
    view->rebuild();
    EXPECT_EQ(view->buttonCount(), 2);
    EXPECT_EQ(view->panel()->findChildren<ObjectButton*>().size(), 2);
}

TEST_F(ObjectMonitorTest, GroupedViewHasHeadersOnNewRowsAndUngroupedObjectsFirst) {
    make({{1, "a", "Норма", 0, true, "Юг"},
          {2, "b", "Норма", 0, true, ""},
          {3, "c", "Норма", 0, true, "Север"},
          {4, "d", "Норма", 0, true, "Юг"},
          {5, "e", "Норма", 0, true, "Север"}});
    model->setOrdering(Ordering::Group);
    view->rebuild();
    QList<QLabel*> headers = view->headers();
    ASSERT_EQ(headers.size(), 2);
    EXPECT_EQ(headers[0]->text(), "Север");
    EXPECT_EQ(headers[1]->text(), "Юг");
    // the object without group on the first row, no header above it
    EXPECT_EQ(view->button(2)->pos(), QPoint(10, 10));
    EXPECT_GT(headers[0]->y(), view->button(2)->y() + kButtonHeight / 2);
    EXPECT_EQ(view->button(3)->x(), 10);
    EXPECT_GT(view->button(3)->y(), headers[0]->geometry().bottom());
    EXPECT_EQ(view->button(5)->y(), view->button(3)->y());
    EXPECT_GT(headers[1]->y(), view->button(5)->y() + kButtonHeight / 2);
    EXPECT_EQ(view->button(1)->x(), 10);
    EXPECT_GT(view->button(1)->y(), headers[1]->geometry().bottom());
    EXPECT_EQ(model->groups(), (std::vector<std::string>{"Все объекты", "Север", "Юг"}));
}

TEST_F(ObjectMonitorTest, NarrowWindowShowsOneColumn) {
    make(mervo::test::sampleObjects(4), 150, 300);
    view->rebuild();
    for (int num = 1; num <= 4; ++num)
        EXPECT_EQ(view->button(num)->pos(), QPoint(10, 10 + 52 * (num - 1))) << num;
}

TEST_F(ObjectMonitorTest, RefreshUpdatesLooksButNotHints) {
    make({{530, "Ленина 5", "Норма", 0, true}, {531, "Мира 1", "Норма", 0, true}});
    view->rebuild();
    ObjectButton* b = view->button(2);
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(2))));
    t.edit();
    t.setBool("AUTOCON", false);
    t.setInt("ERRCODE", 4);
    t.post();
    view->refresh();
    EXPECT_EQ(view->button(2), b);
    EXPECT_EQ(colourOf(b), QColor(192, 192, 192));
    EXPECT_EQ(b->State.text(), "Опрос отключен");
    EXPECT_TRUE(b->ERRLED.isHidden());
    EXPECT_EQ(b->toolTip(), "Мира 1");

    t.edit();
    t.setBool("AUTOCON", true);
    t.setString("STATE", "Нет связи");
    t.post();
    view->refresh();
    EXPECT_EQ(colourOf(b), QColor(255, 255, 0));
    EXPECT_EQ(b->State.text(), "Нет связи");
    EXPECT_FALSE(b->ERRLED.isHidden());
}

TEST_F(ObjectMonitorTest, RefreshCountsColumnsOnAWidthTwoPixelsWider) {
    // 442 holds one column (442 div 222), 444 two
    make(mervo::test::sampleObjects(2), 442, 300);
    view->rebuild();
    EXPECT_EQ(view->button(2)->pos(), QPoint(10, 62));
    view->refresh();
    EXPECT_EQ(view->button(2)->pos(), QPoint(232, 10));
}

TEST_F(ObjectMonitorTest, TickServesRequestsOnlyWhileTheWindowIsVisible) {
    make(mervo::test::sampleObjects(3));
    model->requestRebuild();
    view->monitorTick();
    EXPECT_EQ(view->buttonCount(), 0);
    EXPECT_TRUE(model->RebuildMonitor);
    view->show();
    view->monitorTick();
    EXPECT_EQ(view->buttonCount(), 3);
    EXPECT_FALSE(model->RebuildMonitor);
    // the timer of the view does the same by itself
    t.append();
    t.setInt("SERIALNUM", 999);
    t.post();
    model->requestRebuild();
    EXPECT_TRUE(mervo::test::waitFor([&] { return view->buttonCount() == 4; }, 3000));
}

namespace {

// Another program stores what its poll found in the object's row of MAINDB: a child process of its own with
// its own open table, as a poll of `mervoctl` does.
void storeInAnotherProcess(const std::string& dir, int num, const std::string& state, int errcode,
                           const std::string& conTime) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 1;
        try {
            dbf::Table other;
            other.open(dir, "MAINDB");
            if (other.locate("NUM", dbf::Value(int64_t(num)))) {
                other.edit();
                other.setString("STATE", state);
                other.setInt("ERRCODE", errcode);
                other.setString("CON_TIME", conTime);
                other.post();
                code = 0;
            }
        } catch (...) {
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace

// Rows another program changed show at the next tick, with nothing asked of the monitor, also while a record
// of the window's table is being changed (that table is neither reopened nor refreshed under the edit).
TEST_F(ObjectMonitorTest, TickShowsRowsAnotherProgramChangedAlsoUnderAPendingEdit) {
    make({{530, "Ленина 5", "---", 0, true}, {531, "Мира 1", "---", 0, true}});
    view->show();
    view->rebuild();
    ObjectButton* b1 = view->button(1);
    ObjectButton* b2 = view->button(2);
    ASSERT_NE(b1, nullptr);
    ASSERT_NE(b2, nullptr);
    view->monitorTick(); // nothing changed: nothing to do
    EXPECT_EQ(b1->State.text(), "---");

    storeInAnotherProcess(tmp.path(), 1, "Норма", 0, "10:00:01");
    view->monitorTick();
    EXPECT_EQ(view->button(1), b1); // the button stays, only its looks change
    EXPECT_EQ(b1->State.text(), "Норма");
    EXPECT_TRUE(b1->Clock.text().endsWith("/10:00:01")) << b1->Clock.text().toStdString();

    // the operator changes the first object meanwhile; the other program's second row shows all the same
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(1))));
    t.edit();
    t.setString("ADDRES", "Ленина 5а");
    storeInAnotherProcess(tmp.path(), 2, "Нет связи", 4, "10:00:02");
    view->monitorTick();
    EXPECT_EQ(b2->State.text(), "Нет связи");
    EXPECT_EQ(colourOf(b2), QColor(255, 255, 0));
    EXPECT_FALSE(b2->ERRLED.isHidden());
    ASSERT_EQ(t.state(), dbf::Table::State::Edit);
    EXPECT_EQ(t.asString("ADDRES").substr(0, std::string("Ленина 5а").size()), "Ленина 5а");
    t.post();
}

TEST_F(ObjectMonitorTest, ClicksOnAnyPartSelectTheObjectAndSignalByModifier) {
    make(mervo::test::sampleObjects(6));
    model->setOrdering(Ordering::Address);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->rebuild();

    QSignalSpy selected(view.get(), &ObjectMonitor::objectSelected);
    QSignalSpy toggle(view.get(), &ObjectMonitor::autoPollToggleRequested);
    QSignalSpy archive(view.get(), &ObjectMonitor::archiveRequested);
    QSignalSpy state(view.get(), &ObjectMonitor::stateRequested);
    QSignalSpy window(view.get(), &ObjectMonitor::objectWindowRequested);
    QSignalSpy popup(view.get(), &ObjectMonitor::popupRequested);
    int currentAtSignal = 0;
    std::string orderingAtSignal;
    QObject::connect(view.get(), &ObjectMonitor::objectSelected, view.get(), [&](int) {
        currentAtSignal = int(t.asInt("NUM"));
        orderingAtSignal = t.indexFieldNames();
    });

    struct {
        int num;
        const char* part;
        Qt::MouseButton button;
        Qt::KeyboardModifiers mods;
        QSignalSpy* expected;
    } cases[] = {
        {3, "State", Qt::LeftButton, Qt::ShiftModifier, &toggle},
        {4, "Addr", Qt::LeftButton, Qt::AltModifier, &archive},
        {5, "ERRLED", Qt::LeftButton, Qt::ControlModifier, &state},
        {2, "Clock", Qt::LeftButton, Qt::NoModifier, &window},
        {6, "Num", Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier, &window},
        {1, "Link", Qt::RightButton, Qt::NoModifier, &popup},
    };
    QSignalSpy* all[] = {&toggle, &archive, &state, &window, &popup};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.part) + std::to_string(c.num));
        for (QSignalSpy* s : all)
            s->clear();
        selected.clear();
        ObjectButton* b = view->button(c.num);
        ASSERT_NE(b, nullptr);
        QPoint inButton(100, 45);
        if (std::string(c.part) != "Link") {
            const ButtonPart* part = b->part(QString(c.part) + QString::number(c.num));
            ASSERT_NE(part, nullptr);
            inButton = part->geometry().topLeft() + QPoint(3, 3);
        }
        // through the window, so that the widget under the mouse is found as for a real click
        QPoint at = b->mapTo(view.get(), inButton);
        QTest::mouseClick(view->windowHandle(), c.button, c.mods, at);
        ASSERT_EQ(selected.count(), 1);
        EXPECT_EQ(selected.at(0).at(0).toInt(), c.num);
        EXPECT_EQ(currentAtSignal, c.num);
        EXPECT_EQ(orderingAtSignal, "NUM");
        for (QSignalSpy* s : all)
            EXPECT_EQ(s->count(), s == c.expected ? 1 : 0);
        EXPECT_EQ(c.expected->at(0).at(0).toInt(), c.num);
        // the object stays current, the ordering is back
        EXPECT_EQ(t.asInt("NUM"), c.num);
        EXPECT_EQ(t.indexFieldNames(), "ADDRES");
        EXPECT_EQ(b->frameShadow(), QFrame::Raised);
    }
}

TEST_F(ObjectMonitorTest, LeftButtonDownLooksPressed) {
    make(mervo::test::sampleObjects(1));
    view->rebuild();
    ObjectButton* b = view->button(1);
    QTest::mousePress(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(b->frameShadow(), QFrame::Sunken);
    QTest::mouseRelease(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    EXPECT_EQ(b->frameShadow(), QFrame::Raised);
}

// An address wider than the button ends with "…" inside the bevel; the hint shows it whole.
TEST_F(ObjectMonitorTest, LongAddressEndsWithAnEllipsisAndShowsWholeInTheHint) {
    const std::string longAddress = "ул. Комсомольская, д. 118, корп. 2, тепловой пункт ИТП-3";
    make({{530, longAddress, "Норма", 0, true, "", "05.03.2026", "12:30:15"},
          {531, "Мира 1", "Норма", 0, true}});
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->rebuild();
    ObjectButton* b = view->button(1);
    ASSERT_NE(b, nullptr);
    const QString whole = QString::fromStdString(longAddress);
    EXPECT_EQ(b->Addr.text(), whole);
    EXPECT_TRUE(b->Addr.shownText().endsWith(QChar(0x2026))) << b->Addr.shownText().toStdString();
    EXPECT_TRUE(whole.startsWith(b->Addr.shownText().chopped(1)));
    EXPECT_LT(b->Addr.geometry().right(), kButtonWidth - 1); // inside the bevel
    EXPECT_EQ(b->toolTip(), whole);
    // a short address is shown as it is
    EXPECT_EQ(view->button(2)->Addr.shownText(), "Мира 1");
    EXPECT_EQ(view->button(2)->Addr.geometry().width(),
              QFontMetrics(view->button(2)->Addr.textFont()).horizontalAdvance("Мира 1"));
    const QString path = mervo::test::saveScreenshot(*b, MERVO_SCREENSHOT_DIR, "object_button_long_address");
    EXPECT_TRUE(QFile::exists(path));
}

// A resize that changes the column count moves the existing buttons and headers at once, without a rebuild.
TEST_F(ObjectMonitorTest, ColumnsFollowTheWidthAfterAResize) {
    make({{1, "a", "Норма", 0, true, "Север"},
          {2, "b", "Норма", 0, true, "Север"},
          {3, "c", "Норма", 0, true, "Север"},
          {4, "d", "Норма", 0, true, "Юг"},
          {5, "e", "Норма", 0, true, "Юг"},
          {6, "f", "Норма", 0, true, "Юг"}},
         700, 400);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    for (bool grouped : {false, true}) {
        model->setOrdering(grouped ? Ordering::Group : Ordering::Num);
        view->resize(700, 400);
        view->rebuild();
        ObjectButton* first = view->button(1);
        // three columns at 700 (700 div 222)
        EXPECT_EQ(view->button(3)->y(), first->y());
        EXPECT_GT(view->button(4)->y(), first->y());
        const int secondHeaderAt = grouped ? view->headers()[1]->y() : 0;

        view->resize(1400, 400);           // six columns
        EXPECT_EQ(view->button(1), first); // the same buttons, moved
        if (grouped) {
            EXPECT_EQ(view->button(3)->y(), first->y());
            EXPECT_EQ(view->button(3)->x(), 10 + 2 * 222);
            EXPECT_EQ(view->headers()[1]->y(), secondHeaderAt); // each group still starts on its own row
        } else {
            EXPECT_EQ(view->button(6)->pos(), QPoint(10 + 5 * 222, first->y()));
            EXPECT_GE(view->panel()->width(), view->button(6)->geometry().right());
        }

        view->resize(300, 400); // one column
        for (int num = 2; num <= 6; ++num)
            EXPECT_EQ(view->button(num)->x(), 10) << grouped << " " << num;
        EXPECT_GT(view->button(3)->y(), view->button(2)->y());
        if (grouped) {
            EXPECT_GT(view->headers()[1]->y(), view->button(3)->y() + kButtonHeight / 2);
            EXPECT_LT(view->headers()[1]->geometry().bottom(), view->button(4)->y());
        }
        EXPECT_GE(view->panel()->height(), view->button(6)->geometry().bottom());
    }
}

TEST_F(ObjectMonitorTest, Screenshots) {
    make(mervo::test::sampleObjects(30), 920, 560);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    view->rebuild();
    QString plain = mervo::test::saveScreenshot(*view, MERVO_SCREENSHOT_DIR, "monitor");
    model->setOrdering(Ordering::Group);
    view->resize(920, 640);
    view->rebuild();
    QString grouped = mervo::test::saveScreenshot(*view, MERVO_SCREENSHOT_DIR, "monitor_grouped");
    EXPECT_TRUE(QFile::exists(plain));
    EXPECT_TRUE(QFile::exists(grouped));
    std::printf("screenshots: %s %s\n", plain.toStdString().c_str(), grouped.toStdString().c_str());
}
