#include "shell/poll_bridge.h"

namespace shell {

namespace {
QString q(const std::string& s) {
    return QString::fromStdString(s);
}
} // namespace

PollBridge::PollBridge(QObject* parent) : QObject(parent) {}

void PollBridge::eventLine(const std::string& text, bool replaceLast) {
    emit eventLineArrived(q(text), replaceLast);
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

} // namespace shell
