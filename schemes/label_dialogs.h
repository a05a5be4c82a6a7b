// The label dialogs of the scheme editor and of the object window: TTXTLabelForm "Редактор текста" for text
// labels and TDBFieldForm "Поле базы данных" for field labels. Each shows a live preview label that takes
// every change at once; "Ок" copies the preview's look to the label being edited. The dialogs live for the
// whole run and keep their controls between showings, so a new label takes the look last used.
//
// Labels are the element structures of the scheme (schemes::Element of class Label or DBText). A dialog never
// keeps a reference into a scheme while it is open: show it for a copy of the element, and after "Ок" apply
// the preview to the element found again by its name (editLabel() does both on a scheme).
//
// Also here: the mirror redraw of a picture element ("Зеркально по X", "Зеркально по Y").
#pragma once

#include "dbf/table.h"
#include "schemes/render.h"
#include "schemes/scheme.h"

#include <QDialog>
#include <QWidget>
#include <functional>
#include <optional>
#include <string>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QToolButton;

namespace schemes {

// The colour and font choosers; nullopt when the user cancels. The defaults are Qt's standard dialogs; tests
// and callers may put their own in.
using ColourChooser = std::function<std::optional<uint32_t>(QWidget* parent, uint32_t initial)>;
using FontChooser = std::function<std::optional<Font>(QWidget* parent, const Font& initial)>;
std::optional<uint32_t> standardColourDialog(QWidget* parent, uint32_t initial);
// Qt's font dialog opened on fontDialogFont(initial); the answer through fontFromDialog().
std::optional<Font> standardFontDialog(QWidget* parent, const Font& initial);
// A Qt font as a scheme font (name, pixel height as a negative height, style; the colour given).
Font fromQFont(const QFont& f, uint32_t colour);
// The font the font dialog shows for a scheme font: the stored family ("MS Sans Serif") resolved to the
// installed family that draws it, bold, italic, underline and strike-out as stored, and the pixel height as
// the point size that gives the same pixels on a 96 dpi screen (−16 → 12 points).
QFont fontDialogFont(const Font& f);
// The scheme font after the font dialog: what the user changed against what the dialog showed (shown),
// taken over into initial; what the user left stays as stored, so that the design family name, the height
// and the style survive a dialog confirmed without changes. Colour, character set and pitch stay.
Font fontFromDialog(const QFont& chosen, const QFont& shown, const Font& initial);

// The text as a label stores it: every line followed by CR LF; no lines give the empty text.
std::string linesToCaption(const QStringList& lines);
// The lines of a stored text (CR LF, CR or LF separate them; a last line break ends the last line).
QStringList captionToLines(const std::string& caption);

// One label element painted at the widget's origin, the widget as large as the label.
class LabelPreview : public QWidget {
    Q_OBJECT
public:
    LabelPreview(Element label, QWidget* parent = nullptr);
    const Element& label() const { return label_; }
    Element& label() { return label_; }
    // For field labels: the value a field shows (the object window's current-state row).
    void setFieldText(FieldText f) { fieldText_ = std::move(f); }
    // The text the label shows now (its caption, or the field's value).
    QString shownText() const;
    // Applies auto-size (the label's box becomes its text's extent), resizes the widget and repaints.
    void sync();

protected:
    void paintEvent(QPaintEvent*) override;

private:
    Element label_;
    Element parent_ = Scheme::standardArea();
    FieldText fieldText_;
};

// The controls and behaviour both dialogs share.
class LabelDialog : public QDialog {
    Q_OBJECT
public:
    // The preview label; after "Ок" the editor reads it to create a new label.
    const Element& preview() const { return Preview->label(); }
    // Copies the preview's look to e: font (with its colour), background colour, transparency, auto-size,
    // width, height, alignment, and the text (text label) or the field name (field label). Only what differs
    // from e's look (parent: the drawing area, whose font and colour e may take) is set, so that "Ок" without
    // changes leaves the element as it was stored, its parent font and colour included.
    void applyPreviewTo(Element& e, const Element& parent = Scheme::standardArea()) const;

    // The background colour ("Цвет фона"), the text colour ("Цвет текста") and the font ("Шрифт").
    ColourChooser chooseColour = standardColourDialog;
    ColourChooser chooseTextColour = standardColourDialog;
    FontChooser chooseFont = standardFontDialog;
    // What the colour and font dialogs start from; the text colour is the font's.
    uint32_t colourChooserColour() const { return colour_; }
    const Font& fontChooserFont() const { return font_; }

