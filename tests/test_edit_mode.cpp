// Edit mode of the drawing area on a plain widget area holding element widgets (and on a scheme painted by
// its area): the selection band, selecting with and without Shift, dragging and resizing with the grid step,
// the background press with a placing tool, the arrow keys and the element context menu.
#include "qt_test_helpers.h"
#include "schemes/edit_mode.h"
#include "schemes/render.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <gtest/gtest.h>

using namespace schemes;

namespace {

void send(QWidget* w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
          Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent e(type, QPointF(pos), QPointF(w->mapToGlobal(pos)),
                  type == QEvent::MouseMove ? Qt::NoButton : button, held, mods);
    QApplication::sendEvent(w, &e);
}

// A press on the widget under the area point, moves and the release delivered to that same widget (the
// mouse stays with the widget that took the press).
void drag(QWidget* area, QPoint from, QPoint to, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* w = area->childAt(from);
    if (!w || w->testAttribute(Qt::WA_TransparentForMouseEvents)) w = area;
    auto local = [&](QPoint p) { return w == area ? p : w->mapFrom(area, p); };
    send(w, QEvent::MouseButtonPress, local(from), Qt::LeftButton, mods);
    send(w, QEvent::MouseMove, local((from + to) / 2), Qt::LeftButton, mods);
    send(w, QEvent::MouseMove, local(to), Qt::LeftButton, mods);
    send(w, QEvent::MouseButtonRelease, local(to), Qt::LeftButton, mods);
}

void click(QWidget* area, QPoint at, Qt::MouseButton b = Qt::LeftButton,
           Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* w = area->childAt(at);
    if (!w) w = area;
    QPoint local = w == area ? at : w->mapFrom(area, at);
    send(w, QEvent::MouseButtonPress, local, b, mods);
    send(w, QEvent::MouseButtonRelease, local, b, mods);
}

QAction* action(QMenu* menu, const QString& text) {
    for (QAction* a : menu->actions()) {
        if (a->text() == text) return a;
        if (a->menu())
            if (QAction* s = action(a->menu(), text)) return s;
    }
    return nullptr;
}

class EditModeTest : public ::testing::Test {
protected:
    void SetUp() override {
        area.resize(1005, 585);
        wallpaper = layer("Wallpaper");
        grid = layer("Grid");
        text1 = label("Text1", QRect(100, 100, 40, 20));
        text2 = label("Text2", QRect(300, 200, 60, 20));
        field = label("DBText1", QRect(600, 400, 80, 20));
        image = label("MImage1", QRect(50, 400, 3, 2));
        QImage img(3, 2, QImage::Format_RGB32);
        img.fill(Qt::white);
        img.setPixel(0, 0, qRgb(255, 0, 0));
        image->setPixmap(QPixmap::fromImage(img));
        mode = std::make_unique<SchemeEditMode>(&area, target);
        mode->setActive(true);
        mode->markModified = [this] { ++modified; };
        mode->writeSnapshot = [this] { ++snapshots; };
        mode->selectToolActive = [this] { return selectTool; };
        mode->placeElement = [this](QPoint p) { placed.push_back(p); };
        area.show();
    }
    QLabel* layer(const QString& name) {
        auto* l = new QLabel(&area);
        l->setObjectName(name);
        l->setProperty("editLayer", true);
        l->setGeometry(2, 2, 1001, 581);
        return l;
    }
    QLabel* label(const QString& name, QRect r) {
        auto* l = new QLabel(name, &area);
        l->setObjectName(name);
        l->setGeometry(r);
        return l;
    }

    QWidget area;
    QLabel *wallpaper, *grid, *text1, *text2, *field, *image;
    WidgetEditTarget target{&area};
    std::unique_ptr<SchemeEditMode> mode;
    int modified = 0, snapshots = 0;
    bool selectTool = true;
    std::vector<QPoint> placed;
};

} // namespace

