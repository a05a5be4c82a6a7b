// TSRepForm, "Настройки сводного отчета": the date range, the template group and the template of a summary
// report, and the start of the summary-report program "SReport.dll" of the program folder. The template
// groups and templates come from "Patterns/SPatterns/SPatterns.ini"; "Patterns/SPatterns/RepStore.ini"
// remembers per object group of the main window the template group and template last printed. Both files are
// Windows-1251.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>

class QComboBox;
class QDateEdit;
class QPushButton;

namespace shell {

inline constexpr const char* kSummaryReportCaption = "Настройки сводного отчета";
inline constexpr const char* kSReportProgram = "SReport.dll";
inline constexpr const char* kChooseTemplateText = "Укажите шаблон";
inline constexpr const char* kNoSReportText = "Не установлен мастер сводных отчетов";
inline constexpr const char* kFileNotFoundText = "Файл не найден ";

class TSRepForm : public QDialog {
    Q_OBJECT
public:
    // programDir: the folder of "SReport.dll", "Patterns" and "Reports". Both dates start at today.
    explicit TSRepForm(std::string programDir, QWidget* parent = nullptr);

    // The text of the main window's group list ("Все объекты", a group name).
    std::function<QString()> currentGroup;
    // Shows a message of the window; replaceable in tests (message boxes by default).
    std::function<void(const QString& text)> inform;
    // Starts the program with its arguments, detached; false when it could not be started.
    std::function<bool(const QString& program, const QStringList& arguments)> startProgram;

    // Shows the window modally after the show step.
    int showModal();
    // The show step: fills the template groups and restores the choices stored for the current group.
    void prepare();
    // "Печать".
    void print();

    // The arguments "SReport.dll" is started with: "PShow", from date, to date (dd.MM.yyyy), the template
    // file name with every blank replaced by "#", the program folder + "/Reports".
    QStringList reportArguments() const;
    const QString& templateFile() const { return templateFile_; }

    QDateEdit* DateFrom;
    QDateEdit* DateTo;
    QComboBox* GroupCombo;    // "Группа шаблонов"
    QComboBox* TemplateCombo; // "Шаблон отчета"
    QPushButton* PrintButton; // "Печать"

private:
    QString patternsDir() const;
    void groupChanged();
    void templateChanged();

    std::string programDir_;
    QString templateFile_;
    bool filling_ = false;
};

} // namespace shell
