#include "schemes/edit_mode.h"

#include <QAction>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <algorithm>

namespace schemes {

namespace {

// The enlarged box of an element: 2 pixels more to the left and top, 3 to the right and bottom.
QRect enlarged(const QRect& r) {
    return r.adjusted(-2, -2, 3, 3);
}

QRect shrunk(const QRect& r) {
    return r.adjusted(2, 2, -3, -3);
}

int bounded(int v, int lo, int hi) {
    if (hi > 0) v = std::min(v, hi);
    if (lo > 0) v = std::max(v, lo);
    return v;
}

// The handle points of an enlarged box: corners 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right;
// middles 4 top, 5 bottom, 6 left, 7 right.
QPoint handlePoint(const QRect& r, int h) {
    const int cx = r.left() + r.width() / 2, cy = r.top() + r.height() / 2;
    switch (h) {
    case 0:
        return r.topLeft();
    case 1:
        return QPoint(r.right(), r.top());
    case 2:
        return QPoint(r.left(), r.bottom());
    case 3:
        return r.bottomRight();
    case 4:
        return QPoint(cx, r.top());
    case 5:
        return QPoint(cx, r.bottom());
    case 6:
        return QPoint(r.left(), cy);
    default:
        return QPoint(r.right(), cy);
    }
}

// The 5 × 5 square of a handle, inside the box.
QRect handleSquare(const QRect& r, int h) {
    QPoint p = handlePoint(r, h);
    int x = p.x(), y = p.y();
    if (h == 1 || h == 3 || h == 7) x -= 4;
    if (h == 4 || h == 5) x -= 2;
    if (h == 2 || h == 3 || h == 5) y -= 4;
    if (h == 6 || h == 7) y -= 2;
    return QRect(x, y, 5, 5);
}

} // namespace

bool isRedoKey(const QKeyEvent& k) {
    const Qt::KeyboardModifiers mods = k.modifiers() & ~Qt::KeypadModifier;
    return k.matches(QKeySequence::Redo) || (k.key() == Qt::Key_Y && mods == Qt::ControlModifier) ||
           (k.key() == Qt::Key_Z && mods == (Qt::ControlModifier | Qt::ShiftModifier));
}

// The overlay that shows the selection's handles, the band and the outline of a drag. It lies over the whole
// area and lets the mouse through.
class SelectionFrame : public QWidget {
public:
    SelectionFrame(QWidget* area, SchemeEditMode& mode) : QWidget(area), mode_(mode) {
        setObjectName("SelectionFrame");
        setProperty("editOverlay", true);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(area->rect());
    }
    QRect band, outline;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const auto& sel = mode_.selected_;
        const QColor colour = sel.size() == 1 ? QColor(Qt::black) : QColor(0x80, 0x80, 0x80);
        for (const auto& name : sel) {
            QRect r = enlarged(mode_.target_.box(name));
            for (int h = 0; h < (sel.size() == 1 ? 8 : 4); ++h)
                p.fillRect(handleSquare(r, h), colour);
        }
        p.setBrush(Qt::NoBrush);
        if (!band.isNull()) {
            p.setPen(QPen(Qt::black, 1, Qt::DotLine));
            p.drawRect(band.normalized());
        }
        if (!outline.isNull()) {
            p.setPen(QPen(Qt::black, 1, Qt::DashLine));
            p.drawRect(outline);
        }
    }

private:
    SchemeEditMode& mode_;
};

// ---------------------------------------------------------------- the scheme as a target

Element* SchemeEditTarget::find(const std::string& name) {
    for (auto& e : scheme_.elements())
        if (e.name() == name) return &e;
    return nullptr;
}

const Element* SchemeEditTarget::find(const std::string& name) const {
    for (const auto& e : scheme_.elements())
        if (e.name() == name) return &e;
    return nullptr;
}

std::vector<std::string> SchemeEditTarget::elements() const {
    std::vector<std::string> out;
    for (const auto& e : scheme_.elements())
        out.push_back(e.name());
    return out;
}

QRect SchemeEditTarget::box(const std::string& name) const {
    const Element* e = find(name);
    return e ? QRect(e->left(), e->top(), e->width(), e->height()) : QRect();
}

