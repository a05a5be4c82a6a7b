// The main window's frame: pages fed by a poll, status texts, the clock tick, the error handler, closing.
#include "dbf/codec.h"
#include "devdata/layouts.h"
#include "devdata/state_windows.h"
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "schemes/object_form.h"
#include "schemes/scheme_editor.h"
#include "shell/about.h"
#include "shell/local_connect.h"
#include "shell/main_form.h"
#include "shell/object_master.h"
#include "shell/object_monitor.h"
#include "shell/settings_form.h"
#include "shell/startup.h"
#include "shell/table_view.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

using namespace shell;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

struct Window {
    TempDir dir;
    std::string data = dir.file("DATA");
    std::string prog = dir.file("prog");
    TMainForm form{prog};
    QStringList asked;
    bool answer = true;
    bool quit = false;

    Window() {
        std::filesystem::create_directories(data);
        std::filesystem::create_directories(prog);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
        form.setDataDir(data + "/");
        devdata::Settings s;
        s.par1_234 = devdata::kBitState;
        form.setSettings(s);
        form.confirmExit = [this](const QString& t) {
            asked << t;
            return answer;
        };
        form.confirmStopPoll = form.confirmExit;
        form.inform = [this](const QString& t) { asked << t; };
        form.quitApplication = [this] { quit = true; };
    }
    void add(int port, const char* addres) {
        dbf::Table t;
        t.open(data, "MAINDB");
        t.append();
        t.setInt("DEVTYPE", 236);
        t.setInt("SERIALNUM", 530);
        t.setString("ADDRES", addres);
        t.setInt("NETTYPE", 2);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", port);
        t.setBool("AUTOCON", true);
        t.post();
    }
    QStringList events() const {
        QStringList l;
        for (int i = 0; i < form.WindowStateL->count(); ++i)
            l << form.WindowStateL->item(i)->text();
        return l;
    }
};

} // namespace

TEST(MainForm, APollFeedsThePagesWhileTheWindowAnswers) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "200"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    w.add(sim.port(), "Школа №3");
    w.form.show();
    bool rebuild = false;
    QObject::connect(&w.form, &TMainForm::rebuildMonitorRequested, [&] { rebuild = true; });
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    rebuild = false;
    ASSERT_TRUE(w.form.startPoll());
    EXPECT_FALSE(w.form.startPoll()); // a second start is refused
    EXPECT_EQ(w.asked.last(), "Опрос уже запущен");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.pollRun().running(); }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return rebuild; }, 5000));
    EXPECT_GT(ticks, 20); // the window's event loop kept running during the poll
    const QStringList lines = w.events();
    EXPECT_TRUE(lines.filter(" Котельная №1").filter(" Опрошен").size() == 1)
        << lines.join("\n").toStdString();
    EXPECT_TRUE(lines.filter(" Школа №3").filter(" Опрошен").size() == 1);
    EXPECT_TRUE(lines.contains("Отключено:     0"));
    EXPECT_EQ(w.form.StatusPanel[1]->text(), "Опрос завершен");
    EXPECT_EQ(w.form.StatusPanel[3]->text(), "Опрошено:   2  Осталось:   0  Ошибок:   0 ");
    // the balloon of the run's end carries the summary
    EXPECT_EQ(w.form.lastBalloonTitle, "БД узлов учета тепловой энергии");
    EXPECT_TRUE(w.form.lastBalloonText.startsWith("Опрос объектов завершен "))
        << w.form.lastBalloonText.toStdString();
    // the run's "\n\r" line ends show as one line break each
    EXPECT_TRUE(w.form.lastBalloonText.endsWith("\nОпрошено:\t002 из   2\nОшибок:\t000\nОтключено:\t000\n"))
        << w.form.lastBalloonText.toStdString();
    EXPECT_FALSE(w.form.lastBalloonText.contains('\r'));
    // the terminal page got the traffic
    w.form.showDiagnosticPages(true);
    EXPECT_TRUE(w.form.TerminalMemo->toPlainText().contains("Send:  06 EC 12 02 00"));
    mervo::test::saveScreenshot(w.form, MERVO_SCREENSHOT_DIR, "main_window_pages");
}

TEST(MainForm, ClockTickTexts) {
    Window w;
    w.form.nextPoll = dbf::DateTime::fromParts(2026, 12, 11, 12, 0, 30);
    w.form.autoPollOn = true;
    w.form.clockTick();
    EXPECT_EQ(w.form.StatusPanel[0]->text(), "Авто");
    EXPECT_EQ(w.form.StatusPanel[4]->text(), "Дата очередного опроса: 11.12.2026 12:00");
    w.form.autoPollOn = false;
    w.form.clockTick();
    EXPECT_EQ(w.form.StatusPanel[0]->text(), "Ручной");
    EXPECT_EQ(w.form.StatusPanel[4]->text(), "Режим \"Автоопрос\" отключен");
    EXPECT_TRUE(w.form.ClockLabel->text().contains(QString::fromStdString(dbf::DateTime::now().dateText())));
    EXPECT_TRUE(w.form.SpeedButtonSignal->isEnabled());
}

