#include "schemes/scheme_editor.h"

#include "dbf/codec.h"
#include "schemes/palette.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QSpinBox>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace schemes {

namespace {

constexpr int kGridWidth = kAreaWidth - 2 * kAreaBevel;   // 1001
constexpr int kGridHeight = kAreaHeight - 2 * kAreaBevel; // 581
constexpr const char* kTitle = "Мастер схем";
constexpr const char* kOverwriteQuestion = "Вы уверены что хотите перезаписать текущую схему?\r\n"
                                           "Yes-перезаписать,\r\n No-Сохранить как новую,\r\n "
                                           "Cancel-отмена действия";
constexpr const char* kCloseQuestion = "Сохранить изменения перед выходом?";
constexpr const char* kSaveErrorText = "Ошибка сохранения схемы ";
constexpr const char* kPictureErrorText = "Ошибка загрузки рисунка ";

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

PropValue boolValue(bool v) {
    return PropValue::makeIdent(v ? "True" : "False");
}

// The keys given and those the platform binds to the standard key.
QList<QKeySequence> keysOf(QKeySequence::StandardKey standard, QList<QKeySequence> keys) {
    for (const QKeySequence& k : QKeySequence::keyBindings(standard))
        if (!keys.contains(k)) keys << k;
    return keys;
}

// ---- glyphs of the buttons, drawn here

QIcon glyph(const std::function<void(QPainter&)>& draw) {
    QPixmap pm(22, 22);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return QIcon(pm);
}

QIcon arrowGlyph(int dx, int dy) {
    return glyph([dx, dy](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0, 0, 128));
        QPolygonF tri;
        if (dx < 0) tri << QPointF(4, 11) << QPointF(16, 4) << QPointF(16, 18);
        if (dx > 0) tri << QPointF(18, 11) << QPointF(6, 4) << QPointF(6, 18);
        if (dy < 0) tri << QPointF(11, 4) << QPointF(4, 16) << QPointF(18, 16);
        if (dy > 0) tri << QPointF(11, 18) << QPointF(4, 6) << QPointF(18, 6);
        p.drawPolygon(tri);
    });
}

QToolButton* makeButton(QWidget* parent, int x, int y, const QIcon& icon, const QString& hint,
                        bool checkable = false) {
    auto* b = new QToolButton(parent);
    b->setGeometry(x, y, 30, 30);
    b->setIcon(icon);
    b->setIconSize(QSize(22, 22));
    b->setToolTip(hint);
    b->setCheckable(checkable);
    b->setAutoRaise(!checkable);
    return b;
}

QIcon swatch(QColor c) {
    QPixmap pm(14, 14);
    pm.fill(c);
    QPainter p(&pm);
    p.setPen(Qt::black);
    p.drawRect(0, 0, 13, 13);
    return QIcon(pm);
}

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A picture file as a picture element stores it: BMP, JPEG, icon and metafiles as they are; any other kind
// Qt reads (PNG, GIF) as a bitmap of what it shows.
Picture pictureFromFile(const std::string& path) {
    std::vector<uint8_t> b = readBytes(path);
    auto starts = [&](std::initializer_list<uint8_t> sig) {
        return b.size() >= sig.size() && std::equal(sig.begin(), sig.end(), b.begin());
    };
    Picture p;
    if (starts({'B', 'M'}))
        p.kind = PictureKind::Bitmap;
    else if (starts({0xFF, 0xD8}))
        p.kind = PictureKind::Jpeg;
    else if (starts({0, 0, 1, 0}))
        p.kind = PictureKind::Icon;
    else if (starts({0xD7, 0xCD, 0xC6, 0x9A}) ||
             (b.size() >= 44 && b[0] == 1 && b[1] == 0 && b[2] == 0 && b[3] == 0 && b[40] == ' ' &&
              b[41] == 'E' && b[42] == 'M' && b[43] == 'F'))
        p.kind = PictureKind::Metafile;
    if (p.kind != PictureKind::None) {
        p.bytes = std::move(b);
        return p;
    }
    QImage img;
    if (!img.loadFromData(b.data(), int(b.size())) || img.width() > 10000 || img.height() > 10000)
        throw SchemeError("no picture");
    QImage flat(img.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter(&flat).drawImage(0, 0, img);
    return {PictureKind::Bitmap, encodeBmp24(flat)};
}

} // namespace

