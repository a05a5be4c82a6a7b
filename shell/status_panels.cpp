#include "shell/status_panels.h"

#include <QEvent>
#include <QFrame>
#include <QHelpEvent>
#include <QPainter>
#include <QStatusBar>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <cstdio>

namespace shell {

namespace {

// Room between a panel and a separator, and the separator's own width.
constexpr int kGap = 2;
constexpr int kSeparatorWidth = 2;
constexpr int kPanelIndent = 3;

// The order in which panels give way to a narrow window.
constexpr std::array<int, kStatusPanelCount> kGiveWayOrder = {1, 2, 5, 0, 4, 3};

// Every "9" of the pattern as the digit widest in these metrics, so that no date or count is wider.
QString withWidestDigit(const QString& pattern, const QFontMetrics& fm) {
    QChar widest = '0';
    for (char d = '0'; d <= '9'; ++d)
        if (fm.horizontalAdvance(QChar(d)) > fm.horizontalAdvance(widest)) widest = QChar(d);
    QString s = pattern;
    s.replace('9', widest);
    return s;
}

} // namespace

QString nextPollStatusText(const dbf::DateTime& next) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d", next.day(), next.month(), next.year(),
                  next.hour(), next.minute());
    return QString("Дата очередного опроса: ") + buf;
}

const QStringList& statusPanelLongestTexts(int panel) {
    static const std::array<QStringList, kStatusPanelCount> texts = {
        QStringList{"Авто", "Ручной", "Служба"},
        QStringList{"Опрос прерван", "Опрос завершен"},
        QStringList{"Подключение", "Соединение", "Чтение состояния", "Синхронизация времени",
                    "Чтение параметров", "Отключение", "Чтение архива 99 % - 99999"},
        // the counters during the run, and at its end (capital "О" and a trailing blank)
        QStringList{"Опрошено: 999  осталось: 999  Ошибок: 999",
                    "Опрошено: 999  Осталось: 999  Ошибок: 999 "},
        QStringList{"Дата очередного опроса: 99.99.9999 99:99", kAutoPollOffStatusText},
        // the line signals: whole only where there is room, else the hint holds them
        QStringList{"CTS:Off DSR:Off Ring:Off RLSD:Off "},
    };
    return texts[size_t(panel)];
}

// ------------------------------------------------------------------------------------------------ panel

StatusPanelLabel::StatusPanelLabel(QWidget* parent) : QLabel(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setIndent(kPanelIndent);
    setFixedHeight(kStatusPanelHeight);
    setTextFormat(Qt::PlainText);
}

int StatusPanelLabel::widthFor(const QString& text) const {
    const QFontMetrics fm = fontMetrics();
    return fm.horizontalAdvance(withWidestDigit(text, fm)) + 2 * (frameWidth() + indent()) + 1;
}

int StatusPanelLabel::widthForAll(const QStringList& texts) const {
    int w = 0;
    for (const QString& t : texts)
        w = std::max(w, widthFor(t));
    return w;
}

QString StatusPanelLabel::shownText() const {
    const int room = contentsRect().width() - 2 * indent();
    return fontMetrics().elidedText(text(), Qt::ElideRight, std::max(room, 0));
}

void StatusPanelLabel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    drawFrame(&p);
    const QRect r = contentsRect().adjusted(indent(), 0, -indent(), 0);
    style()->drawItemText(&p, r, int(alignment()) | Qt::TextSingleLine, palette(), isEnabled(), shownText(),
                          foregroundRole());
}