TEST(MainForm, ErrorHandlerCountsLogsAndShows) {
    Window w;
    w.form.guarded("TMainForm", [] { throw dbf::Error("Таблица не найдена: /x/MAINDB.dbf"); });
    w.form.guarded("TADOBJ", [] { throw std::runtime_error("second"); });
    w.form.guarded("TMainForm", [] {}); // nothing escapes: nothing counted
    EXPECT_EQ(w.form.errorCount, 2);
    EXPECT_EQ(w.form.PageControl1->tabText(2), "Ошибки 2");
    ASSERT_EQ(w.form.ErrorsList->count(), 2);
    EXPECT_EQ(w.form.ErrorsList->item(0)->text(), "Exception TMainFormТаблица не найдена: /x/MAINDB.dbf");
    EXPECT_EQ(w.form.ErrorsList->item(1)->text(), "Exception TADOBJsecond");
    std::ifstream log(w.prog + "/ErrorLog.log", std::ios::binary);
    std::stringstream ss;
    ss << log.rdbuf();
    const std::string text = ss.str();
    EXPECT_NE(text.find(" - " + dbf::codec::toCp1251("Таблица не найдена: /x/MAINDB.dbf") + "\r\n"),
              std::string::npos);
    EXPECT_NE(text.find(" - second\r\n"), std::string::npos);
}

TEST(MainForm, ClosingRules) {
    // the title-bar close box only hides the window into the tray
    {
        Window w;
        w.form.trayAvailable = [] { return true; };
        w.form.show();
        w.form.close();
        EXPECT_FALSE(w.form.isVisible());
        EXPECT_FALSE(w.quit);
        EXPECT_TRUE(w.asked.isEmpty());
        w.form.trayClicked(); // a click on the icon brings it back
        EXPECT_TRUE(w.form.isVisible());
    }
    // without a tray the window stays reachable: closing minimises it
    {
        Window w;
        w.form.trayAvailable = [] { return false; };
        w.form.show();
        w.form.close();
        EXPECT_TRUE(w.form.isVisible());
        EXPECT_TRUE(w.form.isMinimized());
        EXPECT_FALSE(w.quit);
    }
    // "Выход" under the user restriction: refused and hidden
    {
        Window w;
        w.form.trayAvailable = [] { return true; };
        devdata::Settings s = w.form.settings();
        s.par2 = 16;
        w.form.setSettings(s);
        w.form.show();
        w.form.exitProgram();
        EXPECT_EQ(w.asked, QStringList{kAccessDeniedText});
        EXPECT_FALSE(w.form.isVisible());
        EXPECT_FALSE(w.quit);
        // the administrator may leave
        w.form.access.AccessLevel = 1;
        w.form.exitProgram();
        EXPECT_TRUE(w.quit);
    }
    // confirmation cancelled: stays, and the auto-poll stays off
    {
        Window w;
        w.form.autoPollOn = true;
        w.answer = false;
        w.form.exitProgram();
        EXPECT_EQ(w.asked, QStringList{"Вы действительно хотите завершить работу с программой?"});
        EXPECT_FALSE(w.quit);
        EXPECT_FALSE(w.form.autoPollOn);
    }
}

TEST(MainForm, ExitWhileAPollRuns) {
    // the poll stops in time: the program ends; it does not: the program stays
    for (int tries : {50, 3}) {
        SCOPED_TRACE(tries);
        SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "1500"});
        Window w;
        w.add(sim.port(), "Котельная №1");
        w.form.exitWaitTries = tries;
        ASSERT_TRUE(w.form.startPoll());
        QTest::qWait(300);
        w.form.exitProgram();
        EXPECT_EQ(w.asked.size(), 2);
        EXPECT_EQ(w.asked.value(1),
                  "Идет опрос объектов. Нажмите OK чтобы прервать опрос и выйти из программы");
        // the UDP hang-up after the stop takes a second: 3 tries of 100 ms are too few
        EXPECT_EQ(w.quit, tries == 50);
        w.form.pollRun().wait();
    }
}

TEST(MainForm, SessionEndRefusedWhileAPollRuns) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "1500"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    ASSERT_TRUE(w.form.startPoll());
    mervo::test::ModalAnswerer answers;
    EXPECT_FALSE(w.form.sessionMayEnd());
    ASSERT_EQ(answers.seen().size(), 1u);
    EXPECT_EQ(answers.seen()[0].text, "Идет опрос объектов. Завершите опрос и повторите попытку");
    w.form.stopPoll();
    EXPECT_TRUE(w.form.sessionMayEnd());
    EXPECT_TRUE(w.form.endingSession);
}

namespace {

void fillDemoObjects(Window& w, int port) {
    dbf::Table t;
    t.open(w.data, "MAINDB");
    const char* streets[] = {"Ленина", "Мира", "Садовая", "Заводская", "Лесная", "Победы"};
    for (int i = 1; i <= 30; ++i) {
        t.append();
        t.setInt("DEVTYPE", 236);
        t.setInt("SERIALNUM", i == 1 ? 530 : 1000 + i);
        t.setString("ADDRES", std::string(streets[i % 6]) + " " + std::to_string(i));
        t.setInt("NETTYPE", 2);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", port);
        t.setString("STATE", i % 7 == 0 ? "Нет связи" : "---");
        t.setBool("AUTOCON", i == 1);
        t.setBool("ERR", i % 7 == 0);
        t.setString("DESKRIPTION", i % 3 == 0 ? "Котельная №1" : "ЦТП Север");
        t.post();
    }
}

} // namespace

