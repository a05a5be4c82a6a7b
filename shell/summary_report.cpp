#include "shell/summary_report.h"

#include "devdata/places.h"
#include "devdata/settings.h"

#include <QComboBox>
#include <QDate>
#include <QDateEdit>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace shell {

namespace {

std::string ss(const QString& s) {
    return s.toStdString();
}
QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

} // namespace

TSRepForm::TSRepForm(std::string programDir, QWidget* parent)
    : QDialog(parent), programDir_(std::move(programDir)) {
    setWindowTitle(QString::fromUtf8(kSummaryReportCaption));
    setObjectName("SRepForm");
    auto* main = new QVBoxLayout(this);

    auto* range = new QGroupBox(QString::fromUtf8("Диапазон сводного отчета"));
    auto* rl = new QHBoxLayout(range);
    DateFrom = new QDateEdit(QDate::currentDate());
    DateTo = new QDateEdit(QDate::currentDate());
    for (QDateEdit* d : {DateFrom, DateTo}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat("dd.MM.yyyy");
    }
    rl->addWidget(new QLabel(QString::fromUtf8("с")));
    rl->addWidget(DateFrom);
    rl->addWidget(new QLabel(QString::fromUtf8("по")));
    rl->addWidget(DateTo);
    main->addWidget(range);

    auto* choice = new QGridLayout;
    choice->addWidget(new QLabel(QString::fromUtf8("Группа шаблонов")), 0, 0);
    GroupCombo = new QComboBox;
    GroupCombo->setEditable(true);
    GroupCombo->setInsertPolicy(QComboBox::NoInsert);
    GroupCombo->setMinimumWidth(260);
    choice->addWidget(GroupCombo, 0, 1);
    choice->addWidget(new QLabel(QString::fromUtf8("Шаблон отчета")), 1, 0);
    TemplateCombo = new QComboBox;
    TemplateCombo->setEditable(true);
    TemplateCombo->setInsertPolicy(QComboBox::NoInsert);
    choice->addWidget(TemplateCombo, 1, 1);
    main->addLayout(choice);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    PrintButton = new QPushButton(QString::fromUtf8("Печать"));
    PrintButton->setDefault(true);
    buttons->addWidget(PrintButton);
    main->addLayout(buttons);

    inform = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
    startProgram = [](const QString& program, const QStringList& arguments) {
        return QProcess::startDetached(program, arguments);
    };
    connect(GroupCombo, &QComboBox::currentTextChanged, this, [this] {
        if (!filling_) groupChanged();
    });
    connect(TemplateCombo, &QComboBox::activated, this, [this] { templateChanged(); });
    connect(PrintButton, &QPushButton::clicked, this, [this] { print(); });
}

QString TSRepForm::patternsDir() const {
    return qs(programDir_) + "/Patterns/SPatterns/";
}

int TSRepForm::showModal() {
    prepare();
    return exec();
}

void TSRepForm::prepare() {
    devdata::IniFile patterns(ss(patternsDir() + "SPatterns.ini"));
    filling_ = true;
    GroupCombo->clear();
    for (const std::string& s : patterns.sections())
        GroupCombo->addItem(qs(s));
    GroupCombo->setCurrentIndex(-1);
    TemplateCombo->clear();
    filling_ = false;

    const QString group = currentGroup ? currentGroup() : QString();
    devdata::IniFile store(ss(patternsDir() + "RepStore.ini"));
    if (group.isEmpty() || store.sections().empty()) return;
    bool known = false;
    for (const std::string& s : store.sections())
        known = known || qs(s) == group;
    if (!known) return;
    const QString g = qs(store.value(ss(group), "GROUP").value_or(ss(GroupCombo->currentText())));
    filling_ = true;
    GroupCombo->setCurrentIndex(GroupCombo->findText(g, Qt::MatchExactly));
    filling_ = false;
    groupChanged();
    const QString r = qs(store.value(ss(group), "REPORT").value_or(ss(TemplateCombo->currentText())));
    const int at = TemplateCombo->findText(r, Qt::MatchExactly);
    TemplateCombo->setCurrentIndex(at);
    if (at >= 0) templateChanged();
}

void TSRepForm::groupChanged() {
    TemplateCombo->clear();
    if (GroupCombo->currentIndex() < 0 && GroupCombo->currentText().isEmpty()) return;
    devdata::IniFile patterns(ss(patternsDir() + "SPatterns.ini"));
    for (const std::string& k : patterns.keys(ss(GroupCombo->currentText())))
        TemplateCombo->addItem(qs(k));
    TemplateCombo->setCurrentIndex(-1);
}

void TSRepForm::templateChanged() {
    devdata::IniFile patterns(ss(patternsDir() + "SPatterns.ini"));
    const QString value =
        qs(patterns.value(ss(GroupCombo->currentText()), ss(TemplateCombo->currentText())).value_or(""));
    const QString path = patternsDir() + value;
    if (!value.isEmpty() && QFileInfo(path).isFile())
        templateFile_ = value;
    else
        inform(QString::fromUtf8(kFileNotFoundText) + path);
}

QStringList TSRepForm::reportArguments() const {
    return {"PShow", DateFrom->date().toString("dd.MM.yyyy"), DateTo->date().toString("dd.MM.yyyy"),
            QString(templateFile_).replace(' ', '#'), qs(programDir_) + "/Reports"};
}

void TSRepForm::print() {
    if (templateFile_.isEmpty()) {
        inform(QString::fromUtf8(kChooseTemplateText));
        return;
    }
    const QStringList args = reportArguments();
    const QString program = qs(devdata::programFile(programDir_, kSReportProgram));
    if (!QFileInfo(program).isFile()) {
        inform(QString::fromUtf8(kNoSReportText));
        return;
    }
    if (!startProgram(program, args)) {
        inform(QString::fromUtf8("Не удалось запустить ") + program);
        return;
    }
    const QString group = currentGroup ? currentGroup() : QString();
    devdata::IniFile store(ss(patternsDir() + "RepStore.ini"));
    store.set(ss(group), "GROUP", ss(GroupCombo->currentText()));
    store.set(ss(group), "REPORT", ss(TemplateCombo->currentText()));
    try {
        store.write();
    } catch (const std::exception& e) {
        // the report was started; only the remembered choice is lost
        inform(QString::fromStdString(e.what()));
    }
}

} // namespace shell
