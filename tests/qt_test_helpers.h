// Helpers for tests that drive the suite's Qt windows on the offscreen platform: answering the modal message
// boxes and input boxes that a window opens, waiting for a condition while the event loop runs, and saving a
// picture of a window under the build folder.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QDialogButtonBox>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <ostream>
#include <vector>

// Readable QString values in GoogleTest's failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace mervo::test {

// Watches for modal dialogs while it lives and answers them: a message box is recorded and closed with a
// scripted button, else its default (or only) one; an input box gets the next scripted entry typed into it
// and OK, or Cancel.
// Anything else, or an input box without a scripted entry, fails the test and is rejected. The guard timer
// fails the test and rejects every modal dialog from then on when the whole exchange has not ended in time,
// so that a dialog nobody expected cannot hang the run.
class ModalAnswerer : public QObject {
public:
    struct Seen {
        QString kind; // "message", "input" or the class of an unexpected dialog
        QString title;
        QString text; // message text or input prompt
        QMessageBox::Icon icon = QMessageBox::NoIcon;
    };

    explicit ModalAnswerer(int guardMs = 60000) {
        poll_.setInterval(20);
        QObject::connect(&poll_, &QTimer::timeout, this, [this] { look(); });
        poll_.start();
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, this, [this] {
            ADD_FAILURE() << "modal dialogs still open after the guard time";
            expired_ = true;
            look();
        });
        guard_.start(guardMs);
    }

    // The next input box gets this text typed in and is accepted.
    void type(const QString& text) { inputs_.push_back(text); }
    // The next input box is cancelled.
    void cancel() { inputs_.push_back(std::nullopt); }
    // The next message box is answered with this button instead of its default one.
    void press(QMessageBox::StandardButton button) { presses_.push_back(button); }
    // A modal window the test drives itself (the object master, the object window): left alone while it is
    // the modal window in front; the boxes it opens are answered.
    void leave(QWidget* w) { left_.push_back(w); }

    const std::vector<Seen>& seen() const { return seen_; }
    // The message box texts in the order they came.
    QStringList messages() const {
        QStringList out;
        for (const auto& s : seen_)
            if (s.kind == "message") out << s.text;
        return out;
    }
    void clear() { seen_.clear(); }
    bool expired() const { return expired_; }

private:
    void look() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || (w == last_ && !expired_)) return;
        if (!expired_)
            for (const QPointer<QWidget>& l : left_)
                if (l == w) return;
        last_ = w;
        if (expired_) {
            seen_.push_back({"expired", w->windowTitle(), QString(), QMessageBox::NoIcon});
            reject(w);
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            seen_.push_back({"message", box->windowTitle(), box->text(), box->icon()});
            QAbstractButton* b = box->defaultButton();
            if (!presses_.empty()) {
                b = box->button(presses_.front());
                presses_.pop_front();
                if (!b)
                    ADD_FAILURE() << "message box without the scripted button: " << box->text().toStdString();
            }
            if (!b && !box->buttons().isEmpty()) b = box->buttons().first();
            if (b)
                b->click();
            else
                box->reject();
        } else if (auto* input = qobject_cast<QInputDialog*>(w)) {
            seen_.push_back({"input", input->windowTitle(), input->labelText(), QMessageBox::NoIcon});
            if (inputs_.empty()) {
                ADD_FAILURE() << "input box without a scripted entry: " << input->labelText().toStdString();
                input->reject();
                return;
            }
            std::optional<QString> entry = inputs_.front();
            inputs_.pop_front();
            auto* edit = input->findChild<QLineEdit*>();
            auto* box = input->findChild<QDialogButtonBox*>();
            if (!entry || !edit || !box) {
                input->reject();
                return;
            }
            edit->clear();
            // the test library types only ASCII keys; other text goes in as the input method would put it
            bool ascii = true;
            for (QChar c : *entry)
                ascii = ascii && c.unicode() < 128;
            if (ascii)
                QTest::keyClicks(edit, *entry);
            else
                edit->insert(*entry);
            box->button(QDialogButtonBox::Ok)->click();
        } else {
            seen_.push_back({w->metaObject()->className(), w->windowTitle(), QString(), QMessageBox::NoIcon});
            ADD_FAILURE() << "unexpected modal dialog " << w->metaObject()->className();
            reject(w);
        }
    }
    static void reject(QWidget* w) {
        if (auto* d = qobject_cast<QDialog*>(w))
            d->reject();
        else
            w->close();
    }

    QTimer poll_, guard_;
    QPointer<QWidget> last_;
    std::deque<std::optional<QString>> inputs_;
    std::deque<QMessageBox::StandardButton> presses_;
    std::vector<QPointer<QWidget>> left_;
    std::vector<Seen> seen_;
    bool expired_ = false;
};

// Runs `act` on the first modal dialog of class D that comes up while it lives (Qt's colour, font or file
// dialog opened by the code under test); `act` ends by closing it. When none has come, or it is still open,
// at the guard time, the test fails and the modal dialog in front is rejected, so that nothing can hang.
template <class D>
class WhenShown : public QObject {
public:
    explicit WhenShown(std::function<void(D&)> act) : act_(std::move(act)) {
        poll_.setInterval(10);
        QObject::connect(&poll_, &QTimer::timeout, this, [this] {
            auto* d = qobject_cast<D*>(QApplication::activeModalWidget());
            if (!d || !d->isVisible()) return;
            poll_.stop();
            seen_ = true;
            act_(*d);
        });
        poll_.start();
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, this, [this] {
            ADD_FAILURE() << (seen_ ? "the dialog was left open" : "the dialog never came up");
            poll_.stop();
            if (auto* d = qobject_cast<D*>(QApplication::activeModalWidget())) d->reject();
        });
        guard_.start(20000);
    }
    bool seen() const { return seen_; }

private:
    std::function<void(D&)> act_;
    QTimer poll_, guard_;
    bool seen_ = false;
};

// Runs the event loop until the condition holds or the time is up; returns the condition.
inline bool waitFor(const std::function<bool()>& cond, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (!cond()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(10);
    }
    return true;
}

// Renders the window as it would appear and saves it as DIR/NAME.png; returns the file path.
inline QString saveScreenshot(QWidget& w, const QString& dir, const QString& name) {
    QDir().mkpath(dir);
    QString path = dir + "/" + name + ".png";
    w.grab().save(path);
    return path;
}

} // namespace mervo::test
