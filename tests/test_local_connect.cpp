// The connection dialog of a single-object poll, fed by a real poll run against the simulator.
#include "devdata/tables.h"
#include "shell/local_connect.h"
#include "shell/poll_bridge.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <gtest/gtest.h>

using namespace shell;
using mervo::test::SimProcess;
using mervo::test::TempDir;

namespace {

struct PollSetup {
    TempDir dir;
    std::string data = dir.file("DATA");
    int num = 0;
    polling::PollConfig config;

    explicit PollSetup(int port) {
        std::filesystem::create_directories(data);
        dbf::Table t;
        devdata::createObjectsTable(t, data);
        t.append();
        t.setInt("DEVTYPE", 236);
        t.setInt("SERIALNUM", 530);
        t.setString("ADDRES", "Котельная №1");
        t.setInt("NETTYPE", 2);
        t.setString("NETADR", "127.0.0.1");
        t.setInt("IPPORT", port);
        t.setBool("AUTOCON", false); // a single-object poll does not ask
        t.post();
        num = int(t.asInt("NUM"));
        config.programDir = dir.file("prog");
        config.dataDir = data;
        config.tempDir = devdata::tempDirOf(data);
        config.settings = [] {
            devdata::Settings s;
            s.par1_234 = devdata::kBitState | devdata::kBitDaily;
            return s;
        };
    }
};

} // namespace

TEST(LocalConnect, FollowsASingleObjectPollAndClosesAtItsEnd) {
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--filled", "daily=30"});
    PollSetup s(sim.port());
    PollBridge bridge;
    TLocalConnect dlg;
    dlg.follow(&bridge);
    QStringList labels;
    bool barShown = false;
    QObject::connect(&bridge, &PollBridge::statusTextChanged, [&](int i, const QString& t) {
        if (i == 5) labels << t;
    });
    QObject::connect(
        &bridge, &PollBridge::progressChanged, &dlg,
        [&](int v) {
            if (v != 0) barShown = barShown || dlg.ProgressBar1->isVisible();
        },
        Qt::QueuedConnection);
    polling::PollRun run(polling::systemClock(), &bridge);
    dlg.setStopPoll([&] { run.stop(); });
    dlg.open();
    EXPECT_EQ(dlg.L1->text(), "Подключение");
    EXPECT_FALSE(dlg.ProgressBar1->isVisible());
    ASSERT_TRUE(run.start(s.config, s.num));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.isVisible(); }, 20000));
    run.wait();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(labels.contains("Подключение..."));
    EXPECT_TRUE(labels.contains("Соединение..."));
    EXPECT_TRUE(labels.contains("Чтение состояния..."));
    EXPECT_TRUE(labels.contains("Чтение суточного архива..."));
    EXPECT_EQ(labels.last(), "Опрос завершен успешно!");
    EXPECT_TRUE(barShown); // the archive read moved the bar
    // on close: label cleared, bar at 0 and hidden
    EXPECT_EQ(dlg.L1->text(), "");
    EXPECT_EQ(dlg.ProgressBar1->value(), 0);
    EXPECT_FALSE(dlg.ProgressBar1->isVisible());
}

TEST(LocalConnect, CancelStopsThePoll) {
    // a device that answers slowly keeps the poll busy long enough to cancel it
    SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--latency", "1500"});
    PollSetup s(sim.port());
    PollBridge bridge;
    TLocalConnect dlg;
    dlg.follow(&bridge);
    polling::PollRun run(polling::systemClock(), &bridge);
    bool ended = false, stopped = false;
    QObject::connect(&bridge, &PollBridge::ended, [&](bool, bool wasStopped) {
        ended = true;
        stopped = wasStopped;
    });
    dlg.setStopPoll([&] { run.stop(); });
    dlg.open();
    ASSERT_TRUE(run.start(s.config, s.num));
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.L1->text() == "Соединение..."; }, 10000))
        << dlg.L1->text().toStdString();
    const auto t0 = std::chrono::steady_clock::now();
    QTest::mouseClick(dlg.Button1, Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(run.running()); // "Отмена" waited for the run to end
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ended; }, 2000));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(dlg.L1->text(), "");
}

TEST(LocalConnect, Screenshot) {
    TLocalConnect dlg;
    dlg.show();
    dlg.setLabel(5, "Чтение суточного архива...");
    dlg.setProgress(40);
    QTest::qWait(50);
    const QString path = mervo::test::saveScreenshot(dlg, MERVO_SCREENSHOT_DIR, "local_connect");
    EXPECT_TRUE(QFile::exists(path));
}