bool StatusPanelLabel::event(QEvent* e) {
    // a hint of its own wins; a panel cut short shows its whole text
    if (e->type() == QEvent::ToolTip && toolTip().isEmpty() && shownText() != text()) {
        QToolTip::showText(static_cast<QHelpEvent*>(e)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(e);
}

// -------------------------------------------------------------------------------------------------- row

StatusPanelRow::StatusPanelRow(QWidget* parent) : QWidget(parent) {
    setObjectName("StatusPanels");
    for (int i = 0; i < kStatusPanelCount; ++i) {
        panels_[size_t(i)] = new StatusPanelLabel(this);
        panels_[size_t(i)]->setObjectName("StatusPanel" + QString::number(i));
        if (i > 0) {
            auto* s = new QFrame(this);
            s->setObjectName("StatusSeparator" + QString::number(i - 1));
            s->setFrameStyle(QFrame::VLine | QFrame::Sunken);
            s->setLineWidth(1);
            separators_[size_t(i - 1)] = s;
        }
    }
    panels_[0]->setAlignment(Qt::AlignCenter);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setFixedHeight(kStatusPanelHeight);
}

int StatusPanelRow::wholeWidth(int i) const {
    return std::max(kStatusPanelWidths[size_t(i)],
                    panels_[size_t(i)]->widthForAll(statusPanelLongestTexts(i)));
}

std::array<int, kStatusPanelCount> StatusPanelRow::preferredWidths() const {
    std::array<int, kStatusPanelCount> w{};
    for (int i = 0; i < kStatusPanelCount; ++i)
        w[size_t(i)] = i == kStatusSignalsPanel ? kStatusPanelWidths[size_t(i)] : wholeWidth(i);
    return w;
}

std::array<int, kStatusPanelCount> StatusPanelRow::panelWidths(int rowWidth) const {
    std::array<int, kStatusPanelCount> w = preferredWidths();
    int total = (kStatusPanelCount - 1) * (kSeparatorWidth + 2 * kGap);
    for (int x : w)
        total += x;
    if (total <= rowWidth) {
        int surplus = rowWidth - total;
        const int signalsGrow = std::min(surplus, wholeWidth(kStatusSignalsPanel) - w[kStatusSignalsPanel]);
        w[kStatusSignalsPanel] += signalsGrow;
        w[kStatusStretchPanel] += surplus - signalsGrow;
        return w;
    }
    int deficit = total - rowWidth;
    for (int i : kGiveWayOrder) {
        const int take = std::min(deficit, w[size_t(i)]);
        w[size_t(i)] -= take;
        deficit -= take;
        if (deficit == 0) break;
    }
    return w;
}

QSize StatusPanelRow::sizeHint() const {
    int total = (kStatusPanelCount - 1) * (kSeparatorWidth + 2 * kGap);
    for (int x : preferredWidths())
        total += x;
    return {total, kStatusPanelHeight};
}

QSize StatusPanelRow::minimumSizeHint() const {
    // the row never holds the window wider than the desktop; a narrow window cuts the panels in order
    return {0, kStatusPanelHeight};
}

void StatusPanelRow::place() {
    const std::array<int, kStatusPanelCount> w = panelWidths(width());
    int x = 0;
    for (int i = 0; i < kStatusPanelCount; ++i) {
        if (i > 0) {
            x += kGap;
            separators_[size_t(i - 1)]->setGeometry(x, 0, kSeparatorWidth, kStatusPanelHeight);
            x += kSeparatorWidth + kGap;
        }
        panels_[size_t(i)]->setGeometry(x, 0, w[size_t(i)], kStatusPanelHeight);
        panels_[size_t(i)]->setVisible(w[size_t(i)] > 0);
        x += w[size_t(i)];
    }
}

void StatusPanelRow::resizeEvent(QResizeEvent*) {
    place();
}

void StatusPanelRow::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange) {
        updateGeometry();
        place();
    }
    QWidget::changeEvent(e);
}

StatusPanelRow* buildStatusPanels(QStatusBar* bar, QLabel* (&panels)[kStatusPanelCount]) {
    auto* row = new StatusPanelRow(bar);
    for (int i = 0; i < kStatusPanelCount; ++i)
        panels[i] = row->panel(i);
    bar->addWidget(row, 1);
    return row;
}

} // namespace shell
