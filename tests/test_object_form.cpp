// The object window TOBJECTFORM on the offscreen platform: the delivered scheme of the current object with
// the live values of its current-state row, repainted after a poll; missing and unreadable schemes; the
// state and connection hooks; the archive and protocol commands with real processes.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "poll/clock.h"
#include "poll/poll_run.h"
#include "qt_test_helpers.h"
#include "schemes/object_form.h"
#include "schemes/processes.h"
#include "sim_process.h"
#include "tmpdir.h"

#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QToolTip>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace schemes;
using mervo::test::ModalAnswerer;
using mervo::test::waitFor;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

struct Obj {
    int type;
    int serial;
    int schtype;
    std::string address;
    std::string group;
    std::string comport = "ttyUSB0";
};

class ObjectFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(MERVO_DIST_DIR, prog.path(), fs::copy_options::recursive);
        devdata::createObjectsTable(objects, data.path());
        objects.setIndexFieldNames("NUM");
    }

    // A type-236 object with the delivered scheme, polled over UDP from the simulator at that port.
    int addSimulated236(int port) {
        objects.append();
        objects.setInt("DEVTYPE", 236);
        objects.setInt("SERIALNUM", 530);
        objects.setString("ADDRES", "ул. Заводская, 3");
        objects.setInt("NETTYPE", 2);
        objects.setString("NETADR", "127.0.0.1");
        objects.setInt("IPPORT", port);
        objects.setInt("SCHTYPE", 1);
        objects.setString("STATE", "---");
        objects.setBool("AUTOCON", true);
        objects.setBool("ERR", false);
        objects.setString("DESKRIPTION", "ЦТП Север");
        objects.post();
        return int(objects.asInt("NUM"));
    }

    polling::PollConfig pollConfig(const devdata::Settings& settings) const {
        polling::PollConfig config;
        config.programDir = prog.path();
        config.dataDir = data.path();
        config.tempDir = devdata::tempDirOf(data.path());
        config.settings = [settings] { return settings; };
        return config;
    }

    int addObject(const Obj& o) {
        objects.append();
        objects.setInt("DEVTYPE", o.type);
        objects.setInt("SERIALNUM", o.serial);
        objects.setString("ADDRES", o.address);
        objects.setInt("NETTYPE", 0);
        objects.setString("COMPORT", o.comport);
        objects.setInt("SCHTYPE", o.schtype);
        objects.setString("STATE", "Норма");
        objects.setInt("ERRCODE", 0);
        objects.setString("CON_DATE", "10.12.2026");
        objects.setString("CON_TIME", "12:25:50");
        objects.setBool("AUTOCON", true);
        objects.setBool("ERR", false);
        objects.setString("DESKRIPTION", o.group);
        objects.post();
        return int(objects.asInt("NUM"));
    }

    // Writes (or rewrites) the object's current-state row through the table engine, as the state reader of a
    // poll does in its own context.
    void writeState(int type, int num, const std::vector<std::pair<std::string, double>>& values) {
        dbf::Table t;
        if (dbf::tableExists(data.path(), devdata::stateTableName(type)))
            t.open(data.path(), devdata::stateTableName(type));
        else
            devdata::createStateTable(t, type, data.path(), nullptr);
        t.setFilter("NUMSTATE=" + std::to_string(num));
        t.setFiltered(true);
        while (!t.isEmpty()) {
            t.first();
            t.remove();
        }
        t.append();
        t.setInt("NUMSTATE", num);
        for (const auto& [field, v] : values) {
            if (t.fields()[size_t(t.fieldIndex(field))].type == dbf::FieldType::Integer)
                t.setInt(field, int64_t(v));
            else
                t.setFloat(field, v);
        }
        t.post();
    }

    // A script standing in for a sibling program: writes its arguments, one a line, to OUT.
    void fakeProgram(const std::string& name, const std::string& out) {
        const std::string path = prog.file(name);
        writeAll(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + out + ".part' && mv '" + out + ".part' '" +
                           out + "'\n");
        fs::permissions(path, fs::perms::owner_all);
    }

    static const Element* fieldLabel(const Scheme& s, const std::string& field) {
        for (const auto& e : s.elements())
            if (e.cls() == ElementClass::DBText && e.dataField() == field) return &e;
        return nullptr;
    }

    mervo::test::TempDir prog, data;
    dbf::Table objects;
};

QStringList lines(const std::string& path) {
    QString t = QString::fromStdString(readAll(path));
    QStringList l = t.split('\n');
    if (!l.isEmpty() && l.last().isEmpty()) l.removeLast();
    return l;
}

} // namespace

