// TLocalConnect, "Подключение": the progress dialog of a single-object poll.
#pragma once

#include <QDialog>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace shell {

class PollBridge;

class TLocalConnect : public QDialog {
    Q_OBJECT
public:
    explicit TLocalConnect(QWidget* parent = nullptr);

    // Follows a poll run: its status text 5 becomes the label, its progress the bar; its end closes the
    // dialog with the confirmed result.
    void follow(PollBridge* bridge);
    // What "Отмена" does to the poll run (stop it and wait for its end).
    void setStopPoll(std::function<void()> stop) { stopPoll_ = std::move(stop); }

    QLabel* L1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* Button1 = nullptr;

public slots:
    void setLabel(int index, const QString& text);
    void setProgress(int value);
    void runEnded();
    void Button1Click();

protected:
    void showEvent(QShowEvent* e) override;
    void done(int r) override;

private:
    void reset();
    std::function<void()> stopPoll_;
};

} // namespace shell
