// The label dialogs "Редактор текста" and "Поле базы данных" on the offscreen platform, driven through their
// controls while they are shown modally, and the mirror of picture elements.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "file_bytes.h"
#include "qt_test_helpers.h"
#include "schemes/label_dialogs.h"
#include "tmpdir.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontDialog>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

using namespace schemes;

namespace {

// Runs `act` on the dialog once its modal loop runs; `act` ends by pressing "Ок" or "Отмена".
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

std::string blockText(const Element& e) {
    return writeObjectText(toBlock(e));
}

Element textLabel(const std::string& name, const std::string& caption) {
    Element e(ElementClass::Label, name);
    e.setBounds(100, 50, 40, 16);
    e.set("Caption", PropValue::makeString(caption));
    return e;
}

Element fieldLabel(const std::string& name, const std::string& field) {
    Element e(ElementClass::DBText, name);
    e.setBounds(300, 200, 90, 20);
    e.set("DataField", PropValue::makeString(field));
    e.set("DataSource", PropValue::makeIdent(kStateSourceName));
    Font f;
    f.name = "Arial";
    f.height = -20;
    f.color = clRed;
    f.style = fsItalic;
    e.setFont(f);
    e.set("Color", PropValue::makeIdent("clYellow"));
    e.set("ParentColor", PropValue::makeIdent("False"));
    e.set("Transparent", PropValue::makeIdent("False"));
    e.set("AutoSize", PropValue::makeIdent("False"));
    return e;
}

// Labels in the look the scheme files store: the design font "MS Sans Serif", −16, bold (black text labels,
// a blue field label), one text label with its parent's font and colour, one auto-sized with a Cyrillic and
// apostrophe caption.
std::string designElements() {
    return "  object Text1: TLabel\r\n"
           "    Left = 100\r\n    Top = 50\r\n    Width = 60\r\n    Height = 20\r\n"
           "    AutoSize = False\r\n    Caption = 'Label1'\r\n"
           "    Font.Charset = DEFAULT_CHARSET\r\n    Font.Color = clBlack\r\n    Font.Height = -16\r\n"
           "    Font.Name = 'MS Sans Serif'\r\n    Font.Style = [fsBold]\r\n"
           "    ParentFont = False\r\n    Transparent = True\r\n"
           "  end\r\n"
           "  object Text2: TLabel\r\n"
           "    Left = 200\r\n    Top = 80\r\n    Width = 1\r\n    Height = 1\r\n"
           "    Alignment = taCenter\r\n    Caption = #1058'1 = 70'#39'C'#13#10\r\n"
           "    Color = clYellow\r\n"
           "    Font.Charset = RUSSIAN_CHARSET\r\n    Font.Color = clMaroon\r\n    Font.Height = -16\r\n"
           "    Font.Name = 'MS Sans Serif'\r\n    Font.Style = [fsBold, fsItalic]\r\n"
           "    ParentColor = False\r\n    ParentFont = False\r\n    Transparent = False\r\n"
           "  end\r\n"
           "  object Text3: TLabel\r\n"
           "    Left = 300\r\n    Top = 120\r\n    Width = 80\r\n    Height = 30\r\n"
           "    AutoSize = False\r\n    Caption = 'parent look'\r\n"
           "  end\r\n"
           "  object DBText1: TDBText\r\n"
           "    Left = 400\r\n    Top = 160\r\n    Width = 64\r\n    Height = 20\r\n"
           "    Color = clSilver\r\n    DataField = 'TemperF1'\r\n    DataSource = MainForm.DataSource2\r\n"
           "    Font.Charset = DEFAULT_CHARSET\r\n    Font.Color = clBlue\r\n    Font.Height = -16\r\n"
           "    Font.Name = 'MS Sans Serif'\r\n    Font.Style = [fsBold]\r\n"
           "    ParentColor = False\r\n    ParentFont = False\r\n    Transparent = True\r\n"
           "  end\r\n";
}

// The design labels in a scheme as the writer stores it, auto-sized labels at their text's extent (as
// loading makes them).
Scheme designScheme() {
    std::string text = schemeText(Scheme{});
    const size_t end = text.rfind("end\r\n");
    text.insert(end, designElements());
    Scheme s = parseSchemeText(text);
    for (Element& e : s.elements())
        if (e.cls() == ElementClass::Label && e.autoSize()) {
            QString shown = QString::fromStdString(e.caption());
            shown.replace("\r\n", "\n");
            const QSize ext = labelExtent(e, s.area, shown);
            e.set("Width", PropValue::makeInt(ext.width()));
            e.set("Height", PropValue::makeInt(ext.height()));
        }
    return s;
}

std::string savedBytes(const Scheme& s, const mervo::test::TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    saveSchemeFile(s, path);
    return mervo::test::readText(path);
}

void expectCentred(const LabelDialog& d) {
    EXPECT_EQ(d.Preview->x(), d.PreviewGroup->width() / 2 - d.Preview->width() / 2);
    EXPECT_EQ(d.Preview->y(), d.PreviewGroup->height() / 2 - d.Preview->height() / 2);
}

} // namespace