TEST(MainForm, ObjectMonitorInTheWindow) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    Window w;
    fillDemoObjects(w, sim.port());
    w.form.resize(1200, 800);
    w.form.openObjects();
    w.form.show();
    w.form.monitor()->monitorTick();
    EXPECT_EQ(w.form.monitor()->buttonCount(), 30);
    EXPECT_EQ(w.form.SelectedCount->text(), "30");
    ASSERT_EQ(w.form.GroupList->count(), 3); // "Все объекты" and the two groups in table order
    EXPECT_EQ(w.form.GroupList->itemText(1), "ЦТП Север");

    // group, then a search that replaces the group filter
    w.form.GroupList->setCurrentIndex(2);
    EXPECT_EQ(w.form.SelectedCount->text(), "10");
    w.form.monitor()->monitorTick();
    EXPECT_EQ(w.form.monitor()->buttonCount(), 10);
    w.form.SearchEdit->setText("Ленина");
    EXPECT_EQ(w.form.SelectedCount->text(), "5");
    w.form.SearchKind->setCurrentIndex(1); // emptied search: everything again
    EXPECT_EQ(w.form.SearchEdit->text(), "");

    // the poll's end rebuilds the monitor: the polled object turns "Норма"
    w.form.StateFilter->setCurrentIndex(0);
    w.form.GroupList->setCurrentIndex(0);
    ASSERT_TRUE(w.form.startPoll());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.pollRun().running(); }, 30000));
    QTest::qWait(50);
    w.form.monitor()->monitorTick();
    ASSERT_NE(w.form.monitor()->button(1), nullptr);
    EXPECT_EQ(w.form.monitor()->button(1)->State.text(), "Норма");

    // ordered by group: headers, then a screenshot of the window as a dispatcher sees it
    for (QAction* a : w.form.findChildren<QAction*>())
        if (a->text() == "Группе") a->trigger();
    w.form.monitor()->monitorTick();
    EXPECT_EQ(w.form.monitor()->headers().size(), 2);
    mervo::test::saveScreenshot(w.form, MERVO_SCREENSHOT_DIR, "main_window_grouped");
}

TEST(MainForm, SearchTextWithQuotesAndStarsIsNoFilterError) {
    Window w;
    for (const char* address : {"Д'Артаньяна 4", "Мира 1", "*Склад*", "Д'Артаньяна 40"})
        w.add(0, address);
    w.form.openObjects();
    w.form.show();
    struct Case {
        const char* text;
        const char* count;
    } cases[] = {{"Д'Артаньяна 4", "2"}, {"Д'Арт", "2"}, {"*", "1"}, {"'", "0"}, {"Ω", "0"}, {"", "4"}};
    for (const auto& c : cases) {
        w.form.SearchEdit->clear();
        for (QChar ch : QString::fromUtf8(c.text)) // typed letter by letter
            w.form.SearchEdit->insert(QString(ch));
        EXPECT_EQ(w.form.SelectedCount->text(), c.count) << c.text;
    }
    w.form.SearchKind->setCurrentIndex(1);
    w.form.SearchEdit->setText("Д'Артаньян");
    EXPECT_EQ(w.form.SelectedCount->text(), "0");
    w.form.SearchEdit->setText("530");
    EXPECT_EQ(w.form.SelectedCount->text(), "4");
    EXPECT_EQ(w.form.errorCount, 0);
    EXPECT_EQ(w.form.ErrorsList->count(), 0);
    EXPECT_FALSE(std::filesystem::exists(w.prog + "/ErrorLog.log"));
}

TEST(MainForm, ObjectPopupChecksAndDelete) {
    Window w;
    fillDemoObjects(w, 1);
    w.form.openObjects();
    devdata::Settings s = w.form.settings();
    s.par2 = 1; // "Редактирование параметров объекта" restricted
    w.form.setSettings(s);
    w.form.popupAutoPollToggle();
    EXPECT_EQ(w.asked.last(), kAccessDeniedText);
    w.form.popupDelete();
    EXPECT_EQ(w.asked.last(), kAccessDeniedText);
    EXPECT_EQ(w.form.objects().recordCount(), 30);

    // the administrator deletes: the question, the object and its daily and hourly archives
    w.form.access.AccessLevel = 1;
    for (const char* kind : {"D", "H", "M"}) {
        dbf::Table a;
        const std::string name = std::string("ARCHDB530") + kind + "236";
        a.create(w.data, name, devdata::archiveTableLayout(236)->fields,
                 devdata::archiveTableLayout(236)->indexes);
    }
    QString question;
    w.form.confirmDelete = [&](const QString& t) {
        question = t;
        return true;
    };
    w.form.objects().first();
    w.form.popupDelete();
    EXPECT_EQ(question, "вы действительно хотите удалить объект Мира 1 ?");
    EXPECT_EQ(w.form.objects().recordCount(), 29);
    EXPECT_FALSE(dbf::tableExists(w.data, "ARCHDB530D236"));
    EXPECT_FALSE(dbf::tableExists(w.data, "ARCHDB530H236"));
    EXPECT_TRUE(dbf::tableExists(w.data, "ARCHDB530M236"));
}

// The settings store of the window: auto-poll on at start, a poll every minute, the next one three days past
// (and `more` lines of its own); the windows attached with it. Returns the store's path.
std::string attachDueSchedule(Window& w, const std::string& more) {
    const std::string registry = w.dir.file("registry.ini");
    {
        std::ofstream f(registry);
        f << "[PAR]\nPar2=32\nPeriod=4\nPeriodX=1\n" << more << "DPath=" << w.data << "\n";
    }
    devdata::SettingsStore store(registry);
    devdata::Settings s = store.load();
    s.dtconn = dbf::DateTime::now().addDays(-3);
    store.save(s);
    SetupEnvironment env;
    env.programDir = w.prog;
    env.programPath = w.prog + "/Mervo";
    env.registryPath = registry;
    env.autostartPath = w.dir.file("autostart/mervo.desktop");
    w.form.attachWindows(env);
    return registry;
}