// ---------------------------------------------------------------- construction

std::string templateFolder(const std::string& programDir) {
    const std::string found = findPathNoCase(programDir, "Circuits");
    return found.empty() ? dbf::codec::joinPath(programDir, "Circuits") : found;
}

QString chooseTemplateDialog(QWidget* parent, const QString& folder) {
    QFileDialog d(parent, QString(), folder, "Шаблоны схем (*.MNS)");
    d.setOption(QFileDialog::DontUseNativeDialog);
    d.setFileMode(QFileDialog::ExistingFile);
    d.setAcceptMode(QFileDialog::AcceptOpen);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return {};
    return d.selectedFiles().first();
}

TForm3::TForm3(std::string programDir, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint), programDir_(std::move(programDir)) {
    setObjectName("Form3");
    setWindowTitle(kTitle);
    setFixedSize(882, 90);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, toQColor(clBtnFace));
    setPalette(pal);
    library_ = std::make_unique<ElementLibrary>(elementLibraryPath(programDir_));
    textDialog_ = std::make_unique<TTXTLabelForm>();
    fieldDialog_ = std::make_unique<TDBFieldForm>();
    choosePictureFile = [](QWidget* w) {
        return QFileDialog::getOpenFileName(w, QString(), QString(),
                                            "Рисунки (*.bmp *.jpg *.jpeg *.ico *.emf *.wmf *.png *.gif);;"
                                            "Все файлы (*)");
    };
    chooseTemplateFile = [this](QWidget* w) {
        return chooseTemplateDialog(w, QString::fromStdString(templateFolder(programDir_)));
    };
    build();
    preview_ = palettePictures().front().image; // the straight pipe as it is drawn
    showPreview();
}

TForm3::~TForm3() = default;

