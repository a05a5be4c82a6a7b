// The scheme editor TForm3 "Мастер схем" on a real object window over a copy of the delivered program folder
// and a real MAINDB: saving over and as new (scheme list, SCHTYPE), templates, the close question, the
// scheme move, the display modes with the grid layer, the palette and the placing tools.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "devdata/tables.h"
#include "qt_test_helpers.h"
#include "schemes/object_form_host.h"
#include "schemes/palette.h"
#include "tmpdir.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace schemes;
using mervo::test::ModalAnswerer;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void whileShown(QDialog& d, std::function<void()> act) {
    QTimer::singleShot(0, &d, [&d, act] {
        if (!d.isVisible()) {
            ADD_FAILURE() << "the dialog is not shown";
            return;
        }
        act();
        if (d.isVisible()) {
            ADD_FAILURE() << "the dialog was left open";
            d.reject();
        }
    });
}

// Answers the modal boxes like mervo::test::ModalAnswerer, but puts an input box's entry in as a whole (the
// test library cannot type Cyrillic keys).
class Answerer : public QObject {
public:
    Answerer() {
        poll_.setInterval(20);
        QObject::connect(&poll_, &QTimer::timeout, this, [this] { look(); });
        poll_.start();
        guard_.setSingleShot(true);
        QObject::connect(&guard_, &QTimer::timeout, this, [this] {
            ADD_FAILURE() << "modal dialogs still open after the guard time";
            expired_ = true;
        });
        guard_.start(30000);
    }
    void type(const QString& text) { inputs_.push_back(text); }
    void cancel() { inputs_.push_back(std::nullopt); }
    void press(QMessageBox::StandardButton b) { presses_.push_back(b); }
    const std::vector<ModalAnswerer::Seen>& seen() const { return seen_; }
    QStringList messages() const {
        QStringList out;
        for (const auto& s : seen_)
            if (s.kind == "message") out << s.text;
        return out;
    }

private:
    void look() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible() || w == last_) return;
        last_ = w;
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            seen_.push_back({"message", box->windowTitle(), box->text(), box->icon()});
            QAbstractButton* b = box->defaultButton();
            if (!presses_.empty() && !expired_) {
                b = box->button(presses_.front());
                presses_.pop_front();
                if (!b) ADD_FAILURE() << "no scripted button on " << box->text().toStdString();
            }
            if (!b && !box->buttons().isEmpty()) b = box->buttons().first();
            if (b)
                b->click();
            else
                box->reject();
        } else if (auto* input = qobject_cast<QInputDialog*>(w)) {
            seen_.push_back({"input", input->windowTitle(), input->labelText(), QMessageBox::NoIcon});
            if (inputs_.empty() || expired_) {
                if (!expired_) ADD_FAILURE() << "input box without an entry";
                input->reject();
                return;
            }
            auto entry = inputs_.front();
            inputs_.pop_front();
            if (!entry) {
                input->reject();
                return;
            }
            input->setTextValue(*entry);
            input->accept();
        } else if (auto* d = qobject_cast<QDialog*>(w)) {
            ADD_FAILURE() << "unexpected dialog " << w->metaObject()->className();
            d->reject();
        }
    }
    QTimer poll_, guard_;
    QPointer<QWidget> last_;
    std::deque<std::optional<QString>> inputs_;
    std::deque<QMessageBox::StandardButton> presses_;
    std::vector<ModalAnswerer::Seen> seen_;
    bool expired_ = false;
};

Element box(const std::string& name, int left, int top) {
    Element e(ElementClass::Label, name);
    e.setBounds(left, top, 30, 12);
    e.set("Caption", PropValue::makeString(name));
    return e;
}

bool hasColour(const QImage& img, QRgb c) {
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) == (c & 0xFFFFFF)) return true;
    return false;
}

class SchemeEditorTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy(MERVO_DIST_DIR, prog.path(), fs::copy_options::recursive);
        devdata::createObjectsTable(objects, data.path());
        objects.setIndexFieldNames("NUM");
        form = std::make_unique<TOBJECTFORM>(prog.path(), objects, data.path());
        host = std::make_unique<ObjectFormEditorHost>(*form, objects);
        editor = std::make_unique<TForm3>(prog.path());
        attach(*form, *editor, *host);
        editor->errorHandler = [this](const QString& cls, const QString& message) {
            errors << cls + ": " + message;
        };
    }

    void addObject(int type, int schtype) {
        objects.append();
        objects.setInt("DEVTYPE", type);
        objects.setInt("SERIALNUM", 530);
        objects.setString("ADDRES", "ул. Мира, 5");
        objects.setInt("NETTYPE", 0);
        objects.setString("COMPORT", "ttyUSB0");
        objects.setInt("SCHTYPE", schtype);
        objects.setString("DESKRIPTION", "Котельная");
        objects.post();
        form->showObject();
    }

    int storedSchtype() {
        dbf::Table t;
        t.open(data.path(), devdata::kObjectsTableName);
        t.first();
        return int(t.asInt("SCHTYPE"));
    }

    std::string circuits(const std::string& rel) const { return prog.path() + "/Circuits/" + rel; }

    mervo::test::TempDir prog, data;
    dbf::Table objects;
    std::unique_ptr<TOBJECTFORM> form;
    std::unique_ptr<ObjectFormEditorHost> host;
    std::unique_ptr<TForm3> editor;
    QStringList errors;
};

} // namespace

TEST_F(SchemeEditorTest, SaveAsNewOnAnExistingSchemeThenTheOverwriteQuestionForTheNewFile) {
    addObject(229, 1);
    const std::string s1 = circuits("229/S1.MNS");
    ASSERT_EQ(form->currentSchemePath(), s1);
    ASSERT_FALSE(form->scheme().elements().empty());
    const std::string s1Text = readAll(s1);
    form->scheme().elements().push_back(box("Text99", 10, 10));
    form->schemeModified = true;

    {
        Answerer a;
        a.press(QMessageBox::Ok); // the current path
        a.press(QMessageBox::No); // save as new
        a.type("Узел 5");
        EXPECT_TRUE(editor->save());
        ASSERT_EQ(a.seen().size(), 3u);
        EXPECT_EQ(a.seen()[0].text.toStdString(), s1);
        EXPECT_EQ(a.seen()[0].icon, QMessageBox::Information);
        EXPECT_EQ(a.seen()[1].text,
                  "Вы уверены что хотите перезаписать текущую схему?\r\nYes-перезаписать,\r\n "
                  "No-Сохранить как новую,\r\n Cancel-отмена действия");
        EXPECT_EQ(a.seen()[1].icon, QMessageBox::Question);
        EXPECT_EQ(a.seen()[2].kind, "input");
        EXPECT_EQ(a.seen()[2].title, "Новая схема");
        EXPECT_EQ(a.seen()[2].text, "Введите описание новой схемы");
    }
    const std::string s2 = circuits("229/S2.MNS");
    ASSERT_TRUE(fs::exists(s2));
    EXPECT_EQ(readAll(s2), schemeText(form->scheme()));
    EXPECT_EQ(readAll(s1), s1Text); // the old scheme is untouched
    // the scheme list: Windows-1251 on disk, the new line in the type's section, the old lines kept
    const std::string list = readAll(circuits("ScmList.lst"));
    EXPECT_NE(list.find(dbf::codec::toCp1251("S2=Узел 5") + "\r\n"), std::string::npos);
    auto lines = readSchemeList(circuits("ScmList.lst"), 229);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].key, "S1");
    EXPECT_EQ(lines[1].text(), "S2=Узел 5");
    EXPECT_EQ(objects.asInt("SCHTYPE"), 2);
    EXPECT_EQ(storedSchtype(), 2);
    EXPECT_EQ(form->currentSchemePath(), s2);
    EXPECT_FALSE(form->schemeModified);
    EXPECT_EQ(form->SchemeNumberText->text(), "Схема 2");

    // the second save asks about the new file; Cancel keeps everything and the flag
    form->schemeModified = true;
    {
        Answerer a;
        a.press(QMessageBox::Ok);
        a.press(QMessageBox::Cancel);
        EXPECT_FALSE(editor->save());
        ASSERT_EQ(a.messages().size(), 2);
        EXPECT_EQ(a.messages()[0].toStdString(), s2);
        EXPECT_TRUE(a.messages()[1].startsWith("Вы уверены что хотите перезаписать текущую схему?"));
    }
    EXPECT_TRUE(form->schemeModified);
    EXPECT_FALSE(fs::exists(circuits("229/S3.MNS")));

    // Yes overwrites the new file in place
    form->scheme().elements().push_back(box("Text100", 40, 40));
    {
        Answerer a;
        a.press(QMessageBox::Ok);
        a.press(QMessageBox::Yes);
        EXPECT_TRUE(editor->save());
    }
    EXPECT_EQ(readAll(s2), schemeText(form->scheme()));
    EXPECT_FALSE(form->schemeModified);
    EXPECT_EQ(storedSchtype(), 2);
    EXPECT_TRUE(errors.isEmpty());
}