TEST(MainForm, SettingsScheduleAndAccessWired) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "300"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    // the store: auto-poll on at start, a poll every minute, the next one three days past
    const std::string registry = attachDueSchedule(w, "Par1_234=1\n");
    devdata::SettingsStore store(registry);
    EXPECT_TRUE(w.form.autoPollOn);
    EXPECT_TRUE(w.form.SpeedButtonAuto->isChecked());
    EXPECT_EQ(w.form.settings().period, 4);

    // the schedule tick finds the next poll time past: a poll starts and the next time moves on and is saved
    w.form.scheduleTick();
    EXPECT_TRUE(w.form.pollRun().running());
    const dbf::DateTime next = store.load().dtconn;
    EXPECT_GT(next, dbf::DateTime::now());
    EXPECT_LT(next, dbf::DateTime::now().addMs(2 * 60'000));
    w.form.clockTick();
    EXPECT_TRUE(w.form.StatusPanel[4]->text().startsWith("Дата очередного опроса: "));

    // "Автоопрос" pressed up during the poll: the question, the stop, auto-poll off
    QString asked;
    w.form.confirmStopAutoPoll = [&](const QString& t) {
        asked = t;
        return true;
    };
    w.form.SpeedButtonAuto->click();
    EXPECT_EQ(asked, "Внимание идет опрос объекта. Прервать опрос?");
    EXPECT_FALSE(w.form.autoPollOn);
    EXPECT_FALSE(w.form.SpeedButtonAuto->isChecked());
    w.form.pollRun().wait();

    // the developer level shows START, STOP, the developer menus and the diagnostic pages
    emit w.form.accessDialog()->developerItemsVisible(true);
    emit w.form.accessDialog()->developerPagesRequested();
    EXPECT_FALSE(w.form.SpeedButtonStart->isHidden());
    EXPECT_TRUE(w.form.TempMenu->menuAction()->isVisible());
    EXPECT_TRUE(w.form.PageControl1->isTabVisible(3));
    EXPECT_TRUE(w.form.PageControl1->isTabVisible(1));
}

TEST(MainForm, OperatorsPollOfAFolderAnotherProgramPollsIsRefusedWithTheMessage) {
    // the window's own message boxes, answered as the operator would
    TempDir dir;
    const std::string data = dir.file("DATA"), prog = dir.file("prog");
    std::filesystem::create_directories(data);
    std::filesystem::create_directories(prog);
    {
        dbf::Table t;
        devdata::createObjectsTable(t, data);
        t.append();
        t.setInt("DEVTYPE", 236);
        t.setInt("SERIALNUM", 530);
        t.setString("ADDRES", "Котельная №1");
        t.setInt("NETTYPE", 2);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", 9);
        t.setString("STATE", "---");
        t.setBool("AUTOCON", true);
        t.post();
    }
    TMainForm form(prog);
    form.setDataDir(data + "/");
    form.openObjects();
    form.show();
    bool dialogSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&] { dialogSeen = dialogSeen || form.LocalConnect->isVisible(); });
    watch.start(10);
    mervo::test::ModalAnswerer answers;

    polling::DataFolderLock other; // another program polls the folder
    ASSERT_TRUE(other.tryLock(data));
    form.SpeedButtonStart->click();                // START
    EXPECT_FALSE(form.pollObjectWithDialog(1));    // "ОПРОСИТЬ объект"
    emit form.ObjectWindow->connectionRequested(); // the object window's connection button
    ASSERT_EQ(answers.seen().size(), 3u);
    for (const auto& seen : answers.seen()) {
        EXPECT_EQ(seen.text, "Опрос уже запущен");
        EXPECT_EQ(seen.icon, QMessageBox::Information);
    }
    EXPECT_FALSE(dialogSeen);
    EXPECT_FALSE(form.pollRun().running());
    EXPECT_EQ(form.WindowStateL->count(), 0);
    {
        dbf::Table t;
        t.open(data, "MAINDB");
        EXPECT_EQ(t.asString("STATE"), "---"); // the object was not touched
    }
    EXPECT_FALSE(std::filesystem::exists(prog + "/Log"));

    // a folder whose poll lock cannot be taken: the error in an error box
    other.unlock();
    answers.clear();
    form.setDataDir(dir.file("gone") + "/");
    EXPECT_FALSE(form.startPoll());
    ASSERT_EQ(answers.seen().size(), 1u);
    EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
    EXPECT_TRUE(answers.seen()[0].text.startsWith("Не удалось открыть файл блокировки " +
                                                  QString::fromStdString(dir.file("gone"))))
        << answers.seen()[0].text.toStdString();
    EXPECT_FALSE(form.pollRun().running());
}

