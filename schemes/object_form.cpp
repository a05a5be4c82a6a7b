#include "schemes/object_form.h"

#include "dbf/codec.h"
#include "devdata/catalogue.h"
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "schemes/processes.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QHelpEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QShowEvent>
#include <QToolTip>
#include <cstdio>

static void initSchemeResources() {
    Q_INIT_RESOURCE(schemes);
}

namespace schemes {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// The background delivered inside the program, for a program folder without "wallpaper.jpg".
QImage builtInBackground() {
    initSchemeResources();
    QFile f(":/schemes/background.jpg");
    if (!f.open(QIODevice::ReadOnly)) return QImage();
    QByteArray b = f.readAll();
    return decodeJpeg(reinterpret_cast<const uint8_t*>(b.constData()), size_t(b.size()));
}

// Every picture of the elements must decode, or the scheme is not loaded.
void checkPictures(const Element& e) {
    if (e.cls() == ElementClass::Image && e.has("Picture.Data")) pictureImage(e.picture());
    for (const auto& c : e.children())
        checkPictures(c);
}

} // namespace

// ---------------------------------------------------------------- drawing area

DrawingArea::DrawingArea(QWidget* parent) : QFrame(parent) {
    setObjectName(kAreaName);
    setFixedSize(kAreaWidth, kAreaHeight);
}

void DrawingArea::setWallpaper(const QImage& image) {
    wallpaper_ = image;
    update();
}

void DrawingArea::setCaption(const QString& c) {
    caption_ = c;
    update();
}

std::optional<ShownField> DrawingArea::shownField(const std::string& name) const {
    if (!scheme_) return std::nullopt;
    return schemes::shownField(scheme_->area, name, fieldText_);
}

QString DrawingArea::hintAt(QPoint p) const {
    return scheme_ ? fieldHintAt(scheme_->area, p, fieldText_) : QString();
}

bool DrawingArea::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        const QString hint = hintAt(help->pos());
        if (hint.isEmpty()) {
            QToolTip::hideText();
            e->ignore();
        } else {
            QToolTip::showText(help->globalPos(), hint, this);
        }
        return true;
    }
    return QFrame::event(e);
}

void DrawingArea::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect inside(kAreaBevel, kAreaBevel, kAreaWidth - 2 * kAreaBevel, kAreaHeight - 2 * kAreaBevel);
    p.fillRect(rect(), toQColor(clBtnFace));
    // the lowered bevel, two pixels
    const QColor shadow = toQColor(0xFF000010), light = toQColor(0xFF000014);
    for (int i = 0; i < kAreaBevel; ++i) {
        QRect r = rect().adjusted(i, i, -i - 1, -i - 1);
        p.setPen(shadow);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(light);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    }
    if (!wallpaper_.isNull()) p.drawImage(inside, wallpaper_);
    if (scheme_) {
        p.save();
        p.setClipRect(inside);
        paintElements(p, scheme_->area, fieldText_);
        p.restore();
    }
    if (!caption_.isEmpty()) {
        p.setFont(scheme_ ? toQFont(scheme_->area.font()) : font());
        p.setPen(Qt::black);
        p.drawText(inside, Qt::AlignCenter, caption_);
    }
}

// ---------------------------------------------------------------- the window

TOBJECTFORM::TOBJECTFORM(std::string programDir, dbf::Table& objects, std::string dataDir, QWidget* parent)
    : QDialog(parent), programDir_(std::move(programDir)), objects_(objects), dataDir_(std::move(dataDir)) {
    setObjectName("OBJECTFORM");
    setWindowTitle("Объект");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowStaysOnTopHint |
                   Qt::WindowCloseButtonHint | Qt::WindowTitleHint);
    setFixedSize(kAreaWidth, 683);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, toQColor(clBtnFace));
    setPalette(pal);

    buildHeader();
    ToolStrip = new QWidget(this);
    ToolStrip->setGeometry(0, 0, kAreaWidth, 89);
    ToolStrip->hide();
    ToolStrip->installEventFilter(this);

    Dr = new DrawingArea(this);
    Dr->move(0, 92);
    Dr->setScheme(&scheme_);
    Dr->setFieldText([this](const std::string& field) { return fieldText(field); });

    const std::string wallpaper = findPathNoCase(devdata::deliveredFile(programDir_, ""), "wallpaper.jpg");
    QImage img = wallpaper.empty() ? QImage() : loadJpegFile(wallpaper);
    Dr->setWallpaper(img.isNull() ? builtInBackground() : img);
}

