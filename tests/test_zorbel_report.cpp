// Template reports through a real LibreOffice: the delivered templates, filling the named ranges, the
// ArchLine block with and without "Разность", the system tag, row replication with the template line's
// format, the title, and the window's side of it (lists, stored choice, template view, preview, failures).
#include "dbf/codec.h"
#include "devdata/settings.h"
#include "report/calc.h"
#include "report/catalogue.h"
#include "report/report_filler.h"
#include "report/report_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/report_fixture.h"
#include "tests/shared_office.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QFile>
#include <QPdfDocument>
#include <QPrinter>
#include <QProcess>
#include <QTabWidget>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>

using namespace zorbel;
using mervo::test::ArchRecord;
using mervo::test::dt;
using mervo::test::ModalAnswerer;
using mervo::test::ReportData;
using mervo::test::TempDir;

namespace {

const std::string kDist = MERVO_SOURCE_DIR "/dist/Patterns";

using mervo::test::office;

calc::Area cell(int c, int r) {
    return {0, c, r, c, r};
}

// A template of our own: the line WriteDay, HEnergy<1+1T>, MainTemper<1+2T> in row 3 under a heading, a
// footer under it, and optionally the title and a broken tag.
void makeTemplate(const std::string& path, bool title, const std::string& third = "MainTemper<1+2T>") {
    auto wb = office().create();
    if (title) {
        wb->setValue(0, 0, CellValue::str("заголовок"));
        wb->addName("Title", {cell(0, 0)});
    }
    wb->setValue(0, 1, CellValue::str("Дата"));
    wb->setValue(1, 1, CellValue::str("Тепло"));
    wb->setValue(0, 2, CellValue::str("WriteDay"));
    wb->setValue(1, 2, CellValue::str("HEnergy<1+1T>"));
    wb->setValue(2, 2, CellValue::str(third));
    wb->setNumberFormat({0, 0, 2, 0, 2}, "DD.MM.YYYY HH:MM");
    wb->setNumberFormat({0, 1, 2, 2, 2}, "0.00");
    wb->addName("ArchLine", {{0, 0, 2, 2, 2}});
    wb->setValue(0, 4, CellValue::str("итог"));
    wb->setValue(1, 4, CellValue::str("ADDRES"));
    wb->addName("MainData", {cell(1, 4)});
    wb->saveXls(path);
}

struct Filled {
    std::unique_ptr<calc::Workbook> wb;
    FillOutcome outcome;
};

class ZorbelReport : public ::testing::Test {
protected:
    void SetUp() override {
        num = data.addObject(229, 77, "Мира 1");
        data.addParams(num, 2);
        std::vector<ArchRecord> recs = {
            {dt(2024, 3, 1), {{"HEnergy1", 100}, {"HEnergy2", 5}, {"MainTemper1", 70}, {"MainTemper3", 60}}},
            {dt(2024, 3, 2), {{"HEnergy1", 110}, {"HEnergy2", 7}, {"MainTemper1", 71}, {"MainTemper3", 61}}},
            {dt(2024, 3, 3), {{"HEnergy1", 125}, {"HEnergy2", 12}, {"MainTemper1", 72}, {"MainTemper3", 62}}},
        };
        data.addArchive(77, 'D', 229, num, recs);
        ASSERT_TRUE(session.openArchive(77, ArchiveKind::Daily, 229));
        ASSERT_EQ(session.openObject(), std::nullopt);
        ASSERT_TRUE(session.openParams());
        session.showAll();
        ctx.deviceType = 229;
        ctx.fromDate = "01.03.2024";
        ctx.toDate = "03.03.2024";
    }

    // Fills a workbook made from the template, saves it and reads the saved file back.
    Filled fill(const std::string& templatePath) {
        auto wb = office().open(templatePath, true);
        FillOutcome outcome = fillWorkbook(*wb, session, ctx);
        std::string saved = tmp.file("filled.xls");
        wb->saveXls(saved);
        wb->close();
        return {office().open(saved, false, true), outcome};
    }

    ReportData data;
    TempDir tmp;
    ArchiveSession session{data.dir()};
    ReportContext ctx;
    int num = 0;
};

} // namespace

TEST_F(ZorbelReport, ThreeRecordsWithoutDifference) {
    makeTemplate(tmp.file("t.pat"), true);
    Filled f = fill(tmp.file("t.pat"));
    calc::Workbook& wb = *f.wb;
    EXPECT_EQ(f.outcome.archRows, 3);
    EXPECT_TRUE(f.outcome.titled);
    EXPECT_EQ(wb.formula(0, 0), "Суточный протокол учета тепловой энергии воды");
    EXPECT_EQ(wb.formula(0, 1), "Дата"); // the rows above stay
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(wb.display(0, 2 + i), "0" + std::to_string(i + 1) + ".03.2024 00:00");
        EXPECT_EQ(wb.display(2, 2 + i), std::to_string(70 + i) + ".00");
    }
    EXPECT_EQ(wb.formula(1, 2), "100");
    EXPECT_EQ(wb.formula(1, 3), "110");
    EXPECT_EQ(wb.display(1, 4), "125.00"); // the copied row keeps the template line's format
    // the footer moved down under the block and was filled
    EXPECT_EQ(wb.formula(0, 6), "итог");
    EXPECT_EQ(wb.formula(1, 6), "Мира 1");
    // the archive is left on its last record
    EXPECT_EQ(session.archive().asDateTime("WriteDay"), dt(2024, 3, 3));
}

