// A dispatcher's working day in the main window: scheduled saves and polls that come while the object master
// holds a record being entered, while an object window is open from a click, while a pop-up menu is up;
// logins at the user level; another program adding objects. The tables are read back from the files
// afterwards.
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "schemes/object_form.h"
#include "schemes/scheme_editor.h"
#include "shell/access.h"
#include "shell/main_form.h"
#include "shell/object_master.h"
#include "shell/object_monitor.h"
#include "shell/settings_form.h"
#include "shell/table_view.h"
#include "tests/file_bytes.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace shell;
using mervo::test::ModalAnswerer;
using mervo::test::SimProcess;
using mervo::test::TempDir;
using mervo::test::waitFor;

namespace {

struct Stored {
    int num = 0;
    std::string address, state, group;
    int serial = 0, schtype = 0;
    bool autocon = false;
};

// MAINDB as a second program reads it from the file.
std::vector<Stored> storedObjects(const std::string& dir) {
    dbf::Table t;
    t.open(dir, "MAINDB", dbf::Table::OpenMode::ReadOnly);
    t.setIndexFieldNames("NUM");
    std::vector<Stored> out;
    for (t.first(); !t.eof(); t.next()) {
        Stored s;
        s.num = int(t.asInt("NUM"));
        s.address = t.asString("ADDRES");
        while (!s.address.empty() && s.address.back() == ' ')
            s.address.pop_back();
        s.state = t.asString("STATE");
        while (!s.state.empty() && s.state.back() == ' ')
            s.state.pop_back();
        s.group = t.asString("DESKRIPTION");
        while (!s.group.empty() && s.group.back() == ' ')
            s.group.pop_back();
        s.serial = t.isNull("SERIALNUM") ? 0 : int(t.asInt("SERIALNUM"));
        s.schtype = t.isNull("SCHTYPE") ? 0 : int(t.asInt("SCHTYPE"));
        s.autocon = t.asBool("AUTOCON");
        out.push_back(s);
    }
    return out;
}

const Stored* byAddress(const std::vector<Stored>& rows, const std::string& address) {
    for (const Stored& s : rows)
        if (s.address == address) return &s;
    return nullptr;
}

void addObject(const std::string& dir, int port, const std::string& address, const std::string& group,
               bool autocon = true) {
    dbf::Table t;
    t.open(dir, "MAINDB");
    t.append();
    t.setInt("DEVTYPE", 236);
    t.setInt("SERIALNUM", 530);
    t.setString("ADDRES", address);
    t.setString("DESKRIPTION", group);
    t.setInt("NETTYPE", 2);
    t.setString("NETADR", "127.0.0.1");
    t.setInt("IPPORT", port);
    t.setInt("SCHTYPE", 1);
    t.setString("STATE", "---");
    t.setBool("AUTOCON", autocon);
    t.post();
}

// The main window on a data folder of six objects in two groups (three of them polled, the simulator
// answering for them), with its settings store: a poll every minute, due three days ago. The schedule timer
// is stopped until a scenario starts it inside the window it is about.
struct Day {
    SimProcess sim{{"--type", "236", "--serial", "530", "--udp", "0"}};
    TempDir dir;
    std::string data = dir.file("DATA");
    std::string prog = dir.file("prog");
    std::string registry = dir.file("registry.ini");
    TMainForm form{prog};
    QStringList told; // the window's information and error boxes
    int runsEnded = 0;

