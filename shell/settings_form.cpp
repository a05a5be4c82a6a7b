#include "shell/settings_form.h"

#include "dbf/table.h"
#include "devdata/tables.h"
#include "shell/schedule.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace shell {

namespace {

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The page notes break their line with CR LF; on this platform a line break is LF.
QString note(const char* text) {
    return QString::fromUtf8(text).remove(QLatin1Char('\r'));
}

QCheckBox* box(const char* caption, QWidget* parent, const char* hint = nullptr) {
    auto* b = new QCheckBox(QString::fromUtf8(caption), parent);
    if (hint) b->setToolTip(QString::fromUtf8(hint));
    return b;
}

void selectItem(QComboBox* list, int index) {
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

// Whether two records store the same values.
bool sameRecord(const devdata::Settings& a, const devdata::Settings& b) {
    return a.dpath == b.dpath && a.dtconn == b.dtconn && a.period == b.period && a.periodX == b.periodX &&
           a.repeat == b.repeat && a.archFilter == b.archFilter && a.archType == b.archType &&
           a.par1_228 == b.par1_228 && a.par1_225 == b.par1_225 && a.par1_234 == b.par1_234 &&
           a.par1_128 == b.par1_128 && a.par2 == b.par2 && a.scheduleBy == b.scheduleBy &&
           a.lanes == b.lanes && a.onChange == b.onChange;
}

} // namespace

bool settingsPanelEnabled(int accessLevel, int par2) {
    return accessLevel != 0 || (par2 & kPar2Settings) == 0;
}

std::optional<QString> chooseFolderDialog(QWidget* parent, const QString& start) {
    QFileDialog d(parent, QString::fromUtf8(setup_text::kFolderDialogCaption), start);
    d.setFileMode(QFileDialog::Directory);
    d.setOption(QFileDialog::ShowDirsOnly);
    d.setOption(QFileDialog::DontUseNativeDialog);
    d.setLabelText(QFileDialog::Accept, QString::fromUtf8(setup_text::kFolderDialogAccept));
    d.setLabelText(QFileDialog::Reject, QString::fromUtf8(setup_text::kFolderDialogReject));
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return std::nullopt;
    return d.selectedFiles().first();
}

void criticalAlert(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::critical(parent, title, text, QMessageBox::Ok);
}

TSetupForm::TSetupForm(SetupEnvironment env, QWidget* parent) : QDialog(parent), env_(std::move(env)) {
    build();
    Load();
}

TSetupForm::~TSetupForm() = default;

void TSetupForm::build() {
    setWindowTitle(QString::fromUtf8(setup_text::kCaption));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);

    auto* outer = new QVBoxLayout(this);
    outer->setSizeConstraint(QLayout::SetFixedSize);
    Panel1 = new QWidget(this);
    outer->addWidget(Panel1);
    auto* grid = new QGridLayout(Panel1);
    grid->setContentsMargins(0, 0, 0, 0);
    int row = 0;

    // schedule
    grid->addWidget(new QLabel(QString::fromUtf8("Период  автоопроса объектов"), Panel1), row, 0);
    auto* periodRow = new QHBoxLayout;
    ComboBox1 = new QComboBox(Panel1);
    for (const char* name : kPeriodNames)
        ComboBox1->addItem(QString::fromUtf8(name));
    ComboBox1->setToolTip(QString::fromUtf8("Периодичность опроса"));
    Label5 = new QLabel(QStringLiteral("X"), Panel1);
    SpinEdit2 = new QSpinBox(Panel1);
    SpinEdit2->setRange(1, 9999);
    SpinEdit2->setToolTip(QString::fromUtf8("Множитель периодичности опроса"));
    periodRow->addWidget(ComboBox1, 1);
    periodRow->addWidget(Label5);
    periodRow->addWidget(SpinEdit2);
    grid->addLayout(periodRow, row++, 1);

