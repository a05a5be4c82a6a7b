#include "schemes/label_dialogs.h"

#include "schemes/bitmap_turn.h"

#include <QBuffer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QToolButton>
#include <algorithm>

namespace schemes {

namespace {

PropValue boolValue(bool v) {
    return PropValue::makeIdent(v ? "True" : "False");
}

const char* alignmentName(Alignment a) {
    switch (a) {
    case Alignment::Center:
        return "taCenter";
    case Alignment::Right:
        return "taRightJustify";
    case Alignment::Left:
        break;
    }
    return "taLeftJustify";
}

// The look of a label's background: its own colour, or the area's (button face) when it takes its parent's.
uint32_t backgroundOf(const Element& e, const Element& parent) {
    if (!e.parentColor()) return e.color();
    return parent.parentColor() ? clBtnFace : parent.color();
}

Font fontOf(const Element& e, const Element& parent) {
    if (!e.parentFont()) return e.font();
    return parent.parentFont() ? Font() : parent.font();
}

// A glyph of three or four lines aligned left, centred or right.
QIcon alignmentIcon(Alignment a) {
    QPixmap pm(20, 20);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QPen(Qt::black, 2));
    const int widths[] = {16, 10, 14, 8};
    for (int i = 0; i < 4; ++i) {
        int w = widths[i];
        int x = a == Alignment::Left ? 2 : a == Alignment::Right ? 18 - w : 10 - w / 2;
        p.drawLine(x, 3 + 4 * i, x + w, 3 + 4 * i);
    }
    return QIcon(pm);
}

// A square of the colour with a dark edge, for the colour buttons.
QIcon swatchIcon(uint32_t colour) {
    QPixmap pm(16, 16);
    pm.fill(toQColor(colour));
    QPainter p(&pm);
    p.setPen(QColor(0x40, 0x40, 0x40));
    p.drawRect(0, 0, 15, 15);
    return QIcon(pm);
}

} // namespace

// ---------------------------------------------------------------- choosers and texts

std::optional<uint32_t> standardColourDialog(QWidget* parent, uint32_t initial) {
    QColor c =
        QColorDialog::getColor(toQColor(initial), parent, QString(), QColorDialog::DontUseNativeDialog);
    if (!c.isValid()) return std::nullopt;
    return uint32_t(c.red()) | uint32_t(c.green()) << 8 | uint32_t(c.blue()) << 16;
}

Font fromQFont(const QFont& q, uint32_t colour) {
    Font f;
    f.name = q.family().toStdString();
    int px = q.pixelSize();
    if (px <= 0) px = int(q.pointSizeF() * 96.0 / 72.0 + 0.5);
    f.height = -std::max(1, px);
    f.color = colour;
    f.style = (q.bold() ? fsBold : 0u) | (q.italic() ? fsItalic : 0u) | (q.underline() ? fsUnderline : 0u) |
              (q.strikeOut() ? fsStrikeOut : 0u);
    f.charset = DEFAULT_CHARSET;
    return f;
}

QFont fontDialogFont(const Font& f) {
    const QFont drawn = toQFont(f);
    // the dialog lists installed families only; a design name it does not know would show its first one
    QFont q(QFontInfo(drawn).family());
    q.setPointSizeF(drawn.pixelSize() * 72.0 / 96.0);
    q.setBold(f.style & fsBold);
    q.setItalic(f.style & fsItalic);
    q.setUnderline(f.style & fsUnderline);
    q.setStrikeOut(f.style & fsStrikeOut);
    return q;
}

Font fontFromDialog(const QFont& chosen, const QFont& shown, const Font& initial) {
    Font f = initial;
    if (chosen.family() != shown.family()) f.name = chosen.family().toStdString();
    if (chosen.pointSizeF() != shown.pointSizeF() || chosen.pixelSize() != shown.pixelSize())
        f.height = fromQFont(chosen, initial.color).height;
    auto take = [&](bool now, bool before, FontStyle bit) {
        if (now == before) return;
        f.style = now ? f.style | bit : f.style & ~unsigned(bit);
    };
    take(chosen.bold(), shown.bold(), fsBold);
    take(chosen.italic(), shown.italic(), fsItalic);
    take(chosen.underline(), shown.underline(), fsUnderline);
    take(chosen.strikeOut(), shown.strikeOut(), fsStrikeOut);
    return f;
}

