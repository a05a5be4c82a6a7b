// The object monitor with 2,000 objects: reading the selection through the private cursor, the layout, a
// rebuild of every button and a refresh of the existing ones, on the offscreen platform.
#include "shell/object_monitor.h"
#include "tests/monitor_fixture.h"
#include "tests/tmpdir.h"

#include <QApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>
#include <memory>

namespace {

constexpr int kObjects = 2000;

struct Fixture {
    mervo::test::TempDir tmp;
    dbf::Table table;
    std::unique_ptr<shell::MonitorModel> model;
    std::unique_ptr<shell::ObjectMonitor> view;

    explicit Fixture(bool grouped) {
        mervo::test::makeObjectsTable(table, tmp.path(), mervo::test::sampleObjects(kObjects));
        model = std::make_unique<shell::MonitorModel>(table);
        if (grouped) model->setOrdering(shell::Ordering::Group);
        view = std::make_unique<shell::ObjectMonitor>(*model);
        view->resize(1280, 800);
        view->show();
    }
};

void BM_ReadRows(benchmark::State& state) {
    Fixture f(false);
    for (auto _ : state)
        benchmark::DoNotOptimize(f.model->readRows());
}
BENCHMARK(BM_ReadRows)->Unit(benchmark::kMillisecond);

void BM_Layout(benchmark::State& state) {
    Fixture f(true);
    auto rows = f.model->readRows();
    for (auto _ : state)
        benchmark::DoNotOptimize(shell::layoutMonitor(rows, true, 1280, 13));
}
BENCHMARK(BM_Layout)->Unit(benchmark::kMicrosecond);

void BM_Rebuild(benchmark::State& state) {
    Fixture f(state.range(0) != 0);
    double build = 0, paint = 0;
    for (auto _ : state) {
        QElapsedTimer t;
        t.start();
        f.view->rebuild();
        build += double(t.nsecsElapsed());
        t.restart();
        QApplication::processEvents();
        paint += double(t.nsecsElapsed());
    }
    state.counters["buttons"] = f.view->buttonCount();
    // the rebuild itself and the events it leaves (painting the visible part of the view) apart
    state.counters["build_ms"] = benchmark::Counter(build / 1e6, benchmark::Counter::kAvgIterations);
    state.counters["events_ms"] = benchmark::Counter(paint / 1e6, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Rebuild)->Arg(0)->Arg(1)->ArgName("grouped")->Unit(benchmark::kMillisecond);

void BM_Refresh(benchmark::State& state) {
    Fixture f(false);
    f.view->rebuild();
    for (auto _ : state) {
        f.view->refresh();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_Refresh)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
