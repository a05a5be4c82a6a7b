// The report program's window on the offscreen platform: start-up from the command line, the archive grid
// with its kind, range and system choices, the error explanation, the deletions, the chart in its flat and
// depth views; archives written by a real poll of the simulator and hand-made ones.
#include "devdata/settings.h"
#include "report/report_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/report_fixture.h"
#include "tests/sim_process.h"

#include <QChart>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>

using namespace zorbel;
using mervo::test::ArchRecord;
using mervo::test::dt;
using mervo::test::ModalAnswerer;
using mervo::test::ReportData;

namespace {

LaunchArgs launch(const QString& line) {
    std::vector<std::string> args;
    for (const QString& a : line.split(' '))
        args.push_back(a.toStdString());
    LaunchCheck c = checkLaunch(args);
    EXPECT_EQ(c.outcome, LaunchCheck::Outcome::Run) << line.toStdString();
    return c.args;
}

ReportEnv env(const ReportData& data, const QString& line, const std::string& programDir = "/nonexistent") {
    return ReportEnv{data.dir(), programDir, launch(line)};
}

// Rows of the archive file whose WriteDay lies in [from, to] (both included), counted apart from the window.
int countRows(const std::string& dir, const std::string& file, dbf::DateTime from, dbf::DateTime to) {
    dbf::Table t;
    t.open(dir, file);
    int n = 0;
    for (t.first(); !t.eof(); t.next()) {
        dbf::DateTime w = t.asDateTime("WriteDay");
        if (w >= from && w <= to) ++n;
    }
    return n;
}

QStringList headers(const TReportForm& form) {
    QStringList out;
    for (int i = 0; i < form.model()->columnCount(); ++i)
        out << form.model()->headerData(i, Qt::Horizontal).toString();
    return out;
}

void selectRow(TReportForm& form, int row) {
    form.grid()->setCurrentIndex(form.model()->index(row, 0));
}

// A data directory filled by a real poll: mervoctl polls a simulated type-236 calculator with serial 530.
class PolledData {
public:
    PolledData() {
        registry_ = dir_.file("registry.ini");
        sim_ = std::make_unique<mervo::test::SimProcess>(std::vector<std::string>{
            "--type", "236", "--serial", "530", "--tcp", "0", "--filled", "hourly=60", "--filled", "daily=20",
            "--filled", "monthly=3", "--clock",
            QDateTime::currentDateTime().toString("yyyy-MM-dd hh:mm").toStdString()});
        data_ = dir_.file("DATA");
        run({"init", QString::fromStdString(data_)});
        run({"add", QString::fromStdString(data_), "DEVTYPE=236", "SERIALNUM=530", "ADDRES=Ленина 5",
             "NETTYPE=3", "NETADR=127.0.0.1", QString("IPPORT=%1").arg(sim_->port())});
        run({"poll", QString::fromStdString(data_)});
    }
    const std::string& dataDir() const { return data_; }

private:
    void run(const QStringList& args) {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("MERVO_REGISTRY", QString::fromStdString(registry_));
        p.setProcessEnvironment(e);
        p.start(MERVOCTL_PATH, args);
        ASSERT_TRUE(p.waitForFinished(60000));
        ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString()
                                   << p.readAllStandardOutput().toStdString();
    }
    mervo::test::TempDir dir_;
    std::string registry_, data_;
    std::unique_ptr<mervo::test::SimProcess> sim_;
};

} // namespace

TEST(ZorbelWindow, PolledHourlyArchiveWithDifferenceAndCurrentMonth) {
    PolledData polled;
    ModalAnswerer answers;
    TReportForm form(ReportEnv{polled.dataDir(), "/nonexistent", launch("vrelt 530 H /R 236 3")});
    ASSERT_TRUE(form.start());
    form.show();
    EXPECT_EQ(form.windowTitle(), "Мастер отчетов v4.11");
    EXPECT_EQ(form.kindBox()->currentText(), "Часовой архив");
    EXPECT_TRUE(form.differenceBox()->isChecked());
    EXPECT_EQ(form.rangeBox()->currentText(), "Месяц (текущий)");
    QDate today = QDate::currentDate();
    EXPECT_EQ(form.fromEdit()->date(), QDate(today.year(), today.month(), 1));
    EXPECT_EQ(form.toEdit()->date(), today);
    EXPECT_EQ(form.addressLabel()->text(), "Ленина 5");
    EXPECT_EQ(form.session().archiveFile(), "ARCHDB530H236.dbf");
    dbf::DateTime from = dbf::DateTime::fromParts(today.year(), today.month(), 1);
    dbf::DateTime to = dbf::DateTime::fromParts(today.year(), today.month(), today.day()).addDays(1);
    int expected = countRows(polled.dataDir(), "ARCHDB530H236.dbf", from, to);
    EXPECT_GT(expected, 0);
    EXPECT_EQ(form.model()->rowCount(), expected);
    EXPECT_EQ(headers(form).first(), "Дата");
    EXPECT_EQ(headers(form).size(), 15);
    // the parameters were polled too: no warning
    EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();

    // "Все записи": the device's records name their slot, so its never-written slots left no garbage row
    form.rangeBox()->setCurrentIndex(kRangeAll);
    emit form.rangeBox()->activated(kRangeAll);
    EXPECT_EQ(form.model()->rowCount(), 60);
    EXPECT_NE(form.model()->data(form.model()->index(0, 0)).toString(), "31.12.1999 00:00");
    form.deleteEmptyRecords();
    EXPECT_EQ(answers.messages().last(), "Найдено мусора 0 Хотите очистить?");
    EXPECT_EQ(form.model()->rowCount(), 60);
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "zorbel_archive");
}