TEST_F(ZorbelReport, DifferenceAndSecondSystem) {
    makeTemplate(tmp.file("t.pat"), false);
    ctx.difference = true;
    {
        Filled f = fill(tmp.file("t.pat"));
        calc::Workbook& wb = *f.wb;
        EXPECT_EQ(f.outcome.archRows, 2);
        EXPECT_FALSE(f.outcome.titled); // no "Title": filled all the same
        EXPECT_EQ(wb.display(0, 2), "01.03.2024 00:00");
        EXPECT_EQ(wb.display(0, 3), "02.03.2024 00:00");
        EXPECT_EQ(wb.formula(1, 2), "10");
        EXPECT_EQ(wb.formula(1, 3), "15");
        EXPECT_EQ(wb.formula(2, 2), "71"); // the next record's temperature
        EXPECT_EQ(wb.formula(2, 3), "72");
        EXPECT_EQ(wb.formula(0, 4), ""); // the third row was not made
        EXPECT_EQ(wb.formula(0, 5), "итог");
    }
    ctx.difference = false;
    ctx.system = 1;
    {
        Filled f = fill(tmp.file("t.pat"));
        calc::Workbook& wb = *f.wb;
        EXPECT_EQ(wb.formula(1, 2), "5"); // HEnergy2
        EXPECT_EQ(wb.formula(1, 4), "12");
        EXPECT_EQ(wb.formula(2, 3), "61"); // MainTemper3
    }
}

TEST_F(ZorbelReport, BrokenTagAndEmptyRange) {
    makeTemplate(tmp.file("bad.pat"), true, "MainTemper<x+2T>");
    {
        Filled f = fill(tmp.file("bad.pat"));
        // the tag fails ArchLine only; the other names are filled
        EXPECT_EQ(f.outcome.filled, (std::vector<std::string>{"MainData"}));
        EXPECT_EQ(f.wb->formula(0, 2), "WriteDay");
        EXPECT_EQ(f.wb->formula(1, 4), "Мира 1");
    }
    makeTemplate(tmp.file("t.pat"), true);
    session.restrict(dt(2030, 1, 1), dt(2030, 1, 1));
    Filled f = fill(tmp.file("t.pat"));
    EXPECT_EQ(f.outcome.archRows, 0);
    // no record: the template line shows nothing, the rows above and below stay in place
    EXPECT_EQ(f.wb->formula(0, 2), "");
    EXPECT_EQ(f.wb->formula(1, 2), "");
    EXPECT_EQ(f.wb->formula(0, 1), "Дата");
    EXPECT_EQ(f.wb->formula(0, 4), "итог");
}

TEST_F(ZorbelReport, DeliveredTemplates) {
    auto groups = readCatalogue(kDist + "/Patterns.ini");
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].name, "Vexa-1 П");
    ASSERT_EQ(groups[0].reports.size(), 2u);
    EXPECT_EQ(groups[0].reports[0].first, "Протокол учета (две системы)");
    EXPECT_EQ(groups[0].reports[0].second, "Vexa1P.pat");
    EXPECT_EQ(groups[0].reports[1].second, "Vexa1PH.pat");

    ctx.system = 1;
    Filled f = fill(kDist + "/Vexa1P.pat");
    calc::Workbook& wb = *f.wb;
    EXPECT_EQ(f.outcome.filled, (std::vector<std::string>{"MainData", "ParsData", "ReportData",
                                                          "ArchFirstLine", "ArchLastLine", "ArchLine"}));
    EXPECT_EQ(wb.formula(0, 0), "Суточный протокол учета тепловой энергии воды");
    EXPECT_EQ(wb.formula(2, 2), "Мира 1");
    EXPECT_EQ(wb.formula(2, 3), "Vexa-1 П140");
    EXPECT_EQ(wb.formula(5, 3), "77");
    EXPECT_EQ(wb.formula(2, 4), "01.03.2024");
    EXPECT_EQ(wb.formula(4, 4), "03.03.2024");
    EXPECT_EQ(wb.formula(5, 4), "Система 2");
    EXPECT_EQ(wb.formula(2, 5), "25"); // DayOfReport
    EXPECT_EQ(wb.formula(4, 5), "");   // SystemType2 of the parameters row is empty
    // the block: three records of system 2 from row 9
    EXPECT_EQ(wb.display(0, 8), "01.03.2024 00:00");
    EXPECT_EQ(wb.display(2, 8), "5.000");
    EXPECT_EQ(wb.display(2, 10), "12.000");
    EXPECT_EQ(wb.display(5, 9), "61.00");
    // first and last readings below the block
    EXPECT_EQ(wb.formula(0, 12), "Показания на начало:");
    EXPECT_EQ(wb.display(2, 12), "5.00"); // HEnergy2
    EXPECT_EQ(wb.display(2, 13), "12.00");
    EXPECT_EQ(wb.display(3, 12), "");     // Volume4: empty in the records
    EXPECT_EQ(wb.display(2, 15), "4.11"); // VersInfo, as text
}