void TForm3::build() {
    auto* panel = new QWidget(this);
    panel->setGeometry(0, 0, 890, 90);

    NewButton = makeButton(panel, 4, 4, glyph([](QPainter& p) {
                               p.setPen(Qt::black);
                               p.setBrush(Qt::white);
                               p.drawPolygon(QPolygonF({QPointF(4, 2), QPointF(14, 2), QPointF(18, 6),
                                                        QPointF(18, 20), QPointF(4, 20)}));
                           }),
                           "Новая схема");
    OpenButton = makeButton(panel, 34, 4, glyph([](QPainter& p) {
                                p.setPen(Qt::black);
                                p.setBrush(QColor(240, 200, 80));
                                p.drawRect(QRectF(2, 6, 18, 13));
                                p.drawRect(QRectF(2, 4, 7, 3));
                            }),
                            "Открыть шаблон");
    SaveButton = makeButton(panel, 64, 4, glyph([](QPainter& p) {
                                p.setPen(Qt::black);
                                p.setBrush(QColor(40, 60, 160));
                                p.drawRect(QRectF(3, 3, 16, 16));
                                p.setBrush(Qt::white);
                                p.drawRect(QRectF(6, 3, 10, 6));
                            }),
                            "Сохранить");

    modeGroup_ = new QButtonGroup(this);
    WallpaperModeButton = makeButton(
        panel, 110, 4, glyph([](QPainter& p) {
            p.fillRect(QRectF(2, 2, 18, 18), QColor(120, 170, 230));
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(60, 150, 60));
            p.drawPolygon(QPolygonF({QPointF(2, 20), QPointF(9, 9), QPointF(14, 15), QPointF(20, 20)}));
        }),
        "Обои", true);
    FreeModeButton = makeButton(panel, 140, 4, glyph([](QPainter& p) {
                                    p.setPen(Qt::black);
                                    for (int x = 3; x < 20; x += 4)
                                        for (int y = 3; y < 20; y += 4)
                                            p.drawPoint(x, y);
                                }),
                                "Сетка без привязки", true);
    GridModeButton = makeButton(panel, 170, 4, glyph([](QPainter& p) {
                                    p.setPen(Qt::black);
                                    for (int x = 3; x < 20; x += 4)
                                        for (int y = 3; y < 20; y += 4)
                                            p.drawPoint(x, y);
                                    p.setPen(QPen(Qt::red, 2));
                                    p.drawLine(3, 19, 15, 7);
                                }),
                                "Привязка к сетке", true);
    modeGroup_->addButton(WallpaperModeButton, int(Mode::Wallpaper));
    modeGroup_->addButton(FreeModeButton, int(Mode::Free));
    modeGroup_->addButton(GridModeButton, int(Mode::Grid));
    WallpaperModeButton->setChecked(true);

    toolGroup_ = new QButtonGroup(this);
    SelectToolButton = makeButton(
        panel, 216, 4, glyph([](QPainter& p) {
            p.setPen(Qt::black);
            p.setBrush(Qt::white);
            p.drawPolygon(QPolygonF({QPointF(5, 2), QPointF(5, 18), QPointF(9, 14), QPointF(12, 20),
                                     QPointF(14, 19), QPointF(11, 13), QPointF(16, 13)}));
        }),
        "Выбор", true);
    TextToolButton = makeButton(panel, 246, 4, glyph([](QPainter& p) {
                                    QFont f = p.font();
                                    f.setPixelSize(18);
                                    f.setBold(true);
                                    p.setFont(f);
                                    p.drawText(QRectF(0, 0, 22, 22), Qt::AlignCenter, "A");
                                }),
                                "Текст", true);
    FieldToolButton = makeButton(panel, 276, 4, glyph([](QPainter& p) {
                                     p.setPen(Qt::black);
                                     p.setBrush(QColor(192, 192, 192));
                                     p.drawRect(QRectF(1, 5, 20, 12));
                                     QFont f = p.font();
                                     f.setPixelSize(10);
                                     f.setBold(true);
                                     p.setFont(f);
                                     p.setPen(Qt::blue);
                                     p.drawText(QRectF(1, 5, 20, 12), Qt::AlignCenter, "0.0");
                                 }),
                                 "Поле базы данных", true);
    PictureToolButton = makeButton(
        panel, 306, 4, glyph([](QPainter& p) {
            p.setPen(Qt::black);
            p.setBrush(Qt::white);
            p.drawRect(QRectF(2, 3, 18, 16));
            p.setBrush(QColor(60, 150, 60));
            p.drawPolygon(QPolygonF({QPointF(3, 18), QPointF(9, 9), QPointF(13, 14), QPointF(19, 18)}));
        }),
        "Рисунок", true);
    PaletteToolButton = makeButton(panel, 336, 4, glyph([](QPainter& p) {
                                       p.setPen(Qt::black);
                                       p.setBrush(QColor(0, 255, 0));
                                       p.drawRect(QRectF(1, 8, 20, 6));
                                   }),
                                   "Палитра", true);
    toolGroup_->addButton(SelectToolButton, int(Tool::Select));
    toolGroup_->addButton(TextToolButton, int(Tool::Text));
    toolGroup_->addButton(FieldToolButton, int(Tool::Field));
    toolGroup_->addButton(PictureToolButton, int(Tool::Picture));
    toolGroup_->addButton(PaletteToolButton, int(Tool::Palette));
    SelectToolButton->setChecked(true);

    auto* gridLabel = new QLabel("Шаг сетки", panel);
    gridLabel->setGeometry(6, 40, 90, 18);
    GridStepBox = new QSpinBox(panel);
    GridStepBox->setGeometry(6, 58, 60, 26);
    GridStepBox->setRange(5, 30);
    GridStepBox->setValue(8);

    auto* moveLabel = new QLabel("Смещение схемы", panel);
    moveLabel->setGeometry(110, 40, 120, 18);
    MoveLeftButton = makeButton(panel, 110, 58, arrowGlyph(-1, 0), "Влево");
    MoveUpButton = makeButton(panel, 140, 58, arrowGlyph(0, -1), "Вверх");
    MoveRightButton = makeButton(panel, 170, 58, arrowGlyph(1, 0), "Вправо");
    MoveDownButton = makeButton(panel, 200, 58, arrowGlyph(0, 1), "Вниз");
    for (QToolButton* b : {MoveLeftButton, MoveUpButton, MoveRightButton, MoveDownButton})
        b->setGeometry(b->x(), b->y(), 28, 28);
    auto* stepLabel = new QLabel("Шаг смещения", panel);
    stepLabel->setGeometry(246, 40, 110, 18);
    MoveStepBox = new QSpinBox(panel);
    MoveStepBox->setGeometry(246, 58, 70, 26);
    MoveStepBox->setRange(-10000, 10000);
    MoveStepBox->setValue(2);

    VectorList = new QComboBox(panel);
    VectorList->setGeometry(246, 4, 100, 24);
    for (const auto& n : library_->sectionNames())
        VectorList->addItem(q(n));
    VectorList->setCurrentIndex(VectorList->count() > 0 ? 0 : -1);
    VectorList->hide();
    VectorScaleBox = new QSpinBox(panel);
    VectorScaleBox->setGeometry(350, 4, 50, 24);
    VectorScaleBox->setRange(1, 10);
    VectorScaleBox->setValue(2);
    VectorScaleBox->hide();

    PalettePanel = new QWidget(panel);
    PalettePanel->setGeometry(372, 0, 510, 90);
    PalettePreviewBox = new QLabel(PalettePanel);
    PalettePreviewBox->setGeometry(4, 2, 57, 57);
    PalettePreviewBox->setAlignment(Qt::AlignCenter);
    PalettePreviewBox->setFrameShape(QFrame::Box);
    PaletteColourBox = new QComboBox(PalettePanel);
    PaletteColourBox->setGeometry(0, 62, 104, 26);
    const auto& names = colourNames();
    auto addColour = [this](const NamedValue& n) {
        PaletteColourBox->addItem(swatch(toQColor(n.value)), QString(n.name).mid(2), QVariant(uint(n.value)));
    };
    for (size_t i = 0; i < 16; ++i) // the standard colours
        addColour(names[i]);
    for (size_t i = 16; i < 20; ++i) // the extended ones
        addColour(names[i]);
    for (const auto& n : names) // the system colours
        if ((n.value & 0xFF000000u) == 0xFF000000u) addColour(n);
    PaletteColourBox->addItem("Другой...", QVariant());
    PaletteColourBox->setCurrentIndex(0);
    connect(PaletteColourBox, &QComboBox::activated, this, &TForm3::colourChosen);

    const auto& pics = palettePictures();
    for (size_t i = 0; i < pics.size(); ++i) {
        auto* b = new QToolButton(PalettePanel);
        b->setGeometry(112 + int(i % 11) * 36, 16, 34, 34);
        QImage img = pics[i].image;
        if (img.width() > 30 || img.height() > 30)
            img = img.scaled(30, 30, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        b->setIcon(QIcon(QPixmap::fromImage(img)));
        b->setIconSize(QSize(30, 30));
        b->setToolTip(pics[i].name);
        connect(b, &QToolButton::clicked, this, [this, i] { palettePick(int(i)); });
        PaletteButtons.push_back(b);
    }
    PalettePanel->hide();

    connect(NewButton, &QToolButton::clicked, this, &TForm3::newScheme);
    connect(OpenButton, &QToolButton::clicked, this, &TForm3::openScheme);
    connect(SaveButton, &QToolButton::clicked, this, [this] { save(); });
    connect(modeGroup_, &QButtonGroup::idClicked, this, [this](int id) { setMode(Mode(id)); });
    connect(toolGroup_, &QButtonGroup::idClicked, this, [this](int id) { setTool(Tool(id)); });
    connect(MoveLeftButton, &QToolButton::clicked, this, [this] { moveScheme(-1, 0); });
    connect(MoveUpButton, &QToolButton::clicked, this, [this] { moveScheme(0, -1); });
    connect(MoveRightButton, &QToolButton::clicked, this, [this] { moveScheme(1, 0); });
    connect(MoveDownButton, &QToolButton::clicked, this, [this] { moveScheme(0, 1); });

    // undo and redo while the focus is in the editor (on the drawing area edit mode takes the keys itself)
    UndoAction = new QAction("Отменить", this);
    UndoAction->setShortcuts(keysOf(QKeySequence::Undo, {QKeySequence(Qt::CTRL | Qt::Key_Z)}));
    RedoAction = new QAction("Повторить", this);
    RedoAction->setShortcuts(keysOf(QKeySequence::Redo, {QKeySequence(Qt::CTRL | Qt::Key_Y),
                                                         QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z)}));
    for (QAction* a : {UndoAction, RedoAction}) {
        a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        addAction(a);
    }
    connect(UndoAction, &QAction::triggered, this, &TForm3::undoRequested);
    connect(RedoAction, &QAction::triggered, this, &TForm3::redoRequested);
}