TEST(ZorbelWindow, MonthlyArchiveAndKindChanges) {
    ReportData data;
    int num = data.addObject(236, 530, "Мира 7");
    data.addParams(num);
    data.addArchive(530, 'M', 236, num, ReportData::days(dt(2023, 1, 1), 3));
    data.addArchive(530, 'H', 236, num, ReportData::days(dt(2023, 1, 1), 5));
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 M x 236 6"));
    ASSERT_TRUE(form.start());
    EXPECT_EQ(form.kindBox()->currentText(), "Месячный архив");
    EXPECT_FALSE(form.differenceBox()->isChecked());
    EXPECT_EQ(form.model()->rowCount(), 3);

    // no daily archive: the message, an empty list text and the previous table
    form.kindBox()->setCurrentIndex(0);
    emit form.kindBox()->activated(0);
    EXPECT_EQ(answers.messages(), QStringList{"Суточный архив отсутствует."});
    EXPECT_EQ(form.kindBox()->currentIndex(), -1);
    EXPECT_EQ(form.session().archiveFile(), "ARCHDB530M236.dbf");
    EXPECT_EQ(form.model()->rowCount(), 3);

    form.kindBox()->setCurrentIndex(1);
    emit form.kindBox()->activated(1);
    EXPECT_EQ(form.session().archiveFile(), "ARCHDB530H236.dbf");
    EXPECT_EQ(form.model()->rowCount(), 5);

    // the exit button fits on the tool bar and closes the window
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(form.exitButton()->isVisible());
    form.exitButton()->click();
    EXPECT_FALSE(form.isVisible());
}

TEST(ZorbelWindow, StartUpFailures) {
    {
        // no archive file: the program ends without a word
        ReportData data;
        data.addObject(236, 530, "x");
        ModalAnswerer answers;
        TReportForm form(env(data, "vrelt 530 D /R 236 0"));
        EXPECT_FALSE(form.start());
        EXPECT_TRUE(answers.seen().empty());
    }
    {
        ReportData data;
        data.addObject(236, 530, "x");
        data.addArchive(530, 'D', 236, 5, ReportData::days(dt(2023, 1, 1), 2)); // object 5 is not in MAINDB
        ModalAnswerer answers;
        TReportForm form(env(data, "vrelt 530 D /R 236 0"));
        EXPECT_FALSE(form.start());
        ASSERT_EQ(answers.seen().size(), 1u);
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
        EXPECT_EQ(answers.seen()[0].text,
                  QString::fromStdString("Нет ни одной соответствующей записи в таблице "
                                         "записи в таблице " +
                                         data.dir() + "/MAINDB.dbf "));
        std::filesystem::remove(data.file("MAINDB.dbf"));
        answers.clear();
        TReportForm again(env(data, "vrelt 530 D /R 236 0"));
        EXPECT_FALSE(again.start());
        ASSERT_EQ(answers.messages().size(), 1);
        EXPECT_EQ(answers.messages()[0],
                  QString::fromStdString("Файл не найден " + data.dir() + "/MAINDB.dbf"));
    }
    {
        // no parameters: the warning, and the program goes on
        ReportData data;
        int num = data.addObject(236, 530, "x");
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 1), 2));
        ModalAnswerer answers;
        TReportForm form(env(data, "vrelt 530 D /R 236 0"));
        EXPECT_TRUE(form.start());
        ASSERT_EQ(answers.seen().size(), 1u);
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Question);
        EXPECT_TRUE(answers.seen()[0].text.startsWith("Внимание!\nКонфигурация прибора не определена. \n"));
        EXPECT_TRUE(answers.seen()[0].text.endsWith("\nДля продолжения нажмите ОК"));
    }
}