TEST_F(ZorbelReport, DeliveredHourlyTemplateOfTheSecondSystem) {
    ctx.system = 1;
    Filled f = fill(kDist + "/Vexa1PH.pat");
    calc::Workbook& wb = *f.wb;
    EXPECT_EQ(f.outcome.archRows, 3);
    EXPECT_EQ(f.outcome.filled, (std::vector<std::string>{"MainData", "ParsData", "ReportData",
                                                          "ArchFirstLine", "ArchLastLine", "ArchLine"}));
    EXPECT_EQ(wb.display(0, 8), "01.03.2024 00:00");
    EXPECT_EQ(wb.display(2, 9), "7.000");  // HEnergy2 of the second record
    EXPECT_EQ(wb.display(6, 10), "62.00"); // MainTemper3 of the third
    EXPECT_EQ(wb.display(2, 12), "5.00");  // first and last readings below the block
    EXPECT_EQ(wb.display(2, 13), "12.00");
}

namespace {

// A template as a user makes it, its cells left General: WriteDay and HEnergy1 in ArchFirstLine (row 1) and
// in ArchLine (row 3), and in column B a WriteDay the template formatted itself.
void makeGeneralTemplate(const std::string& path) {
    auto wb = office().create();
    for (int r : {0, 2}) {
        wb->setValue(0, r, CellValue::str("WriteDay"));
        wb->setValue(1, r, CellValue::str("WriteDay"));
        wb->setNumberFormat(cell(1, r), "YYYY-MM-DD");
        wb->setValue(2, r, CellValue::str("HEnergy1"));
    }
    wb->addName("ArchFirstLine", {{0, 0, 0, 2, 0}});
    wb->addName("ArchLine", {{0, 0, 2, 2, 2}});
    wb->saveXls(path);
}

} // namespace

TEST_F(ZorbelReport, DatesInGeneralCellsShowAsDates) {
    data.addArchive(77, 'H', 229, num,
                    {{dt(2024, 3, 1, 5), {{"HEnergy1", 100}}}, {dt(2024, 3, 1, 6), {{"HEnergy1", 101}}}});
    makeGeneralTemplate(tmp.file("g.pat"));
    struct Case {
        ArchiveKind kind;
        std::vector<dbf::DateTime> stamps;
        std::vector<std::string> shown;
    };
    const Case cases[] = {
        {ArchiveKind::Daily,
         {dt(2024, 3, 1), dt(2024, 3, 2), dt(2024, 3, 3)},
         {"01.03.2024", "02.03.2024", "03.03.2024"}},
        {ArchiveKind::Hourly,
         {dt(2024, 3, 1, 5), dt(2024, 3, 1, 6)},
         {"01.03.2024 05:00", "01.03.2024 06:00"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kindCaption(c.kind));
        ASSERT_TRUE(session.openArchive(77, c.kind, 229));
        session.showAll();
        ctx.kind = c.kind;
        Filled f = fill(tmp.file("g.pat"));
        calc::Workbook& wb = *f.wb;
        ASSERT_EQ(f.outcome.archRows, int(c.stamps.size()));
        auto expectDate = [&](int row, size_t i) {
            SCOPED_TRACE(row);
            EXPECT_EQ(wb.display(0, row), c.shown[i]);
            // the cell holds the date's number, not a text
            EXPECT_NEAR(std::stod(wb.formula(0, row)), c.stamps[i].toOleDays(), 1e-6);
            char iso[16];
            std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", c.stamps[i].year(), c.stamps[i].month(),
                          c.stamps[i].day());
            EXPECT_EQ(wb.display(1, row), iso); // the template's own format stays
        };
        expectDate(0, 0);
        EXPECT_EQ(wb.display(2, 0), "100"); // not a date: General as it was
        for (size_t i = 0; i < c.stamps.size(); ++i)
            expectDate(2 + int(i), i);
        EXPECT_EQ(wb.display(2, 3), c.kind == ArchiveKind::Daily ? "110" : "101");
    }
}

TEST(ZorbelOffice, StartsOnceAndEndsItsProcess) {
    calc::Office o;
    o.start();
    int pid = o.pid();
    ASSERT_GT(pid, 0);
    o.start(); // already running: the same process
    EXPECT_EQ(o.pid(), pid);
    auto wb = o.create();
    wb->close();
    o.stop();
    EXPECT_FALSE(o.running());
    EXPECT_NE(::kill(pid, 0), 0); // the process is gone

    calc::Office missing("/nonexistent/soffice");
    EXPECT_THROW(missing.start(), calc::Error);
}

// ------------------------------------------------------------------------------------------ the window