void SchemeEditTarget::setBox(const std::string& name, const QRect& r) {
    Element* e = find(name);
    if (!e) return;
    int w = r.width(), h = r.height();
    if (classHasProperty(e->cls(), "Constraints.MaxWidth")) {
        w = bounded(w, e->minWidth(), e->maxWidth());
        h = bounded(h, e->minHeight(), e->maxHeight());
    }
    e->setBounds(r.left(), r.top(), w, h);
    if (changed_) changed_();
}

ElementClass SchemeEditTarget::kind(const std::string& name) const {
    const Element* e = find(name);
    return e ? e->cls() : ElementClass::Panel;
}

void SchemeEditTarget::remove(const std::string& name) {
    auto& list = scheme_.elements();
    list.erase(std::remove_if(list.begin(), list.end(), [&](const Element& e) { return e.name() == name; }),
               list.end());
    if (changed_) changed_();
}

void SchemeEditTarget::toFront(const std::string& name) {
    auto& list = scheme_.elements();
    auto it = std::find_if(list.begin(), list.end(), [&](const Element& e) { return e.name() == name; });
    if (it != list.end()) std::rotate(it, it + 1, list.end());
    if (changed_) changed_();
}

void SchemeEditTarget::toBack(const std::string& name) {
    auto& list = scheme_.elements();
    auto it = std::find_if(list.begin(), list.end(), [&](const Element& e) { return e.name() == name; });
    if (it != list.end()) std::rotate(list.begin(), it, it + 1);
    if (changed_) changed_();
}

void SchemeEditTarget::keepState() {
    std::string text = schemeText(scheme_);
    if (!history_.empty() && history_.back() == text) return;
    history_.push_back(std::move(text));
    if (history_.size() > kHistoryDepth) history_.erase(history_.begin());
}

void SchemeEditTarget::forgetHistory() {
    history_.clear();
    redo_.clear();
    restored_.clear();
}

bool SchemeEditTarget::restore(const std::string& text) {
    try {
        scheme_ = parseSchemeText(text);
    } catch (const SchemeError&) {
        forgetHistory(); // cannot happen for a text the writer made; keep the scheme as it is
        return false;
    }
    restored_ = text;
    if (changed_) changed_();
    return true;
}

bool SchemeEditTarget::undo() {
    const std::string now = schemeText(scheme_);
    // the elements changed since the last undo or redo: a new action, so what was undone stays undone
    if (now != restored_) redo_.clear();
    // states kept by presses that changed nothing are no step of their own
    while (!history_.empty() && history_.back() == now)
        history_.pop_back();
    if (history_.empty()) return false;
    const std::string back = std::move(history_.back());
    history_.pop_back();
    if (!restore(back)) return false;
    redo_.push_back(now);
    return true;
}

bool SchemeEditTarget::redo() {
    const std::string now = schemeText(scheme_);
    if (now != restored_) redo_.clear();
    if (redo_.empty()) return false;
    const std::string again = std::move(redo_.back());
    redo_.pop_back();
    if (!restore(again)) return false;
    if (history_.empty() || history_.back() != now) history_.push_back(now);
    if (history_.size() > kHistoryDepth) history_.erase(history_.begin());
    return true;
}

bool SchemeEditTarget::rotate(const std::string& name, int quarterTurns) {
    Element* e = find(name);
    const bool ok = e && rotatePicture(*e, quarterTurns);
    if (ok && changed_) changed_();
    return ok;
}

std::string SchemeEditTarget::duplicate(const std::string& name, QPoint offset) {
    const Element* e = find(name);
    if (!e) return {};
    Element copy = *e;
    copy.setName(scheme_.nextName(namePrefix(copy.cls())));
    copy.setBounds(copy.left() + offset.x(), copy.top() + offset.y(), copy.width(), copy.height());
    const std::string made = copy.name();
    scheme_.elements().push_back(std::move(copy));
    if (changed_) changed_();
    return made;
}

