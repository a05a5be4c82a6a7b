#include "shell/object_master.h"
#include "shell/access.h"

#include "schemes/scheme.h"

#include "dbf/codec.h"
#include "devdata/catalogue.h"
#include "devdata/settings.h"
#include "shell/monitor_model.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

namespace shell {

namespace fs = std::filesystem;

namespace {

// The port list is filled afresh each time it is opened.
class PortComboBox : public QComboBox {
public:
    std::function<QStringList()> source;
    void showPopup() override {
        const QString text = currentText();
        clear();
        if (source) addItems(source());
        setEditText(text);
        QComboBox::showPopup();
    }
};

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}
std::string ss(const QString& s) {
    return s.toStdString();
}

// Address order of the objects table: the collation of the index over ADDRES.
int compareAddress(const std::string& a, const std::string& b) {
    const std::string x = dbf::codec::toCp1251(a), y = dbf::codec::toCp1251(b);
    const size_t n = std::min(x.size(), y.size());
    for (size_t i = 0; i < n; ++i) {
        uint16_t wa = dbf::codec::collationWeight(uint8_t(x[i])),
                 wb = dbf::codec::collationWeight(uint8_t(y[i]));
        if (wa != wb) return wa < wb ? -1 : 1;
    }
    return x.size() == y.size() ? 0 : (x.size() < y.size() ? -1 : 1);
}

std::string trimmedText(const QLineEdit* e) {
    return ss(e->text().trimmed());
}

// The scheme list file of the program folder, found without regard to letter case; empty when missing.
std::string scmListPath(const std::string& programDir) {
    return schemes::findPathNoCase(programDir, "Circuits/ScmList.lst");
}

} // namespace

bool hasSchemeList(int deviceType) {
    static const int kTypes[] = {128, 225, 229, 230, 231, 234, 235, 236, 237};
    return std::find(std::begin(kTypes), std::end(kTypes), deviceType) != std::end(kTypes);
}

QStringList machineSerialPorts() {
    QStringList out;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
        const fs::path dev = entry.path() / "device";
        if (!fs::exists(dev, ec)) continue; // virtual consoles and pseudo-terminals have no device
        const std::string name = entry.path().filename().string();
        const fs::path driver = fs::read_symlink(dev / "driver", ec);
        if (!ec && driver.filename() == "serial8250") {
            // a legacy port is listed only when its hardware was found ("type" is 0 for an absent UART)
            std::FILE* f = std::fopen((entry.path() / "type").c_str(), "r");
            int type = 0;
            if (f) {
                if (std::fscanf(f, "%d", &type) != 1) type = 0;
                std::fclose(f);
            }
            if (type == 0) continue;
        }
        ec.clear();
        out << qs(name);
    }
    out.sort();
    return out;
}

int schemeNumberOfLine(const QString& line) {
    const int eq = line.indexOf('=');
    if (eq < 0) throw dbf::Error("Строка списка схем без \"=\": " + ss(line));
    const QString name = line.left(eq).trimmed();
    bool ok = false;
    const int n = name.mid(1).toInt(&ok);
    if (!ok || n < 0) throw dbf::Error("'" + ss(name.mid(1)) + "' не является целым числом (список схем)");
    return n;
}

// ---- construction

TADOBJ::TADOBJ(dbf::Table& objects, std::string programDir, QWidget* parent)
    : QDialog(parent), objects_(objects), programDir_(std::move(programDir)) {
    setWindowTitle(QString::fromUtf8(kObjectMasterCaption));
    setObjectName("ADOBJ");
    build();
    errorHandler = [](const QString&, const QString&) {};
}

TADOBJ::~TADOBJ() = default;