namespace {

// A program folder with the delivered templates plus a group whose template file is missing.
class ProgramDir {
public:
    ProgramDir() {
        std::filesystem::create_directories(dir.file("Patterns"));
        for (const char* f : {"Vexa1P.pat", "Vexa1K.pat"})
            std::filesystem::copy_file(kDist + "/" + f, dir.file(std::string("Patterns/") + f));
        std::ifstream in(kDist + "/Patterns.ini", std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::ofstream out(dir.file("Patterns/Patterns.ini"), std::ios::binary);
        out << ss.str() << dbf::codec::toCp1251("[Пустая]\r\nНет файла=Missing.pat\r\n");
    }
    std::string path() const { return dir.path(); }
    std::string store() const { return dir.file("Patterns/RepStore.ini"); }
    TempDir dir;
};

LaunchArgs args530() {
    LaunchArgs a;
    a.serial = 530;
    a.kind = ArchiveKind::Daily;
    a.difference = true;
    a.deviceType = 236;
    a.rangePreset = 6;
    return a;
}

} // namespace

TEST(ZorbelReportWindow, FillPreviewAndStoredChoice) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 5));
    ProgramDir program;
    ModalAnswerer answers;
    {
        TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
        ASSERT_TRUE(form.start());
        form.show();
        ASSERT_EQ(form.groupBox()->count(), 3);
        EXPECT_EQ(form.groupBox()->currentText(), "Vexa-1 П");
        EXPECT_EQ(form.templateBox()->currentText(), "Протокол учета (две системы)");
        EXPECT_TRUE(form.templatePath().endsWith("Patterns/Vexa1P.pat"));

        // the template view: the first sheet rendered read-only
        form.tabs()->setCurrentIndex(1);
        EXPECT_EQ(form.templateDocument()->status(), QPdfDocument::Status::Ready);
        EXPECT_GE(form.templateDocument()->pageCount(), 1);
        EXPECT_TRUE(form.templateDocument()->getAllText(0).text().contains("ArchLine") ||
                    form.templateDocument()->getAllText(0).text().contains("WriteDay"));
        QTest::qWait(700); // the view renders its pages in the background
        mervo::test::saveScreenshot(form, MERVO_SCREENSHOT_DIR, "zorbel_template");

        form.tabs()->setCurrentIndex(0);
        form.fillButton()->click();
        ASSERT_NE(form.preview(), nullptr);
        EXPECT_EQ(form.preview()->document()->status(), QPdfDocument::Status::Ready);
        EXPECT_GE(form.preview()->document()->pageCount(), 1);
        const QString text = form.preview()->document()->getAllText(0).text();
        EXPECT_TRUE(text.contains("Суточный протокол учета тепловой энергии воды"));
        EXPECT_TRUE(text.contains("Ленина 5"));
        EXPECT_TRUE(text.contains("04.03.2024 00:00")); // "Разность": four rows for five records
        EXPECT_FALSE(text.contains("05.03.2024 00:00"));
        EXPECT_TRUE(text.contains("Система 1"));
        EXPECT_FALSE(text.contains("WriteDay"));
        EXPECT_TRUE(text.contains("Tобр., °C")); // the whole width on one page
        // over a report saved before: kept whole when the new one cannot be written (here a file-size limit
        // smaller than the report), replaced when it can
        const std::string saved = data.file("report.pdf");
        { std::ofstream(saved) << "an older report"; }
        {
            const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
            rlimit old{};
            ::getrlimit(RLIMIT_FSIZE, &old);
            rlimit small = old;
            small.rlim_cur = 1000;
            ::setrlimit(RLIMIT_FSIZE, &small);
            EXPECT_FALSE(form.preview()->saveAs(QString::fromStdString(saved)));
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldHandler);
        }
        EXPECT_EQ(std::filesystem::file_size(saved), 15u);
        for (const auto& e : std::filesystem::directory_iterator(data.dir()))
            EXPECT_EQ(e.path().filename().string().find('~'), std::string::npos) << e.path();
        EXPECT_TRUE(form.preview()->saveAs(QString::fromStdString(saved)));
        EXPECT_GT(std::filesystem::file_size(saved), 1000u);
        // printing: here on a PDF printer, which writes what a paper printer would get
        {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString(data.file("printed.pdf")));
            ASSERT_TRUE(form.preview()->printTo(printer));
        }
        QPdfDocument printed;
        printed.load(QString::fromStdString(data.file("printed.pdf")));
        EXPECT_EQ(printed.pageCount(), form.preview()->document()->pageCount());
        QTest::qWait(700);
        mervo::test::saveScreenshot(*form.preview(), MERVO_SCREENSHOT_DIR, "zorbel_preview");
        // the archive is left on its last record
        EXPECT_EQ(form.session().archive().asDateTime("WriteDay"), dt(2024, 3, 5));
        EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();

        // the choice is stored per device in Windows-1251
        std::ifstream in(program.store(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        EXPECT_NE(ss.str().find("[N530236]"), std::string::npos);
        EXPECT_NE(ss.str().find(dbf::codec::toCp1251("REPORT=Протокол учета (две системы)")),
                  std::string::npos);

        // the other group: the template its list shows is the chosen one; a fill stores it
        form.groupBox()->setCurrentIndex(1);
        emit form.groupBox()->activated(1);
        EXPECT_EQ(form.templateBox()->currentIndex(), 0);
        EXPECT_TRUE(form.templatePath().endsWith("Vexa1K.pat"));
        form.templateBox()->setCurrentIndex(0);
        emit form.templateBox()->activated(0);
        EXPECT_TRUE(form.templatePath().endsWith("Vexa1K.pat"));
        form.fillButton()->click();
        EXPECT_TRUE(answers.messages().isEmpty());

        // a template whose file is missing leaves the view as it was
        form.groupBox()->setCurrentIndex(2);
        emit form.groupBox()->activated(2);
        form.templateBox()->setCurrentIndex(0);
        emit form.templateBox()->activated(0);
        EXPECT_TRUE(form.templatePath().isEmpty());
        form.fillButton()->click();
        EXPECT_EQ(answers.messages(), QStringList{kNoTemplateText});
        form.close();
    }
    // the next start restores the stored group and template
    answers.clear();
    auto stored = readStoredChoice(program.store(), 530, 236);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->group, "Пустая");
    TReportForm again(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(again.start());
    EXPECT_EQ(again.groupBox()->currentText(), "Пустая");
    storeChoice(program.store(), 530, 236, "Vexa-1 K", "Протокол учета (одна система)");
    TReportForm third(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(third.start());
    EXPECT_EQ(third.groupBox()->currentText(), "Vexa-1 K");
    EXPECT_TRUE(third.templatePath().endsWith("Vexa1K.pat"));
}

// After a change of the group, "Заполнить отчет" fills the template the list shows, without touching the
// list.
TEST(ZorbelReportWindow, GroupChangeChoosesTheShownTemplate) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 3));
    ProgramDir program;
    ModalAnswerer answers;
    TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(form.start());
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    // the group chosen as the operator does: the list opened and an item clicked
    QComboBox* groups = form.groupBox();
    groups->showPopup();
    QAbstractItemView* popup = groups->view();
    ASSERT_TRUE(mervo::test::waitFor([&] { return popup->isVisible(); }));
    const QRect item = popup->visualRect(groups->model()->index(1, 0));
    QTest::mouseClick(popup->viewport(), Qt::LeftButton, {}, item.center());
    ASSERT_EQ(groups->currentIndex(), 1);
    EXPECT_EQ(form.templateBox()->currentText(), "Протокол учета (одна система)");
    form.fillButton()->click();
    EXPECT_FALSE(answers.messages().contains(kNoTemplateText)) << answers.messages().join("|").toStdString();
    ASSERT_NE(form.preview(), nullptr);
    EXPECT_EQ(form.preview()->document()->status(), QPdfDocument::Status::Ready);
    form.close();
}

