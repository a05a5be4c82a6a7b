// The reports a heating engineer signs, through a real LibreOffice: the daily report of the demo's calculator
// 530 (type 236) polled from the simulator, its consumption against the simulator's own amounts, as PDF pages
// and pictures of them; the delivered templates' column headings on every printed page; named cells with
// nothing to show left empty; no parameter warning and no parameter cells for the types that keep none.
#include "devdata/layouts.h"
#include "report/calc.h"
#include "report/report_filler.h"
#include "report/report_form.h"
#include "tests/qt_test_helpers.h"
#include "tests/report_fixture.h"
#include "tests/shared_office.h"
#include "tests/sim_dump.h"
#include "tests/sim_process.h"

#include <QDir>
#include <QImage>
#include <QPdfDocument>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>

using namespace zorbel;
using mervo::test::dt;
using mervo::test::ModalAnswerer;
using mervo::test::ReportData;
using mervo::test::TempDir;
using nlohmann::json;

namespace {

const std::string kDist = MERVO_SOURCE_DIR "/dist/Patterns";

using mervo::test::office;

// The demo's calculator 530 as demo.sh configures it (its JSON entry in command-line form).
const std::vector<std::string> kDemo530 = {"--type",     "236",      "--serial", "530",      "--filled",
                                           "hourly=192", "--filled", "daily=35", "--filled", "monthly=6"};

void runCtl(const std::string& registry, const QStringList& args) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("MERVO_REGISTRY", QString::fromStdString(registry));
    p.setProcessEnvironment(e);
    p.start(MERVOCTL_PATH, args);
    ASSERT_TRUE(p.waitForFinished(120000));
    ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString()
                               << p.readAllStandardOutput().toStdString();
}

// A data directory with the demo's object 530 (the demo's address and description), filled by one real poll
// of the simulator with mervoctl, with the demo's settings for the family.
class PolledDemo530 {
public:
    PolledDemo530() {
        std::vector<std::string> args = kDemo530;
        args.insert(args.end(), {"--tcp", "0"});
        sim_ = std::make_unique<mervo::test::SimProcess>(args);
        registry_ = dir_.file("registry.ini");
        data_ = dir_.file("DATA");
        FILE* f = std::fopen(registry_.c_str(), "w");
        std::fprintf(f, "[PAR]\nDPath=%s\nPar1_234=159\nRepeat=3\n", data_.c_str());
        std::fclose(f);
        runCtl(registry_, {"init", QString::fromStdString(data_)});
        runCtl(registry_, {"add", QString::fromStdString(data_), "DEVTYPE=236", "SCHTYPE=1", "SERIALNUM=530",
                           "ADDRES=Котельная №1, ул. Заводская, 1", "NETTYPE=3", "NETADR=127.0.0.1",
                           QString("IPPORT=%1").arg(sim_->port()), "DESKRIPTION=Жилой фонд"});
        runCtl(registry_, {"poll", QString::fromStdString(data_)});
    }
    const std::string& dataDir() const { return data_; }

private:
    TempDir dir_;
    std::string registry_, data_;
    std::unique_ptr<mervo::test::SimProcess> sim_;
};

// The records of a dumped archive in time order.
std::vector<json> recordsInOrder(const json& archive) {
    std::vector<json> out(archive["records"].begin(), archive["records"].end());
    std::sort(out.begin(), out.end(), [](const json& a, const json& b) {
        return a["time"].get<std::string>() < b["time"].get<std::string>();
    });
    return out;
}

// "DD.MM.YYYY" of a dumped record's time stamp ("YYYY-MM-DD hh:mm:ss").
std::string dayText(const json& record) {
    std::string t = record["time"].get<std::string>();
    return t.substr(8, 2) + "." + t.substr(5, 2) + "." + t.substr(0, 4);
}

double cellNumber(calc::Workbook& wb, int col, int row) {
    std::string f = wb.formula(col, row);
    EXPECT_FALSE(f.empty()) << "col " << col << " row " << row;
    return f.empty() ? 0 : std::stod(f);
}