TEST_F(ObjectFormTest, DeliveredSchemeShowsTheStateRowAndRepaintsAfterAPoll) {
    addObject({229, 77, 1, "ул. Садовая, 5", "ЦТП Юг"});
    const int num = addObject({236, 530, 1, "ул. Ленина, 12 (ИТП)", "Котельная №1"});
    writeState(236, num,
               {{"HEnergy1", 1234.5},
                {"TemperF1", 70.5},
                {"TemperR1", 45.25},
                {"Pressure11", 0.6},
                {"V11", 5120},
                {"CurrV11", 3.5},
                {"Weight11", 5000},
                {"HEnergy2", 321},
                {"TemperF2", 65},
                {"TemperR2", 40},
                {"TemperX1", 55},
                {"Err1", 0}});
    writeState(229, 1, {{"TemperF1", 99}});
    ASSERT_TRUE(objects.locate("NUM", int64_t(num)));

    TOBJECTFORM form(prog.path(), objects, data.path());
    ModalAnswerer answers;
    form.show();
    ASSERT_TRUE(waitFor([&] { return form.isVisible(); }));
    EXPECT_TRUE(answers.messages().isEmpty());
    EXPECT_EQ(form.windowTitle(), "Объект");
    EXPECT_EQ(form.size(), QSize(1005, 683));
    EXPECT_EQ(form.Dr->geometry(), QRect(0, 92, 1005, 585));
    EXPECT_EQ(form.currentSchemePath(), prog.path() + "/Circuits/236/S1.MNS");
    EXPECT_EQ(form.shownDeviceType(), 236);
    EXPECT_GT(form.scheme().elements().size(), 40u);
    EXPECT_EQ(form.Dr->wallpaper().size(), QSize(1001, 581));
    EXPECT_EQ(form.AddresText->text(), "ул. Ленина, 12 (ИТП)");
    EXPECT_EQ(form.DeskriptionText->text(), "Котельная №1");
    EXPECT_EQ(form.StateText->text(), "Норма");
    EXPECT_EQ(form.ConTimeText->text(), "12:25:50");
    EXPECT_EQ(form.ConDateText->text(), "10.12.2026");
    EXPECT_FALSE(form.ProtocolButton->isVisible());
    EXPECT_EQ(form.ArchiveButton->text(), " АРХИВ");

    // the field labels show this object's row, not another object's
    const std::string t1 = form.fieldText("TemperF1").value_or("?");
    EXPECT_NE(t1.find("70"), std::string::npos) << t1;
    EXPECT_EQ(form.fieldText("NoSuchField"), std::nullopt);
    const Element* label = fieldLabel(form.scheme(), "TemperF1");
    ASSERT_TRUE(label);
    const QRect box(label->left(), label->top(), label->width(), label->height());
    QImage before = form.Dr->grab().toImage().copy(box);
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "object_form_236");

    // a poll writes a new row; the main window says so; the labels repaint with the new values
    writeState(236, num, {{"HEnergy1", 1240.75}, {"TemperF1", 88.25}, {"TemperR1", 47}, {"Err1", 1}});
    dbf::Table pollCopy;
    pollCopy.open(data.path(), "MAINDB");
    ASSERT_TRUE(pollCopy.locate("NUM", int64_t(num)));
    pollCopy.edit();
    pollCopy.setString("CON_TIME", "13:00:05");
    pollCopy.setString("STATE", "Нет связи");
    pollCopy.post();
    form.dataChanged();
    const std::string t1After = form.fieldText("TemperF1").value_or("?");
    EXPECT_NE(t1After.find("88"), std::string::npos) << t1After;
    EXPECT_EQ(form.fieldText("Err1"), "1");
    EXPECT_EQ(form.StateText->text(), "Нет связи");
    EXPECT_EQ(form.ConTimeText->text(), "13:00:05");
    QImage after = form.Dr->grab().toImage().copy(box);
    EXPECT_NE(before, after);
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "object_form_236_after_poll");
    form.close();
    EXPECT_TRUE(form.scheme().elements().empty() || !form.isVisible());
}

TEST_F(ObjectFormTest, EveryDeliveredSchemeOpensForItsDeviceType) {
    for (int type : {128, 225, 229, 230, 231, 234, 235, 237, 238}) {
        SCOPED_TRACE(type);
        const int num = addObject({type, 100 + type, 1, "Объект типа " + std::to_string(type), "Все"});
        writeState(type, num, {});
        TOBJECTFORM form(prog.path(), objects, data.path());
        ModalAnswerer answers;
        form.showObject();
        EXPECT_TRUE(answers.messages().isEmpty());
        EXPECT_EQ(form.currentSchemePath(), schemePath(prog.path(), type, 1));
        EXPECT_FALSE(form.scheme().elements().empty());
        if (type == 231 || type == 128) {
            form.show();
            mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, QString("object_form_%1").arg(type));
            form.hide();
        }
    }
}