TEST_F(SchemeEditorTest, ObjectWithoutASchemeFileSavesAsNewAtOnce) {
    addObject(230, 9); // Circuits/230 holds S1 only
    EXPECT_TRUE(form->currentSchemePath().empty());
    form->scheme().elements().push_back(box("Text1", 10, 10));
    form->schemeModified = true;
    {
        Answerer a;
        a.cancel(); // a cancelled description still saves, with an empty one
        EXPECT_TRUE(editor->save());
        ASSERT_EQ(a.seen().size(), 2u);
        EXPECT_EQ(a.seen()[0].text, ""); // no current path
        EXPECT_EQ(a.seen()[1].kind, "input");
    }
    EXPECT_TRUE(fs::exists(circuits("230/S2.MNS")));
    EXPECT_EQ(readSchemeList(circuits("ScmList.lst"), 230).back().text(), "S2=");
    EXPECT_EQ(storedSchtype(), 2);
}

TEST_F(SchemeEditorTest, SaveIntoAMissingTypeFolderReportsAndChangesNeitherListNorSchtype) {
    addObject(229, 1);
    fs::remove_all(circuits("229"));
    const std::string listBefore = readAll(circuits("ScmList.lst"));
    form->schemeModified = true;
    {
        Answerer a;
        a.type("Узел 6");
        EXPECT_FALSE(editor->save());
        QStringList m = a.messages();
        ASSERT_EQ(m.size(), 2);
        EXPECT_TRUE(m[1].startsWith("Ошибка сохранения схемы "));
        EXPECT_TRUE(m[1].contains("229/S1.MNS"));
    }
    EXPECT_EQ(errors.size(), 1);
    EXPECT_EQ(readAll(circuits("ScmList.lst")), listBefore);
    EXPECT_EQ(storedSchtype(), 1);
    EXPECT_EQ(objects.asInt("SCHTYPE"), 1);
    EXPECT_TRUE(form->schemeModified);
    EXPECT_FALSE(fs::exists(circuits("229")));

    // the close question's Yes that cannot save keeps the editor open
    enterEditMode(*form, *editor);
    {
        Answerer a;
        a.press(QMessageBox::Yes);
        a.type("Узел 6");
        EXPECT_FALSE(editor->close());
    }
    EXPECT_TRUE(editor->isVisibleTo(form.get()));
}

TEST_F(SchemeEditorTest, OpeningATemplateAsksNothingOnClose) {
    addObject(229, 1);
    const std::string path = form->currentSchemePath();
    const std::string tmpl = circuits("230/S1.MNS");
    editor->chooseTemplateFile = [&](QWidget*) { return QString::fromStdString(tmpl); };
    enterEditMode(*form, *editor);
    EXPECT_TRUE(form->ToolStrip->isVisibleTo(form.get()));
    EXPECT_EQ(editor->parentWidget(), form->ToolStrip);

    editor->OpenButton->click();
    EXPECT_EQ(schemeText(form->scheme()), schemeText(loadSchemeFile(tmpl)));
    EXPECT_EQ(form->currentSchemePath(), path);
    EXPECT_FALSE(form->schemeModified);
    {
        Answerer a;
        EXPECT_TRUE(editor->close());
        EXPECT_TRUE(a.seen().empty());
    }
    EXPECT_FALSE(form->ToolStrip->isVisibleTo(form.get()));
    EXPECT_FALSE(form->EditPanel->isVisibleTo(form.get()));

    // a template that cannot be read: the load's message, an empty area, path and flag unchanged
    const std::string broken = prog.file("broken.MNS");
    std::ofstream(broken) << "object Dr: TPanel\r\n  object X: TButton\r\n  end\r\nend\r\n";
    editor->chooseTemplateFile = [&](QWidget*) { return QString::fromStdString(broken); };
    {
        Answerer a;
        editor->openScheme();
        ASSERT_EQ(a.messages().size(), 1);
        EXPECT_EQ(a.messages()[0].toStdString(), "Ошибка загрузки схемы " + broken);
    }
    EXPECT_TRUE(form->scheme().elements().empty());
    EXPECT_EQ(form->currentSchemePath(), path);
    EXPECT_FALSE(form->schemeModified);
}