    grid->addWidget(new QLabel(QString::fromUtf8("Дата запуска очередного автоопроса"), Panel1), row, 0);
    auto* nextRow = new QHBoxLayout;
    MaskEdit1 = new QLineEdit(Panel1);
    MaskEdit1->setInputMask(QString::fromUtf8(setup_text::kNextPollEditMask));
    MaskEdit1->setToolTip(QString::fromUtf8("Дата и время очередного опроса"));
    Button1 = new QPushButton(QString::fromUtf8("Сейчас"), Panel1);
    nextRow->addWidget(MaskEdit1, 1);
    nextRow->addWidget(Button1);
    grid->addLayout(nextRow, row++, 1);

    grid->addWidget(new QLabel(QString::fromUtf8(setup_text::kScheduleByCaption), Panel1), row, 0);
    ComboBox4 = new QComboBox(Panel1);
    for (const char* name : setup_text::kScheduleByEntries)
        ComboBox4->addItem(QString::fromUtf8(name));
    ComboBox4->setToolTip(QString::fromUtf8(
        "Одно расписание на папку базы данных: при выборе службы mervo-schedule программа не запускает "
        "автоопрос сама"));
    grid->addWidget(ComboBox4, row++, 1);

    grid->addWidget(new QLabel(QString::fromUtf8("Число попыток чтения при сбое  1-6"), Panel1), row, 0);
    SpinEdit1 = new QSpinBox(Panel1);
    SpinEdit1->setRange(1, 10);
    SpinEdit1->setToolTip(QString::fromUtf8(
        "Число попыток чтения записей прибора при возникновении ошибок рекомендуемые значения 1-6"));
    grid->addWidget(SpinEdit1, row++, 1, Qt::AlignLeft);

    grid->addWidget(new QLabel(QString::fromUtf8("Параллельный опрос"), Panel1), row, 0);
    SpinEdit3 = new QSpinBox(Panel1);
    SpinEdit3->setRange(1, 32);
    SpinEdit3->setToolTip(QString::fromUtf8(
        "Число объектов, опрашиваемых одновременно по разным линиям связи (Ethernet-узлы, COM-порты); 1 - по "
        "одному"));
    grid->addWidget(SpinEdit3, row++, 1, Qt::AlignLeft);

    grid->addWidget(new QLabel(QString::fromUtf8("Путь к БД"), Panel1), row, 0);
    auto* pathRow = new QHBoxLayout;
    Edit1 = new QLineEdit(Panel1);
    Edit1->setToolTip(
        QString::fromUtf8("Путь размещения используемой базы данных\n..\\ - папка с программой "));
    Edit1->setMinimumWidth(260);
    SpeedButton1 = new QToolButton(Panel1);
    SpeedButton1->setText(QStringLiteral("..."));
    SpeedButton1->setToolTip(QString::fromUtf8(setup_text::kFolderDialogCaption));
    pathRow->addWidget(Edit1, 1);
    pathRow->addWidget(SpeedButton1);
    grid->addLayout(pathRow, row++, 1);

    CheckBox21 = box("Автоопрос объектов активен при запуске программы", Panel1);
    grid->addWidget(CheckBox21, row++, 0, 1, 2);
    CheckBox22 = box("Свернуть главное окно в трей при запуске программы", Panel1);
    grid->addWidget(CheckBox22, row++, 0, 1, 2);

    grid->addWidget(new QLabel(QString::fromUtf8("Фильтр архива"), Panel1), row, 0);
    auto* archRow = new QHBoxLayout;
    ComboBox2 = new QComboBox(Panel1);
    for (const char* name : {"Сутки", "Неделя", "Декада", "Месяц (текущий)", "Месяц (предыдущий)"})
        ComboBox2->addItem(QString::fromUtf8(name));
    ComboBox3 = new QComboBox(Panel1);
    for (const char* name : {"Суточный", "Часовой", "Месячный"})
        ComboBox3->addItem(QString::fromUtf8(name));
    archRow->addWidget(ComboBox2, 1);
    archRow->addWidget(ComboBox3, 1);
    grid->addLayout(archRow, row++, 1);