    explicit Day(int par2 = 32) {
        std::filesystem::create_directories(data);
        std::filesystem::create_directories(prog);
        std::filesystem::copy(std::string(MERVO_DIST_DIR) + "/Circuits", prog + "/Circuits",
                              std::filesystem::copy_options::recursive);
        {
            dbf::Table t;
            devdata::createObjectsTable(t, data);
        }
        const char* groups[] = {"ЦТП Север", "Котельная №1"};
        const char* streets[] = {"Ленина 1", "Мира 2", "Садовая 3", "Ленина 4", "Лесная 5", "Победы 6"};
        for (int i = 0; i < 6; ++i)
            addObject(data, sim.port(), streets[i], groups[i % 2], i < 3);
        {
            std::ofstream f(registry);
            f << "[PAR]\nPar2=" << par2 << "\nPeriod=4\nPeriodX=1\nPar1_234=1\nDPath=" << data << "\n";
        }
        devdata::SettingsStore store(registry);
        devdata::Settings s = store.load();
        s.dtconn = dbf::DateTime::now().addDays(-3);
        store.save(s);
        form.inform = [this](const QString& t) { told << t; };
        form.alert = [this](const QString& t) { told << t; };
        form.confirmExit = [](const QString&) { return false; };
        form.setDataDir(data + "/");
        SetupEnvironment env;
        env.programDir = prog;
        env.programPath = prog + "/Mervo";
        env.registryPath = registry;
        env.autostartPath = dir.file("autostart/mervo.desktop");
        form.attachWindows(env);
        form.ScheduleTimer->stop();
        form.openObjects();
        QObject::connect(&form.bridge(), &PollBridge::ended, [this] { ++runsEnded; });
        form.resize(1200, 800);
        form.show();
        form.monitor()->monitorTick();
    }
    ~Day() { form.pollRun().stop(); }

    // Lets the schedule timer run until its poll has started and ended, and the monitor tick has served the
    // rebuild the end requests.
    void scheduledPoll() {
        const int before = runsEnded;
        form.ScheduleTimer->start();
        EXPECT_TRUE(waitFor([&] { return runsEnded > before; }, 60000)) << "no scheduled poll ran";
        form.ScheduleTimer->stop();
        EXPECT_TRUE(waitFor([&] { return !form.monitor()->model().RebuildMonitor; }, 5000));
    }
    // Makes the stored next poll time due again (the settings save the schedule makes, too).
    void dueAgain() {
        ASSERT_NE(form.setupForm(), nullptr);
        form.setupForm()->storeNextPollTime(dbf::DateTime::now().addDays(-1));
    }
    int numOf(const std::string& address) {
        for (const Stored& s : storedObjects(data))
            if (s.address == address) return s.num;
        return 0;
    }
    bool errorLogged() const {
        return std::filesystem::exists(prog + "/ErrorLog.log") || form.errorCount > 0;
    }
    std::string errorLog() const {
        std::ifstream in(prog + "/ErrorLog.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

// "Новый" in the master and a new object "Новая 7" typed in (on a port nobody answers), not accepted yet.
void typeNewObject(TADOBJ& master) {
    master.newObject();
    master.AddressEdit->setText("Новая 7");
    master.SerialEdit->setText("777");
    master.DeviceCombo->setCurrentIndex(
        master.DeviceCombo->findText(QString::fromStdString(devdata::deviceTypeName(236))));
    master.NetCombo->setCurrentIndex(2);
    master.NetAdrEdit->setText("127.0.0.1");
    master.IpPortEdit->setText("4001");
}

// Runs op once the widget is shown (inside the modal loop that shows it).
void whenShown(QWidget* w, std::function<void()> op) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, w, op] {
        if (!w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        op();
    });
    timer->start();
}

// Picks the item of the pop-up menu that comes up next, as the operator would with the keyboard.
void pickFromPopup(const QString& item) {
    auto* timer = new QTimer;
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, item] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu || !menu->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        for (QAction* a : menu->actions())
            if (a->text() == item) {
                menu->setActiveAction(a);
                QTest::keyClick(menu, Qt::Key_Return);
                return;
            }
        ADD_FAILURE() << "no item " << item.toStdString();
        menu->close();
    });
    timer->start();
}

// "Объект › Мастер объектов" (F2).
QAction* masterItem(TMainForm& form) {
    for (QAction* a : form.menuBar()->findChildren<QAction*>())
        if (a->text() == "Мастер объектов") return a;
    ADD_FAILURE() << "no menu item \"Мастер объектов\"";
    static QAction none;
    return &none;
}