std::optional<Font> standardFontDialog(QWidget* parent, const Font& initial) {
    QFontDialog d(parent);
    d.setOption(QFontDialog::DontUseNativeDialog);
    d.setCurrentFont(fontDialogFont(initial));
    // what the dialog makes of the font, so that only the user's changes count
    const QFont shown = d.currentFont();
    if (d.exec() != QDialog::Accepted) return std::nullopt;
    return fontFromDialog(d.selectedFont(), shown, initial);
}

std::string linesToCaption(const QStringList& lines) {
    std::string out;
    for (const auto& l : lines)
        out += l.toStdString() + "\r\n";
    return out;
}

QStringList captionToLines(const std::string& caption) {
    QString t = QString::fromStdString(caption);
    t.replace("\r\n", "\n");
    t.replace('\r', '\n');
    if (t.isEmpty()) return {};
    if (t.endsWith('\n')) t.chop(1);
    return t.split('\n');
}

// ---------------------------------------------------------------- the preview

LabelPreview::LabelPreview(Element label, QWidget* parent) : QWidget(parent), label_(std::move(label)) {
    parent_.children().clear();
}

QString LabelPreview::shownText() const {
    if (label_.cls() == ElementClass::DBText) {
        std::optional<std::string> v;
        if (fieldText_ && !label_.dataField().empty()) v = fieldText_(label_.dataField());
        return QString::fromStdString(v.value_or(""));
    }
    QString t = QString::fromStdString(label_.caption());
    t.replace("\r\n", "\n");
    t.replace('\r', '\n');
    return t;
}

void LabelPreview::sync() {
    if (label_.autoSize()) {
        QSize s = labelExtent(label_, parent_, shownText());
        label_.set("Width", PropValue::makeInt(s.width()));
        label_.set("Height", PropValue::makeInt(s.height()));
    }
    resize(std::max(0, label_.width()), std::max(0, label_.height()));
    update();
}

void LabelPreview::paintEvent(QPaintEvent*) {
    QPainter p(this);
    Element area = parent_;
    Element e = label_;
    e.set("Left", PropValue::makeInt(0));
    e.set("Top", PropValue::makeInt(0));
    area.children().push_back(std::move(e));
    paintElements(p, area, fieldText_);
}

// ---------------------------------------------------------------- shared controls

LabelDialog::LabelDialog(const QString& caption, const QString& contentCaption, Element preview,
                         uint32_t colour, QWidget* parent)
    : QDialog(parent), colour_(colour) {
    setWindowTitle(caption);
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(548, 330);

    ContentGroup = new QGroupBox(contentCaption, this);
    ContentGroup->setGeometry(8, 8, 264, 136);

    PreviewGroup = new QGroupBox("Предварительный просмотр", this);
    PreviewGroup->setGeometry(280, 8, 260, 136);
    Preview = new LabelPreview(std::move(preview), PreviewGroup);
    // The font dialog starts from the preview's design font, so that the first new label looks like the
    // preview did.
    font_ = Preview->label().font();

    TransparentBox = new QCheckBox("Прозрачный фон", this);
    TransparentBox->setGeometry(16, 154, 140, 22);
    TransparentBox->setChecked(true);
    ColourButton = new QPushButton("Цвет фона", this);
    ColourButton->setGeometry(160, 152, 112, 26);
    ColourButton->setEnabled(false);

    SizeGroup = new QGroupBox("Размер", this);
    SizeGroup->setGeometry(8, 186, 264, 92);
    AutoSizeBox = new QCheckBox("Авторазмер", SizeGroup);
    AutoSizeBox->setGeometry(10, 22, 150, 22);
    AutoSizeBox->setChecked(true);
    auto* wl = new QLabel("Ширина", SizeGroup);
    wl->setGeometry(10, 56, 56, 20);
    WidthBox = new QSpinBox(SizeGroup);
    WidthBox->setGeometry(66, 52, 64, 26);
    auto* hl = new QLabel("Высота", SizeGroup);
    hl->setGeometry(138, 56, 56, 20);
    HeightBox = new QSpinBox(SizeGroup);
    HeightBox->setGeometry(192, 52, 64, 26);
    for (QSpinBox* b : {WidthBox, HeightBox}) {
        b->setRange(0, 10000); // a negative box is no size
        b->setValue(0);
        b->setEnabled(false);
    }

    alignGroup_ = new QButtonGroup(this);
    alignGroup_->setExclusive(true);
    int x = 288;
    for (auto [button, a] :
         {std::pair{&AlignLeftButton, Alignment::Left}, std::pair{&AlignCenterButton, Alignment::Center},
          std::pair{&AlignRightButton, Alignment::Right}}) {
        *button = new QToolButton(this);
        (*button)->setGeometry(x, 152, 30, 28);
        (*button)->setCheckable(true);
        (*button)->setIcon(alignmentIcon(a));
        alignGroup_->addButton(*button, int(a));
        x += 32;
    }
    AlignLeftButton->setChecked(true);
    AlignLeftButton->setToolTip("По левому краю");
    AlignCenterButton->setToolTip("По центру");
    AlignRightButton->setToolTip("По правому краю");
    FontButton = new QPushButton("Шрифт", this);
    FontButton->setGeometry(392, 152, 100, 28);
    TextColourButton = new QPushButton("Цвет текста", this);
    TextColourButton->setGeometry(288, 188, 204, 28);
    TextColourButton->setToolTip("Цвет шрифта надписи");

    OkButton = new QPushButton("Ок", this);
    OkButton->setGeometry(368, 292, 82, 28);
    OkButton->setDefault(true);
    CancelButton = new QPushButton("Отмена", this);
    CancelButton->setGeometry(458, 292, 82, 28);

    connect(TransparentBox, &QCheckBox::clicked, this, &LabelDialog::transparentClicked);
    connect(ColourButton, &QPushButton::clicked, this, &LabelDialog::colourClicked);
    connect(FontButton, &QPushButton::clicked, this, &LabelDialog::fontClicked);
    connect(TextColourButton, &QPushButton::clicked, this, &LabelDialog::textColourClicked);
    connect(AutoSizeBox, &QCheckBox::clicked, this, &LabelDialog::autoSizeClicked);
    connect(WidthBox, &QSpinBox::valueChanged, this, &LabelDialog::sizeChanged);
    connect(HeightBox, &QSpinBox::valueChanged, this, &LabelDialog::sizeChanged);
    connect(alignGroup_, &QButtonGroup::idClicked, this, [this](int id) {
        setPreviewAlignment(Alignment(id));
        previewChanged();
    });
    connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);

    Preview->sync();
    centrePreview();
    showSwatches();
}