    // what a connection reads, by device family
    GroupBox1 = new QGroupBox(QString::fromUtf8("Обновлять при соединении"), Panel1);
    GroupBox1->setToolTip(QString::fromUtf8("Задание на опрос вычислителей"));
    auto* groupLayout = new QVBoxLayout(GroupBox1);
    PageControl1 = new QTabWidget(GroupBox1);
    groupLayout->addWidget(PageControl1);
    auto page = [&](const char* title, const char* noteText, std::vector<QCheckBox**> boxes,
                    std::vector<const char*> captions) {
        auto* p = new QWidget(PageControl1);
        auto* l = new QGridLayout(p);
        for (size_t i = 0; i < boxes.size(); ++i) {
            *boxes[i] = box(captions[i], p);
            l->addWidget(*boxes[i], int(i % 3), int(i / 3));
        }
        auto* n = new QLabel(note(noteText), p);
        n->setObjectName(QStringLiteral("note"));
        l->addWidget(n, 3, 0, 1, 2);
        PageControl1->addTab(p, QString::fromUtf8(title));
    };
    page("Vexa-1П", "Для вычислителей \r\nVexa-1П140(141), Vexa-1П150(151) ",
         {&CheckBox1, &CheckBox2, &CheckBox3, &CheckBox9, &UnCheckDTR229},
         {"Состояние", "Часовой архив", "Суточный архив", "Синхронизировать время", "Не проверять DTR"});
    page("Vexa-1К", "Для вычислителей \r\nVexa-1К1(К2)(К3), Vexa-1К1(К2)М ",
         {&CheckBox5, &CheckBox6, &CheckBox7, &CheckBox18, &CheckBox12, &UnCheckDTR225},
         {"Состояние", "Часовой архив", "Суточный архив", "Месячный архив", "Синхронизировать время",
          "Не проверять DTR"});
    page("Vexa-1П М", "Для вычислителей \r\nVexa-1П140(141)М, Vexa-1П150(151)М ",
         {&CheckBox13, &CheckBox14, &CheckBox15, &CheckBox17, &CheckBox16, &UnCheckDTR234},
         {"Состояние", "Часовой архив", "Суточный архив", "Месячный архив", "Синхронизировать время",
          "Не проверять DTR"});
    page("Kesta", "Для модификаций Kesta 1,2,4", {&CheckBox10, &UnCheckDTR128},
         {"Состояние", "Не проверять DTR"});
    grid->addWidget(GroupBox1, row++, 0, 1, 2);

    // restrictions of the user level
    GroupBox2 = new QGroupBox(QString::fromUtf8("Ограничения пользователя"), Panel1);
    GroupBox2->setToolTip(QString::fromUtf8("Ограничения для учетной записи \"Пользователь\""));
    auto* restrictions = new QVBoxLayout(GroupBox2);
    CheckBox4 = box("Редактирование параметров объекта", GroupBox2,
                    "Запрет на добавление/удаление/редактирование объектов");
    CheckBox8 = box("Отключение режима автоопроса", GroupBox2);
    CheckBox11 = box("Принудительная связь с объектом", GroupBox2, "Запрет принудительного опроса объекта");
    CheckBox19 = box("Изменение общих настроек программы", GroupBox2, "Запрет изменения настроек программы");
    CheckBox20 = box("Выход из программы", GroupBox2,
                     "При выходе из программы, программа будет свернута в Try - икону  но не закрыто");
    for (QCheckBox* b : {CheckBox4, CheckBox8, CheckBox11, CheckBox19, CheckBox20})
        restrictions->addWidget(b);
    grid->addWidget(GroupBox2, row++, 0, 1, 2);

    CheckBox23 = box("Добавить программу в автозагрузку WINDOWS", Panel1);
    grid->addWidget(CheckBox23, row++, 0, 1, 2);

