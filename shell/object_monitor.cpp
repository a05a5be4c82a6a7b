#include "shell/object_monitor.h"

#include "ui/texts.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace shell {

namespace {

// The device-error lamp: a red disc with an exclamation mark.
const QPixmap& deviceErrorPicture() {
    static const QPixmap pm = [] {
        QPixmap p(30, 30);
        p.fill(Qt::transparent);
        QPainter g(&p);
        g.setRenderHint(QPainter::Antialiasing);
        g.setPen(QPen(QColor(120, 0, 0), 2));
        g.setBrush(QColor(230, 30, 30));
        g.drawEllipse(2, 2, 26, 26);
        g.setPen(Qt::NoPen);
        g.setBrush(Qt::white);
        g.drawRect(13, 7, 4, 11);
        g.drawRect(13, 20, 4, 4);
        return p;
    }();
    return pm;
}

// The system-error lamp: an amber warning triangle.
const QPixmap& systemErrorPicture() {
    static const QPixmap pm = [] {
        QPixmap p(32, 32);
        p.fill(Qt::transparent);
        QPainter g(&p);
        g.setRenderHint(QPainter::Antialiasing);
        QPainterPath tri;
        tri.moveTo(16, 2);
        tri.lineTo(30, 29);
        tri.lineTo(2, 29);
        tri.closeSubpath();
        g.setPen(QPen(QColor(90, 60, 0), 2));
        g.setBrush(QColor(255, 190, 0));
        g.drawPath(tri);
        g.setPen(Qt::NoPen);
        g.setBrush(Qt::black);
        g.drawRect(14, 10, 4, 11);
        g.drawRect(14, 23, 4, 4);
        return p;
    }();
    return pm;
}

QFont sansFont(double points) {
    QFont f;
    f.setFamilies({"DejaVu Sans", "Sans Serif"});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(points);
    return f;
}

} // namespace

void ButtonPart::setText(const QString& text) {
    text_ = text;
    shown_ = text;
    int w = style_->metrics.horizontalAdvance(text);
    if (maxWidth_ > 0 && w > maxWidth_) {
        shown_ = style_->metrics.elidedText(text, Qt::ElideRight, maxWidth_);
        w = style_->metrics.horizontalAdvance(shown_);
    }
    size_ = QSize(w, style_->metrics.height());
}

void ButtonPart::setPicture(const QPixmap* picture, int size) {
    picture_ = picture;
    size_ = QSize(size, size);
}