TEST(MainForm, ScheduledPollOfAFolderAnotherProgramPollsWaitsForItsNextDueTime) {
    Window w;
    mervo::test::ModalAnswerer answers; // no box may come
    const std::string registry = attachDueSchedule(w, "");
    devdata::SettingsStore store(registry);
    ASSERT_TRUE(w.form.autoPollOn);

    polling::DataFolderLock other;
    ASSERT_TRUE(other.tryLock(w.data));
    w.form.scheduleTick();
    w.form.scheduleTick(); // the second after
    EXPECT_FALSE(w.form.pollRun().running());
    const QStringList lines = w.events();
    ASSERT_EQ(lines.size(), 1) << lines.join("\n").toStdString();
    EXPECT_TRUE(QRegularExpression("^  \\d\\d:\\d\\d:\\d\\d Опрос уже запущен$").match(lines[0]).hasMatch())
        << lines[0].toStdString();
    EXPECT_EQ(w.form.WindowStateL->currentRow(), 0);
    EXPECT_TRUE(w.asked.isEmpty());
    EXPECT_TRUE(answers.seen().empty());
    // the next due time was stored before the start: a minute on
    const dbf::DateTime next = store.load().dtconn;
    EXPECT_GT(next, dbf::DateTime::now());
    EXPECT_LT(next, dbf::DateTime::now().addMs(2 * 60'000));
    EXPECT_EQ(w.form.nextPoll, next);

    // the other program is done; at the due time the poll starts
    other.unlock();
    w.form.setupForm()->storeNextPollTime(dbf::DateTime::now().addMs(-1000));
    w.form.scheduleTick();
    w.form.pollRun().wait();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.events().filter(" Опрос завершен").isEmpty(); }, 5000))
        << w.events().join("\n").toStdString();
    EXPECT_EQ(w.events().filter("Опрос уже запущен").size(), 1);
}

TEST(MainForm, ReopeningTheObjectsTableReplacesTheMonitor) {
    // a settings save reopens MAINDB: the old monitor must not tick on the model it had
    Window w;
    fillDemoObjects(w, 1);
    w.form.show();
    w.form.openObjects();
    w.form.openObjects();
    QTest::qWait(1300); // the monitor's one-second tick runs
    ASSERT_NE(w.form.monitor(), nullptr);
    EXPECT_EQ(w.form.monitor()->buttonCount(), 30);
    EXPECT_EQ(w.form.CentreView->widget(0), static_cast<QWidget*>(w.form.monitor()));
}

namespace {

// State rows of type 236 for the objects NUM 1 and 2.
void fillStateRows(Window& w) {
    dbf::Table objects;
    objects.open(w.data, "MAINDB");
    dbf::Table state;
    devdata::createStateTable(state, 236, w.data, nullptr);
    for (int num : {1, 2, 2}) {
        state.append();
        state.setInt("NUMSTATE", num);
        state.post();
    }
}

} // namespace