TEST_F(ObjectFormTest, MissingSchemeLeavesTheAreaEmptyWithoutAWord) {
    addObject({229, 77, 7, "Без схемы", ""});
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.setCurrentSchemePath("/earlier/S1.MNS");
    ModalAnswerer answers;
    form.showObject();
    QTest::qWait(50);
    EXPECT_TRUE(answers.seen().empty());
    EXPECT_TRUE(form.scheme().elements().empty());
    EXPECT_EQ(form.currentSchemePath(), "/earlier/S1.MNS");
    EXPECT_EQ(form.fieldText("TemperF1"), std::nullopt); // no state table yet
}

TEST_F(ObjectFormTest, UnreadableSchemeIsReportedAndLeftAlone) {
    addObject({229, 77, 2, "Битая схема", ""});
    struct Case {
        const char* name;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"unknown class", "object Dr: TPanel\r\n  object Button1: TButton\r\n  end\r\nend\r\n\r\n"},
        {"syntax", "object Dr: TPanel\r\n  object Text1: TLabel\r\n    Caption = 'ab\r\n"},
        {"bad bitmap",
         "object Dr: TPanel\r\n  object MImage1: TImage\r\n    Picture.Data = {07544269746D617004000000"
         "01020304}\r\n  end\r\nend\r\n"},
    };
    const std::string path = prog.path() + "/Circuits/229/S2.MNS";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeAll(path, c.text);
        TOBJECTFORM form(prog.path(), objects, data.path());
        ModalAnswerer answers;
        form.showObject();
        ASSERT_TRUE(waitFor([&] { return !answers.messages().isEmpty(); }, 2000));
        EXPECT_EQ(answers.messages(), QStringList{QString::fromStdString("Ошибка загрузки схемы " + path)});
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(form.scheme().elements().empty());
        EXPECT_EQ(form.currentSchemePath(), "");
        EXPECT_EQ(readAll(path), c.text);
    }
}

TEST_F(ObjectFormTest, KestaSchemeTwoAndTheStateAndConnectionHooks) {
    fs::copy_file(prog.path() + "/Circuits/128/S1.MNS", prog.path() + "/Circuits/128/S2.MNS");
    const int num = addObject({128, 42, 2, "Водомерный узел", "Вода"});
    writeState(128, num, {{"V11", 10}, {"MOD", 4}});
    TOBJECTFORM form(prog.path(), objects, data.path());
    int stateCalls = 0, connectionCalls = 0;
    QObject::connect(&form, &TOBJECTFORM::stateRequested, [&] { ++stateCalls; });
    QObject::connect(&form, &TOBJECTFORM::connectionRequested, [&] {
        ++connectionCalls;
        writeState(128, num, {{"V11", 12.5}, {"MOD", 4}}); // the single-object poll ran
    });
    form.showObject();
    EXPECT_EQ(form.currentSchemePath(), prog.path() + "/Circuits/128/S2.MNS");
    EXPECT_EQ(form.shownSchemeNumber(), 2);
    EXPECT_NE(form.fieldText("V11").value_or("").find("10"), std::string::npos);
    form.StateButton->click();
    EXPECT_EQ(stateCalls, 1);
    form.ConnectionButton->click();
    EXPECT_EQ(connectionCalls, 1);
    EXPECT_NE(form.fieldText("V11").value_or("").find("12"), std::string::npos);

    // during an automatic poll the connection only says so
    form.isPollRunning = [] { return true; };
    ModalAnswerer answers;
    form.connection();
    ASSERT_TRUE(waitFor([&] { return !answers.messages().isEmpty(); }, 2000));
    EXPECT_EQ(answers.messages(),
              QStringList{"Идет процесс автоматического опроса объектов. Дождитесь окончания "
                          "опроса или прервите процесс чтения"});
    EXPECT_EQ(connectionCalls, 1);
}