// The text of every page of a PDF.
std::vector<QString> pdfPages(const std::string& path) {
    QPdfDocument doc;
    doc.load(QString::fromStdString(path));
    std::vector<QString> out;
    for (int i = 0; i < doc.pageCount(); ++i)
        out.push_back(doc.getAllText(i).text().simplified()); // a wrapped heading: one line
    return out;
}

// Renders the pages with poppler's pdftoppm at 60 dpi as PREFIX-N.png (N from 1) into dir; the pictures made.
QStringList renderPages(const std::string& pdf, const QString& dir, const QString& prefix) {
    QDir().mkpath(dir);
    for (const QString& old : QDir(dir).entryList({prefix + "-*.png"}))
        QFile::remove(dir + "/" + old);
    QProcess p;
    p.start("pdftoppm", {"-r", "60", "-png", QString::fromStdString(pdf), dir + "/" + prefix});
    EXPECT_TRUE(p.waitForFinished(60000)) << "pdftoppm (poppler-utils) did not run";
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    QStringList out;
    for (const QString& f : QDir(dir).entryList({prefix + "-*.png"}, QDir::Files, QDir::Name))
        out << dir + "/" + f;
    return out;
}

// Cell texts of the first sheet in the block rows 0 … rows-1, columns 0 … cols-1.
std::vector<std::string> cellTexts(calc::Workbook& wb, int cols, int rows) {
    std::vector<std::string> out;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            if (std::string t = wb.formula(c, r); !t.empty()) out.push_back(t);
    return out;
}

// Whether a text is a field name of the archive, object or parameter tables, or carries a system tag: a
// template text that must never be printed.
bool isTemplateText(const std::string& t, int deviceType) {
    if (t.find('<') != std::string::npos) return true;
    std::vector<const devdata::TableLayout*> layouts = {&devdata::paramsTableLayout(),
                                                        devdata::archiveTableLayout(deviceType)};
    for (const devdata::TableLayout* l : layouts)
        for (const dbf::FieldDef& f : l->fields)
            if (f.name == t) return true;
    return t == "ADDRES" || t == "SERIALNUM" || isSpecialName(t);
}

} // namespace