    // outside the panel, so that a disabled panel leaves them usable
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    BitBtn1 = new QPushButton(QStringLiteral("OK"), this);
    BitBtn2 = new QPushButton(QStringLiteral("Cancel"), this);
    BitBtn1->setDefault(true);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    outer->addLayout(buttons);

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
}

std::vector<TSetupForm::BoxBit> TSetupForm::bits228() const {
    return {{CheckBox1, devdata::kBitState},
            {CheckBox2, devdata::kBitHourly},
            {CheckBox3, devdata::kBitDaily},
            {CheckBox9, devdata::kBitClock},
            {UnCheckDTR229, devdata::kBitNoDtrCheck}};
}

std::vector<TSetupForm::BoxBit> TSetupForm::bits225() const {
    return {{CheckBox5, devdata::kBitState},    {CheckBox6, devdata::kBitHourly},
            {CheckBox7, devdata::kBitDaily},    {CheckBox12, devdata::kBitClock},
            {CheckBox18, devdata::kBitMonthly}, {UnCheckDTR225, devdata::kBitNoDtrCheck}};
}

std::vector<TSetupForm::BoxBit> TSetupForm::bits234() const {
    return {{CheckBox13, devdata::kBitState},   {CheckBox14, devdata::kBitHourly},
            {CheckBox15, devdata::kBitDaily},   {CheckBox16, devdata::kBitClock},
            {CheckBox17, devdata::kBitMonthly}, {UnCheckDTR234, devdata::kBitNoDtrCheck}};
}

std::vector<TSetupForm::BoxBit> TSetupForm::bits128() const {
    return {{CheckBox10, devdata::kBitState}, {UnCheckDTR128, devdata::kBitNoDtrCheck}};
}

std::vector<TSetupForm::BoxBit> TSetupForm::bitsPar2() const {
    return {{CheckBox4, kPar2ObjectEdit},  {CheckBox8, kPar2AutoPoll}, {CheckBox11, kPar2ForcedPoll},
            {CheckBox19, kPar2Settings},   {CheckBox20, kPar2Exit},    {CheckBox21, kPar2AutoPollAtStart},
            {CheckBox22, kPar2TrayAtStart}};
}

void TSetupForm::tick(const std::vector<BoxBit>& bits, int value) {
    for (const auto& b : bits)
        b.box->setChecked((value & b.value) != 0);
}

int TSetupForm::collect(const std::vector<BoxBit>& bits) {
    int value = 0;
    for (const auto& b : bits)
        if (b.box->isChecked()) value |= b.value;
    return value;
}

std::string TSetupForm::settingsIniPath() const {
    return devdata::joinPath(env_.programDir, devdata::kSettingsIniName);
}

void TSetupForm::setDataPath(const std::string& stored) {
    dataDir_ = devdata::dataDirFromSetting(stored, env_.programDir);
    tempDir_ = devdata::tempDirOf(dataDir_);
    emit dataDirChanged(qs(dataDir_));
}

void TSetupForm::showRecord(const devdata::Settings& s) {
    selectItem(ComboBox1, s.period);
    SpinEdit2->setValue(s.periodX);
    selectItem(ComboBox2, s.archFilter);
    selectItem(ComboBox3, s.archType);
    SpinEdit1->setValue(s.repeat);
    SpinEdit3->setValue(s.lanes);
    Edit1->setText(qs(s.dpath));
    tick(bits228(), s.par1_228);
    tick(bits234(), s.par1_234);
    tick(bits225(), s.par1_225);
    tick(bits128(), s.par1_128);
    tick(bitsPar2(), s.par2);
    MaskEdit1->setText(qs(nextPollEditText(s.dtconn)));
    selectItem(ComboBox4, s.scheduleBy);
}