void ButtonPart::paint(QPainter& p) const {
    if (hidden_) return;
    if (picture_) {
        p.drawPixmap(geometry(), *picture_);
        return;
    }
    p.setFont(style_->font);
    p.setPen(style_->colour);
    p.drawText(geometry(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, shown_);
}

ObjectButton::ObjectButton(int num, const ButtonStyles& styles, QWidget* parent)
    : QFrame(parent), State("State" + QString::number(num), &styles.state, {18, 3}),
      Addr("Addr" + QString::number(num), &styles.address, {18, 16}),
      Num("Num" + QString::number(num), &styles.small, {8, 32}),
      Clock("Clock" + QString::number(num), &styles.small, {104, 32}),
      ERRLED("ERRLED" + QString::number(num), &styles.small, {2, 2}),
      WarnLED("WarnLED" + QString::number(num), &styles.small, {2, 16}), num_(num) {
    setObjectName("Link" + QString::number(num));
    setFrameStyle(QFrame::Panel | QFrame::Raised);
    setLineWidth(1);
    setAutoFillBackground(true);
    resize(kButtonWidth, kButtonHeight);
    // a long address ends with "…" inside the bevel; the hint holds it whole
    Addr.setMaxWidth(kButtonWidth - Addr.pos().x() - 3);
    ERRLED.setPicture(&deviceErrorPicture(), 15);
    WarnLED.setPicture(&systemErrorPicture(), 16);
}

const ButtonPart* ObjectButton::part(const QString& name) const {
    for (const ButtonPart* p : {&State, &Addr, &Num, &Clock, &ERRLED, &WarnLED})
        if (p->objectName() == name) return p;
    return nullptr;
}

void ObjectButton::setLook(const ButtonLook& look, bool withHint) {
    const QColor colour(look.colour.r, look.colour.g, look.colour.b);
    const QString state = QString::fromStdString(look.stateText),
                  addr = QString::fromStdString(look.addrText), num = QString::fromStdString(look.numText),
                  clock = QString::fromStdString(look.clockText);
    // a refresh of a few thousand buttons repaints only those that changed
    const bool changed = palette().color(QPalette::Window) != colour || State.text() != state ||
                         Addr.text() != addr || Num.text() != num || Clock.text() != clock ||
                         ERRLED.isHidden() == look.deviceErrorLamp ||
                         WarnLED.isHidden() == look.systemErrorLamp;
    if (withHint) setToolTip(ui::displayLines(look.hint));
    if (!changed) return;
    if (palette().color(QPalette::Window) != colour) {
        QPalette pal = palette();
        pal.setColor(QPalette::Window, colour);
        setPalette(pal);
    }
    State.setText(state);
    Addr.setText(addr);
    Num.setText(num);
    Clock.setText(clock);
    ERRLED.setHidden(!look.deviceErrorLamp);
    WarnLED.setHidden(!look.systemErrorLamp);
    update();
}

void ObjectButton::paintEvent(QPaintEvent* e) {
    QFrame::paintEvent(e);
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    for (const ButtonPart* part : {&State, &Addr, &Num, &Clock, &ERRLED, &WarnLED})
        part->paint(p);
}

void ObjectButton::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) setFrameShadow(QFrame::Sunken);
    e->accept();
}

void ObjectButton::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) setFrameShadow(QFrame::Raised);
    e->accept();
    emit released(num_, e->button(), e->modifiers(), e->globalPosition().toPoint());
}

ObjectMonitor::ObjectMonitor(MonitorModel& model, QWidget* parent)
    : QScrollArea(parent), model_(model), panel_(new QWidget) {
    setObjectName("ScrollBox1");
    panel_->setObjectName("MonitorPanel");
    setWidget(panel_);
    setWidgetResizable(false);
    panel_->resize(0, 0);
    QFont state = sansFont(8);
    state.setUnderline(true);
    // the "default font" of the number and connection labels is a small sans serif: "dd.MM.yyyy/hh:mm:ss" has
    // to fit between the left of the connection label (104) and the bevel of the button
    styles_.reset(new ButtonStyles{PartStyle(state, Qt::black), PartStyle(sansFont(10), QColor(0, 0, 128)),
                                   PartStyle(sansFont(7.5), Qt::black)});
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, [this] { monitorTick(); });
    tick_.start();
}

int ObjectMonitor::headerHeight() const {
    return styles_->state.metrics.height();
}

void ObjectMonitor::rebuild() {
    // Hidden while the buttons go and come: a visible panel would repaint and clip against every sibling
    // at each button made or destroyed.
    panel_->hide();
    for (auto& [num, b] : buttons_)
        delete b;
    buttons_.clear();
    qDeleteAll(headers_);
    headers_.clear();
    rows_.clear();

    std::vector<ObjectRow> rows;
    try {
        rows = model_.readRows();
    } catch (...) {
        // the table failed: an empty monitor stays visible and the error goes on to the error handler
        panel_->show();
        throw;
    }
    const MonitorLayout layout = layoutMonitor(rows, model_.grouped(), width(), headerHeight());
    panel_->resize(std::max(layout.width, 1), std::max(layout.height, 1));
    grouped_ = model_.grouped();
    columns_ = monitorColumns(width());

    for (const HeaderPlacement& h : layout.headers) {
        auto* l = new QLabel(QString::fromStdString(h.text), panel_);
        l->setObjectName("GroupHeader");
        l->setFont(styles_->state.font);
        l->move(h.left, h.top);
        l->adjustSize();
        l->show();
        headers_.push_back(l);
    }
    buttons_.reserve(layout.buttons.size());
    for (const ButtonPlacement& p : layout.buttons) {
        const ObjectRow& r = rows[size_t(p.row)];
        auto* b = new ObjectButton(r.num, *styles_, panel_);
        b->setLook(buttonLook(r), true);
        b->move(p.left, p.top);
        connect(b, &ObjectButton::released, this, &ObjectMonitor::buttonReleased);
        b->show();
        buttons_[r.num] = b;
    }
    rows_ = std::move(rows);
    panel_->show();
    emit rebuilt();
}

