// Edit mode of the drawing area: the mouse handling of the object window while the scheme editor is open.
// A SchemeEditMode attaches to the drawing-area widget through an event filter and works on the elements
// through an EditTarget, so that it serves the object window's scheme (elements painted by the area) as well
// as an area whose elements are child widgets.
//
//   - a press on the background writes the snapshot (hook), then with the select tool starts the selection
//     band, with another tool lets the editor place an element (and marks the scheme modified);
//   - a press on an element marks the scheme modified; left: selects it (Shift adds) and starts dragging at
//     once; right: the element's context menu;
//   - the selection frame: handles at the corners of every selected element's box (and at the middles of the
//     sides when one is selected), black for one element, grey for several; dragging inside a selected box
//     moves all selected elements, a handle of a single one resizes it; positions cut to the grid step; a
//     press inside the frame but outside every selected box is a background press; a right press on the
//     frame with one element selected opens its context menu and clears the selection; arrow keys move the
//     selection by one pixel;
//   - the context menu: "Копировать", "Вставить", "Удалить", "Повернуть на угол" ("90", "180", "-90",
//     "Зеркально по X", "Зеркально по Y"), "На передний план", "На задний план", "Свойства".
#pragma once

#include "schemes/label_dialogs.h"
#include "schemes/scheme.h"

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <functional>
#include <string>
#include <vector>

class QKeyEvent;
class QMenu;
class QWidget;

namespace schemes {

// A key of redo: Ctrl+Y, Ctrl+Shift+Z or whatever the platform binds to it.
bool isRedoKey(const QKeyEvent& k);

// The elements edit mode works on, by their (unique) names.
class EditTarget {
public:
    virtual ~EditTarget() = default;
    // The element names in painting order (first lowest).
    virtual std::vector<std::string> elements() const = 0;
    // The element's box in drawing-area coordinates.
    virtual QRect box(const std::string& name) const = 0;
    // Sets the box; the element's size limits bound it.
    virtual void setBox(const std::string& name, const QRect& r) = 0;
    virtual ElementClass kind(const std::string& name) const = 0;
    virtual void remove(const std::string& name) = 0;
    virtual void toFront(const std::string& name) = 0;
    virtual void toBack(const std::string& name) = 0;
    virtual bool mirror(const std::string& name, MirrorAxis axis) = 0;
    // Quarter turns of a picture element (1, 2, -1); false when the target cannot turn it.
    virtual bool rotate(const std::string& /*name*/, int /*quarterTurns*/) { return false; }
    // A copy of the element under a new name of its class, its box moved by offset, painted on top of the
    // others; the new name, or empty when the target cannot copy elements.
    virtual std::string duplicate(const std::string& /*name*/, QPoint /*offset*/) { return {}; }
    // Widgets other than the area that receive the mouse (element widgets); edit mode watches them too.
    virtual std::vector<QWidget*> widgets() const { return {}; }
    // Undo and redo: the state before an editing action is kept (the same state twice in a row only once),
    // and undo brings the last one kept back; redo brings back what undo left, until the elements change
    // otherwise. False when there is nothing to undo or redo, or the target keeps no history.
    virtual void keepState() {}
    virtual bool undo() { return false; }
    virtual bool redo() { return false; }
};

// The object window's scheme: elements painted by the area from the scheme's element list.
class SchemeEditTarget : public EditTarget {
public:
    // changed: repaint the area.
    SchemeEditTarget(Scheme& scheme, std::function<void()> changed)
        : scheme_(scheme), changed_(std::move(changed)) {}
    std::vector<std::string> elements() const override;
    QRect box(const std::string& name) const override;
    void setBox(const std::string& name, const QRect& r) override;
    ElementClass kind(const std::string& name) const override;
    void remove(const std::string& name) override;
    void toFront(const std::string& name) override;
    void toBack(const std::string& name) override;
    bool mirror(const std::string& name, MirrorAxis axis) override;
    bool rotate(const std::string& name, int quarterTurns) override;
    std::string duplicate(const std::string& name, QPoint offset) override;
    void keepState() override;
    bool undo() override;
    bool redo() override;
    // The scheme was replaced (loaded, new, cleared): its history no longer applies.
    void forgetHistory();
    size_t historySize() const { return history_.size(); }
    static constexpr size_t kHistoryDepth = 50;

private:
    Element* find(const std::string& name);
    const Element* find(const std::string& name) const;
    bool restore(const std::string& text);
    Scheme& scheme_;
    std::function<void()> changed_;
    std::vector<std::string> history_; // scheme texts before the editing actions, oldest first
    std::vector<std::string> redo_;    // scheme texts undone, the last undone last
    std::string restored_;             // the scheme as the last undo or redo left it
};

// An area whose elements are its child widgets (object name = element name; the kind from the name's prefix
// "MImage", "Text", "DBText"). Widgets marked with the property "editLayer" (wallpaper, grid layer) are no
// elements.
class WidgetEditTarget : public EditTarget {
public:
    explicit WidgetEditTarget(QWidget* area) : area_(area) {}
    std::vector<std::string> elements() const override;
    QRect box(const std::string& name) const override;
    void setBox(const std::string& name, const QRect& r) override;
    ElementClass kind(const std::string& name) const override;
    void remove(const std::string& name) override;
    void toFront(const std::string& name) override;
    void toBack(const std::string& name) override;
    bool mirror(const std::string& name, MirrorAxis axis) override;
    std::vector<QWidget*> widgets() const override;

private:
    QWidget* widget(const std::string& name) const;
    QWidget* area_;
};

class SelectionFrame;

class SchemeEditMode : public QObject {
    Q_OBJECT
public:
    SchemeEditMode(QWidget* area, EditTarget& target, QObject* parent = nullptr);
    ~SchemeEditMode() override;