bool TOBJECTFORM::eventFilter(QObject* watched, QEvent* event) {
    if (watched == ToolStrip && (event->type() == QEvent::Show || event->type() == QEvent::Hide)) relayout();
    return QDialog::eventFilter(watched, event);
}

void TOBJECTFORM::relayout() {
    // the strip has the header's height and sits above it while the editor is docked
    const int strip = ToolStrip->isVisibleTo(this) ? 89 : 0;
    Header->move(0, strip);
    Dr->move(0, strip + 92);
    setFixedSize(kAreaWidth, 683 + strip);
}

TOBJECTFORM::~TOBJECTFORM() {
    state_.close();
}

void TOBJECTFORM::buildHeader() {
    Header = new QWidget(this);
    Header->setGeometry(0, 0, kAreaWidth, 89);
    Header->setAutoFillBackground(true);
    QPalette pal = Header->palette();
    pal.setColor(QPalette::Window, Qt::white);
    Header->setPalette(pal);

    auto label = [this](const QString& text, int x, int y, int w, int px, bool bold, QColor colour) {
        auto* l = new QLabel(text, Header);
        l->setGeometry(x, y, w, px + 8);
        QFont f = l->font();
        f.setPixelSize(px);
        f.setBold(bold);
        l->setFont(f);
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, colour);
        l->setPalette(p);
        return l;
    };
    const QColor blue(0, 0, 255);
    DeskriptionText = label("", 8, 4, 560, 14, true, blue);
    AddresText = label("", 8, 24, 560, 18, true, blue);
    label("Время последнего соединения", 8, 52, 200, 12, false, Qt::black);
    ConTimeText = label("", 210, 52, 70, 12, true, Qt::black);
    ConDateText = label("", 282, 52, 90, 12, true, Qt::black);
    label("Соединение/ последнее", 8, 68, 200, 12, false, Qt::black);
    StateText = label("", 210, 68, 250, 12, true, Qt::black);

    EditPanel = new QWidget(Header);
    EditPanel->setGeometry(420, 4, 160, 80);
    SchemeEditorButton = new QPushButton("Мастер схем", EditPanel);
    SchemeEditorButton->setGeometry(4, 6, 150, 30);
    SchemeNumberText = new QLabel("Схема ", EditPanel);
    SchemeNumberText->setGeometry(8, 44, 150, 24);
    EditPanel->hide();
    connect(SchemeEditorButton, &QPushButton::clicked, this, &TOBJECTFORM::schemeEditorRequested);

    ButtonGroup = new QGroupBox(Header);
    ButtonGroup->setGeometry(590, 2, 190, 84);
    StateButton = new QPushButton("Состояние", ButtonGroup);
    StateButton->setGeometry(8, 10, 174, 32);
    ArchiveButton = new QPushButton(" АРХИВ", ButtonGroup);
    ArchiveButton->setGeometry(8, 46, 174, 32);
    ConnectionButton = new QPushButton("Соединение", Header);
    ConnectionButton->setGeometry(790, 8, 100, 74);
    ProtocolButton = new QPushButton("Протокол", Header);
    ProtocolButton->setGeometry(896, 8, 100, 74);
    ProtocolButton->setToolTip("Переключение встроенных протоколов обмена стандартного на Modbus RTU");
    ProtocolButton->hide();
    connect(StateButton, &QPushButton::clicked, this, &TOBJECTFORM::state);
    connect(ArchiveButton, &QPushButton::clicked, this, &TOBJECTFORM::archive);
    connect(ConnectionButton, &QPushButton::clicked, this, &TOBJECTFORM::connection);
    connect(ProtocolButton, &QPushButton::clicked, this, &TOBJECTFORM::protocol);
}

void TOBJECTFORM::setDataDir(const std::string& dir) {
    dataDir_ = dir;
    state_.close();
    stateType_ = stateNum_ = -1;
}

void TOBJECTFORM::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (e->spontaneous()) return;
    if (keepOnShow_)
        keepOnShow_ = false;
    else
        showObject();
}

void TOBJECTFORM::warn(const QString& text) {
    QMessageBox::warning(this, windowTitle(), text, QMessageBox::Ok);
}

void TOBJECTFORM::showObject() {
    clearScheme();
    if (!objects_.isOpen() || objects_.recNo() == 0) {
        readHeader();
        return;
    }
    devType_ = int(objects_.asInt("DEVTYPE"));
    schemeNo_ = int(objects_.asInt("SCHTYPE"));
    readHeader();
    openState();
    const std::string path = findSchemeFile(programDir_, devType_, schemeNo_);
    if (!path.empty()) {
        schemePath_ = path;
        if (loadScheme(path)) {
            Dr->setCaption("");
        } else {
            schemePath_.clear();
            clearScheme();
        }
    }
    Dr->update();
}