TEST_F(SchemeEditorTest, NewSchemeEmptiesTheAreaAndKeepsPathAndFlag) {
    addObject(229, 1);
    const std::string path = form->currentSchemePath();
    editor->NewButton->click();
    EXPECT_TRUE(form->scheme().elements().empty());
    EXPECT_EQ(form->currentSchemePath(), path);
    EXPECT_FALSE(form->schemeModified);
    form->hide();
}

TEST_F(SchemeEditorTest, SchemeMoveMarksTheSchemeAndTheCloseQuestionFollows) {
    addObject(229, 7);
    auto& list = form->scheme().elements();
    list = {box("Text1", 10, 20), box("Text2", 100, 200), box("Text3", 300, 5)};
    enterEditMode(*form, *editor);
    editor->MoveRightButton->click();
    EXPECT_EQ(list[0].left(), 12);
    EXPECT_EQ(list[1].left(), 102);
    EXPECT_EQ(list[2].left(), 302);
    EXPECT_EQ(list[2].top(), 5);
    EXPECT_TRUE(form->schemeModified);
    editor->MoveStepBox->setValue(5);
    editor->MoveUpButton->click();
    EXPECT_EQ(list[1].top(), 195);

    editor->setMode(TForm3::Mode::Free);
    {
        Answerer a;
        a.press(QMessageBox::Cancel);
        EXPECT_FALSE(editor->close());
        ASSERT_EQ(a.seen().size(), 1u);
        EXPECT_EQ(a.seen()[0].text, "Сохранить изменения перед выходом?");
        EXPECT_EQ(a.seen()[0].icon, QMessageBox::Warning);
    }
    EXPECT_TRUE(editor->isVisibleTo(form.get()));
    EXPECT_EQ(editor->mode(), TForm3::Mode::Wallpaper); // the close question presses the wallpaper mode
    {
        Answerer a;
        a.press(QMessageBox::No);
        EXPECT_TRUE(editor->close());
    }
    EXPECT_FALSE(editor->isVisibleTo(form.get()));
    EXPECT_FALSE(form->ToolStrip->isVisibleTo(form.get()));
}

TEST_F(SchemeEditorTest, DisplayModesShowTheGridLayerAndSetTheSnapping) {
    addObject(229, 1);
    const QImage wallpaper = form->Dr->wallpaper();
    EXPECT_EQ(editor->snapStep(), 1);
    EXPECT_TRUE(editor->WallpaperModeButton->isChecked());

    editor->FreeModeButton->click();
    EXPECT_EQ(host->snapStep(), 1);
    EXPECT_TRUE(host->gridShown());
    QImage grid = form->Dr->wallpaper();
    ASSERT_EQ(grid.size(), QSize(1001, 581));
    EXPECT_EQ(grid.pixel(0, 0) & 0xFFFFFF, 0u);
    EXPECT_EQ(grid.pixel(8, 16) & 0xFFFFFF, 0u);
    EXPECT_EQ(grid.pixel(4, 4) & 0xFFFFFF, 0xFFFFFFu);
    EXPECT_EQ(grid.pixel(1000, 576) & 0xFFFFFF, 0u); // 125 × 8, 72 × 8

    editor->GridStepBox->setValue(10);
    EXPECT_EQ(form->Dr->wallpaper(), grid); // a new step takes effect when grid mode is pressed
    editor->GridModeButton->click();
    EXPECT_FALSE(editor->FreeModeButton->isChecked());
    EXPECT_EQ(host->snapStep(), 10);
    grid = form->Dr->wallpaper();
    EXPECT_EQ(grid.pixel(10, 20) & 0xFFFFFF, 0u);
    EXPECT_EQ(grid.pixel(8, 16) & 0xFFFFFF, 0xFFFFFFu);

    editor->WallpaperModeButton->click();
    EXPECT_EQ(host->snapStep(), 8);
    EXPECT_FALSE(host->gridShown());
    EXPECT_EQ(form->Dr->wallpaper(), wallpaper);
}

