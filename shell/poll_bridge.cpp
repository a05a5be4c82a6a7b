#include "shell/poll_bridge.h"

namespace shell {

namespace {
QString q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

PollBridge::PollBridge(QObject* parent) : QObject(parent) {}

void PollBridge::eventLine(const std::string& text, bool replaceLast) {
    bool first = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        first = pending_.empty();
        pending_.emplace_back(text, replaceLast);
    }
    if (first)
        QMetaObject::invokeMethod(
            this, [this] { drain(); }, Qt::QueuedConnection);
}

void PollBridge::drain() {
    std::vector<std::pair<std::string, bool>> lines;
    {
        std::lock_guard<std::mutex> g(mutex_);
        lines.swap(pending_);
    }
    for (const auto& [text, replace] : lines)
        emit eventLineArrived(q(text), replace);
    if (!lines.empty()) emit eventLinesDrained();
}
void PollBridge::statusText(int index, const std::string& text) {
    emit statusTextChanged(index, q(text));
}
void PollBridge::progress(int value) {
    emit progressChanged(value);
}
void PollBridge::runStarted(bool singleObject) {
    emit started(singleObject);
}
void PollBridge::runEnded(const polling::RunResult& r) {
    emit ended(r.singleObject, r.stopped, q(r.summary), q(r.logFile));
}
void PollBridge::terminalLine(const std::string& line) {
    emit terminalLineArrived(q(line));
}

void PollBridge::lineSignals(const std::string& text) {
    emit lineSignalsChanged(q(text));
}

} // namespace shell