TEST(ZorbelReportWindow, MissingEngineGivesOutputError) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 3));
    ProgramDir program;
    qputenv("ZORBEL_SOFFICE", "/nonexistent/soffice");
    ModalAnswerer answers;
    TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(form.start());
    form.fillButton()->click();
    qunsetenv("ZORBEL_SOFFICE");
    ASSERT_EQ(answers.seen().size(), 1u);
    EXPECT_EQ(answers.seen()[0].text, "Ошибка вывода данных");
    EXPECT_EQ(answers.seen()[0].icon, QMessageBox::Critical);
    EXPECT_EQ(form.preview(), nullptr);
    // the program stays usable
    form.rangeBox()->setCurrentIndex(0);
    emit form.rangeBox()->activated(0);
    form.rangeBox()->setCurrentIndex(kRangeAll);
    emit form.rangeBox()->activated(kRangeAll);
    EXPECT_EQ(form.model()->rowCount(), 3);
}

// ------------------------------------------------------------------------------------------ the program

namespace {

// The soffice.bin started by process `parent`, 0 when there is none (yet).
int officeChildOf(qint64 parent) {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(e.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        size_t open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string comm = line.substr(open + 1, close - open - 1);
        std::istringstream rest(line.substr(close + 2));
        char state;
        long ppid = 0;
        rest >> state >> ppid;
        if (comm == "soffice.bin" && ppid == parent && state != 'Z') return std::stoi(e.path().filename());
    }
    return 0;
}

// The files of a folder whose names begin with prefix.
std::vector<std::string> entriesOf(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path().string());
    return out;
}

// Gone, or a zombie waiting for its new parent.
bool ended(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    return line.substr(line.rfind(')') + 2, 1) == "Z";
}

} // namespace

TEST(ZorbelProgram, TheOfficeLivesAndEndsWithTheProgram) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 3));
    TempDir reg, run;
    {
        devdata::SettingsStore store(reg.file("registry.ini"));
        devdata::Settings s = store.load();
        s.dpath = data.dir();
        store.save(s);
    }
    for (bool kill : {false, true}) {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("MERVO_REGISTRY", QString::fromStdString(reg.file("registry.ini")));
        e.insert("XDG_RUNTIME_DIR", QString::fromStdString(run.path()));
        e.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(e);
        p.start(ZORBEL_PATH, {"vrelt", "530", "D", "/R", "236", "6"});
        ASSERT_TRUE(p.waitForStarted());
        // the program folder holds the delivered templates: the office is started with the window
        int office = 0;
        ASSERT_TRUE(
            mervo::test::waitFor([&] { return (office = officeChildOf(p.processId())) != 0; }, 20000));
        if (kill) {
            p.kill(); // no chance to clean up: the office goes all the same
            p.waitForFinished(10000);
        } else {
            p.terminate(); // as the main program ends a running copy
            ASSERT_TRUE(p.waitForFinished(20000));
            EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p.exitCode(), 0);
        }
        EXPECT_TRUE(mervo::test::waitFor([&] { return ended(office); }, 10000))
            << (kill ? "kill" : "terminate");
        // a program ended in order removes its office's profile; a killed one leaves it, and the next
        // start of an office removes it
        EXPECT_EQ(entriesOf(run.path(), "zorbel-office-").size(), kill ? 1u : 0u);
    }
    EXPECT_EQ(calc::Office::removeStaleProfiles(run.path()), 1);
    EXPECT_TRUE(entriesOf(run.path(), "zorbel-office-").empty());
}

