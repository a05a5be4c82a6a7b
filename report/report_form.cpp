#include "report/report_form.h"

#include "devdata/settings.h"
#include "devdata/tables.h"
#include "report/calc.h"
#include "report/errors.h"
#include "report/report_filler.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPdfDocument>
#include <QPdfPageNavigator>
#include <QPdfView>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <filesystem>

#if defined(__SANITIZE_ADDRESS__)
// Qt 6.4 keeps the PDF view's render thread and the scroller of its gesture to the end of the process, and
// the UNO runtime its type descriptions.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:QPdfPageRenderer\nleak:QScroller::grabGesture\nleak:libuno_cppu.so\nleak:libuno_sal.so\n";
}
#endif

namespace zorbel {

namespace {

const QLocale kRussian(QLocale::Russian, QLocale::Russia);

QDate toQDate(Ymd d) {
    return QDate(d.y, d.m, d.d);
}

Ymd toYmd(QDate d) {
    return {d.year(), d.month(), d.day()};
}

dbf::DateTime toDateTime(QDate d) {
    return dbf::DateTime::fromParts(d.year(), d.month(), d.day());
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// A scratch file in the user's private temporary folder (the working copy of a template, the pictures of
// the previews); empty, so that the work fails, when there is no such folder.
QString privateFile(const QString& name) {
    const std::string dir = devdata::privateTempDir();
    return dir.empty() ? QString() : q(dir) + "/" + name;
}

// The error texts run their lines with "\n\r"; the box shows them as lines.
QString boxText(const std::string& s) {
    return q(s).remove('\r');
}

} // namespace

// ------------------------------------------------------------------------------------------- preview

TPreviewForm::TPreviewForm(const QString& pdfPath, QWidget* parent) : QDialog(parent), path_(pdfPath) {
    setWindowTitle("Предварительный просмотр");
    resize(900, 700);
    doc_ = new QPdfDocument(this);
    doc_->load(path_);
    view_ = new QPdfView(this);
    view_->setDocument(doc_);
    view_->setPageMode(QPdfView::PageMode::MultiPage);
    view_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    print_ = new QPushButton("Печать", this);
    save_ = new QPushButton("Сохранить отчет", this);
    auto* close = new QPushButton("Закрыть", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(print_);
    buttons->addWidget(save_);
    buttons->addStretch();
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    layout->addWidget(view_, 1);
    connect(print_, &QPushButton::clicked, this, &TPreviewForm::print);
    connect(save_, &QPushButton::clicked, this, &TPreviewForm::askSave);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    setAttribute(Qt::WA_DeleteOnClose);
}

TPreviewForm::~TPreviewForm() {
    doc_->close();
    // the filled report is discarded with its preview
    QFile::remove(path_);
    if (!book_.isEmpty()) QFile::remove(book_);
}

void TPreviewForm::setWorkbook(const QString& path, Converter convert) {
    book_ = path;
    convert_ = std::move(convert);
}

namespace {

// The file types of "Сохранить отчет", each with the ending it gives a name without one.
const std::pair<const char*, const char*> kReportTypes[] = {
    {"Документ PDF (*.pdf)", ".pdf"},
    {"Книга Excel 2007-365 (*.xlsx)", ".xlsx"},
    {"Электронная таблица ODF (*.ods)", ".ods"},
    {"Книга Excel 97-2003 (*.xls)", ".xls"},
};

// The chosen name with the ending of the chosen type, unless it has one of the known endings already.
QString withEnding(QString path, const QString& filter, const QStringList& filters,
                   const QStringList& endings) {
    for (const QString& e : endings)
        if (path.endsWith(e, Qt::CaseInsensitive)) return path;
    const auto i = filters.indexOf(filter);
    return path + endings.value(i >= 0 ? int(i) : 0);
}

} // namespace

void TPreviewForm::askSave() {
    QStringList filters, endings;
    for (const auto& [f, e] : kReportTypes) {
        filters << f;
        endings << e;
    }
    QString filter = filters[0];
    QString to = QFileDialog::getSaveFileName(this, "Сохранить отчет", QDir::homePath() + "/Отчет.pdf",
                                              filters.join(";;"), &filter);
    if (to.isEmpty()) return;
    to = withEnding(to, filter, filters, endings);
    if (!saveAs(to)) QMessageBox::critical(this, "Zorbel", "Не удалось записать файл " + to);
}

bool TPreviewForm::saveAs(const QString& path) {
    if (path.endsWith(".pdf", Qt::CaseInsensitive)) {
        // written beside and renamed over it: a report saved there before stays whole until the new one is
        QFile from(path_);
        if (!from.open(QIODevice::ReadOnly)) return false;
        const QByteArray bytes = from.readAll();
        if (from.error() != QFileDevice::NoError) return false;
        return devdata::replaceFile(path.toStdString(),
                                    std::string_view(bytes.constData(), size_t(bytes.size())));
    }
    if (book_.isEmpty() || !convert_ || calc::Workbook::filterFor(path.toStdString()).empty()) return false;
    return convert_(book_, path);
}

void TPreviewForm::print() {
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, this);
    if (dialog.exec() != QDialog::Accepted) return;
    if (!printTo(printer)) QMessageBox::critical(this, "Zorbel", "Не удалось напечатать отчет");
}

bool TPreviewForm::printTo(QPrinter& printer) {
    QPainter p;
    if (!p.begin(&printer)) return false;
    const int resolution = printer.resolution();
    const double scale = double(std::min(resolution, kMaxPrintDpi)) / resolution;
    for (int i = 0; i < doc_->pageCount(); ++i) {
        if (i > 0) printer.newPage();
        // each page fills the printable area, its proportions kept; the picture has the printer's
        // resolution, a finer one than kMaxPrintDpi shows nothing more and only fills the printer's memory
        QRect area = printer.pageLayout().paintRectPixels(resolution);
        QSizeF page = doc_->pagePointSize(i);
        QSize target = page.scaled(QSizeF(area.size()), Qt::KeepAspectRatio).toSize();
        QSize px = (QSizeF(target) * scale).toSize();
        p.drawImage(QRect(QPoint(0, 0), target), doc_->render(i, px));
    }
    return p.end();
}

// ------------------------------------------------------------------------------------------- window

TReportForm::TReportForm(ReportEnv env, QWidget* parent)
    : QMainWindow(parent), env_(std::move(env)), session_(env_.dataDir) {
    setWindowTitle(kFormCaption);
    buildWindow();
}

TReportForm::~TReportForm() {
    joinOfficeStarter();
    delete preview_;
    if (templateDoc_) templateDoc_->close();
    if (!templatePdf_.isEmpty()) QFile::remove(templatePdf_);
}

void TReportForm::buildWindow() {
    // the design size, as far as the screen has room; the panels are laid out so that they fit in it
    QSize size(1036, 663);
    if (QScreen* s = QGuiApplication::primaryScreen()) size = size.boundedTo(s->availableGeometry().size());
    resize(size);
    if (QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());

    // tool bar: report group and template, the template buttons (prepared outside the program), exit
    auto* bar = addToolBar("Отчеты");
    bar->setMovable(false);
    bar->addWidget(new QLabel(" Группа отчетов: "));
    groupBox_ = new QComboBox;
    groupBox_->setMinimumWidth(200);
    bar->addWidget(groupBox_);
    bar->addWidget(new QLabel(" Шаблон отчета: "));
    templateBox_ = new QComboBox;
    templateBox_->setMinimumWidth(260);
    bar->addWidget(templateBox_);
    bar->addSeparator();
    // shown as icons with their names as hints, so that the exit button fits beside them
    const std::pair<const char*, QStyle::StandardPixmap> templateButtons[] = {
        {"Добавить новый шаблон", QStyle::SP_FileIcon},
        {"Редактировать шаблон", QStyle::SP_FileDialogDetailedView},
        {"Сохранить шаблон", QStyle::SP_DialogSaveButton}};
    for (const auto& [text, icon] : templateButtons) {
        QAction* a = bar->addAction(style()->standardIcon(icon), text);
        a->setEnabled(false);
    }
    bar->addSeparator();
    exit_ = new QToolButton;
    exit_->setText("Выход");
    bar->addWidget(exit_);
    connect(exit_, &QToolButton::clicked, this, &QWidget::close);
    connect(groupBox_, &QComboBox::activated, this, &TReportForm::chooseGroup);
    connect(templateBox_, &QComboBox::activated, this, &TReportForm::chooseTemplate);

    // status bar: four panels that nothing writes to
    for (int w : {200, 55, 200, 50}) {
        auto* l = new QLabel;
        l->setMinimumWidth(w);
        statusBar()->addWidget(l);
    }

    tabs_ = new QTabWidget;
    setCentralWidget(tabs_);

    // ---- "Данные архива"
    auto* archivePage = new QWidget;
    auto* conditions = new QGroupBox("Условия выборки данных");
    auto* c = new QHBoxLayout(conditions);
    auto* kindCol = new QVBoxLayout;
    kindCol->addWidget(new QLabel("Тип архива"));
    kindBox_ = new QComboBox;
    for (auto k : {ArchiveKind::Daily, ArchiveKind::Hourly, ArchiveKind::Monthly})
        kindBox_->addItem(kindCaption(k));
    kindCol->addWidget(kindBox_);
    c->addLayout(kindCol);
    auto* rangeCol = new QVBoxLayout;
    rangeCol->addWidget(new QLabel("Диапазон"));
    rangeBox_ = new QComboBox;
    for (const char* r : kRangeItems)
        rangeBox_->addItem(r);
    rangeCol->addWidget(rangeBox_);
    c->addLayout(rangeCol);
    auto dateEdit = [] {
        auto* e = new QDateEdit;
        e->setLocale(kRussian);
        e->setDisplayFormat("d MMMM yyyy");
        e->setCalendarPopup(true);
        e->setMinimumWidth(130);
        return e;
    };
    auto* fromCol = new QVBoxLayout;
    fromCol->addWidget(new QLabel("Диапазон от"));
    fromEdit_ = dateEdit();
    fromCol->addWidget(fromEdit_);
    c->addLayout(fromCol);
    auto* toCol = new QVBoxLayout;
    toCol->addWidget(new QLabel("до"));
    toEdit_ = dateEdit();
    toCol->addWidget(toEdit_);
    c->addLayout(toCol);
    auto* sysCol = new QVBoxLayout;
    sysCol->addWidget(new QLabel("Система №"));
    systemBox_ = new QComboBox;
    systemBox_->addItems({"Система 1", "Система 2"});
    sysCol->addWidget(systemBox_);
    c->addLayout(sysCol);
    differenceBox_ = new QCheckBox("Разность");
    c->addWidget(differenceBox_, 0, Qt::AlignBottom);
    address_ = new QLabel;
    QFont bold = address_->font();
    bold.setBold(true);
    address_->setFont(bold);
    address_->setStyleSheet("color: palette(highlight);");
    // a long address must not widen the window beyond its design width: it is cut at the panel's edge
    address_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    address_->setMinimumWidth(40);
    c->addWidget(address_, 1, Qt::AlignBottom);
    fillButton_ = new QPushButton("Заполнить отчет");
    c->addWidget(fillButton_, 0, Qt::AlignBottom);

    grid_ = new QTableView;
    model_ = new ArchiveModel(grid_);
    grid_->setModel(model_);
    grid_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grid_->setSelectionBehavior(QAbstractItemView::SelectRows);
    grid_->setSelectionMode(QAbstractItemView::SingleSelection);
    grid_->horizontalHeader()->setSectionsMovable(true);
    grid_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    grid_->verticalHeader()->setDefaultSectionSize(20);
    grid_->setContextMenuPolicy(Qt::ActionsContextMenu);
    deleteEmpty_ = new QAction("Очистить от пустых записей", grid_);
    deleteFrom_ = new QAction("Удалить с текущей записи до конца", grid_);
    deleteAll_ = new QAction("Удалить архив полностью", grid_);
    grid_->addActions({deleteEmpty_, deleteFrom_, deleteAll_});
    exportGrid_ = new QAction("Сохранить выборку в файл...", grid_);
    grid_->addAction(exportGrid_);
    connect(exportGrid_, &QAction::triggered, this, &TReportForm::askExportGrid);
    connect(deleteEmpty_, &QAction::triggered, this, &TReportForm::deleteEmptyRecords);
    connect(deleteFrom_, &QAction::triggered, this, &TReportForm::deleteFromCurrent);
    connect(deleteAll_, &QAction::triggered, this, &TReportForm::deleteWholeArchive);
    connect(grid_, &QTableView::doubleClicked, this, [this] { explainCurrentRecord(); });
    // a column moved by drag returns to the table order
    connect(grid_->horizontalHeader(), &QHeaderView::sectionMoved, this, [this] {
        if (!rebuilding_)
            QMetaObject::invokeMethod(
                this, [this] { rebuildColumns(); }, Qt::QueuedConnection);
    });

    auto* archiveLayout = new QVBoxLayout(archivePage);
    archiveLayout->addWidget(conditions);
    archiveLayout->addWidget(grid_, 1);
    tabs_->addTab(archivePage, "Данные архива");

    // ---- "Бланк отчета": the template, rendered read-only
    templateStack_ = new QStackedWidget;
    templateNote_ = new QLabel;
    templateNote_->setAlignment(Qt::AlignCenter);
    templateNote_->setWordWrap(true);
    templateDoc_ = new QPdfDocument(this);
    templateView_ = new QPdfView;
    templateView_->setDocument(templateDoc_);
    templateView_->setPageMode(QPdfView::PageMode::MultiPage);
    templateView_->setZoomMode(QPdfView::ZoomMode::FitToWidth);
    templateStack_->addWidget(templateNote_);
    templateStack_->addWidget(templateView_);
    tabs_->addTab(templateStack_, "Бланк отчета");

    // ---- "График"
    auto* chartPage = new QWidget;
    auto* fields = new QGroupBox("Доступные поля");
    fields->setFixedWidth(220);
    auto* f = new QVBoxLayout(fields);
    chartRefresh_ = new QPushButton("Обновить график");
    autoRefresh_ = new QCheckBox("Автообновление");
    autoRefresh_->setChecked(true);
    pointValues_ = new QCheckBox("Значения точек");
    threeD_ = new QCheckBox("3D режим");
    threeD_->setChecked(true);
    fieldList_ = new QListWidget;
    f->addWidget(chartRefresh_);
    f->addWidget(autoRefresh_);
    f->addWidget(pointValues_);
    f->addWidget(threeD_);
    f->addWidget(fieldList_, 1);
    chart_ = new ChartPanel;
    chart_->set3D(true);
    auto* chartLayout = new QHBoxLayout(chartPage);
    chartLayout->addWidget(fields);
    chartLayout->addWidget(chart_, 1);
    tabs_->addTab(chartPage, "График");
    connect(chartRefresh_, &QPushButton::clicked, this, &TReportForm::refreshChart);
    connect(fieldList_, &QListWidget::itemChanged, this, [this] {
        if (!rebuilding_ && autoRefresh_->isChecked()) refreshChart();
    });
    connect(pointValues_, &QCheckBox::toggled, chart_, &ChartPanel::setPointLabels);
    connect(threeD_, &QCheckBox::toggled, chart_, &ChartPanel::set3D);

    connect(tabs_, &QTabWidget::currentChanged, this, [this](int i) {
        if (tabs_->widget(i) == templateStack_) renderTemplateView();
    });
    connect(kindBox_, &QComboBox::activated, this, &TReportForm::applyKindChange);
    connect(rangeBox_, &QComboBox::activated, this, [this] { applyRange(RangeChange::List); });
    connect(fromEdit_, &QDateEdit::dateChanged, this, [this] { applyRange(RangeChange::From); });
    connect(toEdit_, &QDateEdit::dateChanged, this, [this] { applyRange(RangeChange::To); });
    connect(systemBox_, &QComboBox::activated, this, [this] { applySystemChange(); });
    connect(fillButton_, &QPushButton::clicked, this, &TReportForm::fillReport);
}

QMessageBox::StandardButton TReportForm::message(QMessageBox::Icon icon, const QString& text,
                                                 QMessageBox::StandardButtons buttons) {
    QMessageBox box(icon, "Zorbel", text, buttons, this);
    return QMessageBox::StandardButton(box.exec());
}

Ymd TReportForm::today() const {
    return toYmd(QDate::currentDate());
}

bool TReportForm::start() {
    const LaunchArgs& a = env_.args;
    kindBox_->setCurrentIndex(int(a.kind));
    if (!session_.openArchive(a.serial, a.kind, a.deviceType)) return false;
    if (session_.archiveDamaged()) message(QMessageBox::Critical, q(session_.openError()));
    rangeBox_->setCurrentIndex(a.rangePreset >= 0 && a.rangePreset < rangeBox_->count() ? a.rangePreset : -1);
    differenceBox_->setChecked(a.difference);
    try {
        if (auto error = session_.openObject()) {
            message(QMessageBox::Critical, q(*error));
            return false;
        }
        address_->setText(q(session_.objects().asString("ADDRES")));
    } catch (const std::exception& e) {
        // a damaged objects table: the archive is shown all the same, without the object's address
        message(QMessageBox::Critical, q(e.what()));
    }
    try {
        // 225 and 238 never have parameter rows: no poll could resolve what the warning promises
        if (!session_.openParams() && hasParameterRows(session_.deviceType()))
            message(QMessageBox::Question, q(kParamsMissingText).remove('\r'));
    } catch (const std::exception& e) {
        // a damaged parameters table: said once, and the report goes without the configuration
        session_.closeParams();
        message(QMessageBox::Critical,
                "Таблица параметров " + q(dbf::findFile(session_.dataDir(), "ParsDB.dbf")) + " повреждена: " +
                    q(e.what()) + "\nДанные конфигурации системы в отчет выводиться не будут.");
    }
    fillGroups();
    {
        QSignalBlocker b1(fromEdit_), b2(toEdit_);
        dbf::Table& arch = session_.archive();
        dbf::DateTime first = dbf::DateTime::now();
        try {
            if (arch.isOpen()) {
                arch.first();
                if (!arch.isEmpty() && !arch.isNull("WriteDay")) first = arch.asDateTime("WriteDay");
            }
        } catch (const std::exception& e) {
            message(QMessageBox::Critical, q(e.what()));
        }
        fromEdit_->setDate(QDate(first.year(), first.month(), first.day()));
        toEdit_->setDate(QDate::currentDate());
    }
    systemBox_->setCurrentIndex(0);
    rebuildColumns();
    if (groupBox_->count() > 0) {
        groupBox_->setCurrentIndex(0);
        chooseGroup(0);
        if (templateBox_->count() > 0) {
            templateBox_->setCurrentIndex(0);
            chooseTemplate(0);
        }
    }
    applyRange(RangeChange::List);
    restoreStoredChoice();
    // With templates to fill, the spreadsheet engine is started now, in the background, so that the template
    // view and the first report do not wait for it; it lives as long as the program.
    if (!catalogue_.empty()) {
        office_ = std::make_unique<calc::Office>();
        try {
            office_->launch(); // on this thread: the office then ends with the program
        } catch (const std::exception&) {
            // the report says so when it needs the office
        }
        officeStarting_ = true;
        officeStarter_ = std::thread([this, office = office_.get(), startMs = deadlines_.startMs] {
            try {
                office->start(startMs);
            } catch (const std::exception&) {
                // tried again, with its message, when a report needs it
            }
            officeStarting_ = false;
        });
    }
    return true;
}

void TReportForm::joinOfficeStarter() {
    if (officeStarter_.joinable()) officeStarter_.join();
}

// ---- archive side

void TReportForm::applyKindChange(int index) {
    auto kind = ArchiveKind(index);
    try {
        if (!session_.switchKind(kind)) {
            message(QMessageBox::Information, kindMissingText(kind));
            kindBox_->setCurrentIndex(-1);
        }
        rebuildColumns();
        applyRange(RangeChange::From);
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
}

void TReportForm::applySystemChange() {
    rebuildColumns();
    applyRange(RangeChange::From);
}

void TReportForm::rebuildColumns() {
    rebuilding_ = true;
    int system = systemBox_->currentIndex() == 1 ? 2 : 1;
    auto columns = gridColumns(session_.deviceType(), system);
    fieldList_->clear();
    for (const auto& col : columns) {
        auto* item = new QListWidgetItem(q(col.caption), fieldList_);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
    try {
        model_->load(session_.archive(), columns);
    } catch (const std::exception& e) {
        model_->clear();
        message(QMessageBox::Critical, q(e.what()));
    }
    QHeaderView* h = grid_->horizontalHeader();
    for (int i = 0; i < h->count(); ++i)
        if (h->visualIndex(i) != i) h->moveSection(h->visualIndex(i), i);
    h->setResizeContentsPrecision(50);
    grid_->resizeColumnsToContents();
    rebuilding_ = false;
}

void TReportForm::applyRange(RangeChange change) {
    int item = rangeBox_->currentIndex();
    DateRange r{toYmd(fromEdit_->date()), toYmd(toEdit_->date())};
    r = applyRangeChange(item, change, r, today());
    {
        QSignalBlocker b1(fromEdit_), b2(toEdit_);
        fromEdit_->setDate(toQDate(r.from));
        toEdit_->setDate(toQDate(r.to));
    }
    try {
        if (item == kRangeAll)
            session_.showAll();
        else
            session_.restrict(toDateTime(fromEdit_->date()), toDateTime(toEdit_->date()));
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
    reloadGrid();
}

void TReportForm::reloadGrid() {
    try {
        model_->load(session_.archive(), model_->columns());
    } catch (const std::exception& e) {
        model_->clear();
        message(QMessageBox::Critical, q(e.what()));
    }
    if (autoRefresh_->isChecked() && !chart_->series().isEmpty()) refreshChart();
}

bool TReportForm::moveToCurrentRecord() {
    QModelIndex i = grid_->currentIndex();
    if (!i.isValid() || !session_.archive().isOpen()) return false;
    session_.archive().setRecNo(model_->recNo(i.row()));
    return true;
}

void TReportForm::explainCurrentRecord() {
    try {
        if (!moveToCurrentRecord()) return;
        dbf::Table& a = session_.archive();
        auto byte = [&](const char* field) {
            return a.fieldIndex(field) >= 0 && !a.isNull(field) ? int(a.asInt(field)) : 0;
        };
        std::string text =
            explainErrors(session_.deviceType(), byte("DevErr"), byte("SysErr1"), byte("SysErr2"));
        message(QMessageBox::NoIcon, boxText(text));
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
}

void TReportForm::deleteEmptyRecords() {
    if (!session_.archive().isOpen()) return;
    try {
        int n = session_.countEmptyRecords();
        if (message(QMessageBox::Question, "Найдено мусора " + QString::number(n) + " Хотите очистить?",
                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok)
            session_.deleteEmptyRecords();
        else
            session_.reread();
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
    applyRange(RangeChange::From);
}

void TReportForm::deleteFromCurrent() {
    try {
        if (!moveToCurrentRecord()) return;
        dbf::Table& a = session_.archive();
        QString when = ArchiveModel::display(a.value("WriteDay"));
        int64_t num = a.asInt("NUM");
        if (message(QMessageBox::Question, "Вы уверены что хотите удалить все записи с " + when,
                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok)
            session_.deleteFromNum(num);
        else
            session_.reread();
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
    applyRange(RangeChange::From);
}

void TReportForm::deleteWholeArchive() {
    // a damaged archive is deleted as well: the next poll makes a new one
    if (!session_.archive().isOpen() && !session_.archiveDamaged()) return;
    if (message(QMessageBox::Question, "Вы уверены что хотите удалить архив полностью?",
                QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok)
        return;
    try {
        if (!session_.deleteArchive()) {
            // records a poll appended meanwhile were kept: the grid shows them
            applyRange(RangeChange::From);
            return;
        }
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
    model_->clear();
    chart_->clear();
}

void TReportForm::refreshChart() {
    QVector<ChartSeries> series;
    dbf::Table& a = session_.archive();
    const auto& columns = model_->columns();
    try {
        for (int i = 0; i < fieldList_->count() && i < int(columns.size()); ++i) {
            if (fieldList_->item(i)->checkState() != Qt::Checked) continue;
            ChartSeries s;
            s.title = fieldList_->item(i)->text();
            if (a.isOpen()) {
                int f = a.fieldIndex(columns[size_t(i)].field);
                for (a.first(); f >= 0 && !a.eof(); a.next()) {
                    if (isGarbageRecord(a)) continue; // it would stretch the time axis back to 1999
                    dbf::DateTime t = a.asDateTime("WriteDay");
                    QDateTime x(QDate(t.year(), t.month(), t.day()), QTime(t.hour(), t.minute()));
                    dbf::Value v = a.value(f);
                    double y = 0;
                    if (auto* d = std::get_if<double>(&v))
                        y = *d;
                    else if (auto* n = std::get_if<int64_t>(&v))
                        y = double(*n);
                    else if (auto* dt = std::get_if<dbf::DateTime>(&v))
                        y = dt->toOleDays();
                    else
                        continue;
                    s.points.append(QPointF(double(x.toMSecsSinceEpoch()), y));
                }
                a.first();
            }
            series.append(s);
        }
    } catch (const std::exception& e) {
        message(QMessageBox::Critical, q(e.what()));
    }
    chart_->setSeries(series);
}

// ---- template reports

QString TReportForm::patternsDir() const {
    return q(devdata::joinPath(env_.programDir, kPatternsDir));
}

void TReportForm::fillGroups() {
    catalogue_ =
        readCatalogue(devdata::joinPath(devdata::joinPath(env_.programDir, kPatternsDir), kCatalogueFile));
    groupBox_->clear();
    for (const auto& g : catalogue_)
        groupBox_->addItem(q(g.name));
}

void TReportForm::chooseGroup(int index) {
    templateBox_->clear();
    if (index >= 0 && index < int(catalogue_.size()))
        for (const auto& r : catalogue_[size_t(index)].reports)
            templateBox_->addItem(q(r.first));
    // the view is emptied
    templatePath_.clear();
    templateRendered_ = false;
    templateDoc_->close();
    templateNote_->setText("Шаблон отчета не выбран");
    templateStack_->setCurrentWidget(templateNote_);
    // the list shows the group's first template: that one is the chosen one
    if (templateBox_->currentIndex() >= 0) chooseTemplate(templateBox_->currentIndex());
}

void TReportForm::chooseTemplate(int index) {
    int g = groupBox_->currentIndex();
    if (g < 0 || g >= int(catalogue_.size()) || index < 0 ||
        index >= int(catalogue_[size_t(g)].reports.size()))
        return;
    QString path = patternsDir() + "/" + q(catalogue_[size_t(g)].reports[size_t(index)].second);
    if (!QFile::exists(path)) return; // the view keeps its present document
    templatePath_ = path;
    templateRendered_ = false;
    if (tabs_->currentWidget() == templateStack_) renderTemplateView();
}

calc::Office& TReportForm::office() {
    if (!office_) office_ = std::make_unique<calc::Office>();
    return *office_;
}

CallResult TReportForm::officeCall(const QString& caption, const std::function<void(calc::Office&)>& work) {
    calc::Office& o = office();
    // A new office is launched from this thread, so that it ends with the program whatever way that ends.
    if (!officeStarting_ && !o.running()) {
        try {
            o.launch();
        } catch (const std::exception&) {
            // the start below says so
        }
    }
    // the start (waiting for the one begun at start-up, when it still runs) has its own part of the time;
    // nothing else uses the office while it is not starting
    const bool up = !officeStarting_ && o.running();
    const int startMs = deadlines_.startMs;
    return runOfficeCall(this, o, (up ? 0 : startMs) + deadlines_.callMs, caption, [&o, &work, startMs] {
        o.start(startMs);
        work(o);
    });
}

void TReportForm::renderTemplateView() {
    if (templateRendered_) return;
    templateRendered_ = true;
    templateDoc_->close();
    if (templatePath_.isEmpty()) {
        templateNote_->setText("Шаблон отчета не выбран");
        templateStack_->setCurrentWidget(templateNote_);
        return;
    }
    if (templatePdf_.isEmpty())
        templatePdf_ = privateFile(QString("zorbel-template-%1.pdf").arg(QApplication::applicationPid()));
    const std::string from = templatePath_.toStdString(), to = templatePdf_.toStdString();
    CallResult r = officeCall("Подготовка бланка отчета...", [&](calc::Office& o) {
        auto wb = o.open(from, false, true);
        wb->exportFirstSheetPdf(to);
        wb->close();
    });
    if (r.ok()) {
        templateDoc_->load(templatePdf_);
        templateStack_->setCurrentWidget(templateView_);
    } else {
        templateRendered_ = false; // tried again when the tab is shown again
        templateNote_->setText("Шаблон не может быть показан: " +
                               (r.end == CallEnd::Failed ? q(r.error) : QString(kOutputErrorText)));
        templateStack_->setCurrentWidget(templateNote_);
    }
}

void TReportForm::restoreStoredChoice() {
    std::string store = devdata::joinPath(devdata::joinPath(env_.programDir, kPatternsDir), kRepStoreFile);
    // the serial number of the command line: the object's row may be unreadable
    auto choice = readStoredChoice(store, session_.serial(), session_.deviceType());
    if (!choice) return;
    QString group = choice->group ? q(*choice->group) : groupBox_->currentText();
    int gi = groupBox_->findText(group);
    if (gi >= 0) {
        groupBox_->setCurrentIndex(gi);
        chooseGroup(gi);
    }
    if (choice->report) {
        int ti = templateBox_->findText(q(*choice->report));
        if (ti >= 0) {
            templateBox_->setCurrentIndex(ti);
            chooseTemplate(ti);
        }
    }
}

ReportContext TReportForm::reportContext() const {
    ReportContext ctx;
    ctx.deviceType = session_.deviceType();
    ctx.system = systemBox_->currentIndex() == 1 ? 1 : 0;
    ctx.fromDate = fromEdit_->date().toString("dd.MM.yyyy").toStdString();
    ctx.toDate = toEdit_->date().toString("dd.MM.yyyy").toStdString();
    ctx.difference = differenceBox_->isChecked();
    ctx.kind = session_.kind();
    return ctx;
}

void TReportForm::fillReport() {
    try {
        std::string store =
            devdata::joinPath(devdata::joinPath(env_.programDir, kPatternsDir), kRepStoreFile);
        storeChoice(store, session_.serial(), session_.deviceType(), groupBox_->currentText().toStdString(),
                    templateBox_->currentText().toStdString());
    } catch (const std::exception&) {
        // the choice is not kept when the folder cannot be written; the report is made all the same
    }
    if (templateBox_->currentIndex() < 0 && templateBox_->count() > 0) templateBox_->setCurrentIndex(0);
    if (templatePath_.isEmpty()) {
        message(QMessageBox::Information, kNoTemplateText);
        return;
    }
    const QString pid = QString::number(QApplication::applicationPid());
    const QString pdf = privateFile("zorbel-report-" + pid + ".pdf");
    // the filled workbook, kept with the preview for saving it in the spreadsheet formats
    const QString book = privateFile("zorbel-report-" + pid + ".ods");
    // the working copy of the template
    const QString work = privateFile("Tmp.xls");
    const QString source = templatePath_;
    const ReportContext ctx = reportContext();
    delete preview_; // its files are made anew
    CallResult r = officeCall("Формирование отчета...", [&](calc::Office& o) {
        QFile::remove(work);
        if (work.isEmpty() || !QFile::copy(source, work)) throw calc::Error("нет копии шаблона");
        auto wb = o.open(work.toStdString(), true);
        fillWorkbook(*wb, session_, ctx);
        wb->exportFirstSheetPdf(pdf.toStdString());
        wb->saveAs(book.toStdString());
        wb->close();
    });
    if (r.end == CallEnd::Interrupted) return; // the program is ending
    if (!r.ok()) {
        message(QMessageBox::Critical, kOutputErrorText);
        return;
    }
    preview_ = new TPreviewForm(pdf, this);
    preview_->setWorkbook(book, [this](const QString& from, const QString& to) {
        const std::string f = from.toStdString(), t = to.toStdString();
        return officeCall("Сохранение отчета...",
                          [&](calc::Office& o) {
                              auto wb = o.open(f, false, true);
                              wb->saveAs(t);
                              wb->close();
                          })
            .ok();
    });
    connect(preview_, &QObject::destroyed, this, [this] { preview_ = nullptr; });
    preview_->show();
}

void TReportForm::askExportGrid() {
    const std::pair<const char*, GridExport> types[] = {
        {"Текст CSV, Windows-1251 (*.csv)", GridExport::CsvCp1251},
        {"Текст CSV, UTF-8 (*.csv)", GridExport::CsvUtf8},
        {"Книга Excel 2007-365 (*.xlsx)", GridExport::Xlsx},
    };
    QStringList filters;
    for (const auto& t : types)
        filters << t.first;
    QString filter = filters[0];
    QString to = QFileDialog::getSaveFileName(this, "Сохранить выборку", QDir::homePath() + "/Архив.csv",
                                              filters.join(";;"), &filter);
    if (to.isEmpty()) return;
    GridExport how = types[std::max<qsizetype>(0, filters.indexOf(filter))].second;
    // a typed ending decides the kind; the encoding is the chosen type's
    if (to.endsWith(".xlsx", Qt::CaseInsensitive))
        how = GridExport::Xlsx;
    else if (to.endsWith(".csv", Qt::CaseInsensitive) && how == GridExport::Xlsx)
        how = GridExport::CsvCp1251;
    else if (!to.endsWith(".csv", Qt::CaseInsensitive))
        to += how == GridExport::Xlsx ? ".xlsx" : ".csv";
    exportGrid(to, how);
}

bool TReportForm::exportGrid(const QString& path, GridExport how) {
    if (how != GridExport::Xlsx) {
        if (devdata::replaceFile(path.toStdString(),
                                 gridCsv(*model_, how == GridExport::CsvUtf8).toStdString()))
            return true;
        message(QMessageBox::Critical, "Не удалось записать файл " + path);
        return false;
    }
    const std::vector<std::vector<CellValue>> cells = gridCells(*model_);
    const std::string to = path.toStdString();
    CallResult r = officeCall("Сохранение выборки...", [&](calc::Office& o) {
        auto wb = o.create();
        wb->setBlock(0, 0, cells);
        if (!cells.empty() && !cells[0].empty()) wb->setBold({0, 0, 0, int(cells[0].size()) - 1, 0}, true);
        for (int c = 0; !cells.empty() && c < int(cells[0].size()); ++c)
            wb->setColumnWidth(c, 3000);
        wb->saveAs(to);
        wb->close();
    });
    if (r.end == CallEnd::Interrupted) return false;
    if (!r.ok()) message(QMessageBox::Critical, kOutputErrorText);
    return r.ok();
}

void TReportForm::closeEvent(QCloseEvent* e) {
    delete preview_;
    templateDoc_->close();
    // an office that is still starting, or busy with a call the window waits for, is ended at once: it may
    // be the one that does not answer
    if (office_ && (officeStarting_ || officeCallRunning())) office_->abort(true);
    joinOfficeStarter();
    // an office that stopped answering since is ended past the deadline
    if (office_)
        runOfficeCall(nullptr, *office_, deadlines_.startMs, "Завершение работы LibreOffice...",
                      [o = office_.get()] { o->stop(); });
    e->accept();
}

} // namespace zorbel
