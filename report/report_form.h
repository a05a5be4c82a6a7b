// The window "Мастер отчетов v4.11" of the report program: the archive of one calculator as a grid and a
// chart, the range, kind and system choices, the error explanation, the deletions, and the template reports
// (group and template lists, the template view, "Заполнить отчет" with its preview).
#pragma once

#include "report/archive_model.h"
#include "report/catalogue.h"
#include "report/chart_panel.h"
#include "report/grid_export.h"
#include "report/launch.h"
#include "report/office_call.h"
#include "report/ranges.h"
#include "report/session.h"
#include "report/template_fill.h"

#include <QDialog>
#include <QMainWindow>
#include <QMessageBox>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

QT_BEGIN_NAMESPACE
class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QListWidget;
class QPdfDocument;
class QPdfView;
class QPrinter;
class QPushButton;
class QStackedWidget;
class QTabWidget;
class QTableView;
class QToolButton;
class QAction;
QT_END_NAMESPACE

namespace zorbel {

namespace calc {
class Office;
}

inline constexpr const char* kFormCaption = "Мастер отчетов v4.11";
inline constexpr const char* kNoTemplateText =
    "Отсутствует или не выбран шаблон отчета. Формирование отчета невозможно";
inline constexpr const char* kOutputErrorText = "Ошибка вывода данных";

// The filled report's first sheet as PDF, with printing and saving.
class TPreviewForm : public QDialog {
    Q_OBJECT
public:
    // Saves the filled workbook `from` as the file `to` (its format by the file name's ending).
    using Converter = std::function<bool(const QString& from, const QString& to)>;

    TPreviewForm(const QString& pdfPath, QWidget* parent = nullptr);
    ~TPreviewForm() override;
    QPdfDocument* document() const { return doc_; }
    QPdfView* view() const { return view_; }
    // The filled workbook the report was made of (removed with the preview) and what saves it in the
    // spreadsheet formats.
    void setWorkbook(const QString& path, Converter convert);
    // Saves the report: a copy of the PDF for ".pdf", the filled workbook for ".xlsx", ".ods" and ".xls";
    // false when it cannot be written.
    bool saveAs(const QString& path);
    // Prints every page on the printer as it is set up, each rendered at the printer's resolution but at
    // most kMaxPrintDpi; false when it cannot be printed on.
    bool printTo(QPrinter& printer);
    static constexpr int kMaxPrintDpi = 600;
    QPushButton* printButton() const { return print_; }
    QPushButton* saveButton() const { return save_; }

private:
    void print();
    void askSave();
    QString path_;
    QString book_;
    Converter convert_;
    QPdfDocument* doc_ = nullptr;
    QPdfView* view_ = nullptr;
    QPushButton* print_ = nullptr;
    QPushButton* save_ = nullptr;
};

struct ReportEnv {
    std::string dataDir;
    std::string programDir; // holds "Patterns"
    LaunchArgs args;
};

class TReportForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TReportForm(ReportEnv env, QWidget* parent = nullptr);
    ~TReportForm() override;

    // Start-up after the command line was checked: opens the tables and fills the window. False when the
    // program is to end (its messages were shown).
    bool start();

    // ---- controls
    QComboBox* kindBox() const { return kindBox_; }
    QComboBox* rangeBox() const { return rangeBox_; }
    QDateEdit* fromEdit() const { return fromEdit_; }
    QDateEdit* toEdit() const { return toEdit_; }
    QComboBox* systemBox() const { return systemBox_; }
    QCheckBox* differenceBox() const { return differenceBox_; }
    QLabel* addressLabel() const { return address_; }
    QPushButton* fillButton() const { return fillButton_; }
    QTableView* grid() const { return grid_; }
    ArchiveModel* model() const { return model_; }
    QTabWidget* tabs() const { return tabs_; }
    QComboBox* groupBox() const { return groupBox_; }
    QComboBox* templateBox() const { return templateBox_; }
    QAction* deleteEmptyAction() const { return deleteEmpty_; }
    QAction* deleteFromAction() const { return deleteFrom_; }
    QAction* deleteAllAction() const { return deleteAll_; }
    QPushButton* chartRefreshButton() const { return chartRefresh_; }
    QCheckBox* autoRefreshBox() const { return autoRefresh_; }
    QCheckBox* pointValuesBox() const { return pointValues_; }
    QCheckBox* threeDBox() const { return threeD_; }
    QListWidget* fieldList() const { return fieldList_; }
    ChartPanel* chart() const { return chart_; }
    QToolButton* exitButton() const { return exit_; }
    QPdfView* templateView() const { return templateView_; }
    QPdfDocument* templateDocument() const { return templateDoc_; }
    TPreviewForm* preview() const { return preview_; }

