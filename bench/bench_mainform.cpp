// The main window under a poll's stream of event lines.
//
//   DrainEventLines   10,000 event lines sent from another thread (as a poll run sends them) until the event
//                     list shows them all; "max_gap_ms" is the longest time the window's event loop went
//                     without running a 10 ms timer meanwhile (how responsive it stayed)
#include "shell/main_form.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <filesystem>
#include <thread>

namespace {

void DrainEventLines(benchmark::State& state) {
    const std::string dir = (std::filesystem::temp_directory_path() / "mervo-bench-mainform").string();
    std::filesystem::create_directories(dir);
    for (auto _ : state) {
        shell::TMainForm form(dir);
        form.show();
        QApplication::processEvents();
        qint64 maxGap = 0;
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] { maxGap = std::max(maxGap, sinceTick.restart()); });
        tick.start(10);
        const int n = 10'000;
        std::thread poll([&] {
            for (int i = 0; i < n; ++i)
                form.bridge().eventLine(
                    "  12:00:00 Объект " + std::to_string(i) + "   -  Чтение состояния... OK", i % 3 == 2);
        });
        QElapsedTimer t;
        t.start();
        const int expect = n - n / 3;
        while (form.WindowStateL->count() < expect)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        poll.join();
        QApplication::processEvents();
        state.SetIterationTime(double(t.nsecsElapsed()) / 1e9);
        state.counters["max_gap_ms"] = double(maxGap);
        state.counters["lines"] = form.WindowStateL->count();
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(DrainEventLines)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
