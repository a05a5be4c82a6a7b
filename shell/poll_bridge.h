// Carries what a poll run says on its own thread over to the windows on the GUI thread: every observer call
// becomes a signal, delivered by queued connections to receivers that live on the GUI thread.
#pragma once

#include "poll/poll_run.h"

#include <QObject>
#include <QString>
#include <mutex>
#include <utility>
#include <vector>

namespace shell {

class PollBridge : public QObject, public polling::PollObserver {
    Q_OBJECT
public:
    explicit PollBridge(QObject* parent = nullptr);

    void eventLine(const std::string& text, bool replaceLast) override;
    void statusText(int index, const std::string& text) override;
    void progress(int value) override;
    void runStarted(bool singleObject) override;
    void runEnded(const polling::RunResult& result) override;
    void terminalLine(const std::string& line) override;
    void lineSignals(const std::string& text) override;

signals:
    // Event lines come in batches: the poll thread queues them and the GUI thread takes all that are pending
    // at once, one signal a line and then eventLinesDrained, so that a fast run cannot flood the window.
    void eventLineArrived(const QString& text, bool replaceLast);
    void eventLinesDrained();
    void statusTextChanged(int index, const QString& text);
    void progressChanged(int value);
    void started(bool singleObject);
    // summary: the end summary of an all-objects run (empty otherwise)
    void ended(bool singleObject, bool stopped, const QString& summary, const QString& logFile);
    void terminalLineArrived(const QString& line);
    void lineSignalsChanged(const QString& text);

private:
    void drain();
    std::mutex mutex_;
    std::vector<std::pair<std::string, bool>> pending_;
};

} // namespace shell