TEST(ZorbelWindow, RangeSystemAndColumns) {
    ReportData data;
    int num = data.addObject(229, 41, "Школа");
    data.addParams(num);
    std::vector<ArchRecord> days;
    for (int i = 0; i < 20; ++i)
        days.push_back({dt(2023, 2, 20).addDays(i), {{"HEnergy1", 100.0 + i}, {"HEnergy2", 5.0 * i}}});
    data.addArchive(41, 'D', 229, num, days);
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 41 D /R 229 1"));
    ASSERT_TRUE(form.start());
    // "Неделя", "Диапазон от" set to 28.02.2023: "до" follows, rows from 28.02 to 08.03 00:00
    form.fromEdit()->setDate(QDate(2023, 2, 28));
    EXPECT_EQ(form.toEdit()->date(), QDate(2023, 3, 7));
    ASSERT_EQ(form.model()->rowCount(), 9);
    EXPECT_EQ(form.model()->data(form.model()->index(0, 0)).toString(), "28.02.2023 00:00");
    EXPECT_EQ(form.model()->data(form.model()->index(8, 0)).toString(), "08.03.2023 00:00");
    EXPECT_EQ(form.model()->data(form.model()->index(0, 4)).toString(), "108.00"); // "0.00"
    // "до" moved back: "Диапазон от" follows
    form.toEdit()->setDate(QDate(2023, 3, 10));
    EXPECT_EQ(form.fromEdit()->date(), QDate(2023, 3, 3));

    // "Задать диапазон": the dates stand as set
    form.rangeBox()->setCurrentIndex(5);
    emit form.rangeBox()->activated(5);
    form.fromEdit()->setDate(QDate(2023, 2, 21));
    EXPECT_EQ(form.toEdit()->date(), QDate(2023, 3, 10));
    EXPECT_EQ(form.model()->rowCount(), 19); // 21.02 to 11.03 00:00

    // system 2: the second system's columns
    form.systemBox()->setCurrentIndex(1);
    emit form.systemBox()->activated(1);
    EXPECT_EQ(headers(form).at(3), "Наработка с ошб.");
    EXPECT_EQ(form.model()->columns()[4].field, "HEnergy2");
    EXPECT_EQ(form.fieldList()->count(), 15);
    EXPECT_EQ(form.fieldList()->item(9)->text(), "Tобр.  [°C]");
    EXPECT_EQ(form.model()->rowCount(), 19);

    // a column dragged elsewhere returns to the table order
    QHeaderView* h = form.grid()->horizontalHeader();
    h->moveSection(4, 0);
    EXPECT_TRUE(mervo::test::waitFor([&] { return h->visualIndex(4) == 4; }));
    EXPECT_EQ(h->logicalIndex(0), 0);
    EXPECT_TRUE(answers.messages().isEmpty());
}

TEST(ZorbelWindow, ErrorExplanationOnDoubleClick) {
    ReportData data;
    int num = data.addObject(236, 530, "x");
    data.addParams(num);
    data.addArchive(
        530, 'D', 236, num,
        {{dt(2023, 1, 1), {{"DevErr", 0}, {"SysErr1", 5}, {"SysErr2", 0}}}, {dt(2023, 1, 2), {}}});
    int num2 = data.addObject(238, 9, "y");
    data.addParams(num2);
    data.addArchive(9, 'D', 238, num2, {{dt(2023, 1, 1), {{"SysErr1", 64}}}});
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 D /R 236 6"));
    ASSERT_TRUE(form.start());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    selectRow(form, 0);
    form.explainCurrentRecord();
    const QPoint at = form.grid()->visualRect(form.model()->index(1, 1)).center();
    QTest::mouseClick(form.grid()->viewport(), Qt::LeftButton, {}, at);
    QTest::mouseDClick(form.grid()->viewport(), Qt::LeftButton, {}, at);
    ASSERT_EQ(answers.messages().size(), 2);
    EXPECT_EQ(
        answers.messages()[0],
        "\nОшибка системы 1 - E5\n\tE1 Отсутствие расхода по счетчику воды, используемому для расчета "
        "тепловой энергии свыше 48 часов при разнице температур больше 20 ?С. \n\tE4 Температура первого "
        "термометра ниже, чем температура второго.  ");
    EXPECT_EQ(answers.messages()[1], "Ошибок нет");

    answers.clear();
    TReportForm one(env(data, "vrelt 9 D /R 238 6"));
    ASSERT_TRUE(one.start());
    selectRow(one, 0);
    one.explainCurrentRecord();
    EXPECT_EQ(answers.messages(), QStringList{"\nОшибка  - E64\n\tE64 Ошибка памяти EEPROM"});
}

