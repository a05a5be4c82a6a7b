// The main window's frame: pages fed by a poll, status texts, the clock tick, the error handler, closing.
#include "dbf/codec.h"
#include "devdata/tables.h"
#include "shell/main_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

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
    // the title-bar close box only hides the window
    {
        Window w;
        w.form.show();
        w.form.close();
        EXPECT_FALSE(w.form.isVisible());
        EXPECT_FALSE(w.quit);
        EXPECT_TRUE(w.asked.isEmpty());
    }
    // "Выход" under the user restriction: refused and hidden
    {
        Window w;
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
