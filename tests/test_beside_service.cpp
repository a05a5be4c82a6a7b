// Mervo beside the schedule service: the main window on a data folder that `mervoctl poll` polls as a process
// of its own (as the service does), with the settings store they share. The window sees the other program's
// poll in its event list, its monitor shows what that poll stored, its own schedule starts nothing while the
// service runs the schedule, and a poll it tries meanwhile is refused. The settings it saves leave the values
// another writer stored meanwhile.
#include "dbf/table.h"
#include "devdata/settings.h"
#include "poll/poll_lock.h"
#include "shell/main_form.h"
#include "shell/object_monitor.h"
#include "shell/settings_form.h"
#include "tests/mervoctl_process.h"
#include "tests/qt_test_helpers.h"
#include "tests/sim_process.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <arpa/inet.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace shell;
using mervo::test::PollFolder;
using mervo::test::SimProcess;
using mervo::test::waitFor;

namespace {

// A TCP port of this machine nobody listens on: a connection to it is refused at once.
int closedTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

QStringList linesOf(const QListWidget* list) {
    QStringList l;
    for (int i = 0; i < list->count(); ++i)
        l << list->item(i)->text();
    return l;
}

QString trimmedState(dbf::Table& t) {
    return QString::fromStdString(t.asString("STATE")).trimmed();
}

// The data folder of two objects polled by `mervoctl` (the 236 of the simulator, answering; a TCP node
// nobody listens on) and the main window on it, on the settings store the service reads too: a poll every
// minute, due three days ago, the service running the schedule. The window's clock, schedule and monitor
// ticks run by their timers.
struct Beside {
    SimProcess sim{{"--type", "236", "--serial", "530", "--udp", "0", "--latency", "150"}};
    PollFolder folder{devdata::kBitState};
    std::string prog = folder.tmp.file("mervo");
    TMainForm form{prog};
    QStringList told;
    int ownStarts = 0;
    int answering = 0, silent = 0; // NUM of the two objects

    Beside() {
        std::filesystem::create_directories(prog);
        folder.addDevice(sim.port());
        const mervo::test::Result added =
            mervo::test::run({"add", folder.data, "ADDRES=Школа №3", "SERIALNUM=531", "DEVTYPE=236",
                              "NETTYPE=3", "NETADR=127.0.0.1", "IPPORT=" + std::to_string(closedTcpPort())});
        if (added.code != 0) throw std::runtime_error("mervoctl add failed: " + added.err);
        {
            dbf::Table t;
            t.open(folder.data, "MAINDB", dbf::Table::OpenMode::ReadOnly);
            for (t.first(); !t.eof(); t.next())
                (t.asInt("SERIALNUM") == 530 ? answering : silent) = int(t.asInt("NUM"));
        }
        devdata::SettingsStore store(folder.how.registry);
        devdata::Settings s = store.load();
        s.dpath = folder.data;
        s.period = 4; // minutes
        s.periodX = 1;
        s.par2 = 32; // auto-poll on at start
        s.dtconn = dbf::DateTime::now().addDays(-3);
        s.scheduleBy = devdata::kScheduleByService;
        store.save(s);

        form.inform = [this](const QString& t) { told << t; };
        form.alert = [this](const QString& t) { told << t; };
        form.confirmExit = [](const QString&) { return false; };
        form.setDataDir(folder.data + "/");
        SetupEnvironment env;
        env.programDir = prog;
        env.programPath = prog + "/Mervo";
        env.registryPath = folder.how.registry;
        env.autostartPath = folder.tmp.file("autostart/mervo.desktop");
        form.attachWindows(env);
        form.openObjects();
        QObject::connect(&form.bridge(), &PollBridge::started, [this] { ++ownStarts; });
        form.resize(1200, 800);
        form.show();
        form.monitor()->monitorTick();
        form.clockTick();
        form.ClockTimer->start();
    }
    ~Beside() { form.pollRun().stop(); }