TEST(ZorbelWindow, Deletions) {
    ReportData data;
    int num = data.addObject(236, 530, "x");
    data.addParams(num);
    auto recs = ReportData::days(dt(2023, 1, 1), 6);
    recs.push_back({dt(1999, 12, 31), {}});
    data.addArchive(530, 'D', 236, num, recs);
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 D /R 236 6"));
    ASSERT_TRUE(form.start());
    ASSERT_EQ(form.model()->rowCount(), 7);

    answers.press(QMessageBox::Cancel);
    form.deleteEmptyRecords();
    EXPECT_EQ(answers.messages().last(), "Найдено мусора 1 Хотите очистить?");
    EXPECT_EQ(form.model()->rowCount(), 7);
    form.deleteEmptyRecords(); // OK
    EXPECT_EQ(form.model()->rowCount(), 6);
    form.deleteEmptyRecords(); // nothing left: the count 0, OK deletes nothing
    EXPECT_EQ(answers.messages().last(), "Найдено мусора 0 Хотите очистить?");
    EXPECT_EQ(form.model()->rowCount(), 6);

    // from the record of 04.01.2023 to the end, whatever the range shows
    form.rangeBox()->setCurrentIndex(5);
    emit form.rangeBox()->activated(5);
    form.fromEdit()->setDate(QDate(2023, 1, 4));
    form.toEdit()->setDate(QDate(2023, 1, 4));
    ASSERT_EQ(form.model()->rowCount(), 2); // 04.01 and 05.01 00:00
    selectRow(form, 0);
    answers.press(QMessageBox::Cancel);
    form.deleteFromCurrent();
    EXPECT_EQ(answers.messages().last(), "Вы уверены что хотите удалить все записи с 04.01.2023 00:00");
    EXPECT_EQ(form.model()->rowCount(), 2);
    selectRow(form, 0);
    form.deleteFromCurrent();
    EXPECT_EQ(form.model()->rowCount(), 0);
    EXPECT_EQ(countRows(data.dir(), "ARCHDB530D236.dbf", dt(1900, 1, 1), dt(2100, 1, 1)), 3);

    answers.press(QMessageBox::Cancel);
    form.deleteWholeArchive();
    EXPECT_TRUE(std::filesystem::exists(data.file("ARCHDB530D236.dbf")));
    form.deleteWholeArchive();
    EXPECT_EQ(answers.messages().last(), "Вы уверены что хотите удалить архив полностью?");
    EXPECT_FALSE(std::filesystem::exists(data.file("ARCHDB530D236.dbf")));
    EXPECT_FALSE(std::filesystem::exists(data.file("ARCHDB530D236.MDX")));
    EXPECT_EQ(form.model()->rowCount(), 0);
    // the window goes on working on the empty grid
    form.rangeBox()->setCurrentIndex(kRangeAll);
    emit form.rangeBox()->activated(kRangeAll);
    form.refreshChart();
    EXPECT_EQ(form.model()->rowCount(), 0);
    EXPECT_EQ(answers.seen().size(), 7u);
}

TEST(ZorbelWindow, ChartFlatAndDepth) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    std::vector<ArchRecord> recs;
    for (int i = 0; i < 12; ++i)
        recs.push_back({dt(2023, 5, 1).addDays(i),
                        {{"HEnergy1", 10 + 3 * std::sin(i / 2.0)},
                         {"MainTemper1", 70 - i},
                         {"MainTemper2", 40 + i / 2.0}}});
    data.addArchive(530, 'D', 236, num, recs);
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 D /R 236 6"));
    ASSERT_TRUE(form.start());
    form.show();
    form.tabs()->setCurrentIndex(2);
    EXPECT_TRUE(form.autoRefreshBox()->isChecked());
    EXPECT_FALSE(form.pointValuesBox()->isChecked());
    EXPECT_TRUE(form.threeDBox()->isChecked());
    EXPECT_TRUE(form.chart()->is3D());

    // ticking fields refreshes the chart while "Автообновление" is on
    form.fieldList()->item(8)->setCheckState(Qt::Checked); // "Tпод. [°C]"
    form.fieldList()->item(9)->setCheckState(Qt::Checked); // "Tобр.  [°C]"
    ASSERT_EQ(form.chart()->series().size(), 2);
    EXPECT_EQ(form.chart()->series()[0].title, "Tпод. [°C]");
    EXPECT_EQ(form.chart()->series()[0].points.size(), 12);
    EXPECT_DOUBLE_EQ(form.chart()->series()[0].points[3].y(), 67);
    EXPECT_EQ(form.chart()->chart()->series().size(), 2);
    // without "Автообновление" a tick waits for "Обновить график"
    form.autoRefreshBox()->setChecked(false);
    form.fieldList()->item(4)->setCheckState(Qt::Checked);
    EXPECT_EQ(form.chart()->series().size(), 2);
    form.chartRefreshButton()->click();
    ASSERT_EQ(form.chart()->series().size(), 3);
    EXPECT_EQ(form.chart()->series()[0].title, "Тепло [Гкал]");

    form.pointValuesBox()->setChecked(true);
    for (auto* s : form.chart()->chart()->series())
        EXPECT_TRUE(qobject_cast<QLineSeries*>(s)->pointLabelsVisible());
    QImage depth = form.chart()->grab().toImage();
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "zorbel_chart_3d");
    form.threeDBox()->setChecked(false);
    EXPECT_FALSE(form.chart()->is3D());
    QImage flat = form.chart()->grab().toImage();
    EXPECT_NE(depth, flat);
    mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "zorbel_chart_2d");
    form.pointValuesBox()->setChecked(false);
    for (auto* s : form.chart()->chart()->series())
        EXPECT_FALSE(qobject_cast<QLineSeries*>(s)->pointLabelsVisible());
    EXPECT_TRUE(answers.seen().empty());
}

