#include "devdata/state_windows.h"

#include "devdata/error_texts.h"

#include "devdata/catalogue.h"
#include "ui/texts.h"

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <array>

namespace devdata {

namespace {

QStringList bitLines(long long value, const std::array<const char*, 8>& lines) {
    // the error byte is taken modulo 256 (a negative number as its low byte)
    const unsigned byte = unsigned(value & 0xFF);
    QStringList out;
    for (int bit = 0; bit < 8; ++bit)
        if (byte & (1u << bit)) out << QString::fromUtf8(lines[size_t(bit)]);
    return out;
}

TStateWindow* g_shown = nullptr;

} // namespace

QStringList vexaKErrorLines(long long err) {
    return bitLines(err, oneSystemErrorTexts());
}

QStringList vexaPErrorLines(long long err) {
    return bitLines(err, twoSystemErrorTexts());
}

QString hardErrorMessage(long long hardErr) {
    if (hardErr == 0) return QString::fromUtf8(kNoHardErrorsText);
    QString text = QString::fromUtf8(kHardErrorsHeading);
    const auto& texts = deviceErrorTexts();
    for (size_t bit = 0; bit < texts.size(); ++bit)
        if (hardErr & (1ll << bit)) text += QString::fromUtf8(texts[bit]) + "\n\r";
    return text;
}

// ---- the common part

TStateWindow::TStateWindow(dbf::Table& view, const QString& groupCaption, QWidget* parent)
    : QDialog(parent), view_(view) {
    setWindowTitle(QString::fromUtf8(kStateWindowCaption));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    auto* outer = new QVBoxLayout(this);
    auto* box = new QGroupBox(groupCaption, this);
    box->setObjectName("GroupBox1");
    QFont bold = box->font();
    bold.setBold(true);
    box->setFont(bold);
    outer->addWidget(box);
    grid_ = new QGridLayout(box);
    // the device texts break their lines with "\n\r"
    inform = [this](const QString& text) {
        QMessageBox::information(this, windowTitle(), ui::displayLines(text));
    };
}

TStateWindow::~TStateWindow() {
    if (g_shown == this) g_shown = nullptr;
}

QGroupBox* TStateWindow::addGroup(const QString& caption, QGridLayout* into, int row, int column, int rowSpan,
                                  int columnSpan) {
    auto* g = new QGroupBox(caption);
    QFont normal = g->font();
    normal.setBold(false);
    g->setFont(normal);
    auto* grid = new QGridLayout(g);
    grid->setColumnStretch(0, 1);
    grid->setHorizontalSpacing(6);
    grid->setVerticalSpacing(3);
    into->addWidget(g, row, column, rowSpan, columnSpan);
    return g;
}

void TStateWindow::addValue(QGroupBox* group, const QString& caption, const std::string& field,
                            const QString& unit) {
    auto* grid = static_cast<QGridLayout*>(group->layout());
    const int row = grid->rowCount();
    grid->addWidget(new QLabel(caption), row, 0);
    auto* value = new QLabel;
    value->setObjectName(QString::fromStdString(field));
    value->setFrameShape(QFrame::Panel);
    value->setFrameShadow(QFrame::Sunken);
    value->setMinimumWidth(96);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setAutoFillBackground(true);
    QPalette p = value->palette();
    p.setColor(QPalette::Window, Qt::white);
    p.setColor(QPalette::WindowText, QColor(0, 0, 128));
    value->setPalette(p);
    QFont f = value->font();
    f.setBold(true);
    value->setFont(f);
    grid->addWidget(value, row, 1);
    grid->addWidget(new QLabel(unit), row, 2);
    bind(value, field);
}

void TStateWindow::bind(QLabel* label, const std::string& field) {
    bindings_.emplace_back(label, field);
}

QListWidget* TStateWindow::addErrorList(QGroupBox* group) {
    auto* grid = static_cast<QGridLayout*>(group->layout());
    int row = grid->rowCount();
    grid->addWidget(new QLabel(QString::fromUtf8("Описание обнаруженых ошибок")), row, 0, 1, 3);
    auto* list = new QListWidget;
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setFocusPolicy(Qt::NoFocus);
    list->setWordWrap(true);
    list->setMinimumHeight(90);
    list->setMaximumHeight(120);
    grid->addWidget(list, row + 1, 0, 1, 3);
    return list;
}

QLabel* TStateWindow::valueLabel(const QString& field) const {
    for (const auto& [label, name] : bindings_)
        if (QString::fromStdString(name) == field) return label;
    return nullptr;
}

QString TStateWindow::fieldText(const std::string& field) const {
    // A closed view (the type was never polled) or one without the field shows nothing.
    if (!view_.isOpen() || view_.fieldIndex(field) < 0) return {};
    try {
        return QString::fromStdString(view_.asString(field));
    } catch (const dbf::Error&) {
        return {};
    }
}

long long TStateWindow::fieldInt(const std::string& field) const {
    if (!view_.isOpen() || view_.fieldIndex(field) < 0) return 0;
    try {
        return view_.asInt(field);
    } catch (const dbf::Error&) {
        return 0;
    }
}

void TStateWindow::readView() {
    for (const auto& [label, field] : bindings_)
        label->setText(fieldText(field));
    readErrors();
}

void TStateWindow::viewChanged() {
    if (bound_) readView();
}

void TStateWindow::showEvent(QShowEvent* e) {
    bound_ = true;
    g_shown = this;
    readView();
    QDialog::showEvent(e);
}

void TStateWindow::hideEvent(QHideEvent* e) {
    bound_ = false;
    if (g_shown == this) g_shown = nullptr;
    QDialog::hideEvent(e);
}

// ---- TStateKesta

TStateKesta::TStateKesta(dbf::Table& view, QWidget* parent)
    : TStateWindow(view, QString::fromUtf8("Дублирующее устройство водосчетчика Kesta"), parent) {
    setObjectName("StateKesta");
    QGroupBox* s = addGroup(QString::fromUtf8("Система 1"), mainGrid(), 0, 0);
    addValue(s, QString::fromUtf8("Модификация Kesta (число каналов)"), "MOD", QString());
    const char* volumes[] = {"V11", "V21", "V31", "V41"};
    for (int c = 0; c < 4; ++c)
        addValue(s, QString::fromUtf8("Объем по каналу %1").arg(c + 1), volumes[c], QString::fromUtf8("м3"));
    const char* weights[] = {"V11_Ves", "V21_Ves", "V31_Ves", "V41_Ves"};
    for (int c = 0; c < 4; ++c)
        addValue(s, QString::fromUtf8("Вес импульса канала %1").arg(c + 1), weights[c],
                 QString::fromUtf8("л/имп."));
}

// ---- TStateVexaK

TStateVexaK::TStateVexaK(dbf::Table& view, QWidget* parent)
    : TStateWindow(view, QString::fromUtf8("Вычислитель Vexa-1К"), parent) {
    setObjectName("StateVexaK");
    QGroupBox* s = addGroup(QString::fromUtf8("Система 1"), mainGrid(), 0, 0);
    const QString m3 = QString::fromUtf8("м3"), deg = QString::fromUtf8("°С");
    addValue(s, QString::fromUtf8("Тепловая энергия"), "HEnergy1", QString::fromUtf8("Гкал"));
    addValue(s, QString::fromUtf8("Объем 1"), "V11", m3);
    addValue(s, QString::fromUtf8("Объем 2"), "V21", m3);
    addValue(s, QString::fromUtf8("Объем 3"), "V31", m3);
    addValue(s, QString::fromUtf8("Объем при уменьшенной температуре"), "Vmin", m3);
    addValue(s, QString::fromUtf8("Т1  (подача)"), "TemperF1", deg);
    addValue(s, QString::fromUtf8("Т2 (обратка)"), "TemperR1", deg);
    addValue(s, QString::fromUtf8("Т3 (ГВС)"), "TemperX1", deg);
    QGroupBox* e = addGroup(QString::fromUtf8("Электроэнергия"), static_cast<QGridLayout*>(s->layout()),
                            static_cast<QGridLayout*>(s->layout())->rowCount(), 0, 1, 3);
    addValue(e, QString::fromUtf8("Тариф 1"), "E1", QString::fromUtf8("кВт ч"));
    addValue(e, QString::fromUtf8("Тариф 2"), "E2", QString::fromUtf8("кВт ч"));
    addValue(s, QString::fromUtf8("Код ошибки"), "Err", QString());
    ErrorList = addErrorList(s);
}

void TStateVexaK::readErrors() {
    ErrorList->clear();
    ErrorList->addItems(vexaKErrorLines(fieldInt("Err")));
}

void TStateVexaK::changeEvent(QEvent* e) {
    QDialog::changeEvent(e);
    // the window closes itself as soon as it loses the focus
    if (e->type() == QEvent::ActivationChange && isVisible() && !isActiveWindow()) reject();
}

// ---- TStateVexaP and TStateVexaPM

TStateVexaP::TStateVexaP(dbf::Table& view, QWidget* parent)
    : TStateVexaP(view, QString::fromUtf8("Вычислитель Vexa-1П"), false, parent) {}

TStateVexaP::TStateVexaP(dbf::Table& view, const QString& groupCaption, bool masses, QWidget* parent)
    : TStateWindow(view, groupCaption, parent) {
    setObjectName(masses ? "StateVexaPM" : "StateVexaP");
    auto* top = new QHBoxLayout;
    auto* caption = new QLabel(QString::fromUtf8("Код ошибки устройства"));
    QFont normal = caption->font();
    normal.setBold(false);
    caption->setFont(normal);
    top->addWidget(caption);
    auto* hard = new QLabel;
    hard->setObjectName("HardErr");
    hard->setFrameShape(QFrame::Panel);
    hard->setFrameShadow(QFrame::Sunken);
    hard->setMinimumWidth(60);
    hard->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    top->addWidget(hard);
    bind(hard, "HardErr");
    HardErrButton = new QPushButton("?");
    HardErrButton->setFixedWidth(28);
    top->addWidget(HardErrButton);
    top->addStretch(1);
    mainGrid()->addLayout(top, 0, 0, 1, 2);
    connect(HardErrButton, &QPushButton::clicked, this, [this] { showHardErrors(); });

    const QString m3 = QString::fromUtf8("м3"), m3h = QString::fromUtf8("м3/ч"),
                  deg = QString::fromUtf8("°С"), mpa = QString::fromUtf8("МПа");
    for (int sys = 1; sys <= 2; ++sys) {
        const std::string n = std::to_string(sys);
        QGroupBox* g = addGroup(QString::fromUtf8("Система %1").arg(sys), mainGrid(), 1, sys - 1);
        addValue(g, QString::fromUtf8("Тепловая энергия"), "HEnergy" + n, QString::fromUtf8("Гкал"));
        for (int c = 1; c <= 3; ++c)
            addValue(g, QString::fromUtf8("Объем %1").arg(c), "V" + std::to_string(c) + n, m3);
        for (int c = 1; c <= 3; ++c)
            addValue(g, QString::fromUtf8("Расход %1").arg(c), "CurrV" + std::to_string(c) + n, m3h);
        if (masses)
            for (int c = 1; c <= 3; ++c)
                addValue(g, QString::fromUtf8("Масса %1").arg(c), "Weight" + std::to_string(c) + n,
                         QString::fromUtf8("т"));
        addValue(g, QString::fromUtf8("Т1  (подача)"), "TemperF" + n, deg);
        addValue(g, QString::fromUtf8("Т2 (обратка)"), "TemperR" + n, deg);
        addValue(g, QString::fromUtf8("Т3 (ГВС)"), "TemperX" + n, deg);
        addValue(g, QString::fromUtf8("Давление 1"), "Pressure1" + n, mpa);
        addValue(g, QString::fromUtf8("Давление 2"), "Pressure2" + n, mpa);
        addValue(g, QString::fromUtf8("Код ошибки системы"), "Err" + n, QString());
        (sys == 1 ? ErrorList1 : ErrorList2) = addErrorList(g);
    }
}

void TStateVexaP::readErrors() {
    ErrorList1->clear();
    ErrorList1->addItems(vexaPErrorLines(fieldInt("Err1")));
    ErrorList2->clear();
    ErrorList2->addItems(vexaPErrorLines(fieldInt("Err2")));
}

void TStateVexaP::showHardErrors() {
    inform(hardErrorMessage(fieldInt("HardErr")));
}

TStateVexaPM::TStateVexaPM(dbf::Table& view, QWidget* parent)
    : TStateVexaP(view, QString::fromUtf8("Вычислитель Vexa-1П M"), true, parent) {}

// ---- TstateOxel

TstateOxel::TstateOxel(dbf::Table& view, QWidget* parent)
    : TStateWindow(view, QString::fromUtf8("Расходомер электромагнитный Oxel"), parent) {
    setObjectName("StateOxel");
    QGroupBox* g = addGroup(QString(), mainGrid(), 0, 0);
    addValue(g, QString::fromUtf8("Oxel №"), "SerialNum", QString());
    addValue(g, QString::fromUtf8("Мгновенный расход"), "Flow", QString::fromUtf8("м3/ч"));
    addValue(g, QString::fromUtf8("Объем накопительный"), "VolumeL", QString::fromUtf8("м3"));
    addValue(g, QString::fromUtf8("Вес импульса"), "VesOut", QString::fromUtf8("л/имп."));
    addValue(g, QString::fromUtf8("Наработка"), "TimeWork", QString::fromUtf8("ч"));
    addValue(g, QString::fromUtf8("Ду"), "Dy", QString());
}

// ---- by device type

std::unique_ptr<TStateWindow> makeStateWindow(int deviceType, dbf::Table& view, QWidget* parent) {
    const std::string cls = stateWindowClass(deviceType);
    if (cls == "TStateKesta") return std::make_unique<TStateKesta>(view, parent);
    if (cls == "TStateVexaK") return std::make_unique<TStateVexaK>(view, parent);
    if (cls == "TStateVexaP") return std::make_unique<TStateVexaP>(view, parent);
    if (cls == "TStateVexaPM") return std::make_unique<TStateVexaPM>(view, parent);
    if (cls == "TstateOxel") return std::make_unique<TstateOxel>(view, parent);
    return nullptr;
}

bool showStateWindow(int deviceType, dbf::Table& view, QWidget* parent) {
    std::unique_ptr<TStateWindow> w = makeStateWindow(deviceType, view, parent);
    if (!w) return false;
    w->adjustSize();
    w->setFixedSize(w->sizeHint());
    if (QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen()) {
        QRect r = screen->availableGeometry();
        w->move(r.center() - QPoint(w->width() / 2, w->height() / 2));
    }
    w->exec();
    return true;
}

TStateWindow* shownStateWindow() {
    return g_shown;
}

} // namespace devdata