    ArchiveSession& session() { return session_; }
    // Path of the template the view holds, empty when none.
    const QString& templatePath() const { return templatePath_; }
    // Renders the template view now (it is otherwise rendered when its tab is shown).
    void renderTemplateView();
    // The spreadsheet engine (made on first use; the calls start it).
    calc::Office& office();
    // Runs work on the office (started first when it is not running) within the deadlines, the window
    // waiting meanwhile.
    CallResult officeCall(const QString& caption, const std::function<void(calc::Office&)>& work);
    void setOfficeDeadlines(OfficeDeadlines d) { deadlines_ = d; }
    const OfficeDeadlines& officeDeadlines() const { return deadlines_; }

    // Saves the rows the grid shows (captions first) to path; false when it fails (the message was shown).
    bool exportGrid(const QString& path, GridExport how);
    QAction* exportGridAction() const { return exportGrid_; }

    // Actions of the grid's context menu and of the report button (also reachable from tests).
    void deleteEmptyRecords();
    void deleteFromCurrent();
    void deleteWholeArchive();
    void explainCurrentRecord();
    void fillReport();
    // Asks for the file and its type, then exports the grid.
    void askExportGrid();
    void refreshChart();

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    void buildWindow();
    void applyKindChange(int index);
    void applySystemChange();
    void rebuildColumns();
    void applyRange(RangeChange change);
    void reloadGrid();
    void fillGroups();
    void chooseGroup(int index);
    void chooseTemplate(int index);
    void restoreStoredChoice();
    bool moveToCurrentRecord();
    QMessageBox::StandardButton message(QMessageBox::Icon icon, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
    QString patternsDir() const;
    ReportContext reportContext() const;
    Ymd today() const;

    ReportEnv env_;
    ArchiveSession session_;
    std::vector<CatalogueGroup> catalogue_;
    QString templatePath_;
    bool templateRendered_ = false;
    std::unique_ptr<calc::Office> office_;
    std::thread officeStarter_; // starts the office in the background at start-up
    std::atomic<bool> officeStarting_{false};
    void joinOfficeStarter();
    OfficeDeadlines deadlines_;
    QAction* exportGrid_ = nullptr;

    QTabWidget* tabs_ = nullptr;
    QComboBox* kindBox_ = nullptr;
    QComboBox* rangeBox_ = nullptr;
    QDateEdit* fromEdit_ = nullptr;
    QDateEdit* toEdit_ = nullptr;
    QComboBox* systemBox_ = nullptr;
    QCheckBox* differenceBox_ = nullptr;
    QLabel* address_ = nullptr;
    QPushButton* fillButton_ = nullptr;
    QTableView* grid_ = nullptr;
    ArchiveModel* model_ = nullptr;
    QComboBox* groupBox_ = nullptr;
    QComboBox* templateBox_ = nullptr;
    QAction* deleteEmpty_ = nullptr;
    QAction* deleteFrom_ = nullptr;
    QAction* deleteAll_ = nullptr;
    QPushButton* chartRefresh_ = nullptr;
    QCheckBox* autoRefresh_ = nullptr;
    QCheckBox* pointValues_ = nullptr;
    QCheckBox* threeD_ = nullptr;
    QListWidget* fieldList_ = nullptr;
    ChartPanel* chart_ = nullptr;
    QToolButton* exit_ = nullptr;
    QStackedWidget* templateStack_ = nullptr;
    QLabel* templateNote_ = nullptr;
    QPdfView* templateView_ = nullptr;
    QPdfDocument* templateDoc_ = nullptr;
    TPreviewForm* preview_ = nullptr;
    QString templatePdf_;
    bool rebuilding_ = false;
};

} // namespace zorbel