void LabelDialog::showSwatches() {
    ColourButton->setIcon(swatchIcon(colour_));
    TextColourButton->setIcon(swatchIcon(font_.color));
}

void LabelDialog::centrePreview() {
    Preview->move(PreviewGroup->width() / 2 - Preview->width() / 2,
                  PreviewGroup->height() / 2 - Preview->height() / 2);
}

void LabelDialog::previewChanged() {
    Preview->sync();
    centrePreview();
}

Alignment LabelDialog::chosenAlignment() const {
    return Alignment(std::max(0, alignGroup_->checkedId()));
}

void LabelDialog::setPreviewAlignment(Alignment a) {
    Preview->label().set("Alignment", PropValue::makeIdent(alignmentName(a)));
}

void LabelDialog::loadControls(const Element& e, const Element& parent) {
    loading_ = true;
    font_ = fontOf(e, parent);
    TransparentBox->setChecked(e.transparent());
    colour_ = backgroundOf(e, parent);
    ColourButton->setEnabled(!e.transparent());
    AutoSizeBox->setChecked(e.autoSize());
    WidthBox->setValue(std::max(0, e.width()));
    HeightBox->setValue(std::max(0, e.height()));
    WidthBox->setEnabled(!e.autoSize());
    HeightBox->setEnabled(!e.autoSize());
    // a label being edited shows its own alignment, so that "Ок" without changes keeps it; the alignment
    // last chosen stays pressed for the labels the tools make
    if (QAbstractButton* own = alignGroup_->button(int(e.alignment()))) own->setChecked(true);
    setPreviewAlignment(e.alignment());
    showSwatches();
    loading_ = false;
}

void LabelDialog::previewFromControls() {
    Element& p = Preview->label();
    p.setFont(font_);
    p.set("Color", PropValue::makeInt(int32_t(colour_)));
    p.set("ParentColor", boolValue(false));
    p.set("Transparent", boolValue(TransparentBox->isChecked()));
    p.set("AutoSize", boolValue(AutoSizeBox->isChecked()));
    p.set("Width", PropValue::makeInt(WidthBox->value()));
    p.set("Height", PropValue::makeInt(HeightBox->value()));
    previewChanged();
}