// The daily report of the demo's 530 from a real poll, "Разность" ticked as the main program starts the
// report program: every row's heat, volumes and operating hours are what the simulator's counters added from
// that day's reading to the next, positive and equal to the simulator's amounts; the PDF shows them under the
// "за сутки" headings, and its pages are rendered as pictures.
TEST(ZorbelDemoReport, DailyReportOfThe530ShowsTheSimulatorsDailyAmounts) {
    PolledDemo530 polled;
    const json device = mervo::test::dumpOf(kDemo530);
    const std::vector<json> days = recordsInOrder(device["archives"]["daily"]);
    ASSERT_EQ(days.size(), 35u);

    ArchiveSession session(polled.dataDir());
    ASSERT_TRUE(session.openArchive(530, ArchiveKind::Daily, 236));
    ASSERT_EQ(session.openObject(), std::nullopt);
    EXPECT_TRUE(session.openParams());
    session.restrict(dt(2023, 12, 1), dt(2024, 1, 15)); // the demo's days (its clock: 15.01.2024)
    ASSERT_EQ(session.archive().recordCount(), 35);
    ReportContext ctx;
    ctx.deviceType = 236;
    ctx.difference = true;
    ctx.kind = ArchiveKind::Daily;
    ctx.fromDate = "01.12.2023";
    ctx.toDate = "15.01.2024";

    auto wb = office().open(kDist + "/Vexa1P.pat", true);
    FillOutcome outcome = fillWorkbook(*wb, session, ctx);
    ASSERT_EQ(outcome.archRows, 34); // one row per pair of consecutive days
    EXPECT_EQ(wb->formula(1, 7), "Наработка за сутки, ч");
    EXPECT_EQ(wb->formula(2, 7), "Тепло за сутки, Гкал");
    const int first = 8;
    double heat = 0;
    for (int i = 0; i < 34; ++i) {
        const json& day = days[size_t(i)];
        const json& next = days[size_t(i) + 1];
        const int r = first + i;
        SCOPED_TRACE(day["time"].get<std::string>());
        EXPECT_EQ(wb->display(0, r), dayText(day) + " 00:00");
        // the simulator's amounts of the day: the period fields of the next day's record, which are the
        // differences of the readings
        const double e = next["CurrHeatEnergy1"].get<double>(), v1 = next["CurrVolume1"].get<double>(),
                     v2 = next["CurrVolume2"].get<double>();
        EXPECT_EQ(e, next["HEnergy1"].get<double>() - day["HEnergy1"].get<double>());
        EXPECT_GT(e, 0);
        EXPECT_GT(v1, 0);
        EXPECT_DOUBLE_EQ(cellNumber(*wb, 1, r), 24);
        EXPECT_DOUBLE_EQ(cellNumber(*wb, 2, r), e);
        EXPECT_DOUBLE_EQ(cellNumber(*wb, 3, r), v1);
        EXPECT_DOUBLE_EQ(cellNumber(*wb, 4, r), v2);
        heat += e;
    }
    // the readings under the table: the first and the last day's counters
    EXPECT_DOUBLE_EQ(cellNumber(*wb, 2, first + 35), days.front()["HEnergy1"].get<double>());
    EXPECT_DOUBLE_EQ(cellNumber(*wb, 2, first + 36), days.back()["HEnergy1"].get<double>());
    EXPECT_DOUBLE_EQ(days.back()["HEnergy1"].get<double>() - days.front()["HEnergy1"].get<double>(), heat);
    EXPECT_EQ(wb->formula(2, first + 34), "Тепло, Гкал");

    // the PDF: the amounts as printed, nothing negative, no template text
    TempDir out;
    const std::string pdf = out.file("demo530_daily.pdf");
    wb->exportFirstSheetPdf(pdf);
    wb->close();
    std::vector<QString> pages = pdfPages(pdf);
    ASSERT_GE(pages.size(), 1u);
    QString all;
    for (const QString& p : pages)
        all += p;
    EXPECT_TRUE(all.contains("Суточный протокол учета тепловой энергии воды"));
    EXPECT_TRUE(all.contains("Котельная №1, ул. Заводская, 1"));
    EXPECT_TRUE(all.contains("Тепло за сутки, Гкал"));
    for (int i = 0; i < 34; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f", days[size_t(i) + 1]["CurrHeatEnergy1"].get<double>());
        EXPECT_TRUE(all.contains(text)) << text;
    }
    EXPECT_FALSE(all.contains(QRegularExpression("(^|\\s)-\\d"))) << all.toStdString();
    EXPECT_FALSE(all.contains("HEnergy"));
    EXPECT_FALSE(all.contains("WriteDay"));

    // the pages as pictures (docs/pictures holds a copy for the issue's closing note)
    QStringList pictures = renderPages(pdf, MERVO_SCREENSHOT_DIR, "demo530_daily_report");
    ASSERT_EQ(size_t(pictures.size()), pages.size());
    for (const QString& p : pictures) {
        QImage img(p);
        EXPECT_FALSE(img.isNull()) << p.toStdString();
        EXPECT_GT(img.width(), 300) << p.toStdString();
    }
}