// The program itself: the command-line checks end it before any window.
TEST(ZorbelWindow, ProgramEndsOnBadCommandLines) {
    ReportData data;
    int num = data.addObject(236, 530, "x");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 1), 2));
    mervo::test::TempDir reg;
    {
        devdata::SettingsStore store(reg.file("registry.ini"));
        devdata::Settings s = store.load();
        s.dpath = data.dir();
        store.save(s);
    }
    auto run = [&](const QStringList& args, int waitMs) {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("MERVO_REGISTRY", QString::fromStdString(reg.file("registry.ini")));
        e.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(e);
        p.start(ZORBEL_PATH, args);
        bool ended = p.waitForFinished(waitMs);
        if (!ended) {
            // a running copy is ended with SIGTERM as the main program does: it closes its window and exits
            p.terminate();
            EXPECT_TRUE(p.waitForFinished(10000));
            EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p.exitCode(), 0);
        }
        return std::make_pair(ended, p.exitCode());
    };
    EXPECT_EQ(run({"vrelt", "530", "D", "/R", "236", "0"}, 1500).first, false); // runs: the window is up
    EXPECT_EQ(run({"vrelt", "530", "H", "/R", "236", "0"}, 5000),
              std::make_pair(true, 0)); // no hourly archive
    EXPECT_EQ(run({"other", "530", "D", "/R", "236", "0"}, 5000), std::make_pair(true, 0));
    EXPECT_EQ(run({"vrelt", "", "D", "/R", "236", "0"}, 5000), std::make_pair(true, 0));
    EXPECT_EQ(run({}, 5000), std::make_pair(true, 0));
}

namespace {

// Ways a table file is found damaged, each made from the bytes of a valid table.
struct Damage {
    const char* what;
    std::function<std::string(const std::string&)> damage;
};

std::vector<Damage> damages() {
    auto patch = [](std::string bytes, size_t at, std::initializer_list<uint8_t> with) {
        size_t k = at;
        for (uint8_t b : with)
            bytes[k++] = char(b);
        return bytes;
    };
    return {
        {"empty file", [](const std::string&) { return std::string(); }},
        {"garbage header", [](const std::string& b) { return std::string(b.size(), 'x'); }},
        {"cut inside the header", [](const std::string& b) { return b.substr(0, 100); }},
        {"header length 0",
         [patch](const std::string& b) {
             return patch(b, 8, {0, 0});
         }},
        {"header length 0xFFFF",
         [patch](const std::string& b) {
             return patch(b, 8, {0xFF, 0xFF});
         }},
        {"wrong record length",
         [patch](const std::string& b) {
             return patch(b, 10, {3, 0});
         }},
        {"unknown field type", [patch](const std::string& b) { return patch(b, 68 + 32, {'?'}); }},
        {"no end of the field descriptors",
         [](const std::string& b) {
             const size_t header = size_t(uint8_t(b[8])) | size_t(uint8_t(b[9])) << 8;
             std::string d = b;
             for (size_t k = 68; k < header; ++k)
                 if (d[k] == '\r') d[k] = 'A';
             return d;
         }},
    };
}

void chooseRange(TReportForm& form, int item) {
    form.rangeBox()->setCurrentIndex(item);
    emit form.rangeBox()->activated(item);
}

void damageFile(const std::string& file, const Damage& d) {
    std::string bytes;
    {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        bytes = s.str();
    }
    std::ofstream(file, std::ios::binary | std::ios::trunc) << d.damage(bytes);
}

} // namespace

// An archive file that is not a valid table: the window shows the engine's message and stays, the other
// kinds can be looked at, and the damaged archive can be deleted so that the next poll makes a new one.
TEST(ZorbelWindow, DamagedArchiveIsReportedAndCanBeDeleted) {
    for (const Damage& c : damages()) {
        SCOPED_TRACE(c.what);
        ReportData data;
        const int num = data.addObject(236, 530, "Ленина 5");
        data.addParams(num);
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 1), 5));
        data.addArchive(530, 'H', 236, num, ReportData::days(dt(2023, 1, 1), 3));
        const std::string file = data.file("ARCHDB530D236.dbf");
        damageFile(file, c);

        ModalAnswerer answers;
        TReportForm form(env(data, "vrelt 530 D /R 236 0"));
        ASSERT_TRUE(form.start());
        ASSERT_FALSE(answers.seen().empty());
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(answers.seen()[0].text.contains(QString::fromStdString(file)))
            << answers.seen()[0].text.toStdString();
        EXPECT_EQ(form.model()->rowCount(), 0);
        EXPECT_EQ(form.addressLabel()->text(), "Ленина 5");

        // the hourly archive is whole
        form.kindBox()->setCurrentIndex(int(ArchiveKind::Hourly));
        emit form.kindBox()->activated(int(ArchiveKind::Hourly));
        form.rangeBox()->setCurrentIndex(kRangeAll);
        emit form.rangeBox()->activated(kRangeAll);
        EXPECT_EQ(form.model()->rowCount(), 3);
        // back on the damaged one: its message again, and it can be deleted
        answers.clear();
        form.kindBox()->setCurrentIndex(int(ArchiveKind::Daily));
        emit form.kindBox()->activated(int(ArchiveKind::Daily));
        ASSERT_FALSE(answers.seen().empty());
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
        form.deleteWholeArchive();
        EXPECT_EQ(answers.messages().last(), "Вы уверены что хотите удалить архив полностью?");
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_EQ(form.model()->rowCount(), 0);
    }
}