bool SchemeEditTarget::mirror(const std::string& name, MirrorAxis axis) {
    Element* e = find(name);
    const bool ok = e && mirrorPicture(*e, axis);
    if (ok && changed_) changed_();
    return ok;
}

// ---------------------------------------------------------------- child widgets as a target

QWidget* WidgetEditTarget::widget(const std::string& name) const {
    for (QObject* o : area_->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (w && w->objectName().toStdString() == name && !w->property("editLayer").toBool() &&
            !w->property("editOverlay").toBool())
            return w;
    }
    return nullptr;
}

std::vector<std::string> WidgetEditTarget::elements() const {
    std::vector<std::string> out;
    for (QObject* o : area_->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (!w || w->isWindow() || w->objectName().isEmpty() || w->property("editLayer").toBool() ||
            w->property("editOverlay").toBool())
            continue;
        out.push_back(w->objectName().toStdString());
    }
    return out;
}

QRect WidgetEditTarget::box(const std::string& name) const {
    QWidget* w = widget(name);
    return w ? w->geometry() : QRect();
}

void WidgetEditTarget::setBox(const std::string& name, const QRect& r) {
    if (QWidget* w = widget(name)) w->setGeometry(r); // the widget's own size limits bound it
}

ElementClass WidgetEditTarget::kind(const std::string& name) const {
    if (name.rfind("DBText", 0) == 0) return ElementClass::DBText;
    if (name.rfind("MImage", 0) == 0) return ElementClass::Image;
    if (name.rfind("Text", 0) == 0) return ElementClass::Label;
    return ElementClass::Panel;
}

void WidgetEditTarget::remove(const std::string& name) {
    if (QWidget* w = widget(name)) {
        w->hide();
        w->setParent(nullptr);
        w->deleteLater();
    }
}

void WidgetEditTarget::toFront(const std::string& name) {
    if (QWidget* w = widget(name)) w->raise();
}

void WidgetEditTarget::toBack(const std::string& name) {
    QWidget* w = widget(name);
    if (!w) return;
    w->lower();
    // the grid layer and the wallpaper go below it again, keeping their own order
    std::vector<QWidget*> layers;
    for (QObject* o : area_->children())
        if (auto* l = qobject_cast<QWidget*>(o); l && l->property("editLayer").toBool()) layers.push_back(l);
    for (auto it = layers.rbegin(); it != layers.rend(); ++it)
        (*it)->lower();
}

bool WidgetEditTarget::mirror(const std::string& name, MirrorAxis axis) {
    auto* l = qobject_cast<QLabel*>(widget(name));
    if (!l || l->pixmap().isNull()) return false;
    QImage img = mirrored(l->pixmap().toImage(), axis);
    l->resize(img.size());
    l->setPixmap(QPixmap::fromImage(img));
    return true;
}

std::vector<QWidget*> WidgetEditTarget::widgets() const {
    std::vector<QWidget*> out;
    for (QObject* o : area_->children())
        if (auto* w = qobject_cast<QWidget*>(o); w && !w->isWindow() && !w->property("editOverlay").toBool())
            out.push_back(w);
    return out;
}

// ---------------------------------------------------------------- edit mode