void TForm3::setHost(SchemeEditorHost* host) {
    host_ = host;
    if (host_) {
        fieldDialog_->setStateTable(host_->stateTable());
        fieldDialog_->setFieldText(host_->fieldText());
    }
}

void TForm3::dockInto(QWidget* strip) {
    setParent(strip, Qt::Widget);
    move(0, 0);
    show();
    emit docked();
}

void TForm3::undock() {
    setParent(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint);
}

// ---------------------------------------------------------------- modes and tools

void TForm3::drawGrid() {
    const int step = GridStepBox->value();
    grid_ = QImage(kGridWidth, kGridHeight, QImage::Format_RGB32);
    grid_.fill(Qt::white);
    const QRgb black = qRgb(0, 0, 0);
    for (int i = 0; i <= kGridWidth / step; ++i)
        for (int j = 0; j <= kGridHeight / step; ++j)
            if (step * i < kGridWidth && step * j < kGridHeight) grid_.setPixel(step * i, step * j, black);
}

void TForm3::setMode(Mode m) {
    mode_ = m;
    modeGroup_->button(int(m))->setChecked(true);
    switch (m) {
    case Mode::Wallpaper:
        snapStep_ = 8;
        if (host_) host_->showGridLayer(QImage());
        break;
    case Mode::Free:
        snapStep_ = 1;
        drawGrid();
        if (host_) host_->showGridLayer(grid_);
        break;
    case Mode::Grid:
        snapStep_ = GridStepBox->value();
        drawGrid();
        if (host_) host_->showGridLayer(grid_);
        break;
    }
    if (host_) host_->setSnapStep(snapStep_);
}