// A damaged objects or parameters table: its error is shown and the archive is shown all the same.
TEST(ZorbelWindow, DamagedObjectsOrParametersTableIsReportedAndTheArchiveShown) {
    for (const char* table : {"MAINDB.dbf", "PARSDB.dbf"}) {
        SCOPED_TRACE(table);
        ReportData data;
        const int num = data.addObject(236, 530, "Ленина 5");
        data.addParams(num);
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 1), 5));
        std::ofstream(data.file(table), std::ios::binary | std::ios::trunc) << std::string(700, 'x');
        ModalAnswerer answers;
        TReportForm form(env(data, "vrelt 530 D /R 236 0"));
        ASSERT_TRUE(form.start());
        ASSERT_FALSE(answers.seen().empty());
        EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
        EXPECT_TRUE(answers.seen()[0].text.contains(QString::fromStdString(data.file(table))))
            << answers.seen()[0].text.toStdString();
        form.rangeBox()->setCurrentIndex(kRangeAll);
        emit form.rangeBox()->activated(kRangeAll);
        EXPECT_EQ(form.model()->rowCount(), 5);
    }
}

// PARSDB is shared by every object: whatever its damage, the program says so once for the object it serves,
// with the table's name and that the report goes without the configuration, and shows the archive.
TEST(ZorbelWindow, DamagedParametersTableIsSaidOnceForEveryObject) {
    for (const Damage& d : damages()) {
        SCOPED_TRACE(d.what);
        ReportData data;
        const int first = data.addObject(236, 530, "Ленина 5");
        const int second = data.addObject(229, 41, "Школа");
        data.addParams(first);
        data.addParams(second);
        data.addArchive(530, 'D', 236, first, ReportData::days(dt(2023, 1, 1), 5));
        data.addArchive(41, 'D', 229, second, ReportData::days(dt(2023, 1, 1), 3));
        damageFile(data.file("PARSDB.dbf"), d);
        for (const auto& [line, rows] :
             {std::pair{"vrelt 530 D /R 236 6", 5}, std::pair{"vrelt 41 D /R 229 6", 3}}) {
            SCOPED_TRACE(line);
            ModalAnswerer answers;
            TReportForm form(env(data, line));
            ASSERT_TRUE(form.start());
            ASSERT_EQ(answers.seen().size(), 1u) << answers.messages().join("|").toStdString();
            EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
            const QString& text = answers.seen()[0].text;
            EXPECT_TRUE(text.startsWith(
                QString::fromStdString("Таблица параметров " + data.file("PARSDB.dbf") + " повреждена")))
                << text.toStdString();
            EXPECT_TRUE(text.contains("Данные конфигурации системы в отчет выводиться не будут."));
            EXPECT_FALSE(form.session().paramsOpen());
            EXPECT_EQ(form.addressLabel()->text().isEmpty(), false);
            EXPECT_EQ(form.model()->rowCount(), rows);
            // the window goes on working without a second word
            chooseRange(form, 0);
            chooseRange(form, kRangeAll);
            EXPECT_EQ(form.model()->rowCount(), rows);
            EXPECT_EQ(answers.seen().size(), 1u);
        }
    }
}

namespace {

// WriteDay of every row of the archive file, in the file's order, read apart from the window.
std::vector<dbf::DateTime> daysOnDisk(const std::string& dir, const std::string& file) {
    dbf::Table t;
    t.open(dir, file);
    std::vector<dbf::DateTime> out;
    for (t.first(); !t.eof(); t.next())
        out.push_back(t.asDateTime("WriteDay"));
    return out;
}

int gridRowOf(const TReportForm& form, const QString& writeDay) {
    for (int r = 0; r < form.model()->rowCount(); ++r)
        if (form.model()->data(form.model()->index(r, 0)).toString() == writeDay) return r;
    return -1;
}

} // namespace