TEST_F(EditModeTest, BandFromBottomRightToTopLeftSelectsWhatItTouches) {
    EXPECT_EQ(target.elements(), (std::vector<std::string>{"Text1", "Text2", "DBText1", "MImage1"}));
    drag(&area, {370, 230}, {120, 90}); // touches Text1 and Text2, not the others
    EXPECT_EQ(mode->selection(), (std::vector<std::string>{"Text1", "Text2"}));
    EXPECT_EQ(snapshots, 1);
    EXPECT_EQ(modified, 0);
    EXPECT_TRUE(mode->frame()->isVisible());
    EXPECT_EQ(mode->frameRect(), QRect(QPoint(98, 98), QPoint(362, 222)));
    // an empty band clears the selection
    drag(&area, {800, 50}, {900, 80});
    EXPECT_TRUE(mode->selection().empty());
    EXPECT_EQ(mode->frameRect(), QRect(0, 0, 24, 24));
}

TEST_F(EditModeTest, ShiftClickAddsAndDraggingMovesAllSelectedOnTheGrid) {
    click(&area, {110, 110});
    EXPECT_EQ(mode->selection(), (std::vector<std::string>{"Text1"}));
    EXPECT_EQ(modified, 1);
    click(&area, {310, 210}, Qt::LeftButton, Qt::ShiftModifier);
    EXPECT_EQ(mode->selection(), (std::vector<std::string>{"Text1", "Text2"}));
    click(&area, {310, 210}, Qt::LeftButton, Qt::ShiftModifier); // twice: no effect
    EXPECT_EQ(mode->selection().size(), 2u);

    drag(&area, {120, 110}, {137, 115}); // inside a selected box: moves both by 17, 5
    EXPECT_EQ(text1->pos(), QPoint(117, 105));
    EXPECT_EQ(text2->pos(), QPoint(317, 205));

    mode->setGridStep(8);
    drag(&area, {130, 110}, {150, 121}); // the frame's left 115 + 20 = 135 → 128, top 103 + 11 = 114 → 112
    EXPECT_EQ(text1->pos(), QPoint(117 + 13, 105 + 9));
    EXPECT_EQ(text2->pos(), QPoint(317 + 13, 205 + 9));

    // a click on another element without Shift selects it alone
    click(&area, {610, 410});
    EXPECT_EQ(mode->selection(), (std::vector<std::string>{"DBText1"}));
}

TEST_F(EditModeTest, HandleOfASingleElementResizesIt) {
    click(&area, {110, 110});
    // bottom-right handle of the enlarged box (98,98)-(142,122)
    drag(&area, {142, 122}, {202, 152});
    EXPECT_EQ(text1->geometry(), QRect(100, 100, 100, 50));
    // never below 5 × 5 for the frame
    drag(&area, {202, 152}, {0, 0});
    EXPECT_EQ(mode->frameRect().size(), QSize(5, 5));
    // a press inside the frame but outside the selected box is a background press: a band
    click(&area, {300, 300});
    drag(&area, {130, 130}, {131, 131});
    EXPECT_GE(snapshots, 2);
}

TEST_F(EditModeTest, PlacingToolPressPlacesAndMarks) {
    click(&area, {110, 110});
    selectTool = false;
    click(&area, {500, 50});
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0], QPoint(500, 50));
    EXPECT_EQ(modified, 2);
    EXPECT_EQ(snapshots, 1);
    EXPECT_TRUE(mode->selection().empty());
    // a right press on the background writes the snapshot and does nothing else
    click(&area, {500, 60}, Qt::RightButton);
    EXPECT_EQ(placed.size(), 1u);
    EXPECT_EQ(snapshots, 2);
}

TEST_F(EditModeTest, ArrowKeysMoveTheSelectionAndInactiveModeIgnoresTheMouse) {
    click(&area, {110, 110});
    QTest::keyClick(&area, Qt::Key_Right);
    QTest::keyClick(&area, Qt::Key_Down);
    EXPECT_EQ(text1->pos(), QPoint(101, 101));
    mode->setActive(false);
    EXPECT_TRUE(mode->selection().empty());
    click(&area, {110, 110});
    EXPECT_TRUE(mode->selection().empty());
    EXPECT_EQ(modified, 1);
}