SchemeEditMode::SchemeEditMode(QWidget* area, EditTarget& target, QObject* parent)
    : QObject(parent), area_(area), target_(target) {
    frame_ = new SelectionFrame(area_, *this);
    frame_->hide();
    area_->setFocusPolicy(Qt::ClickFocus);
    area_->installEventFilter(this);
    rewatch();

    menu_ = new QMenu(area_);
    auto add = [this](QMenu* m, const QString& text, const QString& keys, auto slot) {
        QAction* a = m->addAction(text);
        if (!keys.isEmpty()) a->setShortcut(QKeySequence(keys));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    add(menu_, "Копировать", "Ctrl+C", [this] {
        if (!menuElement_.empty()) copied_ = {menuElement_};
    });
    add(menu_, "Вставить", "Ctrl+V", [this] { paste(); });
    add(menu_, "Удалить", "Del", [this] { deleteElement(); });
    menu_->addSeparator();
    QMenu* turn = menu_->addMenu("Повернуть на угол");
    add(turn, "90", "", [this] { rotateElement(1); });
    add(turn, "180", "", [this] { rotateElement(2); });
    add(turn, "-90", "", [this] { rotateElement(-1); });
    add(turn, "Зеркально по X", "", [this] { mirrorElement(MirrorAxis::X); });
    add(turn, "Зеркально по Y", "", [this] { mirrorElement(MirrorAxis::Y); });
    menu_->addSeparator();
    add(menu_, "На передний план", "", [this] { bringToFront(); });
    add(menu_, "На задний план", "", [this] { sendToBack(); });
    menu_->addSeparator();
    add(menu_, "Свойства", "", [this] { elementProperties(); });
}

SchemeEditMode::~SchemeEditMode() {
    if (area_) area_->removeEventFilter(this);
    for (auto& w : watched_)
        if (w) w->removeEventFilter(this);
}

void SchemeEditMode::rewatch() {
    for (QWidget* w : target_.widgets()) {
        if (std::find(watched_.begin(), watched_.end(), w) != watched_.end()) continue;
        w->installEventFilter(this);
        watched_.emplace_back(w);
    }
}

void SchemeEditMode::setActive(bool on) {
    active_ = on;
    if (!on) {
        drag_ = Drag::None;
        frame_->band = frame_->outline = QRect();
        clearSelection();
    }
}

void SchemeEditMode::select(const std::string& name) {
    if (std::find(selected_.begin(), selected_.end(), name) != selected_.end()) return;
    selected_.push_back(name);
    updateFrame();
}

void SchemeEditMode::clearSelection() {
    selected_.clear();
    updateFrame();
}

QWidget* SchemeEditMode::frame() const {
    return frame_;
}

QRect SchemeEditMode::frameRect() const {
    if (selected_.empty()) return QRect(0, 0, 24, 24);
    QRect r;
    for (const auto& n : selected_)
        r = r.united(enlarged(target_.box(n)));
    return r;
}

void SchemeEditMode::updateFrame() {
    frame_->setGeometry(area_->rect());
    frame_->setVisible(!selected_.empty() || !frame_->band.isNull() || !frame_->outline.isNull());
    frame_->raise();
    frame_->update();
}

std::string SchemeEditMode::elementAt(QPoint p) const {
    const auto list = target_.elements();
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (target_.box(*it).contains(p)) return *it;
    return {};
}

int SchemeEditMode::handleAt(QPoint p) const {
    if (selected_.size() != 1) return -1;
    const QRect r = enlarged(target_.box(selected_.front()));
    for (int h = 0; h < 4; ++h) {
        QPoint c = handlePoint(r, h);
        if (std::abs(p.x() - c.x()) <= 5 && std::abs(p.y() - c.y()) <= 5) return h;
    }
    for (int h = 4; h < 8; ++h) {
        QPoint c = handlePoint(r, h);
        const bool horizontalSide = h == 4 || h == 5;
        const int along = horizontalSide ? std::abs(p.x() - c.x()) : std::abs(p.y() - c.y());
        const int across = horizontalSide ? std::abs(p.y() - c.y()) : std::abs(p.x() - c.x());
        if (along <= 3 && across <= 5) return h;
    }
    return -1;
}

bool SchemeEditMode::eventFilter(QObject* watched, QEvent* event) {
    if (!active_) return false;
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w || (w != area_ && w->isWindow())) return false; // the context menu is no part of the area
    auto toArea = [&](QPoint p) { return w == area_ ? p : w->mapTo(area_, p); };
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        auto* m = static_cast<QMouseEvent*>(event);
        const QPoint p = toArea(m->position().toPoint());
        area_->setFocus();
        if (!selected_.empty() && frameRect().contains(p) &&
            framePress(p, m->button(), m->globalPosition().toPoint()))
            return true;
        const std::string name = elementAt(p);
        if (name.empty())
            backgroundPress(p, m->button());
        else
            elementPress(name, p, m->button(), m->modifiers(), m->globalPosition().toPoint());
        return true;
    }
    case QEvent::MouseMove:
        if (drag_ != Drag::None) {
            moveTo(toArea(static_cast<QMouseEvent*>(event)->position().toPoint()));
            return true;
        }
        return false;
    case QEvent::MouseButtonRelease:
        if (drag_ != Drag::None) {
            release(toArea(static_cast<QMouseEvent*>(event)->position().toPoint()));
            return true;
        }
        return false;
    case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(event);
        if (k->matches(QKeySequence::Copy)) {
            copySelection();
            return true;
        }
        if (k->matches(QKeySequence::Paste)) {
            paste();
            return true;
        }
        if (isRedoKey(*k)) {
            redo();
            return true;
        }
        if (k->matches(QKeySequence::Undo)) {
            undo();
            return true;
        }
        if (k->key() == Qt::Key_Delete && !selected_.empty()) {
            target_.keepState();
            const std::vector<std::string> gone = selected_;
            selected_.clear();
            for (const auto& n : gone)
                target_.remove(n);
            if (markModified) markModified();
            updateFrame();
            return true;
        }
        int dx = 0, dy = 0;
        switch (k->key()) {
        case Qt::Key_Left:
            dx = -1;
            break;
        case Qt::Key_Right:
            dx = 1;
            break;
        case Qt::Key_Up:
            dy = -1;
            break;
        case Qt::Key_Down:
            dy = 1;
            break;
        default:
            return false;
        }
        if (selected_.empty()) return false;
        target_.keepState();
        for (const auto& n : selected_)
            target_.setBox(n, target_.box(n).translated(dx, dy));
        updateFrame();
        return true;
    }
    default:
        return false;
    }
}