devdata::Settings TSetupForm::recordFromControls(dbf::DateTime dtconn) const {
    // the values the window has no control for (the change command) stay as loaded
    devdata::Settings s = settings_;
    s.period = ComboBox1->currentIndex();
    s.periodX = SpinEdit2->value();
    s.dpath = Edit1->text().toStdString();
    s.dtconn = dtconn;
    s.archFilter = ComboBox2->currentIndex();
    s.archType = ComboBox3->currentIndex();
    s.repeat = SpinEdit1->value();
    s.lanes = SpinEdit3->value();
    s.par1_234 = collect(bits234());
    s.par1_228 = collect(bits228());
    s.par1_225 = collect(bits225());
    s.par1_128 = collect(bits128());
    s.par2 = collect(bitsPar2());
    s.scheduleBy = ComboBox4->currentIndex() == devdata::kScheduleByService ? devdata::kScheduleByService
                                                                            : devdata::kScheduleByMervo;
    return s;
}

void TSetupForm::Load() {
    devdata::SettingsStore store(env_.registryPath);
    // a store that cannot be written is a key that cannot be opened: the controls stay as they are
    if (std::optional<devdata::Settings> s = store.loadIfWritable()) {
        settings_ = *s;
        showRecord(settings_);
        setDataPath(settings_.dpath);
        autoPollOn_ = (settings_.par2 & kPar2AutoPollAtStart) != 0;
        emit autoPollOnChanged(autoPollOn_);
        if ((settings_.par2 & kPar2TrayAtStart) == 0) emit showMainWindowRequested();
    }
    loadAutostart();
    if (!tempDir_.empty()) devdata::cleanTempDir(tempDir_);
    GroupBox2->setEnabled(accessLevel_ != 0);
    applyRestrictions();
}

std::optional<dbf::DateTime> TSetupForm::nextPollFromEdit() const {
    const std::string text = MaskEdit1->text().toStdString();
    if (text == nextPollEditText(settings_.dtconn)) return settings_.dtconn;
    return parseNextPollEditText(text, env_.now().year());
}

bool TSetupForm::Save() {
    std::optional<dbf::DateTime> dtconn = nextPollFromEdit();
    if (!dtconn) {
        env_.alert(this, QString::fromUtf8(setup_text::kErrorTitle),
                   QString::fromUtf8(setup_text::kBadNextPollTime).arg(MaskEdit1->text()));
        return false;
    }
    saveWith(*dtconn);
    return true;
}

void TSetupForm::saveWith(dbf::DateTime dtconn) {
    const devdata::Settings s = recordFromControls(dtconn);
    // settings.ini first; the keys go in this order into a new file
    devdata::IniFile ini(settingsIniPath());
    const char* section = devdata::kSettingsIniSection;
    ini.set(section, "Period", std::to_string(s.period));
    ini.set(section, "PeriodX", std::to_string(s.periodX));
    ini.set(section, "DPath", s.dpath);
    ini.set(section, "DTConn", dtconn.dateText() + " " + dtconn.timeText());
    ini.set(section, "ArchFilter", std::to_string(s.archFilter));
    ini.set(section, "ArchType", std::to_string(s.archType));
    ini.set(section, "Repeat", std::to_string(s.repeat));
    ini.set(section, "Par1_234", std::to_string(s.par1_234));
    ini.set(section, "Par1_228", std::to_string(s.par1_228));
    ini.set(section, "Par1_225", std::to_string(s.par1_225));
    ini.set(section, "Par1_128", std::to_string(s.par1_128));
    ini.set(section, "Par2", std::to_string(s.par2));
    try {
        ini.write();
    } catch (const dbf::Error& e) {
        // a program folder without write access: the store below still holds the settings
        emit errorRaised(QString::fromUtf8(e.what()));
    }

    devdata::SettingsStore store(env_.registryPath);
    devdata::Settings stored = s;
    if (store.writable()) {
        try {
            // only what was changed since the load: a value another writer stored meanwhile (the service's
            // next poll time) stays, and is the one in force from now on
            stored = store.saveChanges(settings_, s);
        } catch (const dbf::Error&) {
            // as a key that cannot be opened: nothing goes to the store
            stored = s;
        }
    }
    const bool merged = !(sameRecord(stored, s));
    settings_ = stored;
    if (merged) showRecord(settings_);
    setDataPath(settings_.dpath);

    saveAutostart();
    applyRestrictions();
    emit objectsTableReopenRequested(qs(dataDir_));
    emit rebuildMonitorRequested();
}