void TADOBJ::build() {
    auto* main = new QHBoxLayout(this);

    // left column of buttons
    auto* buttons = new QVBoxLayout;
    auto makeButton = [&](const char* text, const char* hint) {
        auto* b = new QPushButton(QString::fromUtf8(text));
        b->setToolTip(QString::fromUtf8(hint));
        b->setMinimumSize(90, 40);
        b->setAutoDefault(false);
        buttons->addWidget(b);
        return b;
    };
    NewButton = makeButton("Новый", "Добавить новый объект");
    EditButton = makeButton("Изменить", "Изменить настройки выбранного объекта");
    DeleteButton = makeButton("Удалить", "Удалить выбранный объект");
    buttons->addStretch(1);
    CloseButton = makeButton("Закрыть", "Закрыть окно настроек объекта");
    main->addLayout(buttons);

    // middle: the registered objects
    ListGroup = new QGroupBox(QString::fromUtf8("Зарегистрированные объекты"));
    auto* lv = new QVBoxLayout(ListGroup);
    SearchEdit = new QLineEdit;
    SearchEdit->setToolTip(QString::fromUtf8("Быстрый поиск объекта по первым введенным буквам"));
    lv->addWidget(SearchEdit);
    ObjectList = new QListWidget;
    ObjectList->setMinimumWidth(220);
    lv->addWidget(ObjectList);
    main->addWidget(ListGroup, 1);

    // right: the settings of the object
    SettingsGroup = new QGroupBox(QString::fromUtf8("Настройки объекта"));
    auto* sv = new QVBoxLayout(SettingsGroup);
    auto* form = new QFormLayout;
    GroupCombo = new QComboBox;
    GroupCombo->setEditable(true);
    GroupCombo->lineEdit()->setMaxLength(50);
    GroupCombo->setInsertPolicy(QComboBox::NoInsert);
    form->addRow(QString::fromUtf8("Группа объектов"), GroupCombo);
    AutoconCheck = new QCheckBox(QString::fromUtf8("Автоопрос"));
    form->addRow(QString(), AutoconCheck);
    AddressEdit = new QLineEdit;
    AddressEdit->setMaxLength(60);
    form->addRow(QString::fromUtf8("Адрес объекта (до 30 симв.)"), AddressEdit);
    SerialEdit = new QLineEdit;
    SerialEdit->setValidator(new QIntValidator(0, 65535, SerialEdit));
    form->addRow(QString::fromUtf8("Серийный номер прибора \r\n(0- определить автоматически)"), SerialEdit);
    DeviceCombo = new QComboBox;
    DeviceCombo->setEditable(true);
    DeviceCombo->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& name : devdata::masterDeviceList())
        DeviceCombo->addItem(qs(name));
    form->addRow(QString::fromUtf8("Тип"), DeviceCombo);
    sv->addLayout(form);

    auto* net = new QGroupBox(QString::fromUtf8("Настройки канала связи"));
    auto* nf = new QGridLayout(net);
    NetCombo = new QComboBox;
    NetCombo->setEditable(true);
    NetCombo->setInsertPolicy(QComboBox::NoInsert);
    for (const std::string& name : devdata::netTypeNames())
        NetCombo->addItem(qs(name));
    nf->addWidget(new QLabel(QString::fromUtf8("Канал связи")), 0, 0);
    nf->addWidget(NetCombo, 0, 1);
    auto* ports = new PortComboBox;
    ports->source = [this] { return serialPorts ? serialPorts() : QStringList(); };
    PortCombo = ports;
    PortCombo->setEditable(true);
    PortCombo->setInsertPolicy(QComboBox::NoInsert);
    PortCombo->lineEdit()->setMaxLength(10);
    PortLabel = new QLabel(QString::fromUtf8("СОМ порт"));
    nf->addWidget(PortLabel, 1, 0);
    nf->addWidget(PortCombo, 1, 1);
    PhoneEdit = new QLineEdit;
    PhoneEdit->setMaxLength(12);
    PhoneLabel = new QLabel(QString::fromUtf8("Номер телефона"));
    nf->addWidget(PhoneLabel, 2, 0);
    nf->addWidget(PhoneEdit, 2, 1);
    NetAdrEdit = new QLineEdit;
    NetAdrEdit->setMaxLength(30);
    NetAdrEdit->setToolTip(QString::fromUtf8("Имя узла или статический IP адрес"));
    NetAdrLabel = new QLabel(QString::fromUtf8("Адрес или IP"));
    nf->addWidget(NetAdrLabel, 3, 0);
    nf->addWidget(NetAdrEdit, 3, 1);
    IpPortEdit = new QLineEdit;
    IpPortEdit->setValidator(new QIntValidator(0, 65535, IpPortEdit));
    IpPortEdit->setToolTip(QString::fromUtf8("номер IP порта 5001  "));
    IpPortLabel = new QLabel(QString::fromUtf8("IP-порт"));
    nf->addWidget(IpPortLabel, 4, 0);
    nf->addWidget(IpPortEdit, 4, 1);
    // the fields keep their rows when hidden, so the group does not jump
    for (QWidget* w : std::initializer_list<QWidget*>{PortCombo, PhoneEdit, NetAdrEdit, IpPortEdit}) {
        QSizePolicy p = w->sizePolicy();
        p.setRetainSizeWhenHidden(true);
        w->setSizePolicy(p);
    }
    sv->addWidget(net);

    auto* scheme = new QGroupBox(QString::fromUtf8("Принципиальная схема узла учета"));
    auto* sg = new QGridLayout(scheme);
    SchemeEditorButton = new QPushButton(QString::fromUtf8("Редактор схем"));
    SchemeListButton = new QPushButton(QString::fromUtf8("Список схем"));
    SchemeEditorButton->setAutoDefault(false);
    SchemeListButton->setAutoDefault(false);
    sg->addWidget(SchemeEditorButton, 0, 0);
    sg->addWidget(SchemeListButton, 0, 1);
    sg->addWidget(new QLabel(QString::fromUtf8("Описание выбранной схемы узла учета")), 1, 0, 1, 2);
    SchemeDescription = new QPlainTextEdit;
    SchemeDescription->setReadOnly(true);
    SchemeDescription->setMaximumHeight(70);
    sg->addWidget(SchemeDescription, 2, 0, 1, 2);
    sv->addWidget(scheme);

    auto* accept = new QHBoxLayout;
    AcceptButton = new QPushButton(QString::fromUtf8("ПРИНЯТЬ"));
    AcceptButton->setToolTip(QString::fromUtf8("Сохранить изменения настроек объекта"));
    AcceptButton->setDefault(true);
    CancelButton = new QPushButton(QString::fromUtf8("ОТМЕНА"));
    CancelButton->setToolTip(QString::fromUtf8("Отменить изменения объекта"));
    CancelButton->setAutoDefault(false);
    accept->addStretch(1);
    accept->addWidget(AcceptButton);
    accept->addWidget(CancelButton);
    sv->addLayout(accept);
    main->addWidget(SettingsGroup, 2);

    connect(NewButton, &QPushButton::clicked, this, [this] { guarded([this] { newObject(); }); });
    connect(EditButton, &QPushButton::clicked, this, [this] { guarded([this] { editObject(); }); });
    connect(DeleteButton, &QPushButton::clicked, this, [this] { guarded([this] { deleteObject(); }); });
    connect(CloseButton, &QPushButton::clicked, this, [this] { close(); });
    connect(AcceptButton, &QPushButton::clicked, this, [this] { guarded([this] { acceptObject(); }); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { guarded([this] { cancelObject(); }); });
    connect(SearchEdit, &QLineEdit::textChanged, this,
            [this](const QString& t) { guarded([this, t] { search(t); }); });
    connect(ObjectList, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
        const int row = ObjectList->row(item);
        guarded([this, row] { listRowClicked(row); });
    });
    connect(NetCombo, &QComboBox::currentTextChanged, this, [this] { applyNetVisibility(); });
    connect(DeviceCombo, &QComboBox::currentTextChanged, this,
            [this] { guarded([this] { deviceChosen(); }); });
    connect(GroupCombo, &QComboBox::currentTextChanged, this, [this](const QString& text) {
        if (filling_ || mode_ == Mode::Browse) return;
        guarded([this, text] { objects_.setString("DESKRIPTION", ss(text)); });
    });
    connect(SchemeListButton, &QPushButton::clicked, this, [this] { guarded([this] { showSchemeMenu(); }); });
    connect(SchemeEditorButton, &QPushButton::clicked, this,
            [this] { guarded([this] { openSchemeEditor(); }); });
    setMode(Mode::Browse);
}

