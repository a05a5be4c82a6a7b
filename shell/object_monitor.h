// The button view of the main window: a scroll area with one coloured object button per object of the
// current selection, in columns and, when ordered by group, under group headers. The layout and the looks
// come from MonitorModel; this widget only makes the buttons and turns mouse clicks into signals that the
// main window connects to its actions.
#pragma once

#include "shell/monitor_model.h"

#include <QFontMetrics>
#include <QFrame>
#include <QScrollArea>
#include <QTimer>
#include <memory>
#include <unordered_map>

class QLabel;
class QPainter;

namespace shell {

// The look of the text parts: font, colour and the metrics that size a part to its text.
struct PartStyle {
    explicit PartStyle(const QFont& f, const QColor& c) : font(f), colour(c), metrics(f) {}
    QFont font;
    QColor colour;
    QFontMetrics metrics;
};

// A part of an object button: a text sized to itself, or a picture stretched over the part. The button paints
// its parts itself, as a monitor of a few thousand objects would otherwise make six child widgets per object
// at every rebuild.
class ButtonPart {
public:
    ButtonPart(const QString& name, const PartStyle* style, QPoint pos)
        : name_(name), style_(style), pos_(pos) {}
    const QString& objectName() const { return name_; }
    const QString& text() const { return text_; }
    // Sets the text and sizes the part to it, at most to the widest it may be.
    void setText(const QString& text);
    // The widest the text part may be; a longer text ends with "…" (0: no limit).
    void setMaxWidth(int width) { maxWidth_ = width; }
    // The text as painted: whole, or cut to the widest with "…".
    const QString& shownText() const { return shown_; }
    const QFont& textFont() const { return style_->font; }
    const QColor& textColour() const { return style_->colour; }
    void setPicture(const QPixmap* picture, int size);
    QPoint pos() const { return pos_; }
    QRect geometry() const { return QRect(pos_, size_); }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    void paint(QPainter& p) const;

private:
    QString name_;
    const PartStyle* style_;
    QPoint pos_;
    QSize size_;
    const QPixmap* picture_ = nullptr;
    QString text_;
    QString shown_;
    int maxWidth_ = 0;
    bool hidden_ = false;
};

struct ButtonStyles {
    PartStyle state, address, small;
};

// One object button "Link<NUM>" with its parts "State", "Addr", "Num", "Clock", "ERRLED", "WarnLED" + NUM.
// The parts let the mouse through, so a click anywhere on the button is the button's.
class ObjectButton : public QFrame {
    Q_OBJECT
public:
    ObjectButton(int num, const ButtonStyles& styles, QWidget* parent);
    int num() const { return num_; }
    // Colour, hint and every part from the look.
    void setLook(const ButtonLook& look, bool withHint);

    ButtonPart State;
    ButtonPart Addr;
    ButtonPart Num;
    ButtonPart Clock;
    ButtonPart ERRLED;
    ButtonPart WarnLED;
    // The part of that name ("State" + NUM, ...), nullptr when there is none.
    const ButtonPart* part(const QString& name) const;

signals:
    void released(int num, Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint globalPos);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    int num_;
};

class ObjectMonitor : public QScrollArea {
    Q_OBJECT
public:
    // The model must outlive the widget. The monitor tick (1000 ms) runs from creation.
    explicit ObjectMonitor(MonitorModel& model, QWidget* parent = nullptr);

    MonitorModel& model() { return model_; }

    // Destroys every button and header and makes them anew from the model's rows.
    void rebuild();
    // Updates colour, texts, lamps and position of the existing buttons; hints and headers stay.
    void refresh();
    // What the one-second tick does: the model's flags, served only while the top-level window is visible.
    void monitorTick();

    // The button of an object, nullptr when there is none.
    ObjectButton* button(int num) const;
    int buttonCount() const { return int(buttons_.size()); }
    // The group headers in their order.
    QList<QLabel*> headers() const;
    // The widget inside the scroll area that holds the buttons.
    QWidget* panel() const { return panel_; }

signals:
    // A rebuild has ended: the group list of the model may have been refilled (the window refills its list
    // box from MonitorModel::groups() without treating that as a choice of the operator).
    void rebuilt();
    // The object NUM became the current record of the objects table (the window opens its current-state
    // table). Sent before the action signals below, while the object is current.
    void objectSelected(int num);
    // Left click with exactly Shift: "Автоопрос Вкл/Выкл".
    void autoPollToggleRequested(int num);
    // Left click with exactly Alt: the object window's archive action.
    void archiveRequested(int num);
    // Left click with exactly Ctrl: the object window's state action.
    void stateRequested(int num);
    // Left click with no modifier or any other combination: the object window.
    void objectWindowRequested(int num);
    // Right click: the object pop-up menu at the mouse position.
    void popupRequested(int num, QPoint globalPos);

protected:
    // The buttons and headers follow a change of the column count at once.
    void resizeEvent(QResizeEvent* e) override;

private:
    void buttonReleased(int num, Qt::MouseButton button, Qt::KeyboardModifiers modifiers, QPoint globalPos);
    int headerHeight() const;
    // Moves the buttons and headers made from rows_ to the layout of that area width.
    void place(int areaWidth);

    MonitorModel& model_;
    QWidget* panel_;
    QTimer tick_;
    std::unordered_map<int, ObjectButton*> buttons_;
    QList<QLabel*> headers_;
    std::unique_ptr<ButtonStyles> styles_;
    // The rows the buttons were last laid out from, and the column count of that layout.
    std::vector<ObjectRow> rows_;
    bool grouped_ = false;
    int columns_ = 0;
};

} // namespace shell