    // Edit mode on or off (off: presses do nothing, the selection is cleared).
    void setActive(bool on);
    bool active() const { return active_; }
    // The grid step of positions (1 = free); the editor's display mode sets it.
    void setGridStep(int step) { grid_ = step < 1 ? 1 : step; }
    int gridStep() const { return grid_; }
    // Watches element widgets added since (widget targets).
    void rewatch();

    // ---- hooks
    std::function<bool()> selectToolActive;             // the editor's select tool is pressed
    std::function<void(QPoint)> placeElement;           // the editor places its tool's element
    std::function<void()> markModified;                 // sets the scheme-modified flag
    std::function<void()> writeSnapshot;                // before every press on the background
    std::function<void(const std::string&)> properties; // "Свойства" on a label
    // "90", "180", "-90" on a picture element: quarter turns clockwise (1), a half turn (2), anticlockwise
    // (-1). Unset: the target turns the picture itself.
    std::function<void(const std::string&, int)> rotate;

    // ---- selection
    const std::vector<std::string>& selection() const { return selected_; }
    void select(const std::string& name);
    void clearSelection();
    // The frame's rectangle (union of the selected boxes, enlarged 2 left and top, 3 right and bottom).
    QRect frameRect() const;
    QWidget* frame() const;
    // The element the context menu was opened for, and the menu (open while shown).
    const std::string& menuElement() const { return menuElement_; }
    QMenu* menu() const { return menu_; }
    // "Копировать" (Ctrl+C) records the element of the menu, or the selection; "Вставить" (Ctrl+V) places a
    // copy of each recorded element under a new name, moved by the paste offset, selects the copies and
    // records them, so that the next paste continues the cascade.
    const std::string& copiedElement() const {
        static const std::string none;
        return copied_.empty() ? none : copied_.front();
    }
    const std::vector<std::string>& copiedElements() const { return copied_; }
    void copySelection();
    void paste();
    // Ctrl+Z: the scheme as it was before the last editing action (presses on elements, placing, pasting,
    // deleting, the arrow keys, the context menu's commands, and the editor's own actions that keep the state
    // through the target first, the scheme move). Ctrl+Y or Ctrl+Shift+Z: the action undone last done again;
    // a new editing action after an undo drops what could be redone.
    void undo();
    void redo();
    // The offset of a pasted copy: the grid step, or 8 pixels while positions are free.
    int pasteOffset() const { return grid_ > 1 ? grid_ : 8; }

    // Commands of the context menu on the element it was opened for.
    void deleteElement();
    void elementProperties();
    void bringToFront();
    void sendToBack();
    void mirrorElement(MirrorAxis axis);
    void rotateElement(int quarterTurns);

signals:
    void menuOpened(const QString& element);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Drag { None, Band, Move, Resize };
    void backgroundPress(QPoint p, Qt::MouseButton b);
    void elementPress(const std::string& name, QPoint p, Qt::MouseButton b, Qt::KeyboardModifiers m,
                      QPoint global);
    bool framePress(QPoint p, Qt::MouseButton b, QPoint global);
    void moveTo(QPoint p);
    void release(QPoint p);
    void openMenu(const std::string& name, QPoint global);
    void updateFrame();
    std::string elementAt(QPoint p) const;
    int handleAt(QPoint p) const;
    int snap(int v) const { return v / grid_ * grid_; }

    QWidget* area_;
    EditTarget& target_;
    SelectionFrame* frame_ = nullptr;
    QMenu* menu_ = nullptr;
    bool active_ = false;
    int grid_ = 1;
    std::vector<std::string> selected_;
    std::string menuElement_;
    std::vector<std::string> copied_;
    Drag drag_ = Drag::None;
    int handle_ = -1;
    QPoint start_, current_;
    std::vector<QPointer<QWidget>> watched_;
    friend class SelectionFrame;
};

} // namespace schemes