TEST_F(ObjectFormTest, ClosingAsksTheEditorAndEmptiesTheArea) {
    addObject({236, 530, 1, "Адрес", ""});
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.show();
    ASSERT_FALSE(form.scheme().elements().empty());
    bool allow = false;
    form.closeQuery = [&] { return allow; };
    form.close();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.scheme().elements().empty());
    // the snapshot holds the controls and the scheme
    const std::string snap = prog.file("res.tmp");
    ASSERT_TRUE(form.writeSnapshot(snap));
    const std::string text = readAll(snap);
    EXPECT_EQ(text.rfind("object OBJECTFORM: TOBJECTFORM\r\n", 0), 0u);
    EXPECT_NE(text.find("  object Dr: TPanel\r\n"), std::string::npos);
    EXPECT_NE(text.find("DataField = 'TemperF1'"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 7), "end\r\n\r\n");
    allow = true;
    form.close();
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.scheme().elements().empty());
}

TEST_F(ObjectFormTest, SaveAndLoadTheAreaWithItsCaption) {
    addObject({236, 530, 1, "Адрес", ""});
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.showObject();
    const std::string copy = prog.path() + "/Circuits/236/S2.MNS";
    form.saveScheme(copy);
    EXPECT_EQ(readAll(copy), readAll(prog.path() + "/Circuits/236/S1.MNS")); // no caption while shown
    form.clearScheme();
    form.Dr->setCaption("Мнемосхема отсутствует");
    form.saveScheme(copy);
    EXPECT_NE(readAll(copy).find("  Caption = #1052#1085"), std::string::npos);
    ASSERT_TRUE(form.loadScheme(copy));
    EXPECT_EQ(form.Dr->caption(), "Мнемосхема отсутствует");
    EXPECT_THROW(form.saveScheme(prog.path() + "/Circuits/999/S1.MNS"), SchemeError);
}

TEST_F(ObjectFormTest, ProtocolButtonOnlyWhileNoPollRuns) {
    addObject({236, 530, 1, "Адрес", ""});
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.show();
    EXPECT_FALSE(form.ProtocolButton->isVisible());
    form.setPollRunning(false);
    EXPECT_TRUE(form.ProtocolButton->isVisible());
    EXPECT_TRUE(form.ProtocolButton->isEnabled());
    EXPECT_EQ(form.ProtocolButton->toolTip(),
              "Переключение встроенных протоколов обмена стандартного на Modbus RTU");
    form.setPollRunning(true);
    EXPECT_FALSE(form.ProtocolButton->isVisible());
}

TEST_F(ObjectFormTest, ArchiveChoosesTheKindByArchTypeAndStartsTheReportProgram) {
    addObject({236, 530, 1, "Адрес", ""});
    struct Case {
        int archType;
        std::vector<char> files;
        char expected; // 0: "Архив отсутствует"
    };
    const std::vector<Case> cases = {
        {2, {'D', 'H'}, 'D'}, // "Месячный" behaves as "Суточный"
        {0, {'D', 'H'}, 'D'}, {1, {'D', 'H'}, 'H'}, {1, {'D'}, 'D'},
        {0, {'H'}, 'H'},      {0, {'M'}, 0},        {1, {}, 0},
    };
    const std::string out = prog.file("zorbel-args.txt");
    fakeProgram("Zorbel.dll", out);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "ArchType " << c.archType << " files " << c.files.size());
        for (char k : {'D', 'H', 'M'})
            fs::remove(data.file(std::string("ARCHDB530") + k + "236.dbf"));
        for (char k : c.files)
            writeAll(data.file(std::string("ARCHDB530") + k + "236.dbf"), "");
        fs::remove(out);
        TOBJECTFORM form(prog.path(), objects, data.path());
        devdata::Settings s;
        s.archType = c.archType;
        s.archFilter = 4;
        form.setSettings(s);
        ModalAnswerer answers;
        form.ArchiveButton->click();
        if (c.expected) {
            ASSERT_TRUE(waitFor([&] { return fs::exists(out); }));
            EXPECT_EQ(lines(out),
                      (QStringList{"vrelt", "530", QString(QChar(c.expected)), "/R", "236", "4"}));
            EXPECT_TRUE(answers.messages().isEmpty());
        } else {
            ASSERT_TRUE(waitFor([&] { return !answers.messages().isEmpty(); }, 2000));
            EXPECT_EQ(answers.messages(), QStringList{"Архив отсутствует"});
            EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Warning);
            QTest::qWait(100);
            EXPECT_FALSE(fs::exists(out));
        }
    }
}