TEST(MainForm, TableViewFollowsTheObjectsTableAndItsCurrentState) {
    Window w;
    fillDemoObjects(w, 1);
    fillStateRows(w);
    w.form.resize(1200, 800);
    w.form.openObjects();
    w.form.show();
    w.form.monitor()->monitorTick();
    mervo::test::saveScreenshot(w.form, MERVO_SCREENSHOT_DIR, "main_window_buttons");

    QStringList windowRequests;
    QObject::connect(&w.form, &TMainForm::objectWindowRequested,
                     [&](int num) { windowRequests << QString::number(num); });
    auto menuItem = [&](const QString& text, const char* key) {
        for (QAction* a : w.form.findChildren<QAction*>())
            if (a->text() == text) {
                EXPECT_EQ(a->shortcut(), QKeySequence(key));
                a->trigger();
            }
    };
    menuItem("Таблица", "Ctrl+T");
    ASSERT_EQ(w.form.CentreView->currentWidget(), w.form.TableView);
    DbfGridModel* grid = w.form.TableView->objectsModel();
    ASSERT_EQ(grid->rowCount(), 30);
    ASSERT_EQ(grid->columnCount(), 17);
    EXPECT_EQ(grid->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "NUM");
    EXPECT_EQ(grid->headerData(16, Qt::Horizontal, Qt::DisplayRole).toString(), "DESKRIPTION");
    EXPECT_EQ(grid->index(1, 3).data().toString(), "Садовая 2");

    // a row made current moves the objects table and opens that object's current-state rows
    w.form.TableView->selectRow(1);
    EXPECT_EQ(w.form.objects().asInt("NUM"), 2);
    ASSERT_TRUE(w.form.currentState().isOpen());
    EXPECT_EQ(w.form.TableView->stateModel()->rowCount(), 2);
    w.form.TableView->Next->trigger();
    EXPECT_EQ(w.form.objects().asInt("NUM"), 3);
    EXPECT_EQ(w.form.TableView->stateModel()->rowCount(), 0);
    w.form.TableView->Last->trigger();
    EXPECT_EQ(w.form.objects().asInt("NUM"), 30);
    w.form.TableView->First->trigger();
    EXPECT_EQ(w.form.TableView->stateModel()->rowCount(), 1);

    // the top bar's group narrows the grid as it narrows the monitor
    w.form.GroupList->setCurrentIndex(2);
    w.form.monitor()->monitorTick();
    EXPECT_EQ(grid->rowCount(), 10);
    mervo::test::saveScreenshot(w.form, MERVO_SCREENSHOT_DIR, "main_window_table");

    // a double click opens the object window of that row
    QString shownAddress;
    QTimer::singleShot(300, [&] {
        if (w.form.ObjectWindow->isVisible()) shownAddress = w.form.ObjectWindow->AddresText->text();
        w.form.ObjectWindow->reject();
    });
    const QRect cell = w.form.TableView->ObjectsGrid->visualRect(grid->index(0, 3));
    QTest::mouseClick(w.form.TableView->ObjectsGrid->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(w.form.TableView->ObjectsGrid->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_EQ(windowRequests.size(), 1);
    EXPECT_EQ(windowRequests.last(), QString::number(w.form.objects().asInt("NUM")));
    EXPECT_EQ(shownAddress.toStdString(), w.form.objects().asString("ADDRES"));

    // the navigator's delete keeps the pop-up menu's checks and question
    devdata::Settings s = w.form.settings();
    s.par2 = 1; // "Редактирование параметров объекта" restricted at the user level
    w.form.setSettings(s);
    w.form.TableView->Delete->trigger();
    EXPECT_EQ(w.asked.last(), kAccessDeniedText);
    EXPECT_EQ(grid->rowCount(), 10);
    w.form.access.AccessLevel = 1;
    QString question;
    w.form.confirmDelete = [&](const QString& t) {
        question = t;
        return true;
    };
    w.form.TableView->selectRow(0);
    const std::string address = w.form.objects().asString("ADDRES");
    w.form.TableView->Delete->trigger();
    EXPECT_EQ(question.toStdString(), "вы действительно хотите удалить объект " + address + " ?");
    EXPECT_EQ(grid->rowCount(), 9);

    // back to the buttons
    menuItem("Кнопки", "Ctrl+K");
    EXPECT_EQ(w.form.CentreView->currentWidget(), w.form.monitor());
}

TEST(MainForm, AnObjectWhoseTypeWasNeverPolledHasNoStateRows) {
    Window w;
    fillDemoObjects(w, 1); // no STATEDB236 in the data folder
    w.form.openObjects();
    w.form.show();
    w.form.showTableView(true);
    w.form.TableView->selectRow(4);
    EXPECT_EQ(w.form.objects().asInt("NUM"), 5);
    EXPECT_FALSE(w.form.currentState().isOpen());
    EXPECT_EQ(w.form.TableView->stateModel()->rowCount(), 0);
    EXPECT_EQ(w.form.errorCount, 0);
}

TEST(MainForm, SingleObjectPollFromThePopupWithTheConnectionDialog) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "100"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    w.add(sim.port(), "Школа №3");
    w.form.openObjects();
    w.form.show();
    QStringList labels;
    QObject::connect(w.form.LocalConnect, &QDialog::finished, [&](int r) { labels << QString::number(r); });
    bool dialogSeen = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&] { dialogSeen = dialogSeen || w.form.LocalConnect->isVisible(); });
    watch.start(10);
    // the second object alone, whatever its AUTOCON
    ASSERT_TRUE(w.form.pollObjectWithDialog(2));
    EXPECT_TRUE(dialogSeen);
    EXPECT_EQ(labels, QStringList{QString::number(QDialog::Accepted)});
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.form.pollRun().running(); }, 5000));
    dbf::Table t;
    t.open(w.data, "MAINDB");
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(2))));
    EXPECT_EQ(t.asString("STATE"), "Норма");
    ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(1))));
    EXPECT_NE(t.asString("STATE"), "Норма");
    EXPECT_EQ(w.form.objects().asInt("NUM"), 2); // the polled object is the current one
}

TEST(MainForm, CancelInTheConnectionDialogStopsTheSingleObjectPoll) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "1500"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    w.form.openObjects();
    w.form.show();
    QTimer::singleShot(300, [&] {
        ASSERT_TRUE(w.form.LocalConnect->isVisible());
        QTest::mouseClick(w.form.LocalConnect->Button1, Qt::LeftButton);
    });
    ASSERT_TRUE(w.form.pollObjectWithDialog(1));
    EXPECT_EQ(w.form.LocalConnect->result(), QDialog::Rejected);
    EXPECT_FALSE(w.form.pollRun().running());
}

TEST(MainForm, AboutBoxSplashAndPollForm) {
    Window w;
    fillDemoObjects(w, 1);
    w.form.openObjects();

    QTimer::singleShot(100, [&] {
        EXPECT_EQ(w.form.AboutBox->ProductName->text(), "БД узлов учета тепловой энергии ");
        EXPECT_EQ(w.form.AboutBox->Version->text().toStdString(), programVersion());
        mervo::test::saveScreenshot(*w.form.AboutBox, MERVO_SCREENSHOT_DIR, "about");
        QTest::mouseClick(w.form.AboutBox->OKButton, Qt::LeftButton);
    });
    for (QAction* a : w.form.findChildren<QAction*>())
        if (a->text() == "О программе") a->trigger();
    EXPECT_FALSE(w.form.AboutBox->isVisible());

    TSplashForm splash;
    splash.setVersion(QString::fromStdString(programVersion()));
    splash.showNow();
    EXPECT_EQ(splash.size(), QSize(411, 217));
    EXPECT_TRUE(splash.VersionLabel->geometry().right() > 300 &&
                splash.VersionLabel->geometry().bottom() > 100);
    mervo::test::saveScreenshot(splash, MERVO_SCREENSHOT_DIR, "splash");

    // the developer's poll form shows its own copy of the objects table
    QTimer::singleShot(100, [&] {
        EXPECT_EQ(w.form.PollForm->Grid->model()->rowCount(), 30);
        w.form.PollForm->accept();
    });
    for (QAction* a : w.form.findChildren<QAction*>())
        if (a->text() == "Показать окно опроса") a->trigger();
}