TEST_F(SchemeEditorTest, PaletteToolPlacesCopiesOfTheRecolouredPreview) {
    addObject(229, 7);
    const auto& pics = palettePictures();
    ASSERT_EQ(pics.size(), 11u);
    const QSize sizes[] = {{63, 12}, {32, 32}, {32, 32}, {32, 32}, {32, 32}, {32, 32},
                           {63, 31}, {57, 45}, {32, 32}, {37, 63}, {75, 108}};
    for (size_t i = 0; i < pics.size(); ++i) {
        EXPECT_EQ(pics[i].image.size(), sizes[i]) << i;
        EXPECT_EQ(pics[i].image.pixel(0, pics[i].image.height() - 1) & 0xFFFFFF, 0xFFFFFFu) << i;
        EXPECT_EQ(hasColour(pics[i].image, qRgb(0, 255, 0)), i != 10) << i;
    }

    EXPECT_FALSE(editor->PalettePanel->isVisibleTo(editor.get()));
    editor->PaletteToolButton->click();
    EXPECT_TRUE(editor->PalettePanel->isVisibleTo(editor.get()));
    editor->setPaletteColour(QColor(255, 0, 0));
    editor->PaletteButtons[0]->click();
    const QImage preview = editor->palettePreview();
    EXPECT_FALSE(hasColour(preview, qRgb(0, 255, 0)));
    EXPECT_TRUE(hasColour(preview, qRgb(255, 0, 0)));
    editor->setPaletteColour(QColor(0, 0, 255)); // a later colour does not recolour the preview
    EXPECT_EQ(editor->palettePreview(), preview);

    const QPoint at[] = {{100, 100}, {200, 150}, {301, 51}};
    for (QPoint p : at)
        editor->placeElement(p);
    EXPECT_EQ(editor->tool(), TForm3::Tool::Palette);
    const auto& list = form->scheme().elements();
    ASSERT_EQ(list.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].name(), "MImage" + std::to_string(i + 1));
        EXPECT_EQ(list[i].left(), at[i].x() - 31);
        EXPECT_EQ(list[i].top(), at[i].y() - 6);
        EXPECT_EQ(list[i].width(), 63);
        EXPECT_TRUE(list[i].stretch());
        EXPECT_TRUE(list[i].transparent());
        Picture p = list[i].picture();
        ASSERT_EQ(p.kind, PictureKind::Bitmap);
        EXPECT_EQ(p.bytes[28], 24);
        EXPECT_EQ(pictureImage(p).convertToFormat(QImage::Format_RGB888), preview);
    }
    // stored and read back
    EXPECT_EQ(schemeText(parseSchemeText(schemeText(form->scheme()))), schemeText(form->scheme()));
}

TEST_F(SchemeEditorTest, PictureToolPlacesAFileOrTheLibrarysFirstElement) {
    addObject(229, 7);
    ASSERT_FALSE(editor->library().empty());
    const std::string first = editor->library().sectionNames().front();
    EXPECT_EQ(editor->VectorList->currentText().toStdString(), first);

    editor->choosePictureFile = [](QWidget*) { return QString(); };
    editor->PictureToolButton->click();
    editor->placeElement({200, 100});
    EXPECT_EQ(editor->tool(), TForm3::Tool::Select);
    auto& list = form->scheme().elements();
    ASSERT_EQ(list.size(), 1u);
    auto expected = makeVectorElement(editor->library(), first, 2, {200, 100}, Scheme());
    ASSERT_TRUE(expected);
    EXPECT_EQ(writeObjectText(toBlock(list[0])), writeObjectText(toBlock(*expected)));
    EXPECT_EQ(list[0].left(), 200 - list[0].width() / 2);

    // a picture file: its bytes, its size, centred
    QImage img(40, 20, QImage::Format_RGB888);
    img.fill(Qt::white);
    const std::string bmp = prog.file("valve.bmp");
    std::vector<uint8_t> bytes = encodeBmp24(img);
    std::ofstream(bmp, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
    editor->choosePictureFile = [&](QWidget*) { return QString::fromStdString(bmp); };
    editor->setTool(TForm3::Tool::Picture);
    editor->placeElement({51, 51});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name(), "MImage2");
    EXPECT_EQ(list[1].picture().bytes, bytes);
    EXPECT_EQ(list[1].left(), 31);
    EXPECT_EQ(list[1].top(), 41);
    EXPECT_EQ(list[1].width(), 40);

    // without an element library a cancelled dialog places nothing
    fs::remove(circuits("Objects.ini"));
    TForm3 bare(prog.path());
    bare.setHost(host.get());
    bare.choosePictureFile = [](QWidget*) { return QString(); };
    bare.setTool(TForm3::Tool::Picture);
    bare.placeElement({10, 10});
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(bare.tool(), TForm3::Tool::Select);
}

