#include "report/office_call.h"

#include "report/calc.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace zorbel {

namespace {

struct CallState {
    std::atomic<bool> done{false};
    std::mutex lock;
    bool failed = false;
    std::string error;
};

int runningCalls = 0;

// Runs the event loop until the work is done, the time is up or the loop is told to quit. False on quit.
bool waitUntil(const CallState& state, QDeadlineTimer deadline) {
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(15);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (state.done || deadline.hasExpired()) loop.exit(1);
    });
    tick.start();
    while (!state.done && !deadline.hasExpired())
        // exec() returns at once with -1 (or the code of QCoreApplication::exit()) once the program quits
        if (loop.exec() != 1) return false;
    return true;
}

// A busy bar without buttons: the wait cannot be cut short from the window, only by the deadline.
class WaitBox : public QWidget {
public:
    explicit WaitBox(const QString& caption)
        : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
        setWindowTitle("Zorbel");
        setAttribute(Qt::WA_ShowWithoutActivating);
        auto* l = new QVBoxLayout(this);
        l->addWidget(new QLabel(caption));
        auto* bar = new QProgressBar;
        bar->setRange(0, 0);
        l->addWidget(bar);
        setMinimumWidth(320);
    }
};

} // namespace

bool officeCallRunning() {
    return runningCalls > 0;
}

CallResult runOfficeCall(QWidget* window, calc::Office& office, int timeoutMs, const QString& caption,
                         std::function<void()> work) {
    auto state = std::make_shared<CallState>();
    std::thread worker([state, work = std::move(work)] {
        try {
            work();
        } catch (const std::exception& e) {
            std::lock_guard hold(state->lock);
            state->failed = true;
            state->error = e.what();
        } catch (...) {
            std::lock_guard hold(state->lock);
            state->failed = true;
            state->error = "ошибка LibreOffice";
        }
        state->done = true;
    });

    ++runningCalls;
    QPointer<QWidget> win = window ? window->window() : nullptr;
    const bool wasEnabled = win && win->isEnabled();
    if (win) win->setEnabled(false);
    std::unique_ptr<WaitBox> box;
    QTimer showBox;
    showBox.setSingleShot(true);
    QObject::connect(&showBox, &QTimer::timeout, [&] {
        box = std::make_unique<WaitBox>(caption);
        if (win) box->move(win->geometry().center() - box->rect().center());
        box->show();
    });
    showBox.start(400);
    QApplication::setOverrideCursor(Qt::WaitCursor);

    CallResult result;
    const bool quitting = !waitUntil(*state, QDeadlineTimer(timeoutMs));
    if (!state->done) {
        result.end = quitting ? CallEnd::Interrupted : CallEnd::TimedOut;
        // the office is ended; its pipe closes and the call in progress fails
        office.abort(false);
        QDeadlineTimer grace(2000);
        while (!state->done && !grace.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!state->done) office.abort(true);
    }
    worker.join();
    if (result.end == CallEnd::Done && state->failed) {
        result.end = CallEnd::Failed;
        result.error = state->error;
    }
    if (result.end == CallEnd::TimedOut || result.end == CallEnd::Interrupted) office.stop();

    QApplication::restoreOverrideCursor();
    showBox.stop();
    box.reset();
    if (win && wasEnabled) win->setEnabled(true);
    --runningCalls;
    return result;
}

} // namespace zorbel