void LabelDialog::transparentClicked() {
    Preview->label().set("Transparent", boolValue(TransparentBox->isChecked()));
    ColourButton->setEnabled(!TransparentBox->isChecked());
    previewChanged();
}

void LabelDialog::colourClicked() {
    if (!chooseColour) return;
    std::optional<uint32_t> c = chooseColour(this, colour_);
    if (c) {
        colour_ = *c;
        Preview->label().set("Color", PropValue::makeInt(int32_t(colour_)));
        Preview->label().set("ParentColor", boolValue(false));
    }
    showSwatches();
    previewChanged();
}

void LabelDialog::fontClicked() {
    if (!chooseFont) return;
    std::optional<Font> f = chooseFont(this, font_);
    if (f) {
        font_ = *f;
        Preview->label().setFont(font_);
    }
    showSwatches();
    previewChanged();
}

void LabelDialog::textColourClicked() {
    if (!chooseTextColour) return;
    if (std::optional<uint32_t> c = chooseTextColour(this, font_.color)) {
        font_.color = *c;
        Preview->label().setFont(font_);
    }
    showSwatches();
    previewChanged();
}

void LabelDialog::autoSizeClicked() {
    const bool on = AutoSizeBox->isChecked();
    Preview->label().set("AutoSize", boolValue(on));
    WidthBox->setEnabled(!on);
    HeightBox->setEnabled(!on);
    if (on) {
        Preview->sync();
        loading_ = true;
        WidthBox->setValue(Preview->label().width());
        HeightBox->setValue(Preview->label().height());
        loading_ = false;
    } else {
        Preview->label().set("Width", PropValue::makeInt(WidthBox->value()));
        Preview->label().set("Height", PropValue::makeInt(HeightBox->value()));
    }
    previewChanged();
}

void LabelDialog::sizeChanged() {
    if (loading_) return;
    Preview->label().set("Width", PropValue::makeInt(WidthBox->value()));
    Preview->label().set("Height", PropValue::makeInt(HeightBox->value()));
    previewChanged();
}

void LabelDialog::applyPreviewTo(Element& e, const Element& parent) const {
    const Element& p = preview();
    if (p.font() != fontOf(e, parent)) e.setFont(p.font());
    if (p.color() != backgroundOf(e, parent)) {
        e.set("Color", PropValue::makeInt(int32_t(p.color())));
        e.set("ParentColor", boolValue(false));
    }
    if (p.transparent() != e.transparent()) e.set("Transparent", boolValue(p.transparent()));
    if (p.autoSize() != e.autoSize()) e.set("AutoSize", boolValue(p.autoSize()));
    if (p.width() != e.width()) e.set("Width", PropValue::makeInt(p.width()));
    if (p.height() != e.height()) e.set("Height", PropValue::makeInt(p.height()));
    if (p.alignment() != e.alignment())
        e.set("Alignment", PropValue::makeIdent(alignmentName(p.alignment())));
    if (e.cls() == ElementClass::Label && p.cls() == ElementClass::Label && p.caption() != e.caption())
        e.set("Caption", PropValue::makeString(p.caption()));
    if (e.cls() == ElementClass::DBText && p.cls() == ElementClass::DBText && p.dataField() != e.dataField())
        e.set("DataField", PropValue::makeString(p.dataField()));
}