TEST_F(EditModeTest, ContextMenuCommands) {
    std::vector<std::string> props;
    std::vector<std::pair<std::string, int>> turns;
    mode->properties = [&](const std::string& n) { props.push_back(n); };
    mode->rotate = [&](const std::string& n, int t) { turns.emplace_back(n, t); };

    click(&area, {110, 110}, Qt::RightButton);
    EXPECT_EQ(mode->menuElement(), "Text1");
    EXPECT_EQ(modified, 1);
    ASSERT_TRUE(mode->menu()->isVisible());
    EXPECT_EQ(action(mode->menu(), "Удалить")->shortcut(), QKeySequence("Del"));
    action(mode->menu(), "Свойства")->trigger();
    action(mode->menu(), "Копировать")->trigger();
    EXPECT_EQ(mode->copiedElement(), "Text1");
    mode->menu()->close();
    EXPECT_EQ(props, (std::vector<std::string>{"Text1"}));

    // to the back: below the other elements, the grid layer and the wallpaper stay lowest
    click(&area, {310, 210}, Qt::RightButton);
    action(mode->menu(), "На задний план")->trigger();
    mode->menu()->close();
    auto order = area.children();
    EXPECT_EQ(order.indexOf(wallpaper), 0);
    EXPECT_EQ(order.indexOf(grid), 1);
    EXPECT_EQ(order.indexOf(text2), 2);
    EXPECT_EQ(target.elements().front(), "Text2");
    click(&area, {310, 210}, Qt::RightButton);
    action(mode->menu(), "На передний план")->trigger();
    mode->menu()->close();
    EXPECT_EQ(target.elements().back(), "Text2");

    // a picture element: properties do nothing, rotation goes to its hook, the mirror redraws it
    click(&area, {51, 401}, Qt::RightButton);
    action(mode->menu(), "Свойства")->trigger();
    action(mode->menu(), "-90")->trigger();
    action(mode->menu(), "Зеркально по X")->trigger();
    mode->menu()->close();
    EXPECT_EQ(props.size(), 1u);
    EXPECT_EQ(turns, (std::vector<std::pair<std::string, int>>{{"MImage1", -1}}));
    EXPECT_EQ(image->pixmap().toImage().pixel(2, 0) & 0xFFFFFF, 0xFF0000u);

    // a right press on the frame of one selected element: its menu, and the selection is cleared
    click(&area, {610, 410});
    click(&area, {599, 399}, Qt::RightButton); // inside the frame, outside the box
    EXPECT_EQ(mode->menuElement(), "DBText1");
    EXPECT_TRUE(mode->selection().empty());
    action(mode->menu(), "Удалить")->trigger();
    mode->menu()->close();
    EXPECT_EQ(target.elements(), (std::vector<std::string>{"Text1", "MImage1", "Text2"}));
}

TEST(EditModeOnAScheme, PressesMoveAndReorderTheSchemesElements) {
    Scheme s;
    Element a(ElementClass::Label, "Text1");
    a.setBounds(10, 10, 50, 20);
    Element b(ElementClass::Image, "MImage1");
    b.setBounds(100, 100, 40, 40);
    b.set("Constraints.MaxWidth", PropValue::makeInt(60));
    s.elements() = {a, b};
    QWidget area;
    area.resize(1005, 585);
    int repaints = 0;
    SchemeEditTarget target(s, [&] { ++repaints; });
    SchemeEditMode mode(&area, target);
    mode.setActive(true);
    area.show();

    drag(&area, {20, 20}, {30, 25});
    EXPECT_EQ(s.elements()[0].left(), 20);
    EXPECT_EQ(s.elements()[0].top(), 15);
    EXPECT_GT(repaints, 0);

    click(&area, {110, 110});
    drag(&area, {142, 142}, {242, 162}); // the size limit bounds the width
    EXPECT_EQ(s.elements()[1].width(), 60);
    EXPECT_EQ(s.elements()[1].height(), 60);

    click(&area, {110, 110}, Qt::RightButton);
    action(mode.menu(), "На задний план")->trigger();
    mode.menu()->close();
    EXPECT_EQ(s.elements()[0].name(), "MImage1");
    click(&area, {110, 110}, Qt::RightButton);
    action(mode.menu(), "Удалить")->trigger();
    mode.menu()->close();
    ASSERT_EQ(s.elements().size(), 1u);
    EXPECT_EQ(s.elements()[0].name(), "Text1");
}

namespace {

// A 3 × 2 24-bit bitmap file, pixel (x, y) from the top = colour of index x + 3y.
std::vector<uint8_t> smallBmp() {
    QImage img(3, 2, QImage::Format_RGB888);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            img.setPixel(x, y, qRgb(40 * (x + 3 * y), 0, 200));
    return encodeBmp(img);
}

void key(QWidget* w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, k, mods);
    QApplication::sendEvent(w, &press);
}

} // namespace