bool TOBJECTFORM::presentScheme(const std::string& path) {
    clearScheme();
    // the record the master is entering has no row number yet and is the object all the same
    if (objects_.isOpen() && (objects_.recNo() != 0 || objects_.state() != dbf::Table::State::Browse)) {
        devType_ = objects_.isNull("DEVTYPE") ? 0 : int(objects_.asInt("DEVTYPE"));
        schemeNo_ = objects_.isNull("SCHTYPE") ? 0 : int(objects_.asInt("SCHTYPE"));
    }
    readHeader();
    openState();
    keepOnShow_ = !isVisible();
    schemePath_ = path;
    if (loadScheme(path)) {
        Dr->setCaption("");
        return true;
    }
    schemePath_.clear();
    clearScheme();
    Dr->setCaption(kNoSchemeText);
    return false;
}

bool TOBJECTFORM::loadScheme(const std::string& path) {
    scheme_.elements().clear();
    Dr->update();
    emit schemeReplaced();
    try {
        Scheme s = loadSchemeFile(path);
        try {
            checkPictures(s.area);
        } catch (const SchemeError& e) {
            throw SchemeLoadError(path, e.what());
        }
        scheme_ = std::move(s);
        fitAutoSizedLabels(scheme_.area);
        Dr->setCaption(q(scheme_.area.caption()));
        return true;
    } catch (const SchemeError& e) {
        QMessageBox::critical(this, windowTitle(), q(loadErrorMessage(path)), QMessageBox::Ok);
        return false;
    }
}

void TOBJECTFORM::saveScheme(const std::string& path) const {
    Scheme s = scheme_;
    if (Dr->caption().isEmpty())
        s.area.unset("Caption");
    else
        s.area.set("Caption", PropValue::makeString(Dr->caption().toStdString()));
    fitAutoSizedLabels(s.area);
    saveSchemeFile(s, path);
}

void TOBJECTFORM::clearScheme() {
    emit schemeReplaced();
    scheme_.elements().clear();
    Dr->setCaption("");
    Dr->update();
}

void TOBJECTFORM::readHeader() {
    auto text = [this](const char* field) {
        if (!objects_.isOpen() || objects_.recNo() == 0) return QString();
        try {
            return objects_.isNull(field) ? QString() : q(objects_.asString(field));
        } catch (const std::exception&) {
            return QString();
        }
    };
    DeskriptionText->setText(text("DESKRIPTION"));
    AddresText->setText(text("ADDRES"));
    ConTimeText->setText(text("CON_TIME"));
    ConDateText->setText(text("CON_DATE"));
    StateText->setText(text("STATE"));
    SchemeNumberText->setText("Схема " + text("SCHTYPE"));
}

void TOBJECTFORM::openState() {
    // Reopened at every re-read: the poll creates the table at its first state read, and a table that was
    // made anew must not be read through an old handle.
    state_.close();
    stateType_ = stateNum_ = -1;
    if (!objects_.isOpen() || objects_.recNo() == 0) return;
    try {
        const int type = int(objects_.asInt("DEVTYPE"));
        const int num = int(objects_.asInt("NUM"));
        const std::string name = devdata::stateTableName(type);
        if (!dbf::tableExists(dataDir_, name)) return;
        state_.open(dataDir_, name);
        if (state_.fieldIndex("NUMSTATE") < 0) {
            state_.close();
            return;
        }
        state_.setFilter("NUMSTATE=" + std::to_string(num));
        state_.setFiltered(true);
        state_.first();
        stateType_ = type;
        stateNum_ = num;
    } catch (const std::exception&) {
        state_.close();
    }
}