void ObjectMonitor::refresh() {
    const std::vector<ObjectRow> rows = model_.readRows();
    const MonitorLayout layout = layoutMonitor(rows, model_.grouped(), width() + 2, headerHeight());
    for (const ButtonPlacement& p : layout.buttons) {
        const ObjectRow& r = rows[size_t(p.row)];
        ObjectButton* b = button(r.num);
        if (!b) continue;
        b->move(p.left, p.top);
        b->setLook(buttonLook(r), false);
    }
    panel_->resize(std::max({layout.width, panel_->width(), 1}),
                   std::max({layout.height, panel_->height(), 1}));
    // the buttons a refresh did not find keep their places; the rows that were laid out stay the ones a
    // resize lays out again
    if (rows.size() == rows_.size()) {
        rows_ = rows;
        columns_ = monitorColumns(width() + 2);
    }
}

void ObjectMonitor::resizeEvent(QResizeEvent* e) {
    QScrollArea::resizeEvent(e);
    if (!rows_.empty() && monitorColumns(width()) != columns_) place(width());
}

void ObjectMonitor::place(int areaWidth) {
    const MonitorLayout layout = layoutMonitor(rows_, grouped_, areaWidth, headerHeight());
    for (const ButtonPlacement& p : layout.buttons)
        if (ObjectButton* b = button(rows_[size_t(p.row)].num)) b->move(p.left, p.top);
    for (qsizetype i = 0; i < headers_.size() && i < qsizetype(layout.headers.size()); ++i)
        headers_[i]->move(layout.headers[size_t(i)].left, layout.headers[size_t(i)].top);
    panel_->resize(std::max(layout.width, 1), std::max(layout.height, 1));
    columns_ = monitorColumns(areaWidth);
}

void ObjectMonitor::monitorTick() {
    switch (model_.tick(window()->isVisible())) {
    case TickAction::Rebuild:
        rebuild();
        break;
    case TickAction::Refresh:
        refresh();
        break;
    case TickAction::None:
        break;
    }
}

ObjectButton* ObjectMonitor::button(int num) const {
    auto it = buttons_.find(num);
    return it == buttons_.end() ? nullptr : it->second;
}

QList<QLabel*> ObjectMonitor::headers() const {
    return headers_;
}

void ObjectMonitor::buttonReleased(int num, Qt::MouseButton button, Qt::KeyboardModifiers modifiers,
                                   QPoint globalPos) {
    if (button != Qt::LeftButton && button != Qt::RightButton) return;
    model_.withObject(num, [&] {
        emit objectSelected(num);
        if (button == Qt::RightButton) {
            emit popupRequested(num, globalPos);
            return;
        }
        const Qt::KeyboardModifiers mods =
            modifiers & (Qt::ShiftModifier | Qt::AltModifier | Qt::ControlModifier);
        if (mods == Qt::ShiftModifier)
            emit autoPollToggleRequested(num);
        else if (mods == Qt::AltModifier)
            emit archiveRequested(num);
        else if (mods == Qt::ControlModifier)
            emit stateRequested(num);
        else
            emit objectWindowRequested(num);
    });
}

} // namespace shell