    QGroupBox* ContentGroup = nullptr;
    QCheckBox* TransparentBox = nullptr; // "Прозрачный фон"
    QPushButton* ColourButton = nullptr; // "Цвет фона"
    QGroupBox* SizeGroup = nullptr;      // "Размер"
    QCheckBox* AutoSizeBox = nullptr;    // "Авторазмер"
    QSpinBox* WidthBox = nullptr;        // "Ширина"
    QSpinBox* HeightBox = nullptr;       // "Высота"
    QToolButton* AlignLeftButton = nullptr;
    QToolButton* AlignCenterButton = nullptr;
    QToolButton* AlignRightButton = nullptr;
    QPushButton* FontButton = nullptr;       // "Шрифт"
    QPushButton* TextColourButton = nullptr; // "Цвет текста", its swatch the text colour
    QGroupBox* PreviewGroup = nullptr;       // "Предварительный просмотр"
    LabelPreview* Preview = nullptr;
    QPushButton* OkButton = nullptr;     // "Ок"
    QPushButton* CancelButton = nullptr; // "Отмена"

    // Left = half the group's width − half the preview's width, top likewise (halves rounded toward zero).
    void centrePreview();

protected:
    LabelDialog(const QString& caption, const QString& contentCaption, Element preview, uint32_t colour,
                QWidget* parent);
    // The look of element e (its own font, or the area's when it takes its parent's) into the controls.
    void loadControls(const Element& e, const Element& parent);
    // Font, background, transparency, auto-size, width and height of the preview from the controls.
    void previewFromControls();
    Alignment chosenAlignment() const;
    void setPreviewAlignment(Alignment a);
    void previewChanged();

private:
    void transparentClicked();
    void colourClicked();
    void fontClicked();
    void textColourClicked();
    void showSwatches();
    void autoSizeClicked();
    void sizeChanged();

    QButtonGroup* alignGroup_ = nullptr;
    uint32_t colour_;
    Font font_;
    bool loading_ = false;
};

// "Редактор текста".
class TTXTLabelForm : public LabelDialog {
    Q_OBJECT
public:
    explicit TTXTLabelForm(QWidget* parent = nullptr);
    // Shows the dialog modally for text label e (parent: the drawing area) and returns QDialog::Accepted for
    // "Ок". Nothing is changed: apply the preview with applyPreviewTo().
    int showFor(const Element& e, const Element& parent = Scheme::standardArea());
    // The whole command on a scheme: shows the dialog for its element of that name and applies "Ок" to the
    // element as the scheme then holds it. False for "Отмена" or when the element is gone meanwhile.
    bool editLabel(Scheme& scheme, const std::string& name);

    QPlainTextEdit* TextBox = nullptr;

private:
    void textChanged();
};

// "Поле базы данных".
class TDBFieldForm : public LabelDialog {
    Q_OBJECT
public:
    explicit TDBFieldForm(QWidget* parent = nullptr);
    // The current-state table (STATEDB of the current object's device type) whose fields the list offers,
    // and the value a field shows in the preview. The table may be closed (the list is then empty).
    void setStateTable(dbf::Table* table) { state_ = table; }
    void setFieldText(FieldText f);
    // Shows the dialog for field label e, or for a new field label (nullptr), and returns QDialog::Accepted
    // for "Ок". For a new label the controls keep what the last showing left.
    int showFor(const Element* e, const Element& parent = Scheme::standardArea());
    bool editLabel(Scheme& scheme, const std::string& name);
    // The field names of a state table without NUM and NUMSTATE, in table order.
    static QStringList fieldNames(const dbf::Table& table);

    QComboBox* FieldList = nullptr;

private:
    void fieldChosen();
    dbf::Table* state_ = nullptr;
};

// ---- mirror

enum class MirrorAxis { X, Y };
// "Зеркально по X" / "Зеркально по Y" on a picture element: the box becomes the picture's size and the
// picture is redrawn mirrored left-right (X) or top-bottom (Y), stored as a bitmap. A JPEG, icon or metafile
// picture becomes a bitmap of what it shows. False (nothing changed) for an element without a readable
// picture.
bool mirrorPicture(Element& e, MirrorAxis axis);
// The image mirrored: X moves column x to w − 1 − x, Y moves row y to h − 1 − y.
QImage mirrored(const QImage& image, MirrorAxis axis);
// "90" (1), "180" (2), "-90" (-1) on a picture element: the bitmap turned in its file form, the box set to
// the turned size; for the quarter turns the size limits are exchanged (maximum height = old maximum width,
// and so on). A JPEG, icon or metafile picture is turned as a bitmap of what it shows. False (nothing
// changed) for an element without a readable picture.
bool rotatePicture(Element& e, int quarterTurns);

} // namespace schemes