TEST(MainForm, StatusBarGivesWayToANarrowWindow) {
    Window w;
    w.form.openObjects();
    w.form.show();
    w.form.resize(420, 500);
    QTest::qWait(20);
    // the panels give way to the window rather than holding it 990 pixels wide
    EXPECT_LT(w.form.statusBar()->minimumSizeHint().width(), 420);
    w.form.resize(1400, 500);
    QTest::qWait(20);
    // the design widths or wider where there is room
    EXPECT_GE(w.form.StatusPanel[1]->width(), 200);
    EXPECT_GE(w.form.StatusPanel[3]->width(), 250);
}

TEST(MainForm, HelpAndSignalTesterFromTheProgramFolder) {
    Window w;
    QStringList opened, started;
    w.form.openDocument = [&](const QString& p) { opened << p; };
    w.form.startProgram = [&](const QString& p) { started << p; };
    auto write = [&](const std::string& rel) {
        std::filesystem::create_directories(std::filesystem::path(w.prog + "/" + rel).parent_path());
        std::ofstream(w.prog + "/" + rel) << "x";
    };
    // no help files: nothing happens; no tester: its message
    w.form.showHelp();
    w.form.startSignalTester();
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(started.isEmpty());
    EXPECT_EQ(w.asked.last(), "Не установлен модуль тестирования уровня GSM сигнала");
    // the page, then the compiled help before it
    write("HELP/Index.html");
    w.form.showHelp();
    ASSERT_EQ(opened.size(), 1);
    EXPECT_TRUE(opened.last().endsWith("/HELP/Index.html"));
    write("HELP/Help.chm");
    w.form.showHelp();
    EXPECT_TRUE(opened.last().endsWith("/HELP/Help.chm"));
    write("LevelTest.dll");
    QTest::mouseClick(w.form.SpeedButtonSignal, Qt::LeftButton);
    ASSERT_EQ(started.size(), 1);
    EXPECT_TRUE(started.last().endsWith("/LevelTest.dll"));
}

TEST(MainForm, LineSignalsGoToTheLastStatusPanel) {
    Window w;
    // what the port's event thread reports reaches the panel through the bridge's queue
    std::thread portThread(
        [&] { w.form.bridge().lineSignals(polling::lineSignalsText(polling::kCts | polling::kRlsd)); });
    portThread.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.form.StatusPanel[5]->text().isEmpty(); }, 2000));
    EXPECT_EQ(w.form.StatusPanel[5]->text(), "CTS:On DSR:Off Ring:Off RLSD:On ");
}

// A desktop left polling keeps the most recent 50,000 event lines; the older ones leave from the top.
TEST(MainForm, EventListKeepsTheMostRecentLines) {
    Window w;
    const int n = 50'000 + 25;
    std::thread poll([&] {
        for (int i = 0; i < n; ++i)
            w.form.bridge().eventLine("строка " + std::to_string(i), false);
    });
    poll.join();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return w.form.WindowStateL->count() > 0 &&
                   w.form.WindowStateL->item(w.form.WindowStateL->count() - 1)->text() ==
                       "строка " + QString::number(n - 1);
        },
        20000));
    EXPECT_EQ(w.form.WindowStateL->count(), 50'000);
    EXPECT_EQ(w.form.WindowStateL->item(0)->text(), "строка 25");
}

TEST(MainForm, ObjectWindowsOpenFromTheMainWindowAndFollowAPoll) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    w.form.resize(1000, 700);
    w.form.openObjects();
    w.form.show();
    w.form.monitor()->monitorTick();
    ObjectButton* button = w.form.monitor()->button(1);
    ASSERT_NE(button, nullptr);

    // Ctrl-click before any poll: the window of the type opens empty, without an error
    QString before = "unset";
    QTimer::singleShot(200, [&] {
        devdata::TStateWindow* sw = devdata::shownStateWindow();
        before = sw ? sw->fieldText("HEnergy1").isEmpty() ? "empty" : "filled" : "none";
        if (sw) sw->reject();
    });
    // the click's action runs once the click has been handled
    QTest::mouseClick(button, Qt::LeftButton, Qt::ControlModifier, QPoint(20, 20));
    ASSERT_TRUE(mervo::test::waitFor([&] { return before != "unset"; }, 10000));
    EXPECT_EQ(before, "empty");
    EXPECT_EQ(w.form.errorCount, 0);

    // while the window is shown, the poll's end reopens the view that the poll created: the values appear
    QString during;
    QTimer::singleShot(200, [&] { ASSERT_TRUE(w.form.startPoll()); });
    QTimer::singleShot(200, [&] {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !w.form.pollRun().running(); }, 30000));
        QTest::qWait(200);
        devdata::TStateWindow* sw = devdata::shownStateWindow();
        if (sw) {
            QLabel* l = sw->valueLabel("HEnergy1");
            during = l ? l->text() : "no label";
            sw->reject();
        }
    });
    QTest::mouseClick(button, Qt::LeftButton, Qt::ControlModifier, QPoint(20, 20));
    ASSERT_TRUE(mervo::test::waitFor([&] { return !during.isEmpty(); }, 40000));
    ASSERT_TRUE(w.form.currentState().isOpen());
    EXPECT_FALSE(during.isEmpty());
    EXPECT_EQ(during.toStdString(), w.form.currentState().asString("HEnergy1"));

    // "Объект" / F2 opens the object master on the current object; "Архив" the summary report window
    QString masterAddress, reportCaption;
    QTimer::singleShot(200, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->windowTitle() == "Мастер объектов") {
                masterAddress = "open";
                static_cast<QDialog*>(top)->reject();
            }
    });
    for (QAction* a : w.form.findChildren<QAction*>())
        if (a->text() == "Мастер объектов") a->trigger();
    EXPECT_EQ(masterAddress, "open");
    QTimer::singleShot(200, [&] {
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && top->windowTitle() == "Настройки сводного отчета") {
                reportCaption = top->windowTitle();
                static_cast<QDialog*>(top)->reject();
            }
    });
    for (QToolButton* b : w.form.findChildren<QToolButton*>())
        if (b->text() == "Архив") QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_EQ(reportCaption, "Настройки сводного отчета");
}