TEST_F(SchemeEditorTest, TextAndFieldToolsOpenTheirDialogs) {
    addObject(229, 7);
    auto& list = form->scheme().elements();
    editor->TextToolButton->click();
    whileShown(editor->textDialog(), [&] {
        EXPECT_EQ(editor->textDialog().TextBox->toPlainText(), "Text1");
        editor->textDialog().CancelButton->click();
    });
    editor->placeElement({300, 300});
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].caption(), "Text1"); // "Отмена" leaves the name as the text
    EXPECT_EQ(list[0].font().height, -16); // the dialog's look
    EXPECT_TRUE(list[0].font().style & fsBold);
    EXPECT_EQ(editor->tool(), TForm3::Tool::Select);

    editor->TextToolButton->click();
    whileShown(editor->textDialog(), [&] {
        editor->textDialog().TextBox->setPlainText("Т1");
        editor->textDialog().OkButton->click();
    });
    editor->placeElement({300, 400});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].name(), "Text2");
    EXPECT_EQ(list[1].caption(), "Т1\r\n");

    editor->FieldToolButton->click();
    whileShown(editor->fieldDialog(), [&] { editor->fieldDialog().CancelButton->click(); });
    editor->placeElement({100, 100});
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(editor->tool(), TForm3::Tool::Select);

    editor->FieldToolButton->click();
    whileShown(editor->fieldDialog(), [&] {
        auto& d = editor->fieldDialog();
        d.FieldList->addItem("TemperF1"); // the object has no state table yet
        d.FieldList->setCurrentText("TemperF1");
        if (d.AutoSizeBox->isChecked()) d.AutoSizeBox->click();
        d.WidthBox->setValue(80);
        d.HeightBox->setValue(24);
        d.OkButton->click();
    });
    editor->placeElement({100, 100});
    ASSERT_EQ(list.size(), 3u);
    const Element& f = list[2];
    EXPECT_EQ(f.cls(), ElementClass::DBText);
    EXPECT_EQ(f.name(), "DBText1");
    EXPECT_EQ(f.dataField(), "TemperF1");
    EXPECT_EQ(f.dataSource(), kStateSourceName);
    EXPECT_FALSE(f.autoSize());
    EXPECT_EQ(f.left(), 60);
    EXPECT_EQ(f.top(), 88);
    EXPECT_EQ(f.font().color, clBlue);
    EXPECT_EQ(editor->tool(), TForm3::Tool::Select);
}

TEST_F(SchemeEditorTest, Screenshot) {
    addObject(229, 1);
    form->show();
    enterEditMode(*form, *editor);
    editor->PaletteToolButton->click();
    editor->setPaletteColour(QColor(255, 0, 0));
    editor->PaletteButtons[7]->click();
    editor->FreeModeButton->click();
    mervo::test::saveScreenshot(*form, MERVO_SCREENSHOT_DIR, "scheme_editor_in_object_form");
    mervo::test::saveScreenshot(*editor, MERVO_SCREENSHOT_DIR, "scheme_editor");
    editor->setMode(TForm3::Mode::Wallpaper);
    form->closeQuery = nullptr;
    form->hide();
}