TEST(TextLabelDialog, AutoSizeOffKeepsTheSetSizeWhenTheTextChanges) {
    TTXTLabelForm d;
    Scheme s;
    s.elements().push_back(textLabel("Text1", "Text1"));

    whileShown(d, [&] {
        EXPECT_TRUE(d.AutoSizeBox->isChecked());
        EXPECT_FALSE(d.WidthBox->isEnabled());
        d.AutoSizeBox->click();
        EXPECT_TRUE(d.WidthBox->isEnabled());
        EXPECT_TRUE(d.HeightBox->isEnabled());
        d.WidthBox->setValue(120);
        d.HeightBox->setValue(40); // the height box acts on its own
        EXPECT_EQ(d.Preview->size(), QSize(120, 40));
        expectCentred(d);
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    const Element* e = s.element("Text1");
    EXPECT_EQ(e->width(), 120);
    EXPECT_EQ(e->height(), 40);
    EXPECT_FALSE(e->autoSize());
    EXPECT_EQ(e->left(), 100); // the position stays
    EXPECT_EQ(e->top(), 50);

    whileShown(d, [&] {
        EXPECT_FALSE(d.AutoSizeBox->isChecked());
        EXPECT_EQ(d.WidthBox->value(), 120);
        d.TextBox->setPlainText("Температура подающего трубопровода, градусов");
        EXPECT_EQ(d.Preview->size(), QSize(120, 40));
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    e = s.element("Text1");
    EXPECT_EQ(e->caption(), "Температура подающего трубопровода, градусов\r\n");
    EXPECT_EQ(e->width(), 120);
    EXPECT_EQ(e->height(), 40);

    // switched on again, the label takes its text's extent
    whileShown(d, [&] {
        d.AutoSizeBox->click();
        EXPECT_GT(d.WidthBox->value(), 120);
        EXPECT_EQ(d.WidthBox->value(), d.Preview->width());
        EXPECT_EQ(d.HeightBox->value(), d.Preview->height());
        expectCentred(d);
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    e = s.element("Text1");
    EXPECT_TRUE(e->autoSize());
    EXPECT_GT(e->width(), 120);
}

TEST(TextLabelDialog, LinesAreStoredEachWithCrLf) {
    TTXTLabelForm d;
    Scheme s;
    s.elements().push_back(textLabel("Text1", "Text1"));
    whileShown(d, [&] {
        EXPECT_EQ(d.TextBox->toPlainText(), "Text1");
        d.TextBox->setPlainText("Т1\nТ2");
        EXPECT_EQ(d.preview().caption(), "Т1\r\nТ2\r\n");
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    EXPECT_EQ(s.element("Text1")->caption(), "Т1\r\nТ2\r\n");
    EXPECT_NE(schemeText(s).find("Caption = #1058'1'#13#10#1058'2'#13#10"), std::string::npos);

    // shown again: two lines in the box, and "Ок" without a change keeps the text as it is
    whileShown(d, [&] {
        EXPECT_EQ(d.TextBox->toPlainText(), "Т1\nТ2");
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    EXPECT_EQ(s.element("Text1")->caption(), "Т1\r\nТ2\r\n");

    // an emptied box gives the empty text
    whileShown(d, [&] {
        d.TextBox->clear();
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    EXPECT_EQ(s.element("Text1")->caption(), "");
}

TEST(TextLabelDialog, CancelChangesNothingAndAnEditedLabelShowsItsOwnAlignment) {
    TTXTLabelForm d;
    Scheme s;
    s.elements().push_back(textLabel("Text1", "A"));
    s.elements().push_back(textLabel("Text2", "B"));
    const std::string before = blockText(s.elements()[0]);
    whileShown(d, [&] {
        d.TextBox->setPlainText("changed");
        d.TransparentBox->click();
        d.AlignRightButton->click();
        d.CancelButton->click();
    });
    EXPECT_FALSE(d.editLabel(s, "Text1"));
    EXPECT_EQ(blockText(s.elements()[0]), before);

    // a label being edited shows its own alignment, not the one pressed before the cancel
    whileShown(d, [&] {
        EXPECT_TRUE(d.AlignLeftButton->isChecked());
        EXPECT_EQ(d.preview().alignment(), Alignment::Left);
        d.AlignCenterButton->click();
        EXPECT_FALSE(d.AlignRightButton->isChecked());
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text2"));
    EXPECT_EQ(s.element("Text2")->alignment(), Alignment::Center);
    EXPECT_EQ(s.element("Text2")->caption(), "B");
}

TEST(TextLabelDialog, CancelledColourAndFontDialogsLeaveThePreview) {
    TTXTLabelForm d;
    std::optional<uint32_t> colourAnswer;
    std::optional<Font> fontAnswer;
    uint32_t colourAsked = 0;
    Font fontAsked;
    d.chooseColour = [&](QWidget*, uint32_t initial) {
        colourAsked = initial;
        return colourAnswer;
    };
    d.chooseFont = [&](QWidget*, const Font& initial) {
        fontAsked = initial;
        return fontAnswer;
    };
    Scheme s;
    Element label = textLabel("Text1", "Проба");
    label.set("Color", PropValue::makeIdent("clAqua"));
    label.set("ParentColor", PropValue::makeIdent("False"));
    label.set("Transparent", PropValue::makeIdent("False"));
    s.elements().push_back(label);

    whileShown(d, [&] {
        EXPECT_TRUE(d.ColourButton->isEnabled()); // not transparent
        const std::string before = blockText(d.preview());
        const QPoint pos = d.Preview->pos();
        d.ColourButton->click();
        d.FontButton->click();
        EXPECT_EQ(blockText(d.preview()), before);
        EXPECT_EQ(d.Preview->pos(), pos);
        EXPECT_EQ(colourAsked, 0x00FFFF00u); // the label's background
        // a label with ParentFont shows the drawing area's font in the font dialog
        EXPECT_EQ(fontAsked.height, -24);

        colourAnswer = clRed;
        Font big;
        big.name = "DejaVu Sans";
        big.height = -30;
        big.color = clNavy;
        fontAnswer = big;
        d.ColourButton->click();
        const int w = d.Preview->width();
        d.FontButton->click();
        EXPECT_EQ(d.preview().color(), clRed);
        EXPECT_EQ(d.preview().font().height, -30);
        EXPECT_GT(d.Preview->width(), w); // auto-size follows the bigger font
        expectCentred(d);
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    const Element* e = s.element("Text1");
    EXPECT_EQ(e->color(), clRed);
    EXPECT_FALSE(e->parentFont());
    EXPECT_EQ(e->font().height, -30);
    EXPECT_EQ(e->font().color, clNavy);
    EXPECT_EQ(e->font().name, "DejaVu Sans");
}

TEST(LabelDialogs, OkWithoutChangesLeavesTheSavedSchemeByteForByte) {
    mervo::test::TempDir dir;
    Scheme s = designScheme();
    const std::string before = savedBytes(s, dir, "before.MNS");
    // the fixture is what the scheme files hold
    ASSERT_NE(before.find("    Font.Name = 'MS Sans Serif'\r\n    Font.Style = [fsBold]\r\n"),
              std::string::npos);
    ASSERT_NE(before.find("    Caption = #1058'1 = 70'#39'C'#13#10\r\n"), std::string::npos);

    TTXTLabelForm text;
    TDBFieldForm field;
    for (const char* name : {"Text1", "Text2", "Text3", "DBText1"}) {
        SCOPED_TRACE(name);
        const bool isField = s.element(name)->cls() == ElementClass::DBText;
        // the dialogs were last left on another alignment: the label's own is shown all the same
        LabelDialog& d = isField ? static_cast<LabelDialog&>(field) : text;
        d.AlignRightButton->click();
        whileShown(d, [&] { d.OkButton->click(); });
        ASSERT_TRUE(isField ? field.editLabel(s, name) : text.editLabel(s, name));
        EXPECT_EQ(savedBytes(s, dir, "after.MNS"), before);
    }

    // the same through Qt's own font dialog, opened and confirmed as it comes up
    for (const char* name : {"Text1", "DBText1"}) {
        SCOPED_TRACE(name);
        const bool isField = s.element(name)->cls() == ElementClass::DBText;
        LabelDialog& d = isField ? static_cast<LabelDialog&>(field) : text;
        d.AlignLeftButton->click();
        QFont shown;
        whileShown(d, [&] {
            mervo::test::WhenShown<QFontDialog> fontDialog([&](QFontDialog& f) {
                shown = f.currentFont();
                f.accept();
            });
            d.FontButton->click();
            EXPECT_TRUE(fontDialog.seen());
            d.OkButton->click();
        });
        ASSERT_TRUE(isField ? field.editLabel(s, name) : text.editLabel(s, name));
        // the dialog showed an installed family, bold, at the points of 16 pixels on a 96 dpi screen
        EXPECT_TRUE(QFontDatabase::families().contains(shown.family())) << shown.family().toStdString();
        EXPECT_TRUE(shown.bold());
        EXPECT_FALSE(shown.italic());
        EXPECT_EQ(shown.pointSize(), 12);
        EXPECT_EQ(savedBytes(s, dir, "after.MNS"), before);
    }
}

TEST(LabelDialogs, TheTextColourIsChosenShownAndStoredAsTheFontColour) {
    mervo::test::TempDir dir;
    Scheme s = designScheme();
    const std::string before = savedBytes(s, dir, "before.MNS");
    TTXTLabelForm d;
    QColor asked;
    whileShown(d, [&] {
        EXPECT_TRUE(d.TextColourButton->isEnabled());
        const QImage swatch = d.TextColourButton->icon().pixmap(16, 16).toImage();
        EXPECT_EQ(swatch.pixelColor(8, 8), QColor(Qt::black));
        mervo::test::WhenShown<QColorDialog> colourDialog([&](QColorDialog& c) {
            asked = c.currentColor();
            c.setCurrentColor(QColor(0xFF, 0x00, 0x00));
            c.accept();
        });
        d.TextColourButton->click();
        EXPECT_TRUE(colourDialog.seen());
        EXPECT_EQ(d.preview().font().color, clRed);
        EXPECT_EQ(d.TextColourButton->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
        EXPECT_EQ(d.preview().color(), d.colourChooserColour()); // the background stays
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "Text1"));
    EXPECT_EQ(asked, QColor(Qt::black)); // the colour dialog opens on the label's text colour
    std::string expected = before;
    const std::string black = "    Font.Color = clBlack\r\n";
    expected.replace(expected.find(black), black.size(), "    Font.Color = clRed\r\n");
    EXPECT_EQ(savedBytes(s, dir, "after.MNS"), expected);

    // a cancelled colour dialog keeps the colour; the field dialog has the same choice
    TDBFieldForm f;
    std::optional<uint32_t> answer;
    uint32_t initial = 0;
    f.chooseTextColour = [&](QWidget*, uint32_t c) {
        initial = c;
        return answer;
    };
    for (std::optional<uint32_t> a : {std::optional<uint32_t>{}, std::optional<uint32_t>{0x00123456u}}) {
        answer = a;
        whileShown(f, [&] {
            f.TextColourButton->click();
            f.OkButton->click();
        });
        ASSERT_TRUE(f.editLabel(s, "DBText1"));
        EXPECT_EQ(initial, clBlue);
        EXPECT_EQ(s.element("DBText1")->font().color, a.value_or(clBlue));
    }
    EXPECT_NE(savedBytes(s, dir, "after.MNS").find("    Font.Color = 1193046\r\n"), std::string::npos);
    // the chosen colour is what the next new label takes
    whileShown(f, [&] { f.OkButton->click(); });
    ASSERT_EQ(f.showFor(nullptr), QDialog::Accepted);
    EXPECT_EQ(f.preview().font().color, 0x00123456u);
}

TEST(LabelDialogs, TheFontDialogKeepsWhatTheUserLeavesAndTakesWhatTheyChange) {
    Font design;
    design.height = -16;
    design.style = fsBold;
    design.color = 0x00000080u; // clMaroon
    design.charset = RUSSIAN_CHARSET;
    const QFont shown = fontDialogFont(design);
    ASSERT_TRUE(shown.bold());
    ASSERT_EQ(shown.pointSizeF(), 12.0);

    struct Case {
        const char* what;
        std::function<void(QFont&)> change;
        std::string name;
        int height;
        unsigned style;
    };
    const std::string installed = shown.family().toStdString();
    const std::vector<Case> cases = {
        {"nothing", [](QFont&) {}, "MS Sans Serif", -16, fsBold},
        {"family", [](QFont& q) { q.setFamily("DejaVu Serif"); }, "DejaVu Serif", -16, fsBold},
        {"size", [](QFont& q) { q.setPointSize(14); }, "MS Sans Serif", -19, fsBold},
        {"bold off, italic on",
         [](QFont& q) {
             q.setBold(false);
             q.setItalic(true);
         },
         "MS Sans Serif", -16, fsItalic},
        {"underline", [](QFont& q) { q.setUnderline(true); }, "MS Sans Serif", -16, fsBold | fsUnderline},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        QFont chosen = shown;
        c.change(chosen);
        const Font f = fontFromDialog(chosen, shown, design);
        EXPECT_EQ(f.name, c.name);
        EXPECT_EQ(f.height, c.height);
        EXPECT_EQ(f.style, c.style);
        EXPECT_EQ(f.color, 0x00000080u);
        EXPECT_EQ(f.charset, RUSSIAN_CHARSET);
    }
}

TEST(LabelDialogs, PictureOfTheColourChoice) {
    TTXTLabelForm d;
    d.chooseTextColour = [](QWidget*, uint32_t) { return std::optional<uint32_t>(0x000000C0u); };
    Element label = textLabel("Text1", "Т1 = 70'C\r\n");
    Font f;
    f.height = -16;
    f.style = fsBold;
    f.color = clBlack;
    label.setFont(f);
    label.set("Transparent", PropValue::makeIdent("False"));
    label.set("Color", PropValue::makeIdent("clWhite"));
    label.set("ParentColor", PropValue::makeIdent("False"));
    QString path;
    whileShown(d, [&] {
        d.TextColourButton->click();
        path = mervo::test::saveScreenshot(d, MERVO_SCREENSHOT_DIR, "label_dialog_colour");
        d.CancelButton->click();
    });
    d.showFor(label);
    EXPECT_FALSE(QImage(path).isNull());
}

class FieldDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(devdata::createStateTable(state, 229, data.path(), nullptr));
        state.append();
        state.setInt("NUMSTATE", 1);
        state.setFloat("TemperF1", 71.5);
        state.post();
        d.setStateTable(&state);
        d.setFieldText([this](const std::string& f) -> std::optional<std::string> {
            if (state.fieldIndex(f) < 0) return std::nullopt;
            return state.asString(f);
        });
    }
    mervo::test::TempDir data;
    dbf::Table state;
    TDBFieldForm d;
};

TEST_F(FieldDialogTest, TheListOffersTheStateFieldsWithoutNumAndNumstate) {
    QStringList expected;
    for (const auto& f : state.fields())
        expected << QString::fromStdString(f.name);
    ASSERT_EQ(expected.mid(0, 2), (QStringList{"NUM", "NUMSTATE"}));
    expected = expected.mid(2);
    whileShown(d, [&] {
        QStringList items;
        for (int i = 0; i < d.FieldList->count(); ++i)
            items << d.FieldList->itemText(i);
        EXPECT_EQ(items, expected);
        EXPECT_EQ(d.FieldList->currentIndex(), -1); // a new label starts without a field
        d.CancelButton->click();
    });
    EXPECT_EQ(d.showFor(nullptr), QDialog::Rejected);

    // without a state table the list is empty, and the field of an edited label stays offered
    dbf::Table closed;
    d.setStateTable(&closed);
    Element e = fieldLabel("DBText1", "TemperF1");
    whileShown(d, [&] {
        EXPECT_EQ(d.FieldList->count(), 1);
        EXPECT_EQ(d.FieldList->currentText(), "TemperF1");
        d.OkButton->click();
    });
    EXPECT_EQ(d.showFor(&e), QDialog::Accepted);
    EXPECT_EQ(d.preview().dataField(), "TemperF1");
}

TEST_F(FieldDialogTest, NewLabelAfterACancelledEditLeavesTheOtherLabelAndInheritsItsLook) {
    Scheme s;
    s.elements().push_back(fieldLabel("DBText1", "TemperF1"));
    const std::string before = blockText(s.elements()[0]);

    whileShown(d, [&] {
        EXPECT_EQ(d.FieldList->currentText(), "TemperF1");
        EXPECT_EQ(d.Preview->shownText().toStdString(), state.asString("TemperF1"));
        EXPECT_FALSE(d.TransparentBox->isChecked());
        EXPECT_FALSE(d.AutoSizeBox->isChecked());
        EXPECT_EQ(d.WidthBox->value(), 90);
        d.FieldList->setCurrentText("TemperF2");
        EXPECT_EQ(d.preview().dataField(), "TemperF2");
        d.WidthBox->setValue(150);
        d.CancelButton->click();
    });
    EXPECT_FALSE(d.editLabel(s, "DBText1"));
    EXPECT_EQ(blockText(s.elements()[0]), before);

    whileShown(d, [&] {
        EXPECT_EQ(d.FieldList->currentIndex(), -1);
        EXPECT_EQ(d.preview().dataField(), "");
        d.FieldList->setCurrentText("TemperF1");
        d.OkButton->click();
    });
    ASSERT_EQ(d.showFor(nullptr), QDialog::Accepted);
    EXPECT_EQ(blockText(s.elements()[0]), before);
    const Element& p = d.preview();
    EXPECT_EQ(p.dataField(), "TemperF1");
    EXPECT_EQ(p.dataSource(), kStateSourceName);
    // the look the last showing loaded carries over to the new label
    EXPECT_EQ(p.font().name, "Arial");
    EXPECT_EQ(p.font().color, clRed);
    EXPECT_EQ(p.color(), 0x0000FFFFu);
    EXPECT_FALSE(p.transparent());
    EXPECT_EQ(p.width(), 150);
    EXPECT_EQ(p.height(), 20);
}

TEST_F(FieldDialogTest, OkCopiesThePreviewToTheLabel) {
    Scheme s;
    s.elements().push_back(fieldLabel("DBText1", "TemperF1"));
    whileShown(d, [&] {
        d.FieldList->setCurrentText("TemperR1");
        d.TransparentBox->click();
        EXPECT_FALSE(d.ColourButton->isEnabled());
        d.AlignCenterButton->click();
        d.HeightBox->setValue(33);
        EXPECT_EQ(d.Preview->height(), 33);
        expectCentred(d);
        d.OkButton->click();
    });
    ASSERT_TRUE(d.editLabel(s, "DBText1"));
    const Element* e = s.element("DBText1");
    EXPECT_EQ(e->dataField(), "TemperR1");
    EXPECT_TRUE(e->transparent());
    EXPECT_EQ(e->alignment(), Alignment::Center);
    EXPECT_EQ(e->height(), 33);
    EXPECT_EQ(e->width(), 90);
    EXPECT_EQ(e->left(), 300);
    // stored and read back as it was set
    Scheme back = parseSchemeText(schemeText(s));
    EXPECT_EQ(blockText(back.elements()[0]), blockText(*e));
}

TEST_F(FieldDialogTest, Screenshots) {
    Element e = fieldLabel("DBText1", "TemperF1");
    e.set("Transparent", PropValue::makeIdent("False"));
    whileShown(d, [&] {
        mervo::test::saveScreenshot(d, MERVO_SCREENSHOT_DIR, "dbfield_form");
        d.CancelButton->click();
    });
    d.showFor(&e);
    TTXTLabelForm t;
    Element label = textLabel("Text1", "Т1 = 70'C\r\nподача\r\n");
    label.set("Transparent", PropValue::makeIdent("False"));
    label.set("Color", PropValue::makeIdent("clWhite"));
    label.set("ParentColor", PropValue::makeIdent("False"));
    whileShown(t, [&] {
        mervo::test::saveScreenshot(t, MERVO_SCREENSHOT_DIR, "txtlabel_form");
        t.CancelButton->click();
    });
    t.showFor(label);
}

TEST(MirrorPicture, PixelsMoveAcrossTheAxisAndTheBitmapKeepsItsDepth) {
    QImage src(3, 2, QImage::Format_RGB32);
    const QRgb px[2][3] = {{0xFF0000, 0x00FF00, 0x0000FF}, {0x111111, 0x222222, 0x333333}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            src.setPixel(x, y, px[y][x] | 0xFF000000u);
    QImage mx = mirrored(src, MirrorAxis::X), my = mirrored(src, MirrorAxis::Y);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(mx.pixel(2 - x, y) & 0xFFFFFF, px[y][x]);
            EXPECT_EQ(my.pixel(x, 1 - y) & 0xFFFFFF, px[y][x]);
        }

    // a picture element of a bitmap with a colour table, stretched to another box
    Element e(ElementClass::Image, "MImage1");
    e.setBounds(10, 20, 30, 40);
    std::vector<uint8_t> bmp = encodeBmp(src);
    const uint8_t depth = bmp[28];
    ASSERT_LE(depth, 8); // a colour table
    e.setPicture({PictureKind::Bitmap, bmp});
    e.set("Transparent", PropValue::makeIdent("True"));
    ASSERT_TRUE(mirrorPicture(e, MirrorAxis::X));
    EXPECT_EQ(e.width(), 3);
    EXPECT_EQ(e.height(), 2);
    EXPECT_EQ(e.left(), 10);
    Picture p = e.picture();
    ASSERT_EQ(p.kind, PictureKind::Bitmap);
    EXPECT_EQ(p.bytes[28], depth);
    QImage back = pictureImage(p);
    EXPECT_EQ(back.pixel(0, 0) & 0xFFFFFF, 0x0000FFu);
    EXPECT_EQ(back.pixel(2, 1) & 0xFFFFFF, 0x111111u);
    ASSERT_TRUE(mirrorPicture(e, MirrorAxis::X));
    EXPECT_EQ(pictureImage(e.picture()), pictureImage({PictureKind::Bitmap, bmp}));

    // a JPEG picture becomes a bitmap of what it shows; an element without a picture is left alone
    Element j(ElementClass::Image, "MImage2");
    j.setPicture({PictureKind::Jpeg, encodeJpeg(src.scaled(30, 20), 95)});
    ASSERT_TRUE(mirrorPicture(j, MirrorAxis::Y));
    EXPECT_EQ(j.picture().kind, PictureKind::Bitmap);
    EXPECT_EQ(j.width(), 30);
    Element none(ElementClass::Image, "MImage3");
    EXPECT_FALSE(mirrorPicture(none, MirrorAxis::X));
    Element text = textLabel("Text1", "x");
    EXPECT_FALSE(mirrorPicture(text, MirrorAxis::X));
}