// ------------------------------------------------------------------------------------------ a stalled office

TEST(ZorbelReportWindow, StalledOfficeEndsPastTheDeadlineAndTheNextFillStartsAFreshOne) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 3));
    ProgramDir program;
    ModalAnswerer answers;
    TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
    form.setOfficeDeadlines({15000, 3000});
    ASSERT_TRUE(form.start());
    form.show();
    form.fillButton()->click();
    ASSERT_NE(form.preview(), nullptr);
    ASSERT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
    const int stalled = form.office().pid();
    const std::string profile = form.office().profileDir();
    ASSERT_GT(stalled, 0);
    ASSERT_TRUE(std::filesystem::exists(profile));

    ::kill(stalled, SIGSTOP); // answers nothing from now on
    int ticks = 0;            // the window's event loop runs while it waits
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start(50);
    QElapsedTimer clock;
    clock.start();
    form.fillButton()->click();
    const qint64 waited = clock.elapsed();
    tick.stop();
    EXPECT_EQ(answers.messages(), QStringList{kOutputErrorText});
    // a running office has the fill's time alone, then the time to end it
    EXPECT_GE(waited, 3000);
    EXPECT_LT(waited, 3000 + 4000);
    EXPECT_GT(ticks, 20);
    EXPECT_EQ(form.preview(), nullptr);
    EXPECT_TRUE(form.isEnabled());
    EXPECT_TRUE(mervo::test::waitFor([&] { return ended(stalled); }, 5000))
        << "the stalled office was not ended";
    EXPECT_FALSE(std::filesystem::exists(profile));

    answers.clear();
    form.fillButton()->click();
    EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
    ASSERT_NE(form.preview(), nullptr);
    EXPECT_TRUE(form.preview()->document()->getAllText(0).text().contains("Ленина 5"));
    EXPECT_NE(form.office().pid(), stalled);
    EXPECT_GT(form.office().pid(), 0);
    form.close();
}

// ------------------------------------------------------------------------------------------ profile folders

TEST(ZorbelOffice, ProfileFolderIsPrivateAndStaleOnesAreRemoved) {
    TempDir run; // the user's runtime folder (mode 0700)
    mervo::test::ScopedEnv env("XDG_RUNTIME_DIR", run.path().c_str());
    auto folder = [&](const std::string& name, bool lock) {
        std::filesystem::create_directories(run.file(name + "/user"));
        std::ofstream(run.file(name + "/user/registrymodifications.xcu")) << "x";
        if (lock) std::ofstream(run.file(name + "/owner.lock"));
        return run.file(name);
    };
    const std::string crashed = folder("zorbel-office-999999-aaaaaa", true); // its lock is free
    const std::string living = folder("zorbel-office-1-bbbbbb", true);       // its lock is held
    const std::string halfMade = folder("zorbel-office-2-cccccc", false);    // no lock, long ago
    const std::string beingMade = folder("zorbel-office-3-dddddd", false);   // no lock, just now
    const std::string other = folder("other-folder", true);
    // not handed down to the office, which would then hold the lock as well
    int held = ::open((living + "/owner.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    std::filesystem::last_write_time(halfMade,
                                     std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));

    calc::Office o;
    o.start();
    const std::string own = o.profileDir();
    EXPECT_FALSE(std::filesystem::exists(crashed));
    EXPECT_FALSE(std::filesystem::exists(halfMade));
    EXPECT_TRUE(std::filesystem::exists(living));
    EXPECT_TRUE(std::filesystem::exists(beingMade));
    EXPECT_TRUE(std::filesystem::exists(other));
    // the office's own folder: in the private folder, under a name nobody can know before
    EXPECT_EQ(std::filesystem::path(own).parent_path(), std::filesystem::path(run.path()));
    const std::string prefix = "zorbel-office-" + std::to_string(::getpid()) + "-";
    ASSERT_EQ(std::filesystem::path(own).filename().string().rfind(prefix, 0), 0u) << own;
    EXPECT_EQ(std::filesystem::path(own).filename().string().size(), prefix.size() + 6);
    EXPECT_TRUE(std::filesystem::exists(own + "/user")); // the office uses it
    // another start of the program leaves the folder of a running office alone
    EXPECT_EQ(calc::Office::removeStaleProfiles(run.path()), 0);
    EXPECT_TRUE(std::filesystem::exists(own));
    ::close(held); // its owner is gone
    EXPECT_EQ(calc::Office::removeStaleProfiles(run.path()), 1);
    EXPECT_FALSE(std::filesystem::exists(living));
    o.stop();
    EXPECT_FALSE(std::filesystem::exists(own));
}

// ------------------------------------------------------------------------------------------ print and export