    ObjectButton* button(int num) { return form.monitor()->button(num); }
    QString stateShown(int num) {
        ObjectButton* b = button(num);
        return b ? b->State.text() : QString("<no button>");
    }
    dbf::DateTime storedNextPoll() const {
        return devdata::SettingsStore(folder.how.registry).peek().value().dtconn;
    }
};

} // namespace

// The service itself: `mervoctl schedule` on the store the window shares, its poll due. It stores the next
// poll time and polls; the window never polls meanwhile, sees the run start and end, and shows what it stored
// within two monitor ticks; the service's next poll time shows in status text 4. SIGTERM then ends the
// service.
TEST(BesideService, TheScheduleServicePollsAndTheWindowShowsItsResults) {
    Beside b;
    b.form.ScheduleTimer->start();
    const dbf::DateTime before = dbf::DateTime::now();
    mervo::test::Ctl service({"schedule", b.folder.data}, b.folder.how);
    ASSERT_TRUE(waitFor([&] { return b.form.otherPollSeen(); }, 20000))
        << "the service's poll was not seen; events:\n"
        << linesOf(b.form.WindowStateL).join("\n").toStdString();
    EXPECT_FALSE(b.form.startPoll()); // refused while the service polls
    // the run ends (the service goes on sleeping till its next due time)
    ASSERT_TRUE(waitFor([&] { return !b.form.otherPollSeen(); }, 120000));
    QElapsedTimer after;
    after.start();
    EXPECT_TRUE(waitFor([&] { return b.stateShown(b.answering) == "Норма"; }, 2500))
        << b.stateShown(b.answering).toStdString();
    EXPECT_TRUE(waitFor([&] { return b.stateShown(b.silent) == "Нет связи"; }, 2500 - int(after.elapsed())))
        << b.stateShown(b.silent).toStdString();

    // the service owns the next poll time: counted from now, a minute on, and the window shows it
    const dbf::DateTime next = b.storedNextPoll();
    EXPECT_GT(next, before);
    EXPECT_LE(next, dbf::DateTime::now().addMs(61'000));
    b.form.clockTick();
    EXPECT_EQ(b.form.StatusPanel[4]->text().toStdString(), nextPollStatusText(true, next));
    EXPECT_EQ(b.ownStarts, 0);
    EXPECT_EQ(b.told, QStringList{"Опрос уже запущен"});

    service.signal(SIGTERM);
    const mervo::test::Result r = service.finish(30000);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(b.storedNextPoll(), next);
}

TEST(BesideService, AnotherProgramsPollIsSeenOnceAndWhatItStoredShowsWithoutOverlap) {
    Beside b;
    ASSERT_GT(b.answering, 0);
    ASSERT_GT(b.silent, 0);
    ASSERT_NE(b.button(b.answering), nullptr);
    ASSERT_NE(b.button(b.silent), nullptr);
    EXPECT_EQ(b.stateShown(b.answering), "---");
    EXPECT_EQ(b.stateShown(b.silent), "---");
    const dbf::DateTime due = b.storedNextPoll();
    b.form.ScheduleTimer->start(); // past due all along: the service's schedule, not the window's

    std::unique_ptr<mervo::test::Ctl> ctl = b.folder.poll();
    ASSERT_TRUE(waitFor([&] { return b.form.otherPollSeen(); }, 15000))
        << "the other program's poll was not seen; events:\n"
        << linesOf(b.form.WindowStateL).join("\n").toStdString();
    // a poll the operator asks for meanwhile is refused: the two never overlap
    EXPECT_FALSE(b.form.startPoll());
    EXPECT_EQ(b.told, QStringList{"Опрос уже запущен"});
    EXPECT_FALSE(b.form.pollRun().running());

    // the other program runs to its end; the window's event loop runs meanwhile
    QElapsedTimer took;
    took.start();
    while (ctl->outputOpen(20) && took.elapsed() < 120000)
        QTest::qWait(20);
    const mervo::test::Result r = ctl->finish();
    ASSERT_EQ(r.code, 0) << r.err;
    QElapsedTimer after;
    after.start();

    // within two monitor ticks the buttons show what it stored
    EXPECT_TRUE(waitFor([&] { return b.stateShown(b.answering) == "Норма"; }, 2500))
        << b.stateShown(b.answering).toStdString();
    EXPECT_TRUE(waitFor([&] { return b.stateShown(b.silent) == "Нет связи"; }, 2500 - int(after.elapsed())))
        << b.stateShown(b.silent).toStdString();
    EXPECT_FALSE(b.button(b.answering)->Clock.text().startsWith("/"))
        << b.button(b.answering)->Clock.text().toStdString();
    EXPECT_EQ(b.button(b.silent)->palette().color(QPalette::Window), QColor(255, 255, 0));
    {
        dbf::Table t;
        t.open(b.folder.data, "MAINDB", dbf::Table::OpenMode::ReadOnly);
        ASSERT_TRUE(t.locate("NUM", dbf::Value(int64_t(b.answering))));
        EXPECT_EQ(trimmedState(t), "Норма");
        EXPECT_EQ(b.button(b.answering)->Clock.text().toStdString(),
                  t.asDateTime("CON_DATE").dateText() + "/" +
                      QString::fromStdString(t.asString("CON_TIME")).trimmed().toStdString());
    }

    // the event list said it once each: its start and its end
    ASSERT_TRUE(waitFor([&] { return !b.form.otherPollSeen(); }, 3000));
    const QStringList lines = linesOf(b.form.WindowStateL);
    EXPECT_EQ(
        lines.filter(QRegularExpression("^  \\d\\d:\\d\\d:\\d\\d Идет опрос другой программой$")).size(), 1)
        << lines.join("\n").toStdString();
    EXPECT_EQ(
        lines.filter(QRegularExpression("^  \\d\\d:\\d\\d:\\d\\d Опрос другой программой завершен$")).size(),
        1)
        << lines.join("\n").toStdString();
    EXPECT_LT(lines.indexOf(QRegularExpression(".*Идет опрос другой программой$")),
              lines.indexOf(QRegularExpression(".*Опрос другой программой завершен$")));

    // the window's own schedule started nothing and stored no next poll time of its own
    QTest::qWait(1500);
    EXPECT_EQ(b.ownStarts, 0);
    EXPECT_FALSE(b.form.pollRun().running());
    EXPECT_EQ(b.storedNextPoll(), due);
    EXPECT_EQ(linesOf(b.form.WindowStateL).filter("Опрос уже запущен").size(), 0);
    EXPECT_EQ(b.form.errorCount, 0);
}

TEST(BesideService, WhileTheServiceRunsTheScheduleTheButtonAndStatusSaySoWithItsNextPollTime) {
    Beside b;
    ASSERT_TRUE(b.form.scheduledByService());
    EXPECT_TRUE(b.form.SpeedButtonAuto->isChecked());
    EXPECT_FALSE(b.form.SpeedButtonAuto->isEnabled());
    EXPECT_EQ(b.form.SpeedButtonAuto->toolTip(), "Автоопрос выполняет служба mervo-schedule");
    EXPECT_EQ(b.form.StatusPanel[0]->text(), "Служба");
    // a tick past due starts nothing
    b.form.scheduleTick();
    b.form.scheduleTick();
    EXPECT_EQ(b.ownStarts, 0);
    EXPECT_FALSE(b.form.pollRun().running());
    EXPECT_TRUE(linesOf(b.form.WindowStateL).isEmpty());

    // the service stores its next poll time: the status bar and the settings window show that one
    const dbf::DateTime serviceNext = dbf::DateTime::fromParts(2031, 5, 17, 8, 45);
    {
        devdata::SettingsStore service(b.folder.how.registry);
        devdata::Settings s = service.load();
        s.dtconn = serviceNext;
        service.save(s);
    }
    EXPECT_TRUE(waitFor(
        [&] { return b.form.StatusPanel[4]->text() == "Дата очередного опроса: 17.05.2031 08:45"; }, 3000))
        << b.form.StatusPanel[4]->text().toStdString();
    TSetupForm& setup = *b.form.setupForm();
    EXPECT_EQ(setup.MaskEdit1->text(), "17.05.31 08:45");
    EXPECT_EQ(setup.ComboBox4->currentText(), "служба mervo-schedule");

    // the operator gives the schedule back to this program: the button is its own again and the tick polls
    setup.ComboBox4->setCurrentIndex(devdata::kScheduleByMervo);
    setup.MaskEdit1->setText("01.01.20 00:00"); // due at once
    ASSERT_TRUE(setup.Save());
    EXPECT_EQ(devdata::SettingsStore(b.folder.how.registry).peek()->scheduleBy, devdata::kScheduleByMervo);
    EXPECT_FALSE(b.form.scheduledByService());
    EXPECT_TRUE(b.form.SpeedButtonAuto->isEnabled());
    EXPECT_EQ(b.form.SpeedButtonAuto->toolTip(),
              "Включение/отключение режима автоопроса объектов по расписанию.");
    b.form.clockTick();
    EXPECT_EQ(b.form.StatusPanel[0]->text(), "Авто");
    const dbf::DateTime ticked = dbf::DateTime::now();
    b.form.scheduleTick();
    EXPECT_EQ(b.ownStarts, 1);
    b.form.pollRun().wait();
    // the window's own next poll time, counted from the tick (the poll itself may outlast the minute)
    EXPECT_GT(b.storedNextPoll(), ticked);
}

// The store read between a load and a save by another writer (the service storing its next poll time, an
// administrator's restriction): a save writes what was changed since the load and nothing else.
TEST(BesideService, ASaveWritesOnlyWhatChangedSinceTheLoadOverAnotherWritersValues) {
    mervo::test::TempDir tmp;
    const std::string path = tmp.file("registry.ini");
    devdata::SettingsStore mine(path);
    const devdata::Settings loaded = mine.load();

    const dbf::DateTime serviceNext = dbf::DateTime::fromParts(2030, 3, 1, 6, 0);
    const pid_t child = ::fork(); // the other writer is a process of its own
    ASSERT_GE(child, 0);
    if (child == 0) {
        devdata::SettingsStore other(path);
        devdata::Settings s = other.load();
        s.dtconn = serviceNext;
        s.par2 = 9;
        s.repeat = 4;
        other.save(s);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    devdata::Settings changed = loaded;
    changed.archType = 2; // changed by this program only
    changed.repeat = 3;   // changed by both: this save is the later one
    const devdata::Settings after = mine.saveChanges(loaded, changed);
    const devdata::Settings stored = devdata::SettingsStore(path).peek().value();
    for (const devdata::Settings* s : {&after, &stored}) {
        EXPECT_EQ(s->dtconn, serviceNext);
        EXPECT_EQ(s->par2, 9);
        EXPECT_EQ(s->archType, 2);
        EXPECT_EQ(s->repeat, 3);
        EXPECT_EQ(s->dpath, loaded.dpath);
    }
    // nothing changed: the file is not even written
    const auto written = std::filesystem::last_write_time(path);
    mine.saveChanges(after, after);
    EXPECT_EQ(std::filesystem::last_write_time(path), written);
}

// The settings window's "OK" and the schedule tick's store, with another writer between the window's load and
// its save: the other's next poll time, restriction and schedule owner stay unless the operator changed them.
TEST(BesideService, TheSettingsWindowKeepsAnotherWritersValuesItDidNotChange) {
    mervo::test::TempDir tmp;
    SetupEnvironment env;
    env.programDir = tmp.file("prog");
    std::filesystem::create_directories(env.programDir);
    env.programPath = env.programDir + "/Mervo";
    env.registryPath = tmp.file("registry.ini");
    env.autostartPath = tmp.file("autostart/mervo.desktop");
    TSetupForm form(env);
    const devdata::Settings loaded = form.settings();

    const dbf::DateTime serviceNext = dbf::DateTime::fromParts(2030, 3, 1, 6, 0);
    {
        devdata::SettingsStore other(env.registryPath);
        devdata::Settings s = other.load();
        s.dtconn = serviceNext;
        s.par2 = loaded.par2 | kPar2Exit;
        s.scheduleBy = devdata::kScheduleByService;
        other.save(s);
    }
    form.SpinEdit1->setValue(loaded.repeat == 5 ? 4 : 5); // the operator's one change
    ASSERT_TRUE(form.Save());
    devdata::Settings stored = devdata::SettingsStore(env.registryPath).peek().value();
    EXPECT_EQ(stored.repeat, form.SpinEdit1->value());
    EXPECT_EQ(stored.dtconn, serviceNext);
    EXPECT_EQ(stored.par2 & kPar2Exit, kPar2Exit);
    EXPECT_EQ(stored.scheduleBy, devdata::kScheduleByService);
    // the settings in force are the stored ones, and the window shows them
    EXPECT_EQ(form.settings().dtconn, serviceNext);
    EXPECT_TRUE(form.scheduledByService());
    EXPECT_EQ(form.MaskEdit1->text(), "01.03.30 06:00");
    EXPECT_TRUE(form.CheckBox20->isChecked());

    // the schedule's store writes its next poll time, and leaves a restriction stored meanwhile
    {
        devdata::SettingsStore other(env.registryPath);
        devdata::Settings s = other.load();
        s.par2 |= kPar2ObjectEdit;
        other.save(s);
    }
    const dbf::DateTime next = dbf::DateTime::fromParts(2030, 3, 1, 7, 0);
    form.storeNextPollTime(next);
    stored = devdata::SettingsStore(env.registryPath).peek().value();
    EXPECT_EQ(stored.dtconn, next);
    EXPECT_EQ(stored.par2 & kPar2ObjectEdit, kPar2ObjectEdit);
    EXPECT_EQ(stored.scheduleBy, devdata::kScheduleByService);
}

// The poll lock seen without taking it: a folder nobody polled, a lock held by another process (seeing it
// does not take it: that process keeps it), one held by this process, and a lock let go.
TEST(BesideService, ThePollLockIsSeenWithoutTakingIt) {
    mervo::test::TempDir tmp;
    const std::string data = tmp.path();
    std::optional<polling::LockSight> sight = polling::seeLock(data);
    ASSERT_TRUE(sight.has_value()) << "/proc/locks cannot be read";
    EXPECT_FALSE(sight->held);
    EXPECT_FALSE(std::filesystem::exists(polling::pollLockPath(data))); // looking makes no lock file

    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        polling::DataFolderLock other;
        char c = other.tryLock(data) ? 'L' : 'F';
        (void)!::write(fromChild[1], &c, 1);
        (void)!::read(toChild[0], &c, 1); // holds it until told
        c = other.held() ? 'H' : 'G';
        (void)!::write(fromChild[1], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    sight = polling::seeLock(data);
    ASSERT_TRUE(sight.has_value());
    EXPECT_TRUE(sight->held);
    EXPECT_FALSE(sight->byThisProcess);
    polling::DataFolderLock mine;
    EXPECT_FALSE(mine.tryLock(data)); // the other holds it still
    (void)!::write(toChild[1], "x", 1);
    ASSERT_EQ(::read(fromChild[0], &c, 1), 1);
    EXPECT_EQ(c, 'H');
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        ::close(fd);

    sight = polling::seeLock(data);
    ASSERT_TRUE(sight.has_value());
    EXPECT_FALSE(sight->held);
    ASSERT_TRUE(mine.tryLock(data));
    sight = polling::seeLock(data);
    ASSERT_TRUE(sight.has_value());
    EXPECT_TRUE(sight->held);
    EXPECT_TRUE(sight->byThisProcess);
    mine.unlock();
    EXPECT_FALSE(polling::seeLock(data)->held);
}
