// Calls of the spreadsheet engine made from the window: each runs on a thread of its own with a deadline
// while the window waits with a wait box and goes on processing its events. A call past its deadline, or
// one still running when the program is told to end, ends the office process (SIGTERM, SIGKILL when it
// does not end), so that the call fails and the next one starts a fresh office.
#pragma once

#include <functional>
#include <string>

class QWidget;
class QString;

namespace zorbel {

namespace calc {
class Office;
}

struct OfficeDeadlines {
    int startMs = 10000; // for starting the office and connecting to it
    int callMs = 60000;  // for the work of one call (a fill, an export)
};

enum class CallEnd {
    Done,       // the work returned
    Failed,     // the work threw; `error` holds its message
    TimedOut,   // past the deadline: the office was ended
    Interrupted // the program is ending: the office was ended
};

struct CallResult {
    CallEnd end = CallEnd::Done;
    std::string error;
    bool ok() const { return end == CallEnd::Done; }
};

// Runs `work` on a thread of its own and waits for it up to timeoutMs. `window` (when given) takes no input
// meanwhile and a wait box with `caption` shows after a short time. Past the deadline, or when the event
// loop is told to quit, `office` is ended and the work is waited for until it has failed; the office is
// then stopped (its profile removed), ready to be started anew.
CallResult runOfficeCall(QWidget* window, calc::Office& office, int timeoutMs, const QString& caption,
                         std::function<void()> work);

// True while a call of runOfficeCall is waited for (on the window's thread).
bool officeCallRunning();

} // namespace zorbel