// A poll appends to the archive while the window shows it: every range change reads the table again.
TEST(ZorbelWindow, RangeChangesShowRecordsAppendedMeanwhile) {
    struct Case {
        const char* what;
        int preset;
        std::function<void(TReportForm&)> prepare, change;
    } cases[] = {
        {"\"Все записи\" chosen again", kRangeAll, [](TReportForm&) {},
         [](TReportForm& f) { chooseRange(f, kRangeAll); }},
        {"\"Задать диапазон\" chosen again", 5,
         [](TReportForm& f) {
             f.fromEdit()->setDate(QDate(2023, 1, 1));
             f.toEdit()->setDate(QDate(2023, 1, 31));
         },
         [](TReportForm& f) { chooseRange(f, 5); }},
        {"\"до\" changed", 5,
         [](TReportForm& f) {
             f.fromEdit()->setDate(QDate(2023, 1, 1));
             f.toEdit()->setDate(QDate(2023, 1, 31));
         },
         [](TReportForm& f) { f.toEdit()->setDate(QDate(2023, 1, 30)); }},
        {"\"Диапазон от\" changed", 5,
         [](TReportForm& f) {
             f.fromEdit()->setDate(QDate(2022, 12, 31));
             f.toEdit()->setDate(QDate(2023, 1, 31));
         },
         [](TReportForm& f) { f.fromEdit()->setDate(QDate(2023, 1, 1)); }},
        {"another system", kRangeAll, [](TReportForm&) {},
         [](TReportForm& f) {
             f.systemBox()->setCurrentIndex(1);
             emit f.systemBox()->activated(1);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReportData data;
        const int num = data.addObject(236, 530, "Ленина 5");
        data.addParams(num);
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 1), 5));
        ModalAnswerer answers;
        TReportForm form(env(data, QString("vrelt 530 D /R 236 %1").arg(c.preset)));
        ASSERT_TRUE(form.start());
        c.prepare(form);
        ASSERT_EQ(form.model()->rowCount(), 5);
        data.appendArchive(530, 'D', 236, num, ReportData::days(dt(2023, 1, 6), 3));
        c.change(form);
        ASSERT_EQ(form.model()->rowCount(), 8);
        EXPECT_EQ(form.model()->data(form.model()->index(7, 0)).toString(), "08.01.2023 00:00");
        EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
    }
}

// The deletions remove only records the grid showed when the operator chose them; what a poll appended since
// stays in the file, and the grid then shows the table as it is.
TEST(ZorbelWindow, DeletionsKeepRecordsAppendedSinceTheGridWasRead) {
    ReportData data;
    const int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    auto recs = ReportData::days(dt(2023, 1, 1), 6);
    recs.push_back({dt(1999, 12, 31), {}});
    data.addArchive(530, 'D', 236, num, recs);
    const std::string file = "ARCHDB530D236.dbf";
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 D /R 236 6"));
    ASSERT_TRUE(form.start());
    ASSERT_EQ(form.model()->rowCount(), 7);

    // empty records: the one shown goes, the one a poll wrote meanwhile stays and shows
    data.appendArchive(530, 'D', 236, num, {{dt(2023, 1, 7), {}}, {dt(1999, 12, 31), {}}});
    form.deleteEmptyRecords();
    EXPECT_EQ(answers.messages().last(), "Найдено мусора 1 Хотите очистить?");
    std::vector<dbf::DateTime> disk = daysOnDisk(data.dir(), file);
    ASSERT_EQ(disk.size(), 8u);
    EXPECT_EQ(std::count(disk.begin(), disk.end(), dt(1999, 12, 31)), 1);
    EXPECT_EQ(form.model()->rowCount(), 8);
    EXPECT_EQ(form.model()->data(form.model()->index(0, 0)).toString(), "31.12.1999 00:00");

    // from 04.01.2023 to the end: the records known to the grid from there on go, the one appended after
    // the grid was read stays
    const int row = gridRowOf(form, "04.01.2023 00:00");
    ASSERT_GE(row, 0);
    selectRow(form, row);
    data.appendArchive(530, 'D', 236, num, {{dt(2023, 1, 9), {}}});
    form.deleteFromCurrent();
    EXPECT_EQ(answers.messages().last(), "Вы уверены что хотите удалить все записи с 04.01.2023 00:00");
    EXPECT_EQ(daysOnDisk(data.dir(), file),
              (std::vector<dbf::DateTime>{dt(2023, 1, 1), dt(2023, 1, 2), dt(2023, 1, 3), dt(2023, 1, 9)}));
    ASSERT_EQ(form.model()->rowCount(), 4);
    EXPECT_EQ(form.model()->data(form.model()->index(3, 0)).toString(), "09.01.2023 00:00");

    // the whole archive: with a record appended meanwhile only the known ones go and the table stays
    data.appendArchive(530, 'D', 236, num, {{dt(2023, 1, 10), {}}});
    form.deleteWholeArchive();
    EXPECT_EQ(answers.messages().last(), "Вы уверены что хотите удалить архив полностью?");
    EXPECT_EQ(daysOnDisk(data.dir(), file), std::vector<dbf::DateTime>{dt(2023, 1, 10)});
    ASSERT_EQ(form.model()->rowCount(), 1);
    EXPECT_EQ(form.model()->data(form.model()->index(0, 0)).toString(), "10.01.2023 00:00");
    // nothing new: the table files go
    form.deleteWholeArchive();
    EXPECT_FALSE(std::filesystem::exists(data.file(file)));
    EXPECT_FALSE(std::filesystem::exists(data.file("ARCHDB530D236.MDX")));
    EXPECT_EQ(form.model()->rowCount(), 0);
    EXPECT_EQ(answers.seen().size(), 4u);
}