void TForm3::setTool(Tool t) {
    tool_ = t;
    toolGroup_->button(int(t))->setChecked(true);
    PalettePanel->setVisible(t == Tool::Palette);
}

// ---------------------------------------------------------------- palette

QColor TForm3::paletteColour() const {
    QVariant v = PaletteColourBox->currentData();
    return v.isValid() ? toQColor(v.toUInt()) : QColor(Qt::black);
}

void TForm3::setPaletteColour(QColor c) {
    for (int i = 0; i < PaletteColourBox->count(); ++i) {
        QVariant v = PaletteColourBox->itemData(i);
        if (v.isValid() && toQColor(v.toUInt()) == c) {
            PaletteColourBox->setCurrentIndex(i);
            lastColourIndex_ = i;
            return;
        }
    }
    const int custom = PaletteColourBox->count() - 1;
    const uint32_t tc = uint32_t(c.red()) | uint32_t(c.green()) << 8 | uint32_t(c.blue()) << 16;
    PaletteColourBox->setItemData(custom, QVariant(uint(tc)));
    PaletteColourBox->setItemIcon(custom, swatch(c));
    PaletteColourBox->setCurrentIndex(custom);
    lastColourIndex_ = custom;
}

void TForm3::colourChosen(int index) {
    if (index == PaletteColourBox->count() - 1) {
        QVariant v = PaletteColourBox->itemData(index);
        std::optional<uint32_t> c;
        if (chooseCustomColour) c = chooseCustomColour(this, v.isValid() ? v.toUInt() : clBlack);
        if (!c) {
            PaletteColourBox->setCurrentIndex(lastColourIndex_);
            return;
        }
        setPaletteColour(toQColor(*c));
        return;
    }
    lastColourIndex_ = index;
}

void TForm3::palettePick(int index) {
    const auto& pics = palettePictures();
    if (index < 0 || size_t(index) >= pics.size()) return;
    preview_ = recolour(pics[size_t(index)].image, paletteColour());
    showPreview();
}

void TForm3::showPreview() {
    QImage img = preview_;
    if (img.width() > 57 || img.height() > 57) img = img.scaled(55, 55, Qt::KeepAspectRatio);
    PalettePreviewBox->setPixmap(QPixmap::fromImage(img));
}

// ---------------------------------------------------------------- file commands

void TForm3::newScheme() {
    if (!host_) return;
    host_->showArea();
    host_->clearScheme();
}