TEST_F(ObjectFormTest, ArchiveEndsRunningReportProgramsFirst) {
    // Running copies under names of this test alone, so that nothing else on the machine is touched.
    const std::string name = "ZorbelTest" + std::to_string(::getpid()) + ".dll";
    fs::create_directories(prog.file("a"));
    fs::create_directories(prog.file("b"));
    fs::copy_file("/bin/sleep", prog.file("a/" + name));
    fs::copy_file("/bin/sleep", prog.file("b/" + QString::fromStdString(name).toUpper().toStdString()));
    fs::copy_file("/bin/sleep", prog.file("a/" + name + ".bak"));
    QProcess first, second, other;
    first.start(QString::fromStdString(prog.file("a/" + name)), {"30"});
    second.start(
        QString::fromStdString(prog.file("b/" + QString::fromStdString(name).toUpper().toStdString())),
        {"30"});
    other.start(QString::fromStdString(prog.file("a/" + name + ".bak")), {"30"});
    ASSERT_TRUE(first.waitForStarted() && second.waitForStarted() && other.waitForStarted());
    EXPECT_EQ(processesNamed({name}).size(), 2u);

    addObject({236, 530, 1, "Адрес", ""});
    writeAll(data.file("ARCHDB530D236.dbf"), "");
    const std::string out = prog.file("zorbel-args.txt");
    fakeProgram("Zorbel.dll", out);
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.reportProcesses = {name};
    form.archive();
    // (the window lets pending events run after ending them, so the end may have been seen already)
    EXPECT_TRUE(first.state() == QProcess::NotRunning || first.waitForFinished(5000));
    EXPECT_TRUE(second.state() == QProcess::NotRunning || second.waitForFinished(5000));
    EXPECT_EQ(first.exitStatus(), QProcess::CrashExit); // ended by a signal
    EXPECT_EQ(other.state(), QProcess::Running);
    ASSERT_TRUE(waitFor([&] { return fs::exists(out); }));
    other.kill();
    other.waitForFinished();
}

TEST_F(ObjectFormTest, ProtocolStartsTheConfiguratorOrSaysItIsMissing) {
    addObject({236, 530, 1, "Адрес", "", "ttyS3"});
    TOBJECTFORM form(prog.path(), objects, data.path());
    {
        ModalAnswerer answers;
        form.protocol();
        ASSERT_TRUE(waitFor([&] { return !answers.messages().isEmpty(); }, 2000));
        EXPECT_EQ(answers.messages(), QStringList{"Конфигуратор Modbus не найден."});
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Warning);
    }
    const std::string out = prog.file("tolvan-args.txt");
    fakeProgram("Tolvan.dll", out);
    ModalAnswerer answers;
    form.setPollRunning(false);
    form.ProtocolButton->click();
    ASSERT_TRUE(waitFor([&] { return fs::exists(out); }));
    EXPECT_EQ(lines(out), (QStringList{"vrelt", "ttyS3", "530", "0", "236"}));
    EXPECT_TRUE(answers.messages().isEmpty());
}

TEST_F(ObjectFormTest, BuiltInBackgroundWithoutWallpaperFile) {
    fs::remove(prog.file("wallpaper.jpg"));
    addObject({236, 530, 1, "Адрес", ""});
    TOBJECTFORM form(prog.path(), objects, data.path());
    EXPECT_FALSE(form.Dr->wallpaper().isNull());
    EXPECT_NE(form.Dr->wallpaper().size(), QSize(1001, 581));
}

// The connection command with a real single-object poll of the simulator: the field labels show what the
// calculator said.
TEST_F(ObjectFormTest, ConnectionPollsTheSimulatorAndTheLabelsShowItsValues) {
    mervo::test::SimProcess sim({"--type", "236", "--serial", "530", "--udp", "0", "--state", "TemperF1=71.5",
                                 "--state", "TemperR1=44.25", "--state", "HEnergy1=1520.5", "--state",
                                 "Pressure11=0.625"});
    const int num = addSimulated236(sim.port());

    devdata::Settings settings;
    settings.par1_234 = devdata::kBitState; // the state only: no archives, no clock
    const polling::PollConfig config = pollConfig(settings);
    polling::PollRun run(polling::systemClock());

    TOBJECTFORM form(prog.path(), objects, data.path());
    form.setSettings(settings);
    QObject::connect(&form, &TOBJECTFORM::connectionRequested, [&] {
        ASSERT_TRUE(run.start(config, num));
        while (run.running())
            QTest::qWait(20);
        run.wait();
    });
    form.show();
    EXPECT_EQ(form.fieldText("TemperF1"), std::nullopt); // never polled: no state table yet
    EXPECT_EQ(form.StateText->text(), "---");
    form.ConnectionButton->click();
    EXPECT_EQ(form.StateText->text(), "Норма");
    EXPECT_EQ(form.fieldText("TemperF1"), "71.5");
    EXPECT_EQ(form.fieldText("TemperR1"), "44.25");
    EXPECT_NE(form.fieldText("HEnergy1").value_or("").find("1520.5"), std::string::npos);
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "object_form_236_polled");
}