void TADOBJ::guarded(const std::function<void()>& op) {
    try {
        op();
    } catch (const std::exception& e) {
        if (errorHandler) errorHandler("TADOBJ", QString::fromStdString(e.what()));
    }
}

// ---- showing

bool TADOBJ::hasRow() const {
    return objects_.isOpen() && (objects_.state() == dbf::Table::State::Insert || objects_.recNo() != 0);
}

int TADOBJ::showModal(bool edit) {
    prepare(edit);
    return exec();
}

void TADOBJ::prepare(bool edit) {
    finishing_ = false;
    mode_ = Mode::Browse;
    SearchEdit->blockSignals(true);
    SearchEdit->clear();
    SearchEdit->blockSignals(false);
    savedOrdering_ = objects_.indexFieldNames();
    savedIndexName_ = objects_.indexName();
    guarded([this] {
        // the list and the quick search work on addresses
        objects_.setIndexFieldNames("ADDRES");
    });
    fillFields();
    prepared_ = true;
    setMode(Mode::Browse);
    if (edit) guarded([this] { editObject(); });
}

void TADOBJ::reread() {
    if (mode_ != Mode::Browse) return;
    fillFields();
    refillList();
}

void TADOBJ::fillFields() {
    filling_ = true;
    const bool row = hasRow();
    auto text = [&](const char* f) { return row ? qs(objects_.asString(f)).trimmed() : QString(); };
    auto integer = [&](const char* f) -> std::optional<int> {
        if (!row || objects_.isNull(f)) return std::nullopt;
        return int(objects_.asInt(f));
    };

    QStringList entries = groups ? groups() : QStringList();
    if (!entries.isEmpty() && entries.first() == QString::fromUtf8(kAllGroupsText)) entries.removeFirst();
    entries.removeAll(QString());
    GroupCombo->clear();
    GroupCombo->addItems(entries);
    GroupCombo->setCurrentIndex(-1);
    GroupCombo->setEditText(text("DESKRIPTION"));

    AutoconCheck->setChecked(row && !objects_.isNull("AUTOCON") && objects_.asBool("AUTOCON"));
    AddressEdit->setText(text("ADDRES"));
    SerialEdit->setText(integer("SERIALNUM") ? QString::number(*integer("SERIALNUM")) : QString());

    const int type = integer("DEVTYPE").value_or(0);
    const int devIndex = DeviceCombo->findText(qs(devdata::deviceTypeName(type)), Qt::MatchExactly);
    DeviceCombo->setCurrentIndex(devdata::deviceTypeName(type).empty() ? -1 : devIndex);
    if (DeviceCombo->currentIndex() < 0) DeviceCombo->setEditText(QString());

    const int net = integer("NETTYPE").value_or(-1);
    NetCombo->setCurrentIndex(net >= 0 && net < NetCombo->count() ? net : -1);
    if (NetCombo->currentIndex() < 0) NetCombo->setEditText(QString());

    PortCombo->setEditText(text("COMPORT"));
    PhoneEdit->setText(text("PHONE"));
    NetAdrEdit->setText(text("NETADR"));
    IpPortEdit->setText(integer("IPPORT") ? QString::number(*integer("IPPORT")) : QString());
    filling_ = false;

    showSchemeDescription(type, integer("SCHTYPE").value_or(0));
    applyNetVisibility();
}