// Empty device slots (31.12.1999 00:00), stamps before that epoch and placeholder rows show in the grid but
// stay out of the chart, whose time axis spans the real records only.
TEST(ZorbelWindow, GarbageRecordsStayOutOfTheChart) {
    ReportData data;
    const int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    std::vector<ArchRecord> recs;
    for (int i = 0; i < 10; ++i)
        recs.push_back({dt(2023, 5, 1).addDays(i), {{"MainTemper1", 70 - i}}});
    recs.push_back({dt(1999, 12, 31), {{"MainTemper1", 0}}});                  // an empty device slot
    recs.push_back({dt(1999, 6, 1), {{"MainTemper1", 5}}});                    // before the device's epoch
    recs.push_back({dt(2031, 1, 1), {{"MainTemper1", 9}, {"CheckField", 1}}}); // a placeholder
    data.addArchive(530, 'D', 236, num, recs);
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 530 D /R 236 6"));
    ASSERT_TRUE(form.start());
    form.show();
    EXPECT_EQ(form.model()->rowCount(), 13);
    form.tabs()->setCurrentIndex(2);
    form.fieldList()->item(8)->setCheckState(Qt::Checked); // "Tпод. [°C]"
    ASSERT_EQ(form.chart()->series().size(), 1);
    const auto& points = form.chart()->series()[0].points;
    ASSERT_EQ(points.size(), 10);
    const double first = double(QDateTime(QDate(2023, 5, 1), QTime(0, 0)).toMSecsSinceEpoch());
    const double last = double(QDateTime(QDate(2023, 5, 10), QTime(0, 0)).toMSecsSinceEpoch());
    EXPECT_DOUBLE_EQ(points.first().x(), first);
    EXPECT_DOUBLE_EQ(points.last().x(), last);
    for (const QPointF& p : points)
        EXPECT_GE(p.y(), 61);
    // the flat view's axis as drawn
    form.threeDBox()->setChecked(false);
    auto axes = form.chart()->chart()->axes(Qt::Horizontal);
    ASSERT_EQ(axes.size(), 1);
    auto* x = qobject_cast<QDateTimeAxis*>(axes[0]);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->min(), QDateTime(QDate(2023, 5, 1), QTime(0, 0)));
    EXPECT_EQ(x->max(), QDateTime(QDate(2023, 5, 10), QTime(0, 0)));
    EXPECT_TRUE(answers.seen().empty());
}

// The window opens at its design size and centred. The offscreen screen of the test run is smaller than the
// design, so the check runs in a copy of this program on a wide offscreen screen.
TEST(ZorbelWindow, OpensAtItsDesignSize) {
    if (!qEnvironmentVariableIsSet("ZORBEL_TEST_WIDE_SCREEN")) {
        mervo::test::TempDir tmp;
        std::ofstream(tmp.file("screen.json"))
            << R"({"screens": [{"name": "wide", "x": 0, "y": 0, "width": 1600, "height": 1000,
                 "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("QT_QPA_PLATFORM",
                 QString::fromStdString("offscreen:configfile=" + tmp.file("screen.json")));
        e.insert("ZORBEL_TEST_WIDE_SCREEN", "1");
        p.setProcessEnvironment(e);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=ZorbelWindow.OpensAtItsDesignSize"});
        ASSERT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromLocal8Bit(p.readAll());
        EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.toStdString();
        return;
    }
    ReportData data;
    // the longest address the objects table holds
    const int num = data.addObject(229, 41, std::string(60, 'W'));
    data.addParams(num);
    data.addArchive(41, 'D', 229, num, ReportData::days(dt(2023, 1, 1), 40));
    ModalAnswerer answers;
    TReportForm form(env(data, "vrelt 41 D /R 229 6"));
    ASSERT_TRUE(form.start());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect screen = form.screen()->availableGeometry();
    ASSERT_EQ(screen.size(), QSize(1600, 1000));
    EXPECT_EQ(form.size(), QSize(1036, 663));
    EXPECT_LE(std::abs(form.geometry().center().x() - screen.center().x()), 2);
    EXPECT_LE(std::abs(form.geometry().center().y() - screen.center().y()), 2);
    EXPECT_TRUE(answers.seen().empty());
}