void TSetupForm::followStoredSchedule() {
    const std::optional<devdata::Settings> stored = devdata::SettingsStore(env_.registryPath).peek();
    if (!stored) return;
    if (stored->dtconn != settings_.dtconn) {
        if (MaskEdit1->text() == qs(nextPollEditText(settings_.dtconn)))
            MaskEdit1->setText(qs(nextPollEditText(stored->dtconn)));
        settings_.dtconn = stored->dtconn;
    }
    if (stored->scheduleBy != settings_.scheduleBy) {
        if (ComboBox4->currentIndex() == settings_.scheduleBy) selectItem(ComboBox4, stored->scheduleBy);
        settings_.scheduleBy = stored->scheduleBy;
    }
}

bool TSetupForm::storeNextPollTime(dbf::DateTime t) {
    MaskEdit1->setText(qs(nextPollEditText(t)));
    saveWith(t);
    return true;
}

void TSetupForm::loadAutostart() {
    std::optional<std::string> entry = devdata::readAutostart(env_.autostartPath);
    CheckBox23->setChecked(entry.has_value());
    if (entry && *entry != env_.programPath) {
        try {
            devdata::writeAutostart(env_.autostartPath, env_.programPath);
        } catch (const dbf::Error& e) {
            emit errorRaised(QString::fromUtf8(e.what()));
        }
    }
}

void TSetupForm::saveAutostart() {
    if (!CheckBox23->isChecked()) {
        devdata::removeAutostart(env_.autostartPath);
        return;
    }
    try {
        devdata::writeAutostart(env_.autostartPath, env_.programPath);
    } catch (const dbf::Error& e) {
        emit errorRaised(QString::fromUtf8(e.what()));
    }
}

void TSetupForm::setAccessLevel(int level) {
    accessLevel_ = level;
    GroupBox2->setEnabled(accessLevel_ != 0);
    applyRestrictions();
}

void TSetupForm::applyRestrictions() {
    Panel1->setEnabled(settingsPanelEnabled(accessLevel_, settings_.par2));
    emit restrictionsApplied();
}

void TSetupForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    Load();
    if (!centred_) {
        centred_ = true;
        if (QScreen* s = screen()) {
            QRect f = frameGeometry();
            f.moveCenter(s->availableGeometry().center());
            move(f.topLeft());
        }
    }
}

void TSetupForm::Button1Click() {
    MaskEdit1->setText(qs(nextPollEditText(env_.now())));
}

void TSetupForm::SpeedButton1Click() {
    std::optional<QString> chosen = env_.chooseFolder(this, qs(dataDir_));
    if (!chosen || chosen->isEmpty()) return;
    const std::string dir = chosen->toStdString();
    if (!dbf::tableExists(dir, devdata::kObjectsTableName)) {
        auto answer = QMessageBox::warning(this, QString::fromUtf8(setup_text::kWarningTitle),
                                           QString::fromUtf8(setup_text::kNoMaindbQuestion),
                                           QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        if (answer != QMessageBox::Ok) return;
        try {
            dbf::Table t;
            devdata::createObjectsTable(t, dir);
        } catch (const std::exception& e) {
            emit errorRaised(QString::fromUtf8(e.what()));
            return;
        }
    }
    Edit1->setText(*chosen);
}

void TSetupForm::BitBtn1Click() {
    // a next poll time that does not read keeps the window open for the operator to correct it
    if (Save()) accept();
}

void TSetupForm::BitBtn2Click() {
    Load();
    reject();
}

} // namespace shell