namespace {

void centreOnScreen(QWidget* w) {
    QScreen* s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    QRect r = s->availableGeometry();
    w->move(r.center() - QPoint(w->width() / 2, w->height() / 2));
}

Element* findIn(std::vector<Element>& list, const std::string& name) {
    for (auto& e : list)
        if (e.name() == name) return &e;
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- "Редактор текста"

namespace {

Element textPreview() {
    Element e(ElementClass::Label, "Label1");
    e.set("Caption", PropValue::makeString("Label1"));
    Font f;
    f.height = -16;
    f.style = fsBold;
    f.color = clBlack;
    e.setFont(f);
    e.set("Transparent", boolValue(true));
    return e;
}

Element fieldPreview() {
    Element e(ElementClass::DBText, "DBText1");
    e.set("DataSource", PropValue::makeIdent(kStateSourceName));
    Font f;
    f.height = -16;
    f.style = fsBold;
    f.color = clBlue;
    e.setFont(f);
    e.set("Color", PropValue::makeIdent("clSilver"));
    e.set("ParentColor", boolValue(false));
    e.set("WordWrap", boolValue(true));
    e.set("Transparent", boolValue(true));
    e.set("AutoSize", boolValue(true));
    e.set("Width", PropValue::makeInt(64));
    return e;
}

constexpr uint32_t kSilver = 0x00C0C0C0;

} // namespace

TTXTLabelForm::TTXTLabelForm(QWidget* parent)
    : LabelDialog("Редактор текста", "Редактирование текста надписи", textPreview(), clBtnFace, parent) {
    setObjectName("TXTLabelForm");
    TextBox = new QPlainTextEdit(ContentGroup);
    TextBox->setGeometry(8, 22, 248, 106);
    TextBox->setFrameShape(QFrame::NoFrame);
    QPalette pal = TextBox->palette();
    pal.setColor(QPalette::Base, toQColor(clBtnFace));
    TextBox->setPalette(pal);
    TextBox->setPlainText("Label1");
    connect(TextBox, &QPlainTextEdit::textChanged, this, &TTXTLabelForm::textChanged);
}

void TTXTLabelForm::textChanged() {
    QString t = TextBox->toPlainText();
    QStringList lines = t.isEmpty() ? QStringList() : t.split('\n');
    Preview->label().set("Caption", PropValue::makeString(linesToCaption(lines)));
    previewChanged();
}

int TTXTLabelForm::showFor(const Element& e, const Element& parent) {
    loadControls(e, parent);
    {
        QSignalBlocker block(TextBox);
        TextBox->setPlainText(captionToLines(e.caption()).join('\n'));
    }
    Preview->label().set("Caption", PropValue::makeString(e.caption()));
    previewFromControls();
    centreOnScreen(this);
    return exec();
}

bool TTXTLabelForm::editLabel(Scheme& scheme, const std::string& name) {
    Element* e = findIn(scheme.elements(), name);
    if (!e || e->cls() != ElementClass::Label) return false;
    const Element copy = *e;
    if (showFor(copy, scheme.area) != QDialog::Accepted) return false;
    e = findIn(scheme.elements(), name);
    if (!e || e->cls() != ElementClass::Label) return false;
    applyPreviewTo(*e, scheme.area);
    return true;
}

// ---------------------------------------------------------------- "Поле базы данных"

TDBFieldForm::TDBFieldForm(QWidget* parent)
    : LabelDialog("Поле базы данных", "Поле базы данных", fieldPreview(), kSilver, parent) {
    setObjectName("DBFieldForm");
    FieldList = new QComboBox(ContentGroup);
    FieldList->setGeometry(8, 28, 248, 26);
    FieldList->setEditable(false);
    FieldList->setMaxVisibleItems(20);
    connect(FieldList, &QComboBox::currentIndexChanged, this, &TDBFieldForm::fieldChosen);
}

void TDBFieldForm::setFieldText(FieldText f) {
    Preview->setFieldText(std::move(f));
}

QStringList TDBFieldForm::fieldNames(const dbf::Table& table) {
    QStringList out;
    if (!table.isOpen()) return out;
    for (const auto& f : table.fields()) {
        QString n = QString::fromStdString(f.name);
        if (n.compare("NUM", Qt::CaseInsensitive) == 0 || n.compare("NUMSTATE", Qt::CaseInsensitive) == 0)
            continue;
        out << n;
    }
    return out;
}

void TDBFieldForm::fieldChosen() {
    Preview->label().set("DataField", PropValue::makeString(FieldList->currentText().toStdString()));
    previewChanged();
}

int TDBFieldForm::showFor(const Element* e, const Element& parent) {
    {
        QSignalBlocker block(FieldList);
        FieldList->clear();
        if (state_) FieldList->addItems(fieldNames(*state_));
        FieldList->setCurrentIndex(-1);
        if (e) {
            const QString field = QString::fromStdString(e->dataField());
            int i = FieldList->findText(field, Qt::MatchFixedString);
            // a field the table does not offer now (no state table yet) stays the label's field
            if (i < 0 && !field.isEmpty()) {
                FieldList->addItem(field);
                i = FieldList->count() - 1;
            }
            FieldList->setCurrentIndex(i);
        }
    }
    if (e) loadControls(*e, parent);
    Preview->label().set("DataField", PropValue::makeString(FieldList->currentText().toStdString()));
    setPreviewAlignment(chosenAlignment());
    previewFromControls();
    centreOnScreen(this);
    return exec();
}

bool TDBFieldForm::editLabel(Scheme& scheme, const std::string& name) {
    Element* e = findIn(scheme.elements(), name);
    if (!e || e->cls() != ElementClass::DBText) return false;
    const Element copy = *e;
    if (showFor(&copy, scheme.area) != QDialog::Accepted) return false;
    e = findIn(scheme.elements(), name);
    if (!e || e->cls() != ElementClass::DBText) return false;
    applyPreviewTo(*e, scheme.area);
    return true;
}

// ---------------------------------------------------------------- mirror

QImage mirrored(const QImage& image, MirrorAxis axis) {
    return image.mirrored(axis == MirrorAxis::X, axis == MirrorAxis::Y);
}

bool rotatePicture(Element& e, int quarterTurns) {
    if (e.cls() != ElementClass::Image || (quarterTurns != 1 && quarterTurns != -1 && quarterTurns != 2))
        return false;
    std::vector<uint8_t> bmp;
    try {
        const Picture pic = e.picture();
        if (pic.empty()) return false;
        if (pic.kind == PictureKind::Bitmap) {
            bmp = pic.bytes;
        } else {
            const QImage img = pictureImage(pic);
            if (img.isNull()) return false;
            // a picture with see-through parts (metafiles, icons) is laid on white first
            QImage flat(img.size(), QImage::Format_RGB32);
            flat.fill(Qt::white);
            QPainter(&flat).drawImage(0, 0, img);
            bmp = encodeBmp(flat);
        }
        bmp = turnBmp(bmp, quarterTurns == 1    ? Turn::Clockwise
                           : quarterTurns == -1 ? Turn::Anticlockwise
                                                : Turn::Half);
    } catch (const SchemeError&) {
        return false;
    } catch (const BitmapError&) {
        return false;
    }
    QImage turned;
    turned.loadFromData(bmp.data(), int(bmp.size()), "BMP");
    if (turned.isNull()) return false;
    if (quarterTurns != 2) {
        // the limits are lifted for the new box, then put back with width and height exchanged
        const int maxW = e.maxWidth(), maxH = e.maxHeight(), minW = e.minWidth(), minH = e.minHeight();
        e.set("Width", PropValue::makeInt(turned.width()));
        e.set("Height", PropValue::makeInt(turned.height()));
        auto limit = [&](const char* name, int v) {
            if (v > 0)
                e.set(name, PropValue::makeInt(v));
            else
                e.unset(name);
        };
        limit("Constraints.MaxHeight", maxW);
        limit("Constraints.MaxWidth", maxH);
        limit("Constraints.MinHeight", minW);
        limit("Constraints.MinWidth", minH);
    } else {
        e.set("Width", PropValue::makeInt(turned.width()));
        e.set("Height", PropValue::makeInt(turned.height()));
    }
    e.setPicture({PictureKind::Bitmap, std::move(bmp)});
    return true;
}

bool mirrorPicture(Element& e, MirrorAxis axis) {
    if (e.cls() != ElementClass::Image) return false;
    Picture pic;
    QImage img;
    try {
        pic = e.picture();
        if (pic.empty()) return false;
        if (pic.kind == PictureKind::Bitmap) {
            // decoded as it is stored, so that the colour table and the depth survive the redraw
            img.loadFromData(pic.bytes.data(), int(pic.bytes.size()), "BMP");
        }
        if (img.isNull()) img = pictureImage(pic);
    } catch (const SchemeError&) {
        return false;
    }
    if (img.isNull()) return false;

    QImage out = mirrored(img, axis);
    std::vector<uint8_t> bmp;
    if (pic.kind == PictureKind::Bitmap) {
        QByteArray bytes;
        QBuffer buf(&bytes);
        buf.open(QIODevice::WriteOnly);
        if (out.save(&buf, "BMP")) bmp.assign(bytes.begin(), bytes.end());
    }
    if (bmp.empty()) {
        // a picture with see-through parts (metafiles, icons) is laid on white first
        QImage flat(out.size(), QImage::Format_RGB32);
        flat.fill(Qt::white);
        QPainter(&flat).drawImage(0, 0, out);
        bmp = encodeBmp(flat);
    }
    auto limit = [](int v, int lo, int hi) {
        if (hi > 0) v = std::min(v, hi);
        if (lo > 0) v = std::max(v, lo);
        return v;
    };
    e.set("Width", PropValue::makeInt(limit(out.width(), e.minWidth(), e.maxWidth())));
    e.set("Height", PropValue::makeInt(limit(out.height(), e.minHeight(), e.maxHeight())));
    e.setPicture({PictureKind::Bitmap, std::move(bmp)});
    return true;
}

} // namespace schemes