std::optional<std::string> TOBJECTFORM::fieldText(const std::string& field) const {
    auto& t = const_cast<dbf::Table&>(state_);
    if (!t.isOpen() || t.recNo() == 0 || t.fieldIndex(field) < 0) return std::nullopt;
    try {
        return t.isNull(field) ? std::string() : t.asString(field);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void TOBJECTFORM::dataChanged() {
    if (objects_.isOpen()) {
        try {
            objects_.refresh();
        } catch (const std::exception&) {
        }
    }
    readHeader();
    openState();
    if (isVisible() && objects_.isOpen() && objects_.recNo() != 0) {
        // the poll may have identified the device and changed its type
        int type = int(objects_.asInt("DEVTYPE")), number = int(objects_.asInt("SCHTYPE"));
        if (type != devType_ || number != schemeNo_) showObject();
    }
    Dr->update();
}

void TOBJECTFORM::state() {
    emit stateRequested();
}

void TOBJECTFORM::connection() {
    if (isPollRunning && isPollRunning()) {
        QMessageBox::information(this, windowTitle(), kPollActiveText, QMessageBox::Ok);
        return;
    }
    emit connectionRequested();
    dataChanged();
}

void TOBJECTFORM::done(int r) {
    if (closeQuery && !closeQuery()) return;
    clearScheme();
    QDialog::done(r);
}

bool TOBJECTFORM::writeSnapshot(const std::string& path) const {
    auto prop = [](const char* name, PropValue v) { return Property{name, std::move(v)}; };
    ObjectBlock form;
    form.name = "OBJECTFORM";
    form.className = "TOBJECTFORM";
    form.properties = {prop("Left", PropValue::makeInt(x())), prop("Top", PropValue::makeInt(y())),
                       prop("Width", PropValue::makeInt(width())),
                       prop("Height", PropValue::makeInt(height())),
                       prop("Caption", PropValue::makeString(windowTitle().toStdString()))};
    int k = 0;
    for (const QLabel* l : Header->findChildren<QLabel*>()) {
        ObjectBlock b;
        b.name = "Label" + std::to_string(++k);
        b.className = "TLabel";
        b.properties = {prop("Left", PropValue::makeInt(l->x())), prop("Top", PropValue::makeInt(l->y())),
                        prop("Caption", PropValue::makeString(l->text().toStdString())),
                        prop("Visible", PropValue::makeIdent(l->isVisibleTo(this) ? "True" : "False"))};
        form.children.push_back(b);
    }
    for (const QPushButton* btn : findChildren<QPushButton*>()) {
        ObjectBlock b;
        b.name = "Button" + std::to_string(++k);
        b.className = "TButton";
        b.properties = {prop("Caption", PropValue::makeString(btn->text().toStdString())),
                        prop("Enabled", PropValue::makeIdent(btn->isEnabled() ? "True" : "False")),
                        prop("Visible", PropValue::makeIdent(btn->isVisibleTo(this) ? "True" : "False"))};
        form.children.push_back(b);
    }
    form.children.push_back(toBlock(scheme_.area));
    // written beside the file and renamed over it: whatever lies under the name is replaced, never opened
    return !path.empty() && devdata::replaceFile(path, writeObjectText(form) + "\r\n");
}

std::string TOBJECTFORM::reportProgramPath() const {
    return devdata::programFile(programDir_, "Zorbel.dll");
}

std::string TOBJECTFORM::configuratorPath() const {
    return devdata::programFile(programDir_, "Tolvan.dll");
}

void TOBJECTFORM::archive() {
    terminateProcessesNamed(reportProcesses);
    QCoreApplication::processEvents();
    if (!objects_.isOpen() || objects_.recNo() == 0) {
        warn("Архив отсутствует");
        return;
    }
    const int serial = int(objects_.asInt("SERIALNUM"));
    const int type = int(objects_.asInt("DEVTYPE"));
    const std::vector<int> order = settings_.archType == 1
                                       ? std::vector<int>{devdata::kHourlyArchive, devdata::kDailyArchive}
                                       : std::vector<int>{devdata::kDailyArchive, devdata::kHourlyArchive};
    for (int kind : order) {
        if (!dbf::tableExists(dataDir_, devdata::archiveTableName(serial, kind, type))) continue;
        const QString letter(QChar(devdata::archiveKindLetter(kind)));
        QProcess::startDetached(q(reportProgramPath()),
                                {"vrelt", QString::number(serial), letter, "/R", QString::number(type),
                                 QString::number(settings_.archFilter)},
                                q(programDir_));
        return;
    }
    warn("Архив отсутствует");
}

void TOBJECTFORM::protocol() {
    const std::string path = configuratorPath();
    if (!QFile::exists(q(path))) {
        warn("Конфигуратор Modbus не найден.");
        return;
    }
    if (!objects_.isOpen() || objects_.recNo() == 0) return;
    QProcess::startDetached(q(path),
                            {"vrelt", q(objects_.asString("COMPORT")).trimmed(),
                             QString::number(objects_.asInt("SERIALNUM")), "0",
                             QString::number(objects_.asInt("DEVTYPE"))},
                            q(programDir_));
}

void TOBJECTFORM::setPollRunning(bool running) {
    ProtocolButton->setVisible(!running);
    ProtocolButton->setEnabled(!running);
}

} // namespace schemes