void SchemeEditMode::backgroundPress(QPoint p, Qt::MouseButton b) {
    if (writeSnapshot) writeSnapshot();
    if (b != Qt::LeftButton) return;
    if (!selectToolActive || selectToolActive()) {
        clearSelection();
        drag_ = Drag::Band;
        start_ = current_ = p;
        frame_->band = QRect(start_, current_);
        updateFrame();
        return;
    }
    target_.keepState();
    if (placeElement) placeElement(p);
    if (markModified) markModified();
    clearSelection();
    rewatch();
}

void SchemeEditMode::elementPress(const std::string& name, QPoint p, Qt::MouseButton b,
                                  Qt::KeyboardModifiers m, QPoint global) {
    target_.keepState(); // a drag or a menu command may follow
    if (markModified) markModified();
    if (b == Qt::RightButton) {
        openMenu(name, global);
        return;
    }
    if (b != Qt::LeftButton) return;
    if (!(m & Qt::ShiftModifier)) clearSelection();
    select(name);
    drag_ = Drag::Move;
    start_ = current_ = p;
}

bool SchemeEditMode::framePress(QPoint p, Qt::MouseButton b, QPoint global) {
    if (b == Qt::RightButton) {
        if (selected_.size() != 1) return false;
        target_.keepState();
        if (markModified) markModified();
        const std::string name = selected_.front();
        clearSelection();
        openMenu(name, global);
        return true;
    }
    if (b != Qt::LeftButton) return false;
    handle_ = handleAt(p);
    target_.keepState();
    if (handle_ >= 0) {
        drag_ = Drag::Resize;
        start_ = current_ = p;
        return true;
    }
    for (const auto& n : selected_)
        if (enlarged(target_.box(n)).contains(p)) {
            drag_ = Drag::Move;
            start_ = current_ = p;
            return true;
        }
    backgroundPress(p, b);
    return true;
}

namespace {

// The frame after a resize from handle h to point p (cut to the step), never under 5 × 5.
QRect resized(QRect r, int h, QPoint p, const std::function<int(int)>& snap) {
    const int x = snap(p.x()), y = snap(p.y());
    if (h == 0 || h == 2 || h == 6) r.setLeft(std::min(x, r.right() - 4));
    if (h == 1 || h == 3 || h == 7) r.setRight(std::max(x, r.left() + 4));
    if (h == 0 || h == 1 || h == 4) r.setTop(std::min(y, r.bottom() - 4));
    if (h == 2 || h == 3 || h == 5) r.setBottom(std::max(y, r.top() + 4));
    return r;
}

} // namespace