TEST(ZorbelReportWindow, PrintsAtThePrinterResolutionAndSavesTheWorkbook) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 5));
    ProgramDir program;
    ModalAnswerer answers;
    TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(form.start());
    form.fillButton()->click();
    ASSERT_NE(form.preview(), nullptr);

    // the picture of each page has the printer's resolution, at most 600 dpi
    for (int dpi : {150, 300, 1200}) {
        const std::string pdf = data.file("printed" + std::to_string(dpi) + ".pdf");
        QRect area;
        {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString(pdf));
            printer.setResolution(dpi);
            area = printer.pageLayout().paintRectPixels(printer.resolution());
            ASSERT_TRUE(form.preview()->printTo(printer));
        }
        QProcess list;
        list.start("pdfimages", {"-list", QString::fromStdString(pdf)});
        ASSERT_TRUE(list.waitForFinished(20000));
        const QStringList lines = QString(list.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), 3) << dpi; // two heading lines, then one line per picture
        const QStringList cols = lines[2].simplified().split(' ');
        const double w = cols[3].toDouble(), h = cols[4].toDouble();
        // the page fills the printable area's width or height
        const double ratio = std::max(w / area.width(), h / area.height());
        EXPECT_NEAR(ratio, std::min(dpi, 600) / double(dpi), 0.01) << dpi << ": " << w << "x" << h;
    }

    // "Сохранить отчет" in the spreadsheet formats: the same cells as the filled workbook
    std::vector<std::string> shown;
    for (const char* ending : {".xlsx", ".ods", ".xls"}) {
        const QString to = QString::fromStdString(data.file(std::string("report") + ending));
        ASSERT_TRUE(form.preview()->saveAs(to)) << ending;
        auto wb = office().open(to.toStdString(), false, true);
        std::string cells;
        for (int r = 0; r < 30; ++r)
            for (int c = 0; c < 12; ++c)
                cells += wb->display(c, r) + "|";
        wb->close();
        EXPECT_NE(cells.find("Ленина 5"), std::string::npos) << ending;
        EXPECT_NE(cells.find("Суточный протокол учета тепловой энергии воды"), std::string::npos) << ending;
        EXPECT_EQ(cells.find("WriteDay"), std::string::npos) << ending;
        shown.push_back(cells);
    }
    EXPECT_EQ(shown[0], shown[1]);
    EXPECT_EQ(shown[0], shown[2]);
    // the file type is the ending's: a workbook of another kind is refused
    EXPECT_FALSE(form.preview()->saveAs(QString::fromStdString(data.file("report.txt"))));
    {
        std::ifstream in(data.file("report.xlsx"), std::ios::binary);
        char magic[2] = {};
        in.read(magic, 2);
        EXPECT_EQ(std::string(magic, 2), "PK"); // a zip package, not the PDF or an Excel 97 file
    }
    EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
    form.close();
}