void TForm3::openScheme() {
    if (!host_ || !chooseTemplateFile) return;
    const QString path = chooseTemplateFile(this);
    if (path.isEmpty() || !QFile::exists(path)) return;
    host_->loadScheme(path.toStdString());
    host_->schemeChanged();
}

void TForm3::reportSaveError(const std::string& path, const std::exception& e) {
    if (errorHandler) errorHandler("TForm3", q(e.what()));
    QMessageBox::critical(this, kTitle, q(kSaveErrorText + path), QMessageBox::Ok);
}

bool TForm3::save() {
    if (!host_) return false;
    const std::string path = host_->currentSchemePath();
    QMessageBox::information(this, kTitle, q(path), QMessageBox::Ok);
    std::error_code ec;
    if (!path.empty() && std::filesystem::is_regular_file(path, ec)) {
        const auto answer =
            QMessageBox::question(this, kTitle, kOverwriteQuestion,
                                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
        if (answer == QMessageBox::Yes) {
            try {
                saveSchemeFile(host_->scheme(), path);
            } catch (const std::exception& e) {
                reportSaveError(path, e);
                return false;
            }
            host_->setSchemeModified(false);
            return true;
        }
        if (answer != QMessageBox::No) return false;
    }
    if (!saveAsNew()) return false;
    host_->setSchemeModified(false);
    return true;
}

bool TForm3::saveAsNew() {
    if (!host_) return false;
    dbf::Table& objects = host_->objects();
    // a record the object master is entering or changing is the object too; it has no row number yet
    const bool pending = objects.isOpen() && objects.state() != dbf::Table::State::Browse;
    if (!objects.isOpen() || (!pending && objects.recNo() == 0)) return false;
    const QString description =
        QInputDialog::getText(this, "Новая схема", "Введите описание новой схемы", QLineEdit::Normal, "");
    const int type = int(objects.asInt("DEVTYPE"));
    const std::optional<int> number = nextFreeSchemeNumber(programDir_, type);
    if (!number) return false; // every number of the type is taken: nothing is saved
    // the type's folder as it is spelled on disk; a missing one is not created and the save fails
    std::string path = schemePath(programDir_, type, *number);
    const std::string folder = findPathNoCase(programDir_, "Circuits/" + std::to_string(type));
    if (!folder.empty()) path = folder + "/S" + std::to_string(*number) + ".MNS";
    try {
        saveSchemeFile(host_->scheme(), path);
        writeSchemeDescription(schemeListPath(programDir_), type, *number, description.toStdString());
    } catch (const std::exception& e) {
        reportSaveError(path, e);
        return false;
    }
    try {
        if (pending) {
            // the master posts the record with the rest of what is entered
            objects.setInt("SCHTYPE", *number);
        } else {
            objects.edit();
            objects.setInt("SCHTYPE", *number);
            objects.post();
            objects.refresh();
        }
    } catch (const std::exception& e) {
        if (!pending && objects.state() != dbf::Table::State::Browse) objects.cancel();
        reportSaveError(path, e);
        return false;
    }
    host_->setCurrentSchemePath(path);
    host_->schemeNumberChanged(*number);
    return true;
}

// ---------------------------------------------------------------- editing

void TForm3::moveScheme(int dx, int dy) {
    if (!host_) return;
    emit aboutToEdit();
    host_->setSchemeModified(true);
    const int step = MoveStepBox->value();
    for (auto& e : host_->scheme().elements()) {
        e.set("Left", PropValue::makeInt(e.left() + dx * step));
        e.set("Top", PropValue::makeInt(e.top() + dy * step));
    }
    host_->schemeChanged();
}

Element* TForm3::addElement(Element e) {
    auto& list = host_->scheme().elements();
    list.push_back(std::move(e));
    host_->schemeChanged();
    return &list.back();
}

void TForm3::placeElement(QPoint p) {
    if (!host_) return;
    Scheme& scheme = host_->scheme();
    switch (tool_) {
    case Tool::Select:
        return;
    case Tool::Palette: {
        if (preview_.isNull()) return;
        Element e(ElementClass::Image, scheme.nextName("MImage"));
        e.setBounds(p.x() - preview_.width() / 2, p.y() - preview_.height() / 2, preview_.width(),
                    preview_.height());
        e.setPicture({PictureKind::Bitmap, encodeBmp24(preview_)});
        e.set("Stretch", boolValue(true));
        e.set("Transparent", boolValue(true));
        addElement(std::move(e));
        return; // the palette tool stays pressed
    }
    case Tool::Picture: {
        const QString file = choosePictureFile ? choosePictureFile(this) : QString();
        if (!file.isEmpty() && QFile::exists(file)) {
            try {
                Picture pic = pictureFromFile(file.toStdString());
                QImage img = pictureImage(pic);
                if (img.isNull()) throw SchemeError("no picture");
                Element e(ElementClass::Image, scheme.nextName("MImage"));
                e.setBounds(p.x() - img.width() / 2, p.y() - img.height() / 2, img.width(), img.height());
                e.setPicture(pic);
                e.set("Stretch", boolValue(true));
                e.set("Transparent", boolValue(true));
                addElement(std::move(e));
            } catch (const SchemeError&) {
                QMessageBox::critical(this, kTitle, kPictureErrorText + file, QMessageBox::Ok);
            }
        } else if (std::optional<Element> v =
                       makeVectorElement(*library_, VectorList->currentText().toStdString(),
                                         VectorScaleBox->value(), p, scheme)) {
            addElement(std::move(*v));
        }
        setTool(Tool::Select);
        return;
    }
    case Tool::Text: {
        const std::string name = scheme.nextName("Text");
        Element e(ElementClass::Label, name);
        e.set("Caption", PropValue::makeString(name));
        const QSize s = labelExtent(e, scheme.area, q(name));
        e.setBounds(p.x() - s.width() / 2, p.y() - s.height() / 2, s.width(), s.height());
        // the look last used in the text dialog
        const Element& look = textDialog_->preview();
        e.setFont(look.font());
        e.set("Color", PropValue::makeInt(int32_t(look.color())));
        e.set("ParentColor", boolValue(false));
        e.set("Transparent", boolValue(look.transparent()));
        e.set("AutoSize", boolValue(look.autoSize()));
        e.set("Width", PropValue::makeInt(look.width()));
        e.set("Height", PropValue::makeInt(look.height()));
        e.set("Alignment",
              look.find("Alignment") ? *look.find("Alignment") : PropValue::makeIdent("taLeftJustify"));
        addElement(std::move(e));
        textDialog_->editLabel(scheme, name);
        host_->schemeChanged();
        setTool(Tool::Select);
        return;
    }
    case Tool::Field: {
        fieldDialog_->setStateTable(host_->stateTable());
        fieldDialog_->setFieldText(host_->fieldText());
        if (fieldDialog_->showFor(nullptr, scheme.area) == QDialog::Accepted) {
            const Element& look = fieldDialog_->preview();
            Element& target = host_->scheme().elements().emplace_back(ElementClass::DBText,
                                                                      host_->scheme().nextName("DBText"));
            target.setBounds(p.x() - look.width() / 2, p.y() - look.height() / 2, look.width(),
                             look.height());
            target.set("DataSource", PropValue::makeIdent(kStateSourceName));
            target.set("DataField", PropValue::makeString(look.dataField()));
            target.setFont(look.font());
            target.set("Color", PropValue::makeInt(int32_t(look.color())));
            target.set("ParentColor", boolValue(false));
            target.set("Transparent", boolValue(look.transparent()));
            target.set("Alignment", look.find("Alignment") ? *look.find("Alignment")
                                                           : PropValue::makeIdent("taLeftJustify"));
            target.set("AutoSize", boolValue(false));
            host_->schemeChanged();
        }
        setTool(Tool::Select);
        return;
    }
    }
}

// ---------------------------------------------------------------- closing

bool TForm3::closeQuery() {
    setMode(Mode::Wallpaper);
    if (!host_ || !host_->schemeModified()) return true;
    const auto answer =
        QMessageBox::warning(this, kTitle, kCloseQuestion,
                             QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, QMessageBox::Yes);
    if (answer == QMessageBox::No) return true;
    if (answer != QMessageBox::Yes) return false;
    save();
    return !host_->schemeModified();
}

void TForm3::closeEvent(QCloseEvent* e) {
    if (!closeQuery()) {
        e->ignore();
        return;
    }
    e->accept();
    if (host_) host_->showGridLayer(QImage());
    emit closed();
}

} // namespace schemes
