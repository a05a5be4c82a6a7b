// The main window's status bar: six sunken panels with separators between them. Panels 0, 2, 3 and 4 (mode,
// step, counts, next poll) are as wide as their design width or their longest text, whichever is wider;
// the line signals panel (5) keeps its design width and grows to its whole text with the first room to
// spare; the address panel (1) takes the rest. A narrow window cuts the address panel first, then the step
// panel; only a window narrower than the fixed panels together cuts those, from the line signals leftwards.
#pragma once

#include "dbf/types.h"

#include <QLabel>
#include <QString>
#include <QStringList>
#include <array>

class QFrame;
class QStatusBar;

namespace shell {

inline constexpr int kStatusPanelCount = 6;
// The design widths of the panels and their height.
inline constexpr std::array<int, kStatusPanelCount> kStatusPanelWidths = {60, 200, 200, 250, 230, 50};
inline constexpr int kStatusPanelHeight = 20;
// The panel that takes the room beyond the design widths.
inline constexpr int kStatusStretchPanel = 1;
// The line signals panel: at its design width its hint holds the signals; with room to spare it grows first,
// until it shows them whole.
inline constexpr int kStatusSignalsPanel = 5;

// Status text 4 while auto-poll is on: "Дата очередного опроса: dd.mm.yyyy hh:mm".
QString nextPollStatusText(const dbf::DateTime& next);
inline constexpr const char* kAutoPollOffStatusText = "Режим \"Автоопрос\" отключен";

// The longest texts a panel shows, its width is reckoned from them ("9" stands for any digit).
const QStringList& statusPanelLongestTexts(int panel);

// A status panel: a sunken framed label of one line. Cut short, it ends its text with "…" and shows the
// whole text as its hint; text() is always the whole text.
class StatusPanelLabel : public QLabel {
    Q_OBJECT
public:
    explicit StatusPanelLabel(QWidget* parent = nullptr);
    // The width that shows this text whole in the panel's font, frame and indent included.
    int widthFor(const QString& text) const;
    // The width that shows every one of the panel's longest texts whole.
    int widthForAll(const QStringList& texts) const;
    // The text as painted: whole, or cut with "…" when the panel is too narrow.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* e) override;
    bool event(QEvent* e) override;
};

// The row of panels and separators in the status bar, laid out by the rules above.
class StatusPanelRow : public QWidget {
    Q_OBJECT
public:
    explicit StatusPanelRow(QWidget* parent = nullptr);
    StatusPanelLabel* panel(int i) const { return panels_[size_t(i)]; }
    QFrame* separator(int i) const { return separators_[size_t(i)]; }
    // The width of each panel at that row width.
    std::array<int, kStatusPanelCount> panelWidths(int rowWidth) const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;

private:
    std::array<int, kStatusPanelCount> preferredWidths() const;
    // The width that shows each of the panel's longest texts whole.
    int wholeWidth(int i) const;
    void place();

    std::array<StatusPanelLabel*, kStatusPanelCount> panels_{};
    std::array<QFrame*, kStatusPanelCount - 1> separators_{};
};

// Makes the row in the status bar; panels[i] gets panel i.
StatusPanelRow* buildStatusPanels(QStatusBar* bar, QLabel* (&panels)[kStatusPanelCount]);

} // namespace shell