// One object of each device family polled from the simulator: its delivered scheme shows the values read.
TEST_F(ObjectFormTest, EachFamilyFilledFromTheSimulator) {
    for (int type : {128, 225, 230, 236, 231}) {
        SCOPED_TRACE(type);
        mervo::test::SimProcess sim({"--type", std::to_string(type), "--serial", "700", "--udp", "0"});
        objects.append();
        objects.setInt("DEVTYPE", type);
        objects.setInt("SERIALNUM", 700);
        objects.setString("ADDRES", "Узел учета, тип " + std::to_string(type));
        objects.setInt("NETTYPE", 2);
        objects.setString("NETADR", "127.0.0.1");
        objects.setInt("IPPORT", sim.port());
        objects.setInt("SCHTYPE", 1);
        objects.setString("STATE", "---");
        objects.setBool("AUTOCON", true);
        objects.setString("DESKRIPTION", "ЦТП Север");
        objects.post();
        const int num = int(objects.asInt("NUM"));
        polling::PollConfig config;
        config.programDir = prog.path();
        config.dataDir = data.path();
        config.tempDir = devdata::tempDirOf(data.path());
        config.settings = [] {
            devdata::Settings s;
            s.par1_128 = s.par1_225 = s.par1_228 = s.par1_234 = devdata::kBitState;
            return s;
        };
        polling::PollRun run(polling::systemClock());
        ASSERT_TRUE(run.start(config, num));
        run.wait();
        objects.refresh();
        ASSERT_TRUE(objects.locate("NUM", dbf::Value(int64_t(num))));
        ASSERT_EQ(objects.asString("STATE"), "Норма");

        TOBJECTFORM form(prog.path(), objects, data.path());
        ModalAnswerer answers;
        form.show();
        EXPECT_TRUE(answers.messages().isEmpty());
        int filled = 0, labels = 0;
        for (const auto& e : form.scheme().elements())
            if (e.cls() == ElementClass::DBText) {
                ++labels;
                filled += !form.fieldText(e.dataField()).value_or("").empty();
            }
        EXPECT_GT(labels, 0);
        EXPECT_EQ(filled, labels); // every field label of the delivered scheme shows a value
        mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, QString("object_form_family_%1").arg(type));
        form.close();
    }
}

// ---------------------------------------------------------------- field label texts and label boxes

// A calculator reporting seven-digit volumes, energies and masses (values a single-precision float holds
// exactly): the delivered 236 scheme shows every digit.
TEST_F(ObjectFormTest, SevenDigitValuesOfTheSimulatorShowWholeOnTheDelivered236Scheme) {
    const std::vector<std::pair<std::string, std::string>> values = {
        {"V11", "1234567.88"},      {"V21", "123456.78"},       {"V31", "7654321.5"},
        {"HEnergy1", "1234567.88"}, {"HEnergy2", "2345678.25"}, {"Weight11", "1234567.88"},
        {"Weight21", "2345678.5"},  {"Weight31", "3456789.75"}, {"V12", "1234567.88"},
        {"V22", "3456789.25"},      {"V32", "1000000.5"},       {"Weight12", "4567890.5"},
        {"Weight22", "5678901.5"},  {"Weight32", "6789012.5"},  {"CurrV11", "-12345.67"},
        {"TemperF1", "-123.45"},
    };
    std::vector<std::string> args = {"--type", "236", "--serial", "530", "--udp", "0"};
    for (const auto& [field, v] : values) {
        args.push_back("--state");
        args.push_back(field + "=" + v);
    }
    mervo::test::SimProcess sim(args);
    const int num = addSimulated236(sim.port());

    devdata::Settings settings;
    settings.par1_234 = devdata::kBitState;
    const polling::PollConfig config = pollConfig(settings);
    polling::PollRun run(polling::systemClock());
    TOBJECTFORM form(prog.path(), objects, data.path());
    form.setSettings(settings);
    QObject::connect(&form, &TOBJECTFORM::connectionRequested, [&] {
        ASSERT_TRUE(run.start(config, num));
        run.wait();
    });
    form.show();
    form.ConnectionButton->click();
    ASSERT_EQ(form.StateText->text(), "Норма");
    for (const auto& [field, v] : values) {
        SCOPED_TRACE(field);
        EXPECT_EQ(form.fieldText(field), v); // what the calculator said, stored whole
        const Element* label = fieldLabel(form.scheme(), field);
        ASSERT_TRUE(label);
        const auto shown = form.Dr->shownField(label->name());
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->text.toStdString(), v);
        EXPECT_FALSE(shown->cut());
    }
    const QString shot =
        mervo::test::saveScreenshot(*form.Dr, MERVO_SCREENSHOT_DIR, "scheme_236_seven_digits");
    EXPECT_FALSE(QImage(shot).isNull());
    form.close();
}