void TADOBJ::showSchemeDescription(int deviceType, int schemeNumber) {
    const std::string path = scmListPath(programDir_);
    if (path.empty() || !hasSchemeList(deviceType)) return;
    devdata::IniFile list(path);
    SchemeDescription->setPlainText(
        qs(list.value(std::to_string(deviceType), "S" + std::to_string(schemeNumber)).value_or("")));
}

int TADOBJ::netIndex() const {
    return NetCombo->findText(NetCombo->currentText(), Qt::MatchExactly);
}

void TADOBJ::applyNetVisibility() {
    const int net = netIndex();
    PortCombo->setVisible(net == 0 || net == 1);
    PhoneEdit->setVisible(net == 1);
    NetAdrEdit->setVisible(net == 2 || net == 3);
    IpPortEdit->setVisible(net == 2 || net == 3);
}

// ---- modes

void TADOBJ::setMode(Mode m) {
    mode_ = m;
    enableControls();
    refillList();
}

void TADOBJ::enableControls() {
    const bool browse = mode_ == Mode::Browse;
    const bool restricted = editRestricted && editRestricted();
    SettingsGroup->setEnabled(!browse);
    NewButton->setEnabled(browse && !restricted);
    EditButton->setEnabled(browse && !restricted);
    DeleteButton->setEnabled(browse && !restricted);
    CloseButton->setEnabled(browse);
    AcceptButton->setEnabled(!browse);
    CancelButton->setEnabled(!browse);
    ListGroup->setEnabled(browse);
}

void TADOBJ::refillList() {
    // while a record is being entered the cursor stays where it is
    if (mode_ != Mode::Browse || !objects_.isOpen()) return;
    const int current = objects_.recNo();
    ObjectList->clear();
    int selected = -1;
    for (objects_.first(); !objects_.eof(); objects_.next()) {
        auto* item = new QListWidgetItem(qs(objects_.asString("ADDRES")).trimmed());
        item->setData(Qt::UserRole, int(objects_.asInt("NUM")));
        ObjectList->addItem(item);
        if (objects_.recNo() == current) selected = ObjectList->count() - 1;
    }
    if (current != 0)
        objects_.setRecNo(current);
    else
        objects_.first();
    ObjectList->setCurrentRow(selected);
}