void rightClick(ObjectButton* b) {
    ASSERT_NE(b, nullptr);
    QTest::mouseClick(b, Qt::RightButton, {}, QPoint(20, 20));
}

// A login in the access dialog, its answer box answered.
void login(TMainForm& form, const QString& level, const QString& password) {
    Tseqform& d = *form.accessDialog();
    d.setCloseDelay(0);
    d.setWindowModality(Qt::NonModal);
    d.show();
    d.ComboBox1->setEditText(level);
    d.Edit1->clear();
    if (!d.Edit1->isHidden()) QTest::keyClicks(d.Edit1, password);
    ModalAnswerer answers(10000);
    QTest::mouseClick(d.Button1, Qt::LeftButton);
    EXPECT_TRUE(waitFor([&] { return !d.isVisible(); }, 3000));
}

} // namespace

TEST(WorkingDay, AScheduledSaveAndPollLeaveTheMastersPendingInsertAndEdit) {
    Day day;
    TADOBJ* master = day.form.ObjectMaster;
    ModalAnswerer answers;
    answers.leave(master);
    bool inserted = false, edited = false;
    TADOBJ::Mode duringFirstPoll = TADOBJ::Mode::Browse, duringSecondPoll = TADOBJ::Mode::Browse;
    whenShown(master, [&] {
        // a new object typed in, not yet accepted, when the scheduled save and poll come
        typeNewObject(*master);
        master->AutoconCheck->setChecked(false);
        day.scheduledPoll();
        duringFirstPoll = master->mode();
        inserted = master->acceptObject();

        // an object being changed when the next save and poll come
        master->SearchEdit->setText("Победы");
        master->editObject();
        master->AddressEdit->setText("Победы 6а");
        day.dueAgain();
        day.scheduledPoll();
        duringSecondPoll = master->mode();
        edited = master->acceptObject();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);

    EXPECT_EQ(duringFirstPoll, TADOBJ::Mode::Insert);
    EXPECT_EQ(duringSecondPoll, TADOBJ::Mode::Edit);
    EXPECT_TRUE(inserted);
    EXPECT_TRUE(edited);
    const std::vector<Stored> rows = storedObjects(day.data);
    ASSERT_EQ(rows.size(), 7u);
    const Stored* added = byAddress(rows, "Новая 7");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->serial, 777);
    EXPECT_NE(byAddress(rows, "Победы 6а"), nullptr);
    EXPECT_EQ(byAddress(rows, "Победы 6"), nullptr);
    // both polls stored what they read
    for (const char* polled : {"Ленина 1", "Мира 2", "Садовая 3"})
        EXPECT_EQ(byAddress(rows, polled)->state, "Норма") << polled;
    EXPECT_EQ(day.runsEnded, 2);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
    EXPECT_TRUE(day.told.isEmpty()) << day.told.join("\n").toStdString();
    // the monitor shows the new object and can reach it
    day.form.monitor()->monitorTick();
    EXPECT_NE(day.form.monitor()->button(added->num), nullptr);
    EXPECT_EQ(day.form.SelectedCount->text(), "7");
}

