// The report program's speed: opening a 100,000-row archive with a one-month range, starting the spreadsheet
// engine, and filling 1,000 archive rows into a delivered template with the PDF of the first sheet.
#include "report/calc.h"
#include "report/report_filler.h"
#include "report/session.h"
#include "tests/report_fixture.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <filesystem>
#include <memory>

using mervo::test::ReportData;
using namespace zorbel;

namespace {

dbf::DateTime hoursFrom(dbf::DateTime start, int h) {
    return dbf::DateTime::fromMs(start.ms() + int64_t(h) * 3600 * 1000);
}

// An hourly archive of `rows` records from 01.01.2014 and a daily one of `days` records from 01.01.2021, of
// calculator 530 (type 236), written through the table layer in bulk.
ReportData& data(int rows, int days) {
    static std::unique_ptr<ReportData> d;
    if (d) return *d;
    d = std::make_unique<ReportData>();
    const int num = d->addObject(236, 530, "Котельная №1, ул. Заводская, 1");
    d->addParams(num, 1);
    auto fill = [&](char kind, int count, dbf::DateTime start, int stepHours) {
        dbf::Table t;
        const std::string prefix = std::string("ARCHDB530") + kind;
        devdata::createArchiveTable(t, 236, d->dir(), prefix, nullptr, nullptr);
        t.beginBulk();
        for (int i = 0; i < count; ++i) {
            const dbf::DateTime w = hoursFrom(start, i * stepHours);
            t.append();
            t.setInt("NUMSTATE", num);
            t.setDateTime("WriteDay", w);
            t.setInt("WriteHour", w.hour());
            t.setInt("CheckField", 0);
            t.setFloat("HEnergy1", 1000 + i * 1.25);
            t.setFloat("HEnergy2", 500 + i * 0.5);
            t.setFloat("MainTemper1", 70 + i % 10);
            t.setFloat("MainTemper2", 45 + i % 7);
            t.post();
        }
        t.endBulk();
    };
    fill('H', rows, dbf::DateTime::fromParts(2014, 1, 1), 1);
    fill('D', days, dbf::DateTime::fromParts(2021, 1, 1), 24);
    return *d;
}

void BM_OpenArchiveWithOneMonthRange(benchmark::State& state) {
    ReportData& d = data(100000, 1000);
    int rows = 0;
    for (auto _ : state) {
        ArchiveSession s(d.dir());
        if (!s.openArchive(530, ArchiveKind::Hourly, 236) || s.openObject())
            state.SkipWithError("no archive");
        s.openParams();
        s.restrict(dbf::DateTime::fromParts(2020, 3, 1), dbf::DateTime::fromParts(2020, 3, 31));
        rows = s.archive().recordCount();
        benchmark::DoNotOptimize(rows);
    }
    state.counters["rows_in_range"] = rows;
}
BENCHMARK(BM_OpenArchiveWithOneMonthRange)->Unit(benchmark::kMillisecond);

std::unique_ptr<calc::Office> office;

void BM_EngineStart(benchmark::State& state) {
    for (auto _ : state) {
        auto o = std::make_unique<calc::Office>();
        o->start();
        state.PauseTiming();
        o.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_EngineStart)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_Fill1000RowsWithPdf(benchmark::State& state) {
    ReportData& d = data(100000, 1000);
    if (!office) {
        office = std::make_unique<calc::Office>();
        office->start();
    }
    ArchiveSession s(d.dir());
    s.openArchive(530, ArchiveKind::Daily, 236);
    s.openObject();
    s.openParams();
    ReportContext ctx;
    ctx.deviceType = 236;
    ctx.fromDate = "01.01.2021";
    ctx.toDate = "26.09.2023";
    ctx.difference = false;
    const std::string pdf = d.file("report.pdf");
    int rows = 0;
    for (auto _ : state) {
        s.restrict(dbf::DateTime::fromParts(2021, 1, 1), dbf::DateTime::fromParts(2023, 9, 26));
        auto wb = office->open(std::string(MERVO_DIST_DIR) + "/Patterns/Vexa1P.pat", true);
        rows = fillWorkbook(*wb, s, ctx).archRows;
        wb->exportFirstSheetPdf(pdf);
        wb->close();
    }
    state.counters["rows"] = rows;
    state.counters["pdf_kb"] = double(std::filesystem::file_size(pdf)) / 1024;
}
BENCHMARK(BM_Fill1000RowsWithPdf)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    office.reset(); // the engine ends before the UNO runtime goes
    benchmark::Shutdown();
    return 0;
}