TEST(ZorbelReportWindow, GridExportsToCsvAndXlsxAsTheArchiveHoldsIt) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    std::vector<ArchRecord> recs = ReportData::days(dt(2024, 3, 1), 6);
    recs[2].values["MainTemper1"] = 71.25;
    recs[4].writeDay = dbf::DateTime::fromParts(2024, 3, 5, 13, 45);
    data.addArchive(530, 'D', 236, num, recs);
    ProgramDir program;
    ModalAnswerer answers;
    TReportForm form(ReportEnv{data.dir(), program.path(), args530()});
    ASSERT_TRUE(form.start());
    // the grid shows a part of the archive: the 2nd to the 5th of March
    form.rangeBox()->setCurrentIndex(kRangeAll);
    emit form.rangeBox()->activated(kRangeAll);
    form.rangeBox()->setCurrentIndex(5); // "Задать диапазон"
    emit form.rangeBox()->activated(5);
    form.fromEdit()->setDate(QDate(2024, 3, 2));
    form.toEdit()->setDate(QDate(2024, 3, 5));
    const int rows = form.model()->rowCount(), cols = form.model()->columnCount();
    ASSERT_GE(rows, 3);
    ASSERT_LT(rows, 6);
    ASSERT_GT(cols, 5);

    // the archive table as it lies on disk, row by row as the grid shows it
    dbf::Table table;
    table.open(data.dir(), "ARCHDB530D236.dbf");
    auto tableValue = [&](int row, int col) {
        table.setRecNo(form.model()->recNo(row));
        return table.value(form.model()->columns()[size_t(col)].field);
    };

    for (GridExport how : {GridExport::CsvCp1251, GridExport::CsvUtf8}) {
        const std::string path = data.file(how == GridExport::CsvUtf8 ? "utf8.csv" : "cp1251.csv");
        ASSERT_TRUE(form.exportGrid(QString::fromStdString(path), how));
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string text = how == GridExport::CsvUtf8 ? bytes : dbf::codec::fromCp1251(bytes);
        if (how == GridExport::CsvCp1251) {
            EXPECT_NE(bytes, text); // the captions are Russian
        }
        QStringList lines = QString::fromStdString(text).split("\r\n");
        ASSERT_EQ(lines.takeLast(), "");
        ASSERT_EQ(lines.size(), rows + 1);
        const QStringList header = lines[0].split(';');
        ASSERT_EQ(header.size(), cols);
        for (int c = 0; c < cols; ++c)
            EXPECT_EQ(header[c].toStdString(), form.model()->columns()[size_t(c)].caption);
        bool sawTime = false;
        for (int r = 0; r < rows; ++r) {
            const QStringList f = lines[r + 1].split(';');
            ASSERT_EQ(f.size(), cols);
            for (int c = 0; c < cols; ++c) {
                const dbf::Value v = tableValue(r, c);
                if (auto* t = std::get_if<dbf::DateTime>(&v)) {
                    QDateTime when = QDateTime::fromString(f[c], "dd.MM.yyyy hh:mm");
                    ASSERT_TRUE(when.isValid()) << f[c].toStdString();
                    EXPECT_EQ(when.date(), QDate(t->year(), t->month(), t->day()));
                    EXPECT_EQ(when.time(), QTime(t->hour(), t->minute()));
                    sawTime = sawTime || t->hour() == 13;
                } else if (auto* d = std::get_if<double>(&v)) {
                    EXPECT_EQ(f[c], QString::number(*d, 'f', 2).replace('.', ','));
                } else if (auto* i = std::get_if<int64_t>(&v)) {
                    EXPECT_EQ(f[c], QString::number(*i));
                }
            }
        }
        EXPECT_TRUE(sawTime);
        EXPECT_TRUE(QString::fromStdString(text).contains("71,25"));
    }

    const std::string xlsx = data.file("archive.xlsx");
    ASSERT_TRUE(form.exportGrid(QString::fromStdString(xlsx), GridExport::Xlsx));
    auto wb = office().open(xlsx, false, true);
    for (int c = 0; c < cols; ++c)
        EXPECT_EQ(wb->display(c, 0), form.model()->columns()[size_t(c)].caption);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const dbf::Value v = tableValue(r, c);
            const std::string cellText = wb->formula(c, r + 1);
            if (auto* t = std::get_if<dbf::DateTime>(&v)) {
                EXPECT_EQ(wb->display(c, r + 1),
                          QString::asprintf("%02d.%02d.%04d %02d:%02d", t->day(), t->month(), t->year(),
                                            t->hour(), t->minute())
                              .toStdString());
            } else if (auto* d = std::get_if<double>(&v)) {
                EXPECT_NEAR(std::stod(cellText), *d, 1e-9) << r << "," << c;
                EXPECT_EQ(wb->display(c, r + 1), QString::number(*d, 'f', 2).toStdString());
            } else if (auto* i = std::get_if<int64_t>(&v)) {
                EXPECT_EQ(cellText, std::to_string(*i));
            } else if (std::holds_alternative<std::monostate>(v)) {
                EXPECT_EQ(cellText, "");
            }
        }
    EXPECT_EQ(wb->formula(0, rows + 1), ""); // nothing under the rows shown
    wb->close();
    EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
    form.close();
}

// ------------------------------------------------------------------------------------------ SIGTERM

TEST(ZorbelProgram, SigtermEndsItAtOnceInAMessageBoxAndWithAStalledOffice) {
    struct Case {
        const char* name;
        bool params;     // without parameters a question box comes up at the start
        bool stopOffice; // the office stops answering before it is ever connected to
    };
    for (const Case& c : {Case{"message box", false, false}, Case{"stalled office", true, true}}) {
        ReportData data;
        int num = data.addObject(236, 530, "Ленина 5");
        if (c.params) data.addParams(num);
        data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 3));
        TempDir reg, run;
        {
            devdata::SettingsStore store(reg.file("registry.ini"));
            devdata::Settings s = store.load();
            s.dpath = data.dir();
            store.save(s);
        }
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("MERVO_REGISTRY", QString::fromStdString(reg.file("registry.ini")));
        e.insert("QT_QPA_PLATFORM", "offscreen");
        e.insert("XDG_RUNTIME_DIR", QString::fromStdString(run.path()));
        p.setProcessEnvironment(e);
        p.start(ZORBEL_PATH, {"vrelt", "530", "D", "/R", "236", "6"});
        ASSERT_TRUE(p.waitForStarted());
        int office = 0;
        if (c.stopOffice) {
            ASSERT_TRUE(
                mervo::test::waitFor([&] { return (office = officeChildOf(p.processId())) != 0; }, 20000));
            ::kill(office, SIGSTOP);
        } else {
            QTest::qWait(1500); // the box is up
            ASSERT_EQ(p.state(), QProcess::Running);
        }
        QElapsedTimer clock;
        clock.start();
        p.terminate();
        ASSERT_TRUE(p.waitForFinished(15000)) << c.name;
        EXPECT_LT(clock.elapsed(), 8000) << c.name;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << c.name;
        EXPECT_EQ(p.exitCode(), 0) << c.name;
        if (office) {
            EXPECT_TRUE(mervo::test::waitFor([&] { return ended(office); }, 5000)) << c.name;
        }
        // nothing of the office is left: no process of it, no profile folder
        EXPECT_EQ(officeChildOf(p.processId()), 0) << c.name;
        EXPECT_TRUE(entriesOf(run.path(), "zorbel-office-").empty()) << c.name;
        if (office && !ended(office)) ::kill(office, SIGKILL);
    }
}