bool TADOBJ::refused() {
    if (!editRestricted || !editRestricted()) return false;
    QMessageBox::information(this, windowTitle(), QString::fromUtf8(kAccessDeniedText));
    return true;
}

void TADOBJ::showCurrentScheme() {
    if (!hasRow()) return;
    const int type = objects_.isNull("DEVTYPE") ? 0 : int(objects_.asInt("DEVTYPE"));
    const int scheme = objects_.isNull("SCHTYPE") ? 0 : int(objects_.asInt("SCHTYPE"));
    showSchemeDescription(type, scheme);
}

void TADOBJ::newObject() {
    if (mode_ != Mode::Browse || refused()) return;
    QMessageBox::information(this, windowTitle(), QString::fromUtf8(kNewObjectText));
    objects_.append();
    // a new object takes part in the auto-poll and has not been polled
    objects_.setBool("AUTOCON", true);
    objects_.setString("STATE", "---");
    objects_.setInt("ERRCODE", 0);
    objects_.setBool("ERR", false);
    mode_ = Mode::Insert;
    fillFields();
    setMode(Mode::Insert);
}

void TADOBJ::editObject() {
    if (mode_ != Mode::Browse || !hasRow() || refused()) return;
    objects_.edit();
    setMode(Mode::Edit);
}

void TADOBJ::cancelObject() {
    if (mode_ == Mode::Browse) return;
    objects_.cancel();
    objects_.refresh();
    mode_ = Mode::Browse;
    fillFields();
    setMode(Mode::Browse);
}

void TADOBJ::deleteObject() {
    if (mode_ != Mode::Browse || !hasRow() || refused()) return;
    const QString text =
        QString::fromUtf8(kDeleteObjectText) + qs(objects_.asString("ADDRES")).trimmed() + " ?";
    if (QMessageBox::warning(this, windowTitle(), text, QMessageBox::No | QMessageBox::Ok, QMessageBox::No) !=
        QMessageBox::Ok)
        return;
    objects_.remove();
    fillFields();
    setMode(Mode::Browse);
}

void TADOBJ::writeFields() {
    auto setText = [&](const char* f, const QString& v) { objects_.setString(f, ss(v.trimmed())); };
    auto setNumber = [&](const char* f, const QString& v) {
        if (v.trimmed().isEmpty())
            objects_.setNull(f);
        else
            objects_.setInt(f, v.trimmed().toLongLong());
    };
    objects_.setString("DESKRIPTION", ss(GroupCombo->currentText().trimmed()));
    objects_.setBool("AUTOCON", AutoconCheck->isChecked());
    setText("ADDRES", AddressEdit->text());
    setNumber("SERIALNUM", SerialEdit->text());
    objects_.setInt("DEVTYPE", devdata::deviceCodeFromText(ss(DeviceCombo->currentText())));
    if (netIndex() >= 0)
        objects_.setInt("NETTYPE", netIndex());
    else
        objects_.setNull("NETTYPE");
    setText("COMPORT", PortCombo->currentText());
    setText("PHONE", PhoneEdit->text());
    setText("NETADR", NetAdrEdit->text());
    setNumber("IPPORT", IpPortEdit->text());
}

bool TADOBJ::acceptObject() {
    if (mode_ == Mode::Browse) return false;
    deviceChosen();
    applyNetVisibility();
    const int net = netIndex();
    bool complete = !trimmedText(AddressEdit).empty() && !trimmedText(SerialEdit).empty() &&
                    !DeviceCombo->currentText().trimmed().isEmpty() && net >= 0;
    const bool port = !PortCombo->currentText().trimmed().isEmpty();
    if (complete) switch (net) {
        case 0:
            complete = port;
            break;
        case 1:
            complete = port && !trimmedText(PhoneEdit).empty();
            break;
        default:
            complete = !trimmedText(NetAdrEdit).empty() && !trimmedText(IpPortEdit).empty();
            break;
        }
    if (!complete) {
        QMessageBox::warning(this, windowTitle(), QString::fromUtf8(kFillAllFieldsText));
        return false;
    }
    writeFields();
    objects_.setString("STATE", "---");
    objects_.setInt("ERRCODE", 0);
    objects_.setNull("CON_DATE");
    objects_.setNull("CON_TIME");
    objects_.setBool("ERR", false);
    objects_.post();
    objects_.refresh();
    mode_ = Mode::Browse;
    fillFields();
    setMode(Mode::Browse);
    return true;
}