TEST_F(SchemeEditorTest, EditModeOnTheObjectWindowsDrawingArea) {
    addObject(229, 7);
    ObjectFormEditMode edit(*form, *editor, *host);
    int snapshots = 0;
    edit.mode().writeSnapshot = [&] { ++snapshots; };
    auto press = [&](QPoint p, Qt::MouseButton b) {
        QMouseEvent e(QEvent::MouseButtonPress, QPointF(p), QPointF(form->Dr->mapToGlobal(p)), b, b,
                      Qt::NoModifier);
        QApplication::sendEvent(form->Dr, &e);
        QMouseEvent r(QEvent::MouseButtonRelease, QPointF(p), QPointF(form->Dr->mapToGlobal(p)), b,
                      Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(form->Dr, &r);
    };

    press({200, 200}, Qt::LeftButton); // not in edit mode: nothing
    EXPECT_EQ(snapshots, 0);

    enterEditMode(*form, *editor);
    EXPECT_TRUE(edit.mode().active());
    editor->PaletteToolButton->click();
    press({200, 200}, Qt::LeftButton);
    ASSERT_EQ(form->scheme().elements().size(), 1u);
    EXPECT_EQ(form->scheme().elements()[0].left(), 200 - 31);
    EXPECT_TRUE(form->schemeModified);
    EXPECT_EQ(snapshots, 1);

    editor->GridModeButton->click();
    EXPECT_EQ(edit.mode().gridStep(), 8);
    editor->SelectToolButton->click();
    form->scheme().elements().push_back(box("Text1", 400, 300));
    press({405, 305}, Qt::LeftButton);
    EXPECT_EQ(edit.mode().selection(), (std::vector<std::string>{"Text1"}));

    // "Свойства" on a text label opens the text dialog on it
    press({405, 305}, Qt::RightButton);
    EXPECT_EQ(edit.mode().menuElement(), "Text1");
    whileShown(editor->textDialog(), [&] {
        editor->textDialog().TextBox->setPlainText("Т3");
        editor->textDialog().OkButton->click();
    });
    for (QAction* a : edit.mode().menu()->actions())
        if (a->text() == "Свойства") a->trigger();
    edit.mode().menu()->close();
    EXPECT_EQ(form->scheme().element("Text1")->caption(), "Т3\r\n");

    {
        Answerer a;
        a.press(QMessageBox::No);
        EXPECT_TRUE(editor->close());
    }
    EXPECT_FALSE(edit.mode().active());
}

namespace {

void dragOn(QWidget* w, QPoint from, QPoint to) {
    auto send = [w](QEvent::Type type, QPoint p, Qt::MouseButton b, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(p), QPointF(w->mapToGlobal(p)), b, held, Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, (from + to) / 2, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
}

void keyOn(QWidget* w, int k, Qt::KeyboardModifiers mods) {
    QKeyEvent press(QEvent::KeyPress, k, mods);
    QApplication::sendEvent(w, &press);
}

} // namespace

TEST_F(SchemeEditorTest, UndoTakesFiveSchemeMovesBackOneByOneThenTheDragAndRedoDoesThemAgain) {
    addObject(229, 7);
    form->scheme().elements() = {box("Text1", 10, 20), box("Text2", 100, 200)};
    // boxes of their own size: the steps are about positions, not about labels fitting their texts
    for (Element& e : form->scheme().elements())
        e.set("AutoSize", PropValue::makeIdent("False"));
    ObjectFormEditMode edit(*form, *editor, *host);
    enterEditMode(*form, *editor);
    auto text = [&] { return schemeText(form->scheme()); };
    auto undo = [&] { keyOn(form->Dr, Qt::Key_Z, Qt::ControlModifier); };
    auto redo = [&] { keyOn(form->Dr, Qt::Key_Y, Qt::ControlModifier); };

    std::vector<std::string> states{text()};
    dragOn(form->Dr, {15, 25}, {55, 25});
    ASSERT_GT(form->scheme().element("Text1")->left(), 10);
    ASSERT_EQ(form->scheme().element("Text2")->left(), 100);
    states.push_back(text());
    for (int i = 0; i < 5; ++i) {
        editor->MoveRightButton->click();
        states.push_back(text());
    }
    ASSERT_EQ(form->scheme().element("Text2")->left(), 110);

    for (int i = 5; i >= 0; --i) {
        undo();
        EXPECT_EQ(text(), states[size_t(i)]) << "undo down to state " << i;
    }
    undo();
    EXPECT_EQ(text(), states[0]);
    for (size_t i = 1; i < states.size(); ++i) {
        redo();
        EXPECT_EQ(text(), states[i]) << "redo up to state " << i;
    }
    redo();
    EXPECT_EQ(text(), states.back());

    // the editor's own undo and redo keys act on the same history
    EXPECT_TRUE(editor->UndoAction->shortcuts().contains(QKeySequence("Ctrl+Z")));
    EXPECT_TRUE(editor->RedoAction->shortcuts().contains(QKeySequence("Ctrl+Y")));
    EXPECT_TRUE(editor->RedoAction->shortcuts().contains(QKeySequence("Ctrl+Shift+Z")));
    editor->UndoAction->trigger();
    editor->UndoAction->trigger();
    EXPECT_EQ(text(), states[4]);
    editor->RedoAction->trigger();
    EXPECT_EQ(text(), states[5]);

    // a new action after an undo: nothing to redo any more
    undo();
    form->schemeModified = false;
    editor->MoveDownButton->click();
    const std::string down = text();
    EXPECT_NE(down, states[5]);
    redo();
    EXPECT_EQ(text(), down);
    undo();
    EXPECT_EQ(text(), states[4]);
    EXPECT_TRUE(form->schemeModified);

    form->closeQuery = nullptr;
    form->hide();
}

TEST_F(SchemeEditorTest, OpenStartsInTheProgramsCircuitsFolderWhateverTheWorkingDirectory) {
    addObject(229, 1);
    // a folder "Circuits" in the working directory, which the dialog must not take
    const QString cwd = QDir::currentPath();
    fs::create_directories(data.path() + "/Circuits/229");
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(data.path())));
    enterEditMode(*form, *editor);

    std::string spelled = prog.path() + "/Circuits";
    for (const char* name : {"Circuits", "CIRCUITS", "circuits"}) {
        SCOPED_TRACE(name);
        const std::string folder = prog.path() + "/" + name;
        if (folder != spelled) fs::rename(spelled, folder);
        spelled = folder;
        EXPECT_EQ(templateFolder(prog.path()), folder);

        const std::string tmpl = folder + "/230/S1.MNS";
        QString shownAt;
        QStringList filters;
        mervo::test::WhenShown<QFileDialog> dialog([&](QFileDialog& d) {
            shownAt = d.directory().absolutePath();
            filters = d.nameFilters();
            // the name typed in whole: the dialog's listing of the folder may not have come in yet
            if (auto* name = d.findChild<QLineEdit*>("fileNameEdit"))
                name->setText(QString::fromStdString(tmpl));
            else
                d.selectFile(QString::fromStdString(tmpl));
            d.QDialog::accept(); // past the file dialog's own check of what it has listed
        });
        editor->OpenButton->click();
        EXPECT_TRUE(dialog.seen());
        EXPECT_EQ(shownAt.toStdString(), folder);
        EXPECT_EQ(filters, QStringList{"Шаблоны схем (*.MNS)"});
        EXPECT_EQ(schemeText(form->scheme()), schemeText(loadSchemeFile(tmpl)));
    }
    // without the folder the dialog would show where it ought to be
    fs::remove_all(spelled);
    EXPECT_EQ(templateFolder(prog.path()), prog.path() + "/Circuits");

    QDir::setCurrent(cwd);
    form->closeQuery = nullptr;
    form->hide();
}

