// The state windows on the offscreen platform: the error lists and the "?" message, the labels bound to the
// main window's current-state view filled by a real state read from the calculator simulator, a never-polled
// type, the refresh after a new poll, the focus rule of TStateVexaK.
#include "dbf/table.h"
#include "devdata/readers.h"
#include "devdata/state_windows.h"
#include "devdata/tables.h"
#include "poll/clock.h"
#include "poll/protocol.h"
#include "poll/transport.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <gtest/gtest.h>
#include <memory>

using namespace devdata;
using mervo::test::ModalAnswerer;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

QStringList items(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

const QString kP1 = QString::fromUtf8("E1 Отсутствие расхода по счетчику воды, используемому для расчета тепловой "
                                      "энергии свыше 48 часов при разнице температур больше 20 ?С. ");
const QString kP128 = QString::fromUtf8("E128 Обратное движение теплоносителя в обратном трубопроводе  ");

// MAINDB with one object of the type, as the window side opens it (ordered by NUM, on the object).
void makeObject(dbf::Table& objects, const std::string& dir, int type, int serial) {
    createObjectsTable(objects, dir);
    objects.append();
    objects.setInt("DEVTYPE", type);
    objects.setInt("SERIALNUM", serial);
    objects.setString("ADDRES", "Ленина 5");
    objects.setInt("NETTYPE", 2);
    objects.setString("NETADR", "127.0.0.1");
    objects.setString("STATE", "---");
    objects.setBool("AUTOCON", true);
    objects.post();
    objects.setIndexFieldNames("NUM");
    objects.first();
}

// The main window's current-state view: "STATEDB<type>" as a detail of the window's objects table, closed
// when the type was never polled.
void openView(dbf::Table& view, dbf::Table& objects, const std::string& dir, int type) {
    view.close();
    if (dbf::tableExists(dir, stateTableName(type))) openDetail(view, dir, stateTableName(type), &objects);
}

// One state read of the poll from a simulated device into the data directory.
bool pollState(const std::string& dir, int type, int serial, int port) {
    polling::VirtualClock clock{polling::Duration(1000)};
    polling::StopSignal stop;
    polling::Protocol proto{clock, stop};
    polling::UdpLink link("127.0.0.1", port);
    proto.setTransport(&link);
    if (!proto.testRegistered(type, serial, 3)) return false;
    dbf::Table objects;
    objects.open(dir, kObjectsTableName);
    objects.setIndexFieldNames("NUM");
    objects.first();
    ReaderObserver observer;
    ReaderContext ctx{.protocol = proto,
                      .objects = objects,
                      .dataDir = dir,
                      .tempDir = tempDirOf(dir),
                      .deviceType = type,
                      .serial = serial,
                      .repeat = 2,
                      .stop = stop,
                      .observer = observer};
    return readCurrentState(ctx);
}

std::unique_ptr<SimProcess> sim(int type, int serial, std::vector<std::string> state = {}) {
    std::vector<std::string> args = {"--type", std::to_string(type), "--serial", std::to_string(serial)};
    for (const auto& s : state)
        args.insert(args.end(), {"--state", s});
    args.insert(args.end(), {"--udp", "0"});
    return std::make_unique<SimProcess>(args);
}

} // namespace

TEST(StateTexts, ErrorBitsInBitOrder) {
    EXPECT_EQ(vexaPErrorLines(0x81), QStringList({kP1, kP128}));
    EXPECT_TRUE(vexaPErrorLines(0).isEmpty());
    // the byte is taken modulo 256
    EXPECT_EQ(vexaPErrorLines(0x181), QStringList({kP1, kP128}));
    EXPECT_EQ(vexaKErrorLines(0x0A),
              QStringList({QString::fromUtf8("E2 Температура первого или второго термопреобразователя меньше 0 "
                                             "или больше 150 °С (прекращается расчет тепловой энергии)"),
                           QString::fromUtf8("E8 Ошибка системы измерения температур")}));
    EXPECT_EQ(vexaKErrorLines(0xFF).size(), 8);
}

TEST(StateTexts, HardwareErrorMessage) {
    EXPECT_EQ(hardErrorMessage(0), QString::fromUtf8("Ошибок устройства нет!"));
    EXPECT_EQ(hardErrorMessage(5), QString::fromUtf8("Описание аппаратных ошибок\n\rE1 Ошибка АЦП.\n\rE4 Напряжение "
                                                     "батареи питания меньше минимально допустимого значения.\n\r"));
    // bits above 16 add nothing
    EXPECT_EQ(hardErrorMessage(0x20 | 0x10),
              QString::fromUtf8("Описание аппаратных ошибок\n\rE16 Отсутствие напряжения питания внешнего "
                                "расходомера.\n\r"));
}