TEST(EditModeOnAScheme, CopyAndPasteCascadeByTheGridStepAndDeleteRemovesTheSelection) {
    Scheme s;
    Element a(ElementClass::Label, "Text1");
    a.setBounds(10, 10, 50, 20);
    a.set("Caption", PropValue::makeString("Т1"));
    s.elements() = {a};
    QWidget area;
    area.resize(1005, 585);
    int modified = 0;
    SchemeEditTarget target(s, [] {});
    SchemeEditMode mode(&area, target);
    mode.markModified = [&] { ++modified; };
    mode.setActive(true);
    mode.setGridStep(10);
    area.show();

    click(&area, {20, 15});
    ASSERT_EQ(mode.selection(), (std::vector<std::string>{"Text1"}));
    key(&area, Qt::Key_C, Qt::ControlModifier);
    key(&area, Qt::Key_V, Qt::ControlModifier);
    key(&area, Qt::Key_V, Qt::ControlModifier);
    ASSERT_EQ(s.elements().size(), 3u);
    EXPECT_EQ(s.elements()[1].name(), "Text2");
    EXPECT_EQ(s.elements()[1].left(), 20);
    EXPECT_EQ(s.elements()[1].top(), 20);
    EXPECT_EQ(s.elements()[2].name(), "Text3");
    EXPECT_EQ(s.elements()[2].left(), 30);
    EXPECT_EQ(s.elements()[2].caption(), "Т1"); // the copy keeps everything but its name and place
    EXPECT_EQ(mode.selection(), (std::vector<std::string>{"Text3"}));
    EXPECT_GE(modified, 2);
    // the copies are written with the scheme
    EXPECT_NE(schemeText(s).find("object Text3: TLabel"), std::string::npos);

    // the menu's items act on the element it was opened for
    click(&area, {20, 15}, Qt::RightButton);
    action(mode.menu(), "Копировать")->trigger();
    mode.menu()->close();
    action(mode.menu(), "Вставить")->trigger();
    ASSERT_EQ(s.elements().size(), 4u);
    EXPECT_EQ(s.elements()[3].name(), "Text4");
    EXPECT_EQ(s.elements()[3].left(), 20);

    // Del removes the selection
    key(&area, Qt::Key_Delete);
    ASSERT_EQ(s.elements().size(), 3u);
    EXPECT_TRUE(mode.selection().empty());
    // free positions paste 8 pixels away
    mode.setGridStep(1);
    click(&area, {20, 15});
    key(&area, Qt::Key_C, Qt::ControlModifier);
    key(&area, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(s.elements().back().left(), 18);
}

TEST(EditModeOnAScheme, QuarterTurnsOfAPictureExchangeItsSizeAndLimits) {
    Scheme s;
    Element p(ElementClass::Image, "MImage1");
    p.setBounds(100, 100, 3, 2);
    p.set("Constraints.MaxWidth", PropValue::makeInt(60));
    p.set("Constraints.MaxHeight", PropValue::makeInt(40));
    p.setPicture({PictureKind::Bitmap, smallBmp()});
    s.elements() = {p};
    QWidget area;
    area.resize(1005, 585);
    SchemeEditTarget target(s, [] {});
    SchemeEditMode mode(&area, target);
    mode.setActive(true);
    area.show();

    const QImage before = pictureImage(s.elements()[0].picture());
    click(&area, {101, 101}, Qt::RightButton);
    action(mode.menu(), "90")->trigger();
    mode.menu()->close();
    const Element& e = s.elements()[0];
    EXPECT_EQ(e.width(), 2);
    EXPECT_EQ(e.height(), 3);
    EXPECT_EQ(e.maxHeight(), 60);
    EXPECT_EQ(e.maxWidth(), 40);
    const QImage turned = pictureImage(e.picture());
    ASSERT_EQ(turned.size(), QSize(2, 3));
    EXPECT_EQ(turned.pixel(0, 0), before.pixel(0, 1)); // first row: bottom-left, top-left of the source
    EXPECT_EQ(turned.pixel(1, 0), before.pixel(0, 0));

    // "-90" brings it back; "180" keeps the size and the limits
    click(&area, {101, 101}, Qt::RightButton);
    action(mode.menu(), "-90")->trigger();
    mode.menu()->close();
    EXPECT_EQ(pictureImage(s.elements()[0].picture()), before);
    EXPECT_EQ(s.elements()[0].maxWidth(), 60);
    click(&area, {101, 101}, Qt::RightButton);
    action(mode.menu(), "180")->trigger();
    mode.menu()->close();
    const QImage half = pictureImage(s.elements()[0].picture());
    EXPECT_EQ(half.size(), QSize(3, 2));
    EXPECT_EQ(half.pixel(0, 0), before.pixel(2, 1));
    EXPECT_EQ(s.elements()[0].maxWidth(), 60);
}

TEST(EditModeOnAScheme, UndoStepsBackThroughTheEditingActions) {
    Scheme s;
    Element a(ElementClass::Label, "Text1");
    a.setBounds(10, 10, 50, 20);
    s.elements() = {a};
    QWidget area;
    area.resize(1005, 585);
    SchemeEditTarget target(s, [] {});
    SchemeEditMode mode(&area, target);
    mode.setActive(true);
    area.show();
    auto lefts = [&] {
        std::vector<int> l;
        for (const auto& e : s.elements())
            l.push_back(e.left());
        return l;
    };

    drag(&area, {20, 15}, {60, 15}); // moved to 50
    key(&area, Qt::Key_C, Qt::ControlModifier);
    key(&area, Qt::Key_V, Qt::ControlModifier); // a copy at 58
    click(&area, {300, 300});                   // a press on the background changes nothing
    click(&area, {55, 15});                     // nor does a click on an element
    key(&area, Qt::Key_Right);                  // Text1 moves to 51
    ASSERT_EQ(lefts(), (std::vector<int>{51, 58}));
    key(&area, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(lefts(), (std::vector<int>{50, 58}));
    key(&area, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(lefts(), (std::vector<int>{50})); // the paste undone
    key(&area, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(lefts(), (std::vector<int>{10})); // the drag undone
    key(&area, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(lefts(), (std::vector<int>{10})); // nothing more to undo
    EXPECT_TRUE(mode.selection().empty());

    // a scheme replaced (loaded, new) takes no history of the one before
    drag(&area, {20, 15}, {40, 15});
    target.forgetHistory();
    key(&area, Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(lefts(), (std::vector<int>{30}));
}

namespace {

// Edit mode on a scheme of two text labels and a picture, with a placing tool and "Свойства" that changes
// the label's text.
struct UndoBench {
    Scheme s;
    QWidget area;
    SchemeEditTarget target{s, [] {}};
    SchemeEditMode mode{&area, target};
    bool selectTool = true;

    UndoBench() {
        Element a(ElementClass::Label, "Text1");
        a.setBounds(10, 10, 50, 20);
        Element b(ElementClass::Label, "Text2");
        b.setBounds(200, 100, 50, 20);
        Element c(ElementClass::Image, "MImage1");
        c.setBounds(100, 300, 30, 20);
        c.setPicture({PictureKind::Bitmap, smallBmp()});
        c.set("Stretch", PropValue::makeIdent("True"));
        s.elements() = {a, b, c};
        area.resize(1005, 585);
        mode.setActive(true);
        mode.selectToolActive = [this] { return selectTool; };
        mode.placeElement = [this](QPoint p) {
            Element e(ElementClass::Label, s.nextName("Text"));
            e.setBounds(p.x(), p.y(), 40, 16);
            s.elements().push_back(e);
        };
        mode.properties = [this](const std::string& name) {
            for (Element& e : s.elements())
                if (e.name() == name) e.set("Caption", PropValue::makeString("Т9"));
        };
        area.show();
    }
    std::string text() const { return schemeText(s); }
    void menu(QPoint at, const QString& command) {
        click(&area, at, Qt::RightButton);
        QAction* a = action(mode.menu(), command);
        ASSERT_NE(a, nullptr) << command.toStdString();
        a->trigger();
        mode.menu()->close();
    }
    void undo() { key(&area, Qt::Key_Z, Qt::ControlModifier); }
    void redo(bool shiftZ) {
        if (shiftZ)
            key(&area, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        else
            key(&area, Qt::Key_Y, Qt::ControlModifier);
    }
};

} // namespace

TEST(EditModeOnAScheme, EveryEditingActionIsOneUndoStepAndRedoDoesItAgain) {
    const QPoint text1(20, 15), image(110, 305);
    const std::vector<std::pair<const char*, std::function<void(UndoBench&)>>> actions = {
        {"drag",
         [&](UndoBench& b) {
             drag(&b.area, text1, {60, 25});
         }},
        {"resize by the bottom-right handle",
         [&](UndoBench& b) {
             click(&b.area, text1);
             drag(&b.area, {62, 32}, {92, 52});
         }},
        {"arrow key",
         [&](UndoBench& b) {
             click(&b.area, text1);
             key(&b.area, Qt::Key_Down);
         }},
        {"Delete key",
         [&](UndoBench& b) {
             click(&b.area, text1);
             key(&b.area, Qt::Key_Delete);
         }},
        {"paste",
         [&](UndoBench& b) {
             click(&b.area, text1);
             key(&b.area, Qt::Key_C, Qt::ControlModifier);
             key(&b.area, Qt::Key_V, Qt::ControlModifier);
         }},
        {"placing with a tool",
         [&](UndoBench& b) {
             b.selectTool = false;
             click(&b.area, {500, 450});
         }},
        {"Удалить", [&](UndoBench& b) { b.menu(text1, "Удалить"); }},
        {"На передний план", [&](UndoBench& b) { b.menu(text1, "На передний план"); }},
        {"На задний план", [&](UndoBench& b) { b.menu(image, "На задний план"); }},
        {"90", [&](UndoBench& b) { b.menu(image, "90"); }},
        {"180", [&](UndoBench& b) { b.menu(image, "180"); }},
        {"Зеркально по Y", [&](UndoBench& b) { b.menu(image, "Зеркально по Y"); }},
        {"Свойства", [&](UndoBench& b) { b.menu(text1, "Свойства"); }},
    };
    bool shiftZ = false;
    for (const auto& [what, act] : actions) {
        SCOPED_TRACE(what);
        UndoBench b;
        const std::string start = b.text();
        // an action before, so that a step that takes it along shows
        click(&b.area, {210, 105});
        key(&b.area, Qt::Key_Right);
        const std::string before = b.text();
        ASSERT_NE(before, start);
        act(b);
        const std::string after = b.text();
        ASSERT_NE(after, before);

        b.undo();
        EXPECT_EQ(b.text(), before);
        b.redo(shiftZ);
        EXPECT_EQ(b.text(), after);
        b.undo();
        EXPECT_EQ(b.text(), before);
        b.undo();
        EXPECT_EQ(b.text(), start);
        b.undo();
        EXPECT_EQ(b.text(), start); // nothing more to undo
        b.redo(shiftZ);
        EXPECT_EQ(b.text(), before);
        b.redo(!shiftZ);
        EXPECT_EQ(b.text(), after);
        b.redo(shiftZ);
        EXPECT_EQ(b.text(), after); // nothing more to redo
        shiftZ = !shiftZ;
    }
}

TEST(EditModeOnAScheme, ANewActionAfterUndoDropsWhatCouldBeRedone) {
    UndoBench b;
    int modified = 0;
    b.mode.markModified = [&] { ++modified; };
    const std::string start = b.text();
    drag(&b.area, {20, 15}, {60, 15});
    const std::string dragged = b.text();
    key(&b.area, Qt::Key_Right);
    const std::string moved = b.text();

    b.undo();
    ASSERT_EQ(b.text(), dragged);
    // a press that changes nothing is no new action: redo still does the move again
    click(&b.area, {55, 15});
    modified = 0;
    b.redo(false);
    EXPECT_EQ(b.text(), moved);
    EXPECT_EQ(modified, 1);
    EXPECT_TRUE(b.mode.selection().empty());

    b.undo();
    ASSERT_EQ(b.text(), dragged);
    click(&b.area, {55, 15});
    key(&b.area, Qt::Key_Down);
    const std::string down = b.text();
    b.redo(false);
    EXPECT_EQ(b.text(), down); // the undone move is gone
    b.undo();
    EXPECT_EQ(b.text(), dragged);
    b.undo();
    EXPECT_EQ(b.text(), start);
    b.redo(true);
    b.redo(true);
    EXPECT_EQ(b.text(), down);

    // a replaced scheme has nothing to redo either
    b.undo();
    b.target.forgetHistory();
    b.redo(false);
    EXPECT_EQ(b.text(), dragged);
}