// A title is an auto-sized label: a click in the middle of its text selects it in edit mode, also when the
// file stored it 10 × 10, and after its text has changed a click on the new part does.
TEST_F(SchemeEditorTest, ClickInTheMiddleOfATitleSelectsIt) {
    Scheme old = loadSchemeFile(schemePath(prog.path(), 236, 1));
    for (auto& e : old.elements())
        if (e.cls() == ElementClass::Label && e.autoSize()) e.setBounds(e.left(), e.top(), 10, 10);
    saveSchemeFile(old, schemePath(prog.path(), 236, 2));
    for (int number : {1, 2}) {
        SCOPED_TRACE(number);
        objects.append();
        objects.setInt("DEVTYPE", 236);
        objects.setInt("SCHTYPE", number);
        objects.post();
        form->showObject();
        ObjectFormEditMode edit(*form, *editor, *host);
        edit.mode().writeSnapshot = [] {};
        enterEditMode(*form, *editor);
        editor->SelectToolButton->click();
        auto click = [&](QPoint p) {
            QMouseEvent e(QEvent::MouseButtonPress, QPointF(p), QPointF(form->Dr->mapToGlobal(p)),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(form->Dr, &e);
            QMouseEvent r(QEvent::MouseButtonRelease, QPointF(p), QPointF(form->Dr->mapToGlobal(p)),
                          Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(form->Dr, &r);
        };
        const Element* title = form->scheme().element("Text1");
        ASSERT_TRUE(title);
        ASSERT_NE(title->caption().find("Узел учета"), std::string::npos);
        const QSize text = labelExtent(*title, form->scheme().area, captionText(title->caption()));
        EXPECT_EQ(QSize(title->width(), title->height()), text);
        click(QPoint(title->left() + text.width() / 2, title->top() + text.height() / 2));
        EXPECT_EQ(edit.mode().selection(), (std::vector<std::string>{"Text1"}));

        // a longer text through "Свойства": the box grows with it from the same Left and Top
        const int left = title->left(), top = title->top();
        whileShown(editor->textDialog(), [&] {
            editor->textDialog().TextBox->setPlainText(
                QString::fromStdString(captionToLines(title->caption()).join("").toStdString()) +
                " — узел на ул. Заводской, 3");
            editor->textDialog().OkButton->click();
        });
        edit.mode().properties("Text1");
        title = form->scheme().element("Text1");
        const QSize longer = labelExtent(*title, form->scheme().area, captionText(title->caption()));
        EXPECT_GT(longer.width(), text.width());
        EXPECT_EQ(QRect(title->left(), title->top(), title->width(), title->height()),
                  QRect(QPoint(left, top), longer));
        edit.mode().clearSelection();
        click(QPoint(title->left() + longer.width() - 5, title->top() + longer.height() / 2));
        EXPECT_EQ(edit.mode().selection(), (std::vector<std::string>{"Text1"}));
        form->schemeModified = false;
        editor->close();
    }
}