// A row written through the table engine: lists from Err1/Err2, the "?" message from HardErr.
TEST(StateWindows, VexaPListsAndHardwareMessage) {
    TempDir dir;
    dbf::Table objects, view;
    makeObject(objects, dir.path(), 229, 530);
    ASSERT_TRUE(createStateTable(view, 229, dir.path(), &objects));
    view.append();
    view.setFloat("HEnergy1", 12.35);
    view.setFloat("Pressure22", 0.61);
    view.setInt("Err1", 0x81);
    view.setInt("Err2", 0);
    view.setInt("HardErr", 5);
    view.post();

    TStateVexaP w(view);
    w.show();
    EXPECT_EQ(w.windowTitle(), QString::fromUtf8("Текущее состояние"));
    EXPECT_EQ(w.findChild<QGroupBox*>("GroupBox1")->title(), QString::fromUtf8("Вычислитель Vexa-1П"));
    EXPECT_EQ(items(w.ErrorList1), QStringList({kP1, kP128}));
    EXPECT_TRUE(items(w.ErrorList2).isEmpty());
    EXPECT_EQ(w.valueLabel("HEnergy1")->text(), "12.35");
    EXPECT_EQ(w.valueLabel("Pressure22")->text(), "0.61");
    EXPECT_EQ(w.valueLabel("Err1")->text(), "129");
    EXPECT_EQ(w.valueLabel("HardErr")->text(), "5");
    EXPECT_EQ(w.valueLabel("Weight11"), nullptr); // masses only in TStateVexaPM

    ModalAnswerer answers;
    w.HardErrButton->click();
    ASSERT_EQ(answers.messages().size(), 1);
    // the message's lines are broken once each, without a carriage return to show as an empty line
    EXPECT_EQ(answers.messages()[0],
              QString::fromUtf8("Описание аппаратных ошибок\nE1 Ошибка АЦП.\nE4 Напряжение "
                                "батареи питания меньше минимально допустимого значения.\n"));
}

// The type was never polled: no state table, the view stays closed; or the table has no row for the object.
TEST(StateWindows, NeverPolledShowsEmptyValuesAndLists) {
    for (int type : {128, 225, 229, 234, 231}) {
        TempDir dir;
        dbf::Table objects, view;
        makeObject(objects, dir.path(), type, 77);
        openView(view, objects, dir.path(), type);
        ASSERT_FALSE(view.isOpen());
        std::unique_ptr<TStateWindow> w = makeStateWindow(type, view);
        ASSERT_TRUE(w) << type;
        w->show();
        for (QLabel* l : w->findChildren<QLabel*>())
            if (w->valueLabel(l->objectName()) == l) {
                EXPECT_EQ(l->text(), "") << type << " " << l->objectName().toStdString();
            }
        for (QListWidget* list : w->findChildren<QListWidget*>())
            EXPECT_EQ(list->count(), 0) << type;
        if (auto* p = dynamic_cast<TStateVexaP*>(w.get())) {
            ModalAnswerer answers;
            p->HardErrButton->click();
            EXPECT_EQ(answers.messages(), QStringList({QString::fromUtf8("Ошибок устройства нет!")}));
        }
        w->close();
    }
    // a table of the type exists but holds only another object's row
    TempDir dir;
    dbf::Table objects, view;
    makeObject(objects, dir.path(), 225, 77);
    ASSERT_TRUE(createStateTable(view, 225, dir.path(), nullptr));
    view.append();
    view.setInt("NUMSTATE", 99);
    view.setInt("Err", 0xFF);
    view.setFloat("HEnergy1", 5.5);
    view.post();
    openView(view, objects, dir.path(), 225);
    TStateVexaK w(view);
    w.show();
    EXPECT_EQ(w.valueLabel("HEnergy1")->text(), "");
    EXPECT_EQ(w.ErrorList->count(), 0);
}

TEST(StateWindows, NoWindowForOtherTypes) {
    dbf::Table view;
    EXPECT_EQ(makeStateWindow(228, view), nullptr);
    EXPECT_EQ(makeStateWindow(0, view), nullptr);
    EXPECT_FALSE(showStateWindow(300, view));
    EXPECT_NE(dynamic_cast<TStateVexaPM*>(makeStateWindow(237, view).get()), nullptr);
    EXPECT_NE(dynamic_cast<TStateVexaK*>(makeStateWindow(238, view).get()), nullptr);
}