// The delivered templates print their column headings at the top of every page: a long range of hourly
// records (192 of the demo's 530) runs over several pages and each of them starts with the headings.
TEST(ZorbelDemoReport, DeliveredTemplatesRepeatTheirHeadingsOnEveryPage) {
    PolledDemo530 polled;
    struct Case {
        const char* pattern;
        ArchiveKind kind;
        const char* heading;
    };
    const Case cases[] = {{"Vexa1PH.pat", ArchiveKind::Hourly, "Тепло за час, Гкал"},
                          {"Vexa1P.pat", ArchiveKind::Hourly, "Тепло за сутки, Гкал"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        ArchiveSession session(polled.dataDir());
        ASSERT_TRUE(session.openArchive(530, c.kind, 236));
        ASSERT_EQ(session.openObject(), std::nullopt);
        session.openParams();
        session.showAll();
        ReportContext ctx;
        ctx.deviceType = 236;
        ctx.difference = true;
        ctx.kind = c.kind;
        auto wb = office().open(kDist + "/" + c.pattern, true);
        FillOutcome outcome = fillWorkbook(*wb, session, ctx);
        EXPECT_GE(outcome.archRows, 190);
        TempDir out;
        wb->exportFirstSheetPdf(out.file("r.pdf"));
        wb->close();
        std::vector<QString> pages = pdfPages(out.file("r.pdf"));
        ASSERT_GE(pages.size(), 2u);
        for (size_t i = 0; i < pages.size(); ++i) {
            EXPECT_TRUE(pages[i].contains(c.heading)) << "page " << i + 1;
            EXPECT_TRUE(pages[i].contains("Tобр., °C")) << "page " << i + 1;
        }
        // the title and the object data stay on the first page only
        EXPECT_TRUE(pages[0].contains("Часовой протокол учета тепловой энергии воды"));
        EXPECT_FALSE(pages[1].contains("Адрес объекта:"));
        if (std::string(c.pattern) == "Vexa1PH.pat")
            renderPages(out.file("r.pdf"), MERVO_SCREENSHOT_DIR, "demo530_hourly_report");
    }
}

// No record in the range: every named cell that would show a record's field (the readings at the start and
// end, the template line) is left empty, whatever the template; labels stay.
TEST(ZorbelDemoReport, EmptyRangeLeavesTheNamedCellsEmpty) {
    ReportData data;
    int num = data.addObject(236, 530, "Ленина 5");
    data.addParams(num);
    data.addArchive(530, 'D', 236, num, ReportData::days(dt(2024, 3, 1), 5));
    for (const char* pattern : {"Vexa1P.pat", "Vexa1PH.pat"}) {
        SCOPED_TRACE(pattern);
        ArchiveSession session(data.dir());
        ASSERT_TRUE(session.openArchive(530, ArchiveKind::Daily, 236));
        ASSERT_EQ(session.openObject(), std::nullopt);
        ASSERT_TRUE(session.openParams());
        session.restrict(dt(2030, 1, 1), dt(2030, 1, 31));
        ReportContext ctx;
        ctx.deviceType = 236;
        ctx.difference = true;
        auto wb = office().open(kDist + "/" + pattern, true);
        FillOutcome outcome = fillWorkbook(*wb, session, ctx);
        EXPECT_EQ(outcome.archRows, 0);
        EXPECT_TRUE(std::find(outcome.filled.begin(), outcome.filled.end(), "ArchFirstLine") !=
                    outcome.filled.end());
        for (const std::string& t : cellTexts(*wb, 12, 16))
            EXPECT_FALSE(isTemplateText(t, 236)) << t;
        EXPECT_EQ(wb->formula(2, 8), "");  // the template line
        EXPECT_EQ(wb->formula(2, 10), ""); // the readings at the start and end
        EXPECT_EQ(wb->formula(2, 11), "");
        EXPECT_EQ(wb->formula(0, 10), "Показания на начало:");
        EXPECT_EQ(wb->formula(2, 2), "Ленина 5"); // the rest is filled
        EXPECT_EQ(wb->formula(2, 5), "25");
        wb->close();
    }

    // a template of a user's own: a single record with "Разность" ticked also leaves nothing to show
    auto wb = office().create();
    wb->setValue(0, 0, CellValue::str("HEnergy<1+1T>"));
    wb->setValue(1, 0, CellValue::str("Volume1"));
    wb->setValue(2, 0, CellValue::str("Итого"));
    wb->addName("ArchFirstLine", {{0, 0, 0, 2, 0}});
    wb->setValue(0, 2, CellValue::str("WriteDay"));
    wb->setValue(1, 2, CellValue::str("HEnergy1"));
    wb->addName("ArchLine", {{0, 0, 2, 1, 2}});
    wb->setValue(0, 4, CellValue::str("DayOfReport"));
    wb->addName("ParsData", {{0, 0, 4, 0, 4}});
    TempDir tmp;
    wb->saveXls(tmp.file("own.pat"));
    wb->close();
    ArchiveSession session(data.dir());
    ASSERT_TRUE(session.openArchive(530, ArchiveKind::Daily, 236));
    ASSERT_EQ(session.openObject(), std::nullopt);
    ASSERT_TRUE(session.openParams());
    session.restrict(dt(2024, 3, 5), dt(2024, 3, 5)); // the last record alone
    ReportContext ctx;
    ctx.deviceType = 236;
    ctx.difference = true;
    auto own = office().open(tmp.file("own.pat"), true);
    FillOutcome outcome = fillWorkbook(*own, session, ctx);
    EXPECT_EQ(outcome.archRows, 0);
    EXPECT_EQ(own->formula(0, 0), "140");   // the range's one record is the first reading
    EXPECT_EQ(own->formula(2, 0), "Итого"); // no field: stays
    EXPECT_EQ(own->formula(0, 2), "");
    EXPECT_EQ(own->formula(1, 2), "");
    EXPECT_EQ(own->formula(0, 4), "25");
    own->close();
}

// 225 and 238 keep no parameter rows: their template names no parameter, and a user's template that does
// shows nothing there; the device-model cell of a type without a model name (238) is empty too.
TEST(ZorbelDemoReport, OneSystemTemplateWithoutParameters) {
    {
        auto wb = office().open(kDist + "/Vexa1K.pat", false, true);
        EXPECT_TRUE(wb->namedRange("ParsData").empty());
        for (const std::string& t : cellTexts(*wb, 12, 16))
            for (const dbf::FieldDef& f : devdata::paramsTableLayout().fields)
                EXPECT_NE(t.rfind(f.name, 0), 0u) << t; // neither the name nor the name with a tag
        wb->close();
    }
    for (int type : {225, 238}) {
        SCOPED_TRACE(type);
        ReportData data;
        int num = data.addObject(type, 311, "Гагарина 17");
        data.addArchive(311, 'D', type, num, ReportData::days(dt(2024, 3, 1), 4));
        ArchiveSession session(data.dir());
        ASSERT_TRUE(session.openArchive(311, ArchiveKind::Daily, type));
        ASSERT_EQ(session.openObject(), std::nullopt);
        EXPECT_FALSE(session.openParams()); // no PARSDB
        session.showAll();
        ReportContext ctx;
        ctx.deviceType = type;
        ctx.difference = true;
        ctx.fromDate = "01.03.2024";
        ctx.toDate = "04.03.2024";
        auto wb = office().open(kDist + "/Vexa1K.pat", true);
        FillOutcome outcome = fillWorkbook(*wb, session, ctx);
        EXPECT_EQ(outcome.archRows, 3);
        for (const std::string& t : cellTexts(*wb, 12, 20))
            EXPECT_FALSE(isTemplateText(t, type)) << t;
        EXPECT_EQ(wb->formula(2, 3), type == 225 ? "Vexa-1 K1(2)(M)" : "");
        EXPECT_DOUBLE_EQ(cellNumber(*wb, 2, 8), 10); // HEnergy1 100, 110, …: the day's heat
        wb->close();
    }
}

// At start the report program warns of missing parameters only for the types whose parameters a poll reads;
// 225 and 238 never have any, with or without a PARSDB.
TEST(ZorbelDemoReport, NoParameterWarningForTypesWithoutParameters) {
    for (int type : {225, 238, 236}) {
        for (bool parsdb : {false, true}) {
            SCOPED_TRACE(std::to_string(type) + (parsdb ? " with PARSDB" : " without PARSDB"));
            ReportData data;
            int num = data.addObject(type, 311, "Гагарина 17");
            if (parsdb) data.addParams(num + 1); // another object's row only
            data.addArchive(311, 'D', type, num, ReportData::days(dt(2024, 3, 1), 4));
            LaunchArgs a;
            a.serial = 311;
            a.kind = ArchiveKind::Daily;
            a.deviceType = type;
            a.difference = true;
            ModalAnswerer answers;
            TReportForm form(ReportEnv{data.dir(), "/nonexistent", a});
            ASSERT_TRUE(form.start());
            if (type == 236) {
                ASSERT_EQ(answers.messages().size(), 1);
                EXPECT_TRUE(answers.messages()[0].contains("при очередном опросе"));
            } else {
                EXPECT_TRUE(answers.messages().isEmpty()) << answers.messages().join("|").toStdString();
            }
        }
    }
}

// What a named cell receives when there is nothing to show, on the tables alone.
TEST(ZorbelCells, NothingToShowLeavesTheCellEmpty) {
    ReportData data;
    int num = data.addObject(238, 77, "Победы 1");
    data.addArchive(77, 'D', 238, num, ReportData::days(dt(2024, 3, 1), 2));
    ArchiveSession session(data.dir());
    ASSERT_TRUE(session.openArchive(77, ArchiveKind::Daily, 238));
    ASSERT_EQ(session.openObject(), std::nullopt);
    ReportContext ctx;
    ctx.deviceType = 238;
    const CellValue empty;
    // a record in the range: its field; none: nothing
    session.archive().first();
    EXPECT_EQ(cellValue(&session.archive(), "heNERGY1", ctx), CellValue::num(100));
    session.restrict(dt(2030, 1, 1), dt(2030, 1, 1));
    session.archive().first();
    EXPECT_EQ(cellValue(&session.archive(), "HEnergy1", ctx), empty);
    // no parameter table at all: its field names, known from its layout, show nothing
    const std::vector<std::string> params = layoutFieldsOf("ParsData", 238);
    EXPECT_EQ(cellValue(nullptr, "DayOfReport", ctx, params), empty);
    EXPECT_EQ(cellValue(nullptr, "dayofreport", ctx, params), empty);
    EXPECT_EQ(cellValue(nullptr, "Итого", ctx, params), std::nullopt); // no field: left as it is
    // an archive that cannot be read: the type's archive fields
    EXPECT_EQ(cellValue(nullptr, "Volume2", ctx, layoutFieldsOf("ArchLastLine", 238)), empty);
    EXPECT_TRUE(layoutFieldsOf("MainData", 238).empty());
    // a special name without a value (238 has no model name), and with one
    EXPECT_EQ(cellValue(&session.objects(), "DEVTYPESTRING", ctx), empty);
    EXPECT_EQ(cellValue(&session.objects(), "VersInfo", ctx), CellValue::str("4.11"));
    EXPECT_EQ(cellValue(&session.objects(), "ADDRES", ctx), CellValue::str("Победы 1"));
    // and in the template line
    session.showAll();
    auto block = archLineBlock(session.archive(), {"DEVTYPESTRING", "HEnergy1", "подпись"}, ctx);
    ASSERT_EQ(block.size(), 2u);
    EXPECT_EQ(block[0][0], empty);
    EXPECT_EQ(block[0][2], CellValue::str("подпись"));

    EXPECT_FALSE(hasParameterRows(225));
    EXPECT_FALSE(hasParameterRows(238));
    for (int type : {229, 230, 234, 235, 236, 237})
        EXPECT_TRUE(hasParameterRows(type)) << type;
}

// The report's PDF holds the first sheet alone, also of a workbook with several (the others are hidden while
// it is exported, so that the first keeps its print title rows).
TEST(ZorbelDemoReport, OnlyTheFirstSheetIsExported) {
    TempDir tmp;
    {
        std::ofstream f(tmp.file("two.fods"), std::ios::binary);
        f << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2"
 office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:body><office:spreadsheet>
  <table:table table:name="Один"><table:table-row><table:table-cell office:value-type="string"><text:p>первый лист</text:p></table:table-cell></table:table-row></table:table>
  <table:table table:name="Два"><table:table-row><table:table-cell office:value-type="string"><text:p>второй лист</text:p></table:table-cell></table:table-row></table:table>
 </office:spreadsheet></office:body></office:document>
)";
    }
    auto wb = office().open(tmp.file("two.fods"), true);
    for (const char* name : {"a.pdf", "b.pdf"}) { // twice: the second sheet stays as it was
        wb->exportFirstSheetPdf(tmp.file(name));
        std::vector<QString> pages = pdfPages(tmp.file(name));
        ASSERT_EQ(pages.size(), 1u) << name;
        EXPECT_TRUE(pages[0].contains("первый лист")) << name;
        EXPECT_FALSE(pages[0].contains("второй лист")) << name;
    }
    wb->close();
}