TEST(WorkingDay, TheClickedObjectStaysCurrentAcrossPollsAndItsObjectWindowSurvivesThem) {
    Day day;
    const int num = day.numOf("Садовая 3");
    ObjectMonitor* monitorBefore = day.form.monitor();
    ObjectButton* button = monitorBefore->button(num);
    ASSERT_NE(button, nullptr);
    ModalAnswerer answers;
    answers.leave(day.form.ObjectWindow);
    int currentInWindow = 0;
    bool sameMonitor = false;
    QString windowAddress;
    bool done = false;
    whenShown(day.form.ObjectWindow, [&] {
        // the window is open from the click; the scheduled save and poll come meanwhile
        day.scheduledPoll();
        day.dueAgain();
        day.scheduledPoll();
        sameMonitor = day.form.monitor() == monitorBefore;
        currentInWindow = day.form.currentObjectNum();
        windowAddress = day.form.ObjectWindow->AddresText->text();
        day.form.ObjectWindow->reject();
        done = true;
    });
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_TRUE(waitFor([&] { return done; }, 120000));
    EXPECT_TRUE(sameMonitor);
    EXPECT_EQ(currentInWindow, num);
    EXPECT_EQ(windowAddress, "Садовая 3");

    // after the polls and their rebuilds the operator's object is still the one F2 and the scheme editor get
    day.dueAgain();
    day.scheduledPoll();
    day.form.monitor()->monitorTick();
    EXPECT_EQ(day.form.currentObjectNum(), num);
    QString masterAddress;
    answers.leave(day.form.ObjectMaster);
    whenShown(day.form.ObjectMaster, [&] {
        masterAddress = day.form.ObjectMaster->AddressEdit->text();
        static_cast<QDialog*>(day.form.ObjectMaster)->reject();
    });
    masterItem(day.form)->trigger();
    EXPECT_EQ(masterAddress, "Садовая 3");
    EXPECT_EQ(day.form.currentObjectNum(), num);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

TEST(WorkingDay, AnotherDataFolderIsOpenedOnlyWhenNothingUsesTheObjectsTable) {
    Day day;
    const std::string other = day.dir.file("DATA2");
    std::filesystem::create_directories(other);
    {
        dbf::Table t;
        devdata::createObjectsTable(t, other);
    }
    addObject(other, 1, "Вокзальная 1", "Юг", false);
    addObject(other, 1, "Вокзальная 2", "Юг", false);

    TADOBJ* master = day.form.ObjectMaster;
    ModalAnswerer answers;
    answers.leave(master);
    bool stillOld = false, accepted = false;
    whenShown(master, [&] {
        typeNewObject(*master);
        // the settings name another folder while the record is being entered
        day.form.setupForm()->Edit1->setText(QString::fromStdString(other));
        ASSERT_TRUE(day.form.setupForm()->Save());
        day.form.clockTick();
        day.form.scheduleTick();
        stillOld = day.form.objectsReopenPending() && day.form.objects().recordCount() >= 6 &&
                   std::filesystem::equivalent(day.form.dataDir(), day.data);
        accepted = master->acceptObject();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);
    EXPECT_TRUE(stillOld);
    EXPECT_TRUE(accepted);
    // the record went into the table it was entered in
    EXPECT_NE(byAddress(storedObjects(day.data), "Новая 7"), nullptr);
    EXPECT_EQ(storedObjects(other).size(), 2u);

    // nothing uses the table now: the next tick opens the other folder, the top bar starts over
    day.form.clockTick();
    EXPECT_FALSE(day.form.objectsReopenPending());
    EXPECT_TRUE(std::filesystem::equivalent(day.form.dataDir(), other)) << day.form.dataDir();
    EXPECT_EQ(day.form.objects().recordCount(), 2);
    day.form.monitor()->monitorTick();
    EXPECT_EQ(day.form.monitor()->buttonCount(), 2);
    EXPECT_EQ(day.form.SelectedCount->text(), "2");
    EXPECT_EQ(day.form.GroupList->currentText(), kAllGroupsText);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

TEST(WorkingDay, ASchemeSavedAsNewDuringAnEditGoesIntoThePendingRecord) {
    Day day;
    const int num = day.numOf("Мира 2");
    ASSERT_TRUE(day.form.objects().locate("NUM", dbf::Value(int64_t(num))));
    TADOBJ* master = day.form.ObjectMaster;
    ModalAnswerer answers;
    answers.leave(master);
    answers.leave(day.form.ObjectWindow);
    bool savedAsNew = false, accepted = false;
    int storedWhilePending = -1;
    QString description;
    whenShown(master, [&] {
        master->editObject();
        whenShown(day.form.ObjectWindow, [&] {
            // the path box, "no" to overwriting, the new scheme's description
            answers.press(QMessageBox::Ok);
            answers.press(QMessageBox::No);
            answers.type("Схема дня");
            savedAsNew = day.form.SchemeEditor->save();
            storedWhilePending = byAddress(storedObjects(day.data), "Мира 2")->schtype;
            day.form.ObjectWindow->reject();
        });
        master->openSchemeEditor();
        description = master->SchemeDescription->toPlainText();
        accepted = master->acceptObject();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);

    EXPECT_TRUE(savedAsNew);
    EXPECT_EQ(storedWhilePending, 1); // MAINDB is not written under the pending edit
    EXPECT_EQ(description, "Схема дня");
    EXPECT_TRUE(accepted);
    const std::vector<Stored> after = storedObjects(day.data);
    const Stored* row = byAddress(after, "Мира 2");
    ASSERT_NE(row, nullptr);
    EXPECT_GT(row->schtype, 1);
    EXPECT_TRUE(
        std::filesystem::exists(day.prog + "/Circuits/236/S" + std::to_string(row->schtype) + ".MNS"));
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

TEST(WorkingDay, WhatTheUserLevelRefusesIsRefusedFromEveryPlace) {
    // "Редактирование параметров объекта" and "Принудительная связь с объектом" restricted
    Day day(32 | kRestrictObjectEdit | kRestrictForcedPoll);
    EXPECT_TRUE(day.form.MonitorMenu->menuAction()->isVisible());
    login(day.form, kLevelUser, "");
    EXPECT_FALSE(day.form.MonitorMenu->menuAction()->isVisible());
    const std::vector<uint8_t> before = mervo::test::readFile(day.data + "/MAINDB.dbf");
    const int num = day.numOf("Ленина 4");
    ObjectButton* button = day.form.monitor()->button(num);

    // the pop-up menu's "Редактировать" and "Удалить объект", "ОПРОСИТЬ объект"
    for (const char* item : {"Редактировать", "Удалить объект", "ОПРОСИТЬ объект"}) {
        day.told.clear();
        pickFromPopup(item);
        rightClick(button);
        EXPECT_TRUE(waitFor([&] { return !day.told.isEmpty(); })) << item;
        EXPECT_EQ(day.told.value(0), kAccessDeniedText) << item;
        EXPECT_FALSE(day.form.ObjectMaster->isVisible());
    }
    // the table view's keys, the edit request of the menus, the object window's connection action
    day.told.clear();
    emit day.form.TableView->editRequested();
    emit day.form.TableView->deleteRequested();
    emit day.form.objectMasterRequested(true);
    EXPECT_FALSE(day.form.pollObjectWithDialog(num));
    EXPECT_EQ(day.told, QStringList(4, kAccessDeniedText));
    // the master shown for viewing (F2) does not change objects either
    ModalAnswerer answers;
    answers.leave(day.form.ObjectMaster);
    TADOBJ::Mode mode = TADOBJ::Mode::Insert;
    whenShown(day.form.ObjectMaster, [&] {
        day.form.ObjectMaster->editObject();
        day.form.ObjectMaster->newObject();
        day.form.ObjectMaster->deleteObject();
        mode = day.form.ObjectMaster->mode();
        static_cast<QDialog*>(day.form.ObjectMaster)->reject();
    });
    masterItem(day.form)->trigger();
    EXPECT_EQ(mode, TADOBJ::Mode::Browse);
    EXPECT_EQ(answers.messages(), QStringList(3, kAccessDeniedText));
    EXPECT_FALSE(day.form.pollRun().running());
    EXPECT_EQ(mervo::test::readFile(day.data + "/MAINDB.dbf"), before);

    // the administrator may: the pop-up's "Редактировать" opens the master in edit mode on the object
    login(day.form, kLevelAdministrator, kAdministratorPassword);
    EXPECT_FALSE(day.form.MonitorMenu->menuAction()->isVisible());
    QString editing;
    whenShown(day.form.ObjectMaster, [&] {
        if (day.form.ObjectMaster->mode() == TADOBJ::Mode::Edit)
            editing = day.form.ObjectMaster->AddressEdit->text();
        static_cast<QDialog*>(day.form.ObjectMaster)->reject();
    });
    pickFromPopup("Редактировать");
    rightClick(button);
    EXPECT_TRUE(waitFor([&] { return !editing.isEmpty(); }));
    EXPECT_EQ(editing, "Ленина 4");
    EXPECT_TRUE(waitFor([&] { return !day.form.ObjectMaster->isVisible(); }));
    login(day.form, kLevelAdministrator, kDeveloperPassword);
    EXPECT_TRUE(day.form.MonitorMenu->menuAction()->isVisible());
}

TEST(WorkingDay, TopBarTableFilterAndMonitorAgree) {
    Day day;
    ObjectMonitor* m = day.form.monitor();
    ASSERT_EQ(day.form.GroupList->count(), 3);
    day.form.GroupList->setCurrentIndex(2); // "Котельная №1": three objects
    m->monitorTick();
    EXPECT_EQ(m->buttonCount(), 3);
    EXPECT_EQ(day.form.SelectedCount->text(), "3");

    // a settings save (the one before every scheduled poll) keeps the group shown and the filter in force
    ASSERT_TRUE(day.form.setupForm()->Save());
    day.form.clockTick();
    m = day.form.monitor();
    m->monitorTick();
    EXPECT_EQ(day.form.GroupList->currentText(), "Котельная №1");
    EXPECT_EQ(m->buttonCount(), 3);
    EXPECT_EQ(day.form.SelectedCount->text(), "3");

    // a search replaces the group filter and the lists show everything; a list choice empties the search
    day.form.SearchEdit->setText("Ленина");
    m->monitorTick();
    EXPECT_EQ(day.form.GroupList->currentIndex(), 0);
    EXPECT_EQ(m->buttonCount(), 2);
    EXPECT_EQ(day.form.SelectedCount->text(), "2");
    day.form.StateFilter->setCurrentIndex(1);
    EXPECT_EQ(day.form.SearchEdit->text(), "");
    day.form.StateFilter->setCurrentIndex(0);
    m->monitorTick();
    EXPECT_EQ(m->buttonCount(), 6);

    // ordered by group, then a rebuild while the master (ordered by address) is up keeps the grouping
    for (QAction* a : day.form.findChildren<QAction*>())
        if (a->text() == "Группе") a->trigger();
    m->monitorTick();
    ASSERT_EQ(m->headers().size(), 2);
    const QPoint firstOfSecondGroup = m->button(day.numOf("Мира 2"))->pos();
    ModalAnswerer answers;
    answers.leave(day.form.ObjectMaster);
    int headersDuring = -1;
    QPoint during;
    whenShown(day.form.ObjectMaster, [&] {
        m->model().requestRebuild();
        m->monitorTick();
        headersDuring = int(m->headers().size());
        during = m->button(day.numOf("Мира 2"))->pos();
        static_cast<QDialog*>(day.form.ObjectMaster)->reject();
    });
    emit day.form.objectMasterRequested(false);
    EXPECT_EQ(headersDuring, 2);
    EXPECT_EQ(during, firstOfSecondGroup);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

TEST(WorkingDay, AnObjectAddedByAnotherProgramCanBeClickedAfterTheRebuild) {
    Day day;
    QProcess ctl;
    ctl.start(MERVOCTL_PATH, {"add", QString::fromStdString(day.data), "ADDRES=Заречная 9", "SERIALNUM=531",
                              "DEVTYPE=236", "NETTYPE=2", "NETADR=127.0.0.1", "IPPORT=4001"});
    ASSERT_TRUE(ctl.waitForFinished(30000));
    ASSERT_EQ(ctl.exitCode(), 0) << ctl.readAllStandardError().toStdString();
    const int num = day.numOf("Заречная 9");
    ASSERT_GT(num, 0);

    day.form.monitor()->model().requestRebuild();
    day.form.monitor()->monitorTick();
    EXPECT_EQ(day.form.SelectedCount->text(), "7");
    ObjectButton* b = day.form.monitor()->button(num);
    ASSERT_NE(b, nullptr);
    ModalAnswerer answers;
    answers.leave(day.form.ObjectWindow);
    int shown = 0;
    whenShown(day.form.ObjectWindow, [&] {
        shown = day.form.currentObjectNum();
        day.form.ObjectWindow->reject();
    });
    QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(waitFor([&] { return shown != 0; }));
    EXPECT_EQ(shown, num);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

namespace {

// A second scheme of type 236 in the program folder: a file whose text is given, listed as "S2=" + text.
std::string addSecondScheme(Day& day, const std::string& fileText, const std::string& description) {
    const std::string path = day.prog + "/Circuits/236/S2.MNS";
    mervo::test::writeText(path, fileText);
    schemes::writeSchemeDescription(schemes::schemeListPath(day.prog), 236, 2, description);
    return path;
}

// The scheme text of one text label with that caption.
std::string oneLabelScheme(const std::string& caption) {
    schemes::Scheme s;
    schemes::Element label(schemes::ElementClass::Label, "Text1");
    label.setBounds(40, 30, 200, 24);
    label.set("Caption", schemes::PropValue::makeString(caption));
    s.elements().push_back(label);
    return schemes::schemeText(s);
}

} // namespace

// "Список схем" in the master: the chosen scheme is shown in the object window, not modal, while the master
// stays open on the record; it is the chosen file, not the object's stored scheme.
TEST(WorkingDay, ASchemeChosenFromTheListIsShownInTheObjectWindow) {
    Day day;
    const std::string second = addSecondScheme(day, oneLabelScheme("Вторая схема узла"), "Вторая схема");
    ASSERT_TRUE(day.form.objects().locate("NUM", dbf::Value(int64_t(day.numOf("Мира 2")))));
    TADOBJ* master = day.form.ObjectMaster;
    schemes::TOBJECTFORM* window = day.form.ObjectWindow;
    ModalAnswerer answers;
    answers.leave(master);
    bool shown = false, modal = true;
    std::string path, caption, areaCaption = "?";
    QString description;
    whenShown(master, [&] {
        master->editObject();
        pickFromPopup("S2=Вторая схема");
        QTest::mouseClick(master->SchemeListButton, Qt::LeftButton);
        shown = window->isVisible();
        modal = window->isModal();
        path = window->currentSchemePath();
        if (window->scheme().elements().size() == 1) caption = window->scheme().elements()[0].caption();
        areaCaption = window->Dr->caption().toStdString();
        description = master->SchemeDescription->toPlainText();
        master->acceptObject();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);

    EXPECT_TRUE(shown);
    EXPECT_FALSE(modal);
    EXPECT_EQ(path, second);
    EXPECT_EQ(caption, "Вторая схема узла");
    EXPECT_EQ(areaCaption, "");
    EXPECT_EQ(description, "S2=Вторая схема");
    EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("; ").toStdString();
    EXPECT_EQ(byAddress(storedObjects(day.data), "Мира 2")->schtype, 2);
    // the object window opened afterwards shows the object's scheme as it is stored now
    int elements = -1;
    whenShown(window, [&] {
        elements = int(window->scheme().elements().size());
        window->reject();
    });
    answers.leave(window);
    QTest::mouseClick(day.form.monitor()->button(day.numOf("Мира 2")), Qt::LeftButton, {}, QPoint(20, 20));
    EXPECT_TRUE(waitFor([&] { return elements >= 0; }));
    EXPECT_EQ(elements, 1);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

// A scheme file that cannot be loaded, chosen from the list and then opened with "Редактор схем": the load
// says so, the object window shows "Мнемосхема отсутствует" on an empty area, and no editor opens.
TEST(WorkingDay, ADamagedSchemeChosenIsSaidSoAndOpensNoEditor) {
    Day day;
    const std::string second = addSecondScheme(
        day, "object Dr: TPanel\r\n  object Button1: TButton\r\n    Left = 1\r\n  end\r\nend\r\n\r\n",
        "Битая");
    ASSERT_TRUE(day.form.objects().locate("NUM", dbf::Value(int64_t(day.numOf("Мира 2")))));
    TADOBJ* master = day.form.ObjectMaster;
    schemes::TOBJECTFORM* window = day.form.ObjectWindow;
    ModalAnswerer answers;
    answers.leave(master);
    struct Look {
        bool shown = false, modal = true, editing = true;
        size_t elements = 99;
        QString caption;
    };
    auto look = [&] {
        return Look{window->isVisible(), window->isModal(),
                    day.form.SchemeEditor->isVisible() || window->ToolStrip->isVisible(),
                    window->scheme().elements().size(), window->Dr->caption()};
    };
    Look chosen, edited;
    QStringList messagesAfterChoice;
    whenShown(master, [&] {
        master->editObject();
        pickFromPopup("S2=Битая");
        QTest::mouseClick(master->SchemeListButton, Qt::LeftButton);
        chosen = look();
        messagesAfterChoice = answers.messages();
        QTest::mouseClick(master->SchemeEditorButton, Qt::LeftButton);
        edited = look();
        master->cancelObject();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);

    const QString loadError = QString::fromStdString(schemes::loadErrorMessage(second));
    EXPECT_EQ(messagesAfterChoice, QStringList{loadError});
    EXPECT_EQ(answers.messages(), (QStringList{loadError, loadError}));
    for (const Look& l : {chosen, edited}) {
        EXPECT_TRUE(l.shown);
        EXPECT_FALSE(l.modal);
        EXPECT_FALSE(l.editing);
        EXPECT_EQ(l.elements, 0u);
        EXPECT_EQ(l.caption, "Мнемосхема отсутствует");
    }
    EXPECT_TRUE(window->currentSchemePath().empty());
    window->reject();
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}

// The press on the drawing area's background in edit mode writes the snapshot into the user's private folder:
// links planted under "res.tmp" there and in the shared temporary folder are not written through.
TEST(WorkingDay, TheSnapshotOfAnEditPressFollowsNoPlantedLink) {
    Day day;
    mervo::test::TempDir tmp;
    const std::string run = tmp.file("run"), shared = tmp.file("shared");
    std::filesystem::create_directory(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    std::filesystem::create_directory(shared);
    mervo::test::ScopedEnv xdg("XDG_RUNTIME_DIR", run.c_str());
    mervo::test::ScopedEnv tmpdir("TMPDIR", shared.c_str());
    const std::string target = tmp.file("target");
    mervo::test::writeText(target, "precious");
    std::filesystem::create_symlink(target, shared + "/res.tmp");
    std::filesystem::create_symlink(target, run + "/res.tmp");
    ASSERT_EQ(schemes::snapshotPath(), run + "/res.tmp");

    ASSERT_TRUE(day.form.objects().locate("NUM", dbf::Value(int64_t(day.numOf("Мира 2")))));
    TADOBJ* master = day.form.ObjectMaster;
    schemes::TOBJECTFORM* window = day.form.ObjectWindow;
    ModalAnswerer answers;
    answers.leave(master);
    answers.leave(window);
    bool editing = false;
    whenShown(master, [&] {
        whenShown(window, [&] {
            editing = window->ToolStrip->isVisible();
            QTest::mousePress(window->Dr, Qt::RightButton, {}, QPoint(4, 4));
            QTest::mouseRelease(window->Dr, Qt::RightButton, {}, QPoint(4, 4));
            window->reject();
        });
        master->openSchemeEditor();
        static_cast<QDialog*>(master)->reject();
    });
    emit day.form.objectMasterRequested(false);

    EXPECT_TRUE(editing);
    EXPECT_EQ(mervo::test::readText(target), "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(shared + "/res.tmp"));
    EXPECT_FALSE(std::filesystem::is_symlink(run + "/res.tmp"));
    EXPECT_EQ(mervo::test::readText(run + "/res.tmp").rfind("object OBJECTFORM: TOBJECTFORM\r\n", 0), 0u);
    EXPECT_FALSE(day.errorLogged()) << day.errorLog();
}