// A value wider than its label is shown cut with "…", and the label's hint holds the whole value.
TEST_F(ObjectFormTest, CutFieldLabelShowsAnEllipsisAndTheWholeValueAsItsHint) {
    const int num = addObject({236, 530, 2, "Узкие поля", ""});
    writeState(236, num, {{"V11", 1234567.88}, {"TemperF1", 70.5}});
    Scheme s;
    auto field = [&](const std::string& name, const std::string& dataField, QRect box, bool autoSize) {
        Element d(ElementClass::DBText, name);
        d.setBounds(box.x(), box.y(), box.width(), box.height());
        d.set("Alignment", PropValue::makeIdent("taRightJustify"));
        d.set("DataField", PropValue::makeString(dataField));
        d.set("DataSource", PropValue::makeIdent(kStateSourceName));
        if (autoSize) d.set("AutoSize", PropValue::makeIdent("True"));
        Font f;
        f.name = "Arial";
        f.height = -15;
        f.style = fsBold;
        d.setFont(f);
        s.elements().push_back(d);
    };
    field("DBText1", "V11", QRect(100, 100, 40, 20), false);      // narrow
    field("DBText2", "V11", QRect(100, 200, 200, 20), false);     // wide enough
    field("DBText3", "V11", QRect(100, 300, 10, 20), true);       // grows with its value
    field("DBText4", "TemperF1", QRect(100, 400, 12, 20), false); // too narrow even for "…" and a digit
    saveSchemeFile(s, schemePath(prog.path(), 236, 2));

    TOBJECTFORM form(prog.path(), objects, data.path());
    form.show();
    ASSERT_EQ(form.fieldText("V11"), "1234567.88");
    const QString whole = "1234567.88";

    const auto narrow = form.Dr->shownField("DBText1");
    ASSERT_TRUE(narrow);
    EXPECT_TRUE(narrow->cut());
    EXPECT_TRUE(narrow->text.endsWith(QChar(0x2026))) << narrow->text.toStdString();
    EXPECT_TRUE(whole.startsWith(narrow->text.chopped(1))) << narrow->text.toStdString();
    EXPECT_LT(narrow->text.size(), whole.size());
    EXPECT_EQ(narrow->hint, whole);
    for (const char* name : {"DBText2", "DBText3"}) {
        SCOPED_TRACE(name);
        const auto shown = form.Dr->shownField(name);
        ASSERT_TRUE(shown);
        EXPECT_EQ(shown->text, whole);
        EXPECT_TRUE(shown->hint.isEmpty());
    }
    const auto tiny = form.Dr->shownField("DBText4");
    ASSERT_TRUE(tiny);
    EXPECT_TRUE(tiny->text.endsWith(QChar(0x2026)));
    EXPECT_EQ(tiny->hint, "70.5");
    EXPECT_EQ(form.Dr->shownField("NoSuchLabel"), std::nullopt);

    // the hint where the pointer rests: over the cut label only
    EXPECT_EQ(form.Dr->hintAt({120, 110}), whole);
    EXPECT_EQ(form.Dr->hintAt({200, 210}), "");
    EXPECT_EQ(form.Dr->hintAt({600, 500}), "");
    const QPoint over(120, 110);
    QHelpEvent help(QEvent::ToolTip, over, form.Dr->mapToGlobal(over));
    QApplication::sendEvent(form.Dr, &help);
    EXPECT_EQ(QToolTip::text(), whole);

    // what is painted is the cut text: the same as the label painted with that text as its value
    auto painted = [&](const std::string& value) {
        QImage img(200, 40, QImage::Format_RGB32);
        img.fill(Qt::white);
        Element area = Scheme::standardArea();
        Element e = s.elements()[0];
        e.setBounds(10, 10, e.width(), e.height());
        area.children().push_back(e);
        QPainter p(&img);
        paintElements(p, area, [value](const std::string&) -> std::optional<std::string> { return value; });
        return img;
    };
    EXPECT_EQ(painted(whole.toStdString()), painted(narrow->text.toStdString()));
    EXPECT_NE(painted(whole.toStdString()), painted(""));
    form.close();
}