void SchemeEditMode::moveTo(QPoint p) {
    current_ = p;
    if (drag_ == Drag::Band) {
        frame_->band = QRect(start_, current_);
    } else if (drag_ == Drag::Move) {
        const QRect f = frameRect();
        const QPoint d = current_ - start_;
        frame_->outline = f.translated(snap(f.left() + d.x()) - f.left(), snap(f.top() + d.y()) - f.top());
    } else if (drag_ == Drag::Resize) {
        frame_->outline = resized(frameRect(), handle_, p, [this](int v) { return snap(v); });
    }
    updateFrame();
}

void SchemeEditMode::release(QPoint p) {
    const Drag drag = drag_;
    drag_ = Drag::None;
    frame_->band = frame_->outline = QRect();
    if (drag == Drag::Band) {
        const QRect band = QRect(start_, p).normalized();
        clearSelection();
        for (const auto& n : target_.elements())
            if (target_.box(n).intersects(band)) select(n);
    } else if (drag == Drag::Move) {
        const QRect f = frameRect();
        const QPoint d = p - start_;
        const int dx = snap(f.left() + d.x()) - f.left(), dy = snap(f.top() + d.y()) - f.top();
        if (d != QPoint(0, 0))
            for (const auto& n : selected_)
                target_.setBox(n, target_.box(n).translated(dx, dy));
    } else if (drag == Drag::Resize && selected_.size() == 1) {
        const QRect r = resized(frameRect(), handle_, p, [this](int v) { return snap(v); });
        target_.setBox(selected_.front(), shrunk(r));
    }
    updateFrame();
}

void SchemeEditMode::openMenu(const std::string& name, QPoint global) {
    menuElement_ = name;
    menu_->popup(global);
    emit menuOpened(QString::fromStdString(name));
}

void SchemeEditMode::deleteElement() {
    const std::string name = menuElement_;
    if (name.empty()) return;
    selected_.erase(std::remove(selected_.begin(), selected_.end(), name), selected_.end());
    target_.remove(name);
    menuElement_.clear();
    updateFrame();
}

void SchemeEditMode::elementProperties() {
    const ElementClass k = target_.kind(menuElement_);
    if ((k == ElementClass::Label || k == ElementClass::DBText) && properties) properties(menuElement_);
    updateFrame();
}

void SchemeEditMode::bringToFront() {
    target_.toFront(menuElement_);
    updateFrame();
}

void SchemeEditMode::sendToBack() {
    target_.toBack(menuElement_);
    updateFrame();
}

void SchemeEditMode::mirrorElement(MirrorAxis axis) {
    if (target_.kind(menuElement_) == ElementClass::Image) target_.mirror(menuElement_, axis);
    updateFrame();
}

void SchemeEditMode::rotateElement(int quarterTurns) {
    if (target_.kind(menuElement_) == ElementClass::Image) {
        if (rotate)
            rotate(menuElement_, quarterTurns);
        else
            target_.rotate(menuElement_, quarterTurns);
    }
    updateFrame();
}

void SchemeEditMode::copySelection() {
    if (!selected_.empty()) copied_ = selected_;
}

void SchemeEditMode::undo() {
    if (!active_ || !target_.undo()) return;
    clearSelection();
    rewatch();
    if (markModified) markModified();
    updateFrame();
}

void SchemeEditMode::redo() {
    if (!active_ || !target_.redo()) return;
    clearSelection();
    rewatch();
    if (markModified) markModified();
    updateFrame();
}

void SchemeEditMode::paste() {
    if (!active_) return;
    target_.keepState();
    const std::vector<std::string> names = target_.elements();
    std::vector<std::string> copies;
    for (const auto& n : copied_) {
        if (std::find(names.begin(), names.end(), n) == names.end()) continue; // deleted since
        const std::string c = target_.duplicate(n, QPoint(pasteOffset(), pasteOffset()));
        if (!c.empty()) copies.push_back(c);
    }
    if (copies.empty()) return;
    copied_ = copies;
    selected_ = copies;
    rewatch();
    if (markModified) markModified();
    updateFrame();
}

} // namespace schemes