void TADOBJ::deviceChosen() {
    if (filling_ || mode_ == Mode::Browse) return;
    const int code = devdata::deviceCodeFromText(ss(DeviceCombo->currentText()));
    objects_.setInt("DEVTYPE", code);
    const int scheme = objects_.isNull("SCHTYPE") ? 0 : int(objects_.asInt("SCHTYPE"));
    showSchemeDescription(code, scheme);
    if (deviceChanged) deviceChanged();
}

// ---- the list and the quick search

void TADOBJ::listRowClicked(int row) {
    if (mode_ != Mode::Browse || row < 0 || row >= ObjectList->count()) return;
    const int num = ObjectList->item(row)->data(Qt::UserRole).toInt();
    if (objects_.locate("NUM", dbf::Value(int64_t(num)))) fillFields();
}

void TADOBJ::search(const QString& text) {
    if (mode_ != Mode::Browse || !objects_.isOpen() || objects_.isEmpty()) return;
    const std::string wanted = ss(text);
    objects_.first();
    while (!objects_.eof() && compareAddress(objects_.asString("ADDRES"), wanted) < 0)
        objects_.next();
    if (objects_.eof()) objects_.last();
    fillFields();
    const int num = int(objects_.asInt("NUM"));
    for (int i = 0; i < ObjectList->count(); ++i)
        if (ObjectList->item(i)->data(Qt::UserRole).toInt() == num) ObjectList->setCurrentRow(i);
}

// ---- schemes

QStringList TADOBJ::schemeMenuLines() const {
    const std::string path = scmListPath(programDir_);
    if (path.empty() || !objects_.isOpen() || !hasRow()) return {};
    const int type = objects_.isNull("DEVTYPE") ? 0 : int(objects_.asInt("DEVTYPE"));
    QStringList out;
    for (const std::string& line : devdata::IniFile(path).lines(std::to_string(type)))
        out << qs(line);
    return out;
}

void TADOBJ::showSchemeMenu() {
    QMenu menu(this);
    for (const QString& line : schemeMenuLines()) {
        QAction* a = menu.addAction(QString(line).replace('&', "&&"));
        a->setData(line);
    }
    QAction* chosen = menu.exec(SchemeListButton->mapToGlobal(QPoint(0, SchemeListButton->height())));
    if (chosen) chooseScheme(chosen->data().toString());
}

void TADOBJ::chooseScheme(const QString& line) {
    if (mode_ == Mode::Browse) return;
    guarded([&] {
        // a malformed line abandons the choice before anything changes
        const int number = schemeNumberOfLine(line);
        SchemeDescription->setPlainText(line);
        objects_.setInt("SCHTYPE", number);
        const int type = objects_.isNull("DEVTYPE") ? 0 : int(objects_.asInt("DEVTYPE"));
        const std::string path = schemes::findSchemeFile(programDir_, type, number);
        if (!path.empty() && schemePreview) schemePreview(path);
    });
}

void TADOBJ::openSchemeEditor() {
    if (!objects_.isOpen() || !hasRow()) return;
    const int type = objects_.isNull("DEVTYPE") ? 0 : int(objects_.asInt("DEVTYPE"));
    const int number = objects_.isNull("SCHTYPE") ? 0 : int(objects_.asInt("SCHTYPE"));
    const std::string path = schemes::findSchemeFile(programDir_, type, number);
    if (!path.empty() && schemeEditor) schemeEditor(path);
}

// ---- closing

void TADOBJ::finish() {
    if (finishing_ || !prepared_) return;
    finishing_ = true;
    // browse mode: a pending new or changed record is stored as entered
    guarded([this] {
        if (mode_ != Mode::Browse) {
            writeFields();
            objects_.post();
        }
    });
    mode_ = Mode::Browse;
    guarded([this] {
        if (objects_.state() != dbf::Table::State::Browse && objects_.isOpen()) objects_.cancel();
        objects_.refresh();
        if (savedOrdering_.empty() && !savedIndexName_.empty())
            objects_.setIndexName(savedIndexName_);
        else
            objects_.setIndexFieldNames(savedOrdering_);
    });
    enableControls();
    prepared_ = false;
    if (closed) closed();
}

void TADOBJ::closeEvent(QCloseEvent* e) {
    finish();
    QDialog::closeEvent(e);
}

void TADOBJ::reject() {
    finish();
    QDialog::done(QDialog::Accepted);
}

} // namespace shell