TEST(MainForm, ClicksOnAnObjectReachTheObjectWindow) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0"});
    Window w;
    w.add(sim.port(), "Котельная №1");
    {
        dbf::Table t;
        t.open(w.data, "MAINDB");
        t.first();
        t.edit();
        t.setInt("SCHTYPE", 1);
        t.post();
    }
    std::filesystem::copy(std::string(MERVO_DIST_DIR) + "/Circuits", w.prog + "/Circuits",
                          std::filesystem::copy_options::recursive);
    // a stand-in report program that records its arguments
    const std::string args = w.prog + "/zorbel-args.txt";
    {
        std::ofstream f(w.prog + "/Zorbel.dll");
        f << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << args << ".part' && mv '" << args << ".part' '" << args
          << "'\n";
    }
    std::filesystem::permissions(w.prog + "/Zorbel.dll", std::filesystem::perms::owner_all);
    devdata::Settings s = w.form.settings();
    s.par1_234 = devdata::kBitState | devdata::kBitDaily;
    s.archType = 0;
    w.form.setSettings(s);
    w.form.resize(1000, 700);
    w.form.openObjects();
    w.form.show();
    w.form.monitor()->monitorTick();
    ObjectButton* button = w.form.monitor()->button(1);
    ASSERT_NE(button, nullptr);

    // a plain click: the object window with its scheme; its "Соединение" polls the object with the
    // connection dialog, and the field labels then show the values read
    size_t elements = 0;
    std::optional<std::string> before, after;
    bool dialogSeen = false, clicked = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout,
                     [&] { dialogSeen = dialogSeen || w.form.LocalConnect->isVisible(); });
    watch.start(10);
    QTimer::singleShot(300, [&] {
        schemes::TOBJECTFORM* ow = w.form.ObjectWindow;
        if (!ow->isVisible()) return;
        elements = ow->scheme().elements().size();
        before = ow->fieldText("HEnergy1");
        QTest::mouseClick(ow->ConnectionButton, Qt::LeftButton); // returns when the poll has ended
        after = ow->fieldText("HEnergy1");
        ow->reject();
        clicked = true;
    });
    QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(20, 20));
    ASSERT_TRUE(mervo::test::waitFor([&] { return clicked; }, 40000));
    EXPECT_GT(elements, 10u);
    EXPECT_FALSE(before.has_value()); // never polled: no state row yet
    EXPECT_TRUE(dialogSeen);
    ASSERT_TRUE(after.has_value());
    EXPECT_FALSE(after->empty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !w.form.pollRun().running(); }, 5000));

    // Alt-click: the archive action starts the report program on the object's daily archive
    ASSERT_TRUE(dbf::tableExists(w.data, "ARCHDB530D236"));
    QTest::mouseClick(button, Qt::LeftButton, Qt::AltModifier, QPoint(20, 20));
    ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(args); }, 5000));
    std::ifstream in(args);
    std::string l0, l1, l2;
    std::getline(in, l0);
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_EQ(l0, "vrelt");
    EXPECT_EQ(l1, "530");
    EXPECT_EQ(l2, "D");
}

TEST(MainForm, SchemeEditorOfTheObjectMasterOpensTheObjectWindowInEditMode) {
    Window w;
    w.add(1, "Котельная №1");
    {
        dbf::Table t;
        t.open(w.data, "MAINDB");
        t.first();
        t.edit();
        t.setInt("SCHTYPE", 1);
        t.post();
    }
    std::filesystem::copy(std::string(MERVO_DIST_DIR) + "/Circuits", w.prog + "/Circuits",
                          std::filesystem::copy_options::recursive);
    w.form.openObjects();
    w.form.objects().first();
    bool editing = false;
    size_t elements = 0;
    int height = 0;
    QTimer::singleShot(300, [&] {
        schemes::TOBJECTFORM* ow = w.form.ObjectWindow;
        editing = ow->isVisible() && ow->ToolStrip->isVisible() && ow->EditPanel->isVisible() &&
                  w.form.SchemeEditor->isVisible();
        elements = ow->scheme().elements().size();
        height = ow->height();
        mervo::test::saveScreenshot(*ow, MERVO_SCREENSHOT_DIR, "object_form_edit_mode");
        ow->reject(); // nothing changed: closes without a question
    });
    ASSERT_TRUE(w.form.ObjectMaster->schemeEditor);
    w.form.ObjectMaster->schemeEditor(w.prog + "/Circuits/236/S1.MNS");
    EXPECT_TRUE(editing);
    EXPECT_GT(elements, 10u);
    EXPECT_EQ(height, 683 + 89);
    EXPECT_FALSE(w.form.ObjectWindow->isVisible());
    EXPECT_FALSE(w.form.ObjectWindow->ToolStrip->isVisible());
    EXPECT_FALSE(w.form.SchemeEditor->isVisible());
}