// Auto-sized text labels take their text's size when a scheme is loaded, also from files that stored them
// 10 × 10, and are saved so; their Left and Top stay, whatever their alignment.
TEST_F(ObjectFormTest, AutoSizedLabelsTakeTheirTextsSizeOnLoadAndAreSavedSo) {
    Scheme old = loadSchemeFile(schemePath(prog.path(), 236, 1));
    auto addLabel = [&](const std::string& caption, const char* alignment, int left, int top) {
        Element e(ElementClass::Label, old.nextName("Text"));
        e.setBounds(left, top, 10, 10);
        e.set("Alignment", PropValue::makeIdent(alignment));
        e.set("Caption", PropValue::makeString(caption));
        old.elements().push_back(e);
    };
    addLabel("Справа выровнено", "taRightJustify", 600, 520);
    addLabel("По центру\r\nв две строки\r\n", "taCenter", 800, 500);
    for (auto& e : old.elements())
        if (e.cls() == ElementClass::Label && e.autoSize()) e.setBounds(e.left(), e.top(), 10, 10);
    saveSchemeFile(old, schemePath(prog.path(), 236, 2));

    for (int number : {1, 2}) {
        SCOPED_TRACE(number);
        const Scheme stored = loadSchemeFile(schemePath(prog.path(), 236, number));
        objects.append();
        objects.setInt("DEVTYPE", 236);
        objects.setInt("SCHTYPE", number);
        objects.post();
        TOBJECTFORM form(prog.path(), objects, data.path());
        form.showObject();
        ASSERT_EQ(form.scheme().elements().size(), stored.elements().size());
        const std::string saved = prog.file("saved" + std::to_string(number) + ".MNS");
        form.saveScheme(saved);
        const Scheme reread = loadSchemeFile(saved);
        int autoSized = 0;
        for (size_t i = 0; i < stored.elements().size(); ++i) {
            const Element& before = stored.elements()[i];
            if (before.cls() != ElementClass::Label || !before.autoSize()) continue;
            ++autoSized;
            SCOPED_TRACE(before.name() + " " + before.caption());
            const QSize text = labelExtent(before, stored.area, captionText(before.caption()));
            ASSERT_NE(text, QSize(10, 10));
            const Element* loadedAndSaved[] = {&form.scheme().elements()[i], &reread.elements()[i]};
            for (const Element* e : loadedAndSaved) {
                EXPECT_EQ(QSize(e->width(), e->height()), text);
                EXPECT_EQ(e->left(), before.left());
                EXPECT_EQ(e->top(), before.top());
            }
        }
        EXPECT_GT(autoSized, 5);
    }
}

// A scheme whose root block holds only Left, Top, Width and Height: the area keeps its geometry and takes
// the file's caption, and saving writes the standard root block.
TEST_F(ObjectFormTest, ReducedRootBlockIsSavedAsTheStandardOne) {
    addObject({236, 530, 2, "Короткий корень", ""});
    const std::string label = "  object Text1: TLabel\r\n    Left = 40\r\n    Top = 50\r\n    Width = 90\r\n"
                              "    Height = 20\r\n    AutoSize = False\r\n    Caption = 'T1'\r\n  end\r\n";
    writeAll(schemePath(prog.path(), 236, 2),
             "object Dr: TPanel\r\n  Left = 3\r\n  Top = 4\r\n  Width = 500\r\n"
             "  Height = 300\r\n  Caption = 'Area'\r\n" +
                 label + "end\r\n\r\n");
    TOBJECTFORM form(prog.path(), objects, data.path());
    ModalAnswerer answers;
    // as the editor's "open" loads it: the area takes the file's caption
    ASSERT_TRUE(form.loadScheme(schemePath(prog.path(), 236, 2)));
    EXPECT_TRUE(answers.messages().isEmpty());
    ASSERT_EQ(form.scheme().elements().size(), 1u);
    EXPECT_EQ(form.Dr->caption(), "Area");
    EXPECT_EQ(form.Dr->geometry(), QRect(0, 92, kAreaWidth, kAreaHeight));
    form.saveScheme(prog.file("saved.MNS"));

    Scheme scratch;
    scratch.area.set("Caption", PropValue::makeString("Area"));
    Element t(ElementClass::Label, "Text1");
    t.setBounds(40, 50, 90, 20);
    t.set("AutoSize", PropValue::makeIdent("False"));
    t.set("Caption", PropValue::makeString("T1"));
    scratch.elements().push_back(t);
    saveSchemeFile(scratch, prog.file("scratch.MNS"));
    EXPECT_EQ(readAll(prog.file("saved.MNS")), readAll(prog.file("scratch.MNS")));
    EXPECT_EQ(readAll(prog.file("saved.MNS")).find("  Left = 3\r\n"), std::string::npos);
}