// Each type polled from the simulator: the labels show the stored row; a picture of each window.
TEST(StateWindows, ValuesOfAPolledDevice) {
    struct Case {
        int type;
        std::vector<std::string> state;
        const char* picture;
    };
    const Case cases[] = {
        {128, {}, "state_kesta"},
        {225, {"Err=5"}, "state_vexa_k"},
        {230, {"Err1=129", "Err2=2", "HardErr=5"}, "state_vexa_p"},
        {236, {"Err1=1", "Err2=0", "HardErr=0"}, "state_vexa_pm"},
        {231, {}, "state_oxel"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        TempDir dir;
        dbf::Table objects, view;
        makeObject(objects, dir.path(), c.type, 530);
        auto device = sim(c.type, 530, c.state);
        ASSERT_TRUE(pollState(dir.path(), c.type, 530, device->port()));
        objects.refresh();
        openView(view, objects, dir.path(), c.type);
        ASSERT_TRUE(view.isOpen());
        ASSERT_EQ(view.recordCount(), 1);

        std::unique_ptr<TStateWindow> w = makeStateWindow(c.type, view);
        w->show();
        int bound = 0;
        for (const dbf::FieldDef& f : view.fields()) {
            QLabel* l = w->valueLabel(QString::fromStdString(f.name));
            if (!l) continue;
            ++bound;
            EXPECT_EQ(l->text().toStdString(), view.asString(f.name)) << f.name;
            EXPECT_FALSE(l->text().isEmpty()) << f.name;
        }
        // every field of the layout but NUM, NUMSTATE (and Err where the window shows no code) has a label
        const int expected = c.type == 128 ? 9 : c.type == 231 ? 6 : view.fieldCount() - 2;
        EXPECT_EQ(bound, expected);
        if (c.type == 225) {
            auto* k = static_cast<TStateVexaK*>(w.get());
            EXPECT_EQ(k->ErrorList->count(), 2); // E1 and E4
        }
        if (c.type == 230) {
            auto* p = static_cast<TStateVexaP*>(w.get());
            EXPECT_EQ(items(p->ErrorList1), QStringList({kP1, kP128}));
            EXPECT_EQ(items(p->ErrorList2).size(), 1);
            EXPECT_TRUE(items(p->ErrorList2)[0].startsWith("E2 "));
        }
        if (c.type == 231) {
            EXPECT_EQ(w->valueLabel("SerialNum")->text(), "530");
        }
        w->adjustSize();
        mervo::test::saveScreenshot(*w, MERVO_SCREENSHOT_DIR, c.picture);
        w->close();
    }
}

// A new poll result reaches the shown window after the main window refreshed its view.
TEST(StateWindows, FollowANewPollAfterTheRefresh) {
    TempDir dir;
    dbf::Table objects, view;
    makeObject(objects, dir.path(), 128, 41);
    {
        auto device = sim(128, 41);
        ASSERT_TRUE(pollState(dir.path(), 128, 41, device->port()));
    }
    openView(view, objects, dir.path(), 128);
    TStateKesta w(view);
    w.show();
    ASSERT_EQ(shownStateWindow(), &w);
    const QString before = w.valueLabel("MOD")->text();
    {
        auto device = sim(128, 41, {"Mod=3"});
        ASSERT_TRUE(pollState(dir.path(), 128, 41, device->port()));
    }
    EXPECT_EQ(w.valueLabel("MOD")->text(), before); // not yet refreshed
    view.refresh();
    shownStateWindow()->viewChanged();
    EXPECT_EQ(w.valueLabel("MOD")->text(), "3");
    w.close();
    EXPECT_EQ(shownStateWindow(), nullptr);
}

TEST(StateWindows, VexaKClosesWhenItLosesTheFocus) {
    dbf::Table view;
    QWidget other;
    other.resize(200, 100);
    other.show();
    TStateVexaK w(view);
    w.show();
    w.activateWindow();
    ASSERT_TRUE(mervo::test::waitFor([&] { return w.isActiveWindow(); }));
    other.activateWindow();
    EXPECT_TRUE(mervo::test::waitFor([&] { return !w.isVisible(); }));

    // the other windows stay open without the focus
    TStateVexaP p(view);
    p.show();
    p.activateWindow();
    ASSERT_TRUE(mervo::test::waitFor([&] { return p.isActiveWindow(); }));
    other.activateWindow();
    ASSERT_TRUE(mervo::test::waitFor([&] { return other.isActiveWindow(); }));
    EXPECT_TRUE(p.isVisible());
}
