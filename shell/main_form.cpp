#include "shell/main_form.h"

#include "dbf/codec.h"
#include "devdata/places.h"
#include "devdata/state_windows.h"
#include "devdata/tables.h"
#include "poll/poll_lock.h"
#include "schemes/object_form.h"
#include "schemes/object_form_host.h"
#include "schemes/scheme.h"
#include "schemes/scheme_editor.h"
#include "shell/about.h"
#include "shell/local_connect.h"
#include "shell/object_master.h"
#include "shell/object_monitor.h"
#include "shell/schedule.h"
#include "shell/startup.h"
#include "shell/status_panels.h"
#include "shell/summary_report.h"
#include "shell/table_view.h"
#include "ui/texts.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <fstream>

namespace shell {

namespace {

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

// The terminal page clears itself on a double click.
class TerminalEdit : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

protected:
    void mouseDoubleClickEvent(QMouseEvent*) override { clear(); }
};

} // namespace

// Marks a handler of the window on the stack: the objects table and the monitor stay while it runs, also when
// it opens a modal window whose event loop runs the ticks.
struct HandlerScope {
    explicit HandlerScope(TMainForm& f) : form(f) { ++form.handlerDepth_; }
    ~HandlerScope() { --form.handlerDepth_; }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;
    TMainForm& form;
};

TMainForm::TMainForm(std::string programDir, QWidget* parent)
    : QMainWindow(parent), programDir_(std::move(programDir)), bridge_(std::make_unique<PollBridge>()) {
    run_ = std::make_unique<polling::PollRun>(polling::systemClock(), bridge_.get());
    setWindowTitle(kMainCaption);
    buildTools();
    buildPages();
    buildStatusBar();
    buildMenus();

    auto* splitter = new QSplitter(Qt::Vertical, this);
    auto* middle = new QWidget(splitter);
    auto* middleColumn = new QVBoxLayout(middle);
    middleColumn->setContentsMargins(0, 0, 0, 0);
    buildTopBar(middle);
    CentreView = new QStackedWidget(middle);
    ButtonView = new QWidget;
    CentreView->addWidget(ButtonView);
    TableView = new ObjectTableView(objects_, state_);
    CentreView->addWidget(TableView);
    connect(TableView, &ObjectTableView::currentObjectChanged, this, [this](int num) {
        currentStateChanged(true);
        emit currentObjectChanged(num);
    });
    connect(TableView, &ObjectTableView::objectWindowRequested, this, &TMainForm::objectWindowRequested);
    connect(TableView, &ObjectTableView::popupRequested, this, &TMainForm::showObjectPopup);
    connect(TableView, &ObjectTableView::deleteRequested, this, [this] {
        popupDelete();
        reloadTableView();
    });
    connect(TableView, &ObjectTableView::editRequested, this, &TMainForm::editCurrentObject);
    connect(TableView, &ObjectTableView::cancelRequested, this, [this] {
        guarded("TMainForm", [this] {
            if (objects_.isOpen() && objects_.state() != dbf::Table::State::Browse) objects_.cancel();
        });
    });
    connect(TableView, &ObjectTableView::errorRaised, this,
            [this](const QString& m) { handleError("TDBGrid", m); });
    middleColumn->addWidget(CentreView, 1);
    splitter->addWidget(middle);
    splitter->addWidget(PageControl1);
    splitter->setStretchFactor(0, 1);
    auto* centre = new QWidget(this);
    auto* row = new QHBoxLayout(centre);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(ToolPanel);
    row->addWidget(splitter, 1);
    setCentralWidget(centre);
    connect(this, &TMainForm::rebuildMonitorRequested, this, [this] {
        if (model_) model_->requestRebuild();
    });

    connect(bridge_.get(), &PollBridge::eventLineArrived, this, &TMainForm::appendEventLine);
    connect(bridge_.get(), &PollBridge::eventLinesDrained, this,
            [this] { WindowStateL->setCurrentRow(WindowStateL->count() - 1); });
    connect(bridge_.get(), &PollBridge::statusTextChanged, this, [this](int i, const QString& t) {
        if (i >= 0 && i <= 4) setStatus(i, t);
    });
    connect(bridge_.get(), &PollBridge::lineSignalsChanged, this, [this](const QString& t) {
        setStatus(5, t);
        StatusPanel[5]->setToolTip(t); // the panel is narrow; the hint holds all four signals
    });
    connect(bridge_.get(), &PollBridge::terminalLineArrived, this,
            [this](const QString& l) { TerminalMemo->appendPlainText(l); });
    connect(bridge_.get(), &PollBridge::ended, this, [this] {
        emit rebuildMonitorRequested();
        currentStateChanged(true); // a first poll of a type makes its table; a new row shows in the windows
        guarded("TOBJECTFORM", [this] { ObjectWindow->dataChanged(); });
    });
    buildTray();

    AboutBox = new TAboutBox(q(programVersion()), this);
    PollForm = new TForm1(pollObjects_, *bridge_, this);
    ObjectMaster = new TADOBJ(objects_, programDir_, this);
    ObjectMaster->groups = [this] {
        QStringList g;
        for (int i = 0; i < GroupList->count(); ++i)
            g << GroupList->itemText(i);
        return g;
    };
    ObjectMaster->editRestricted = [this] { return restricted(kRestrictObjectEdit); };
    ObjectMaster->errorHandler = [this](const QString& c, const QString& m) { handleError(c, m); };
    ObjectMaster->deviceChanged = [this] { currentStateChanged(true); };
    ObjectMaster->closed = [this] {
        guarded("TMainForm", [this] {
            objects_.refresh();
            if (model_) model_->requestRebuild();
            tableViewStale_ = false;
            reloadTableView();
        });
    };
    connect(this, &TMainForm::objectMasterRequested, this, [this](bool edit) {
        if (!objects_.isOpen() || ObjectMaster->isVisible()) return;
        if (edit && restricted(kRestrictObjectEdit)) {
            inform(kAccessDeniedText);
            return;
        }
        HandlerScope scope(*this);
        const int num = currentObjectNum();
        // the master orders the table by address for its list; the monitor keeps the operator's order
        if (model_) model_->holdOrdering();
        ObjectMaster->showModal(edit);
        if (model_) model_->releaseOrdering();
        // the master moved through the table; the object in front of the operator stays current unless the
        // master made another one (a new object, a choice in its list)
        if (currentObjectNum() == 0 && num != 0) makeCurrent(num);
    });
    SummaryReport = new TSRepForm(programDir_, this);
    SummaryReport->currentGroup = [this] { return GroupList->currentText(); };
    connect(this, &TMainForm::summaryReportRequested, this, [this] { SummaryReport->showModal(); });
    connect(this, &TMainForm::objectStateRequested, this, &TMainForm::showObjectState);
    ObjectWindow = new schemes::TOBJECTFORM(programDir_, objects_, dataDir_, this);
    ObjectWindow->isPollRunning = [this] { return run_->running(); };
    connect(ObjectWindow, &schemes::TOBJECTFORM::stateRequested, this, [this] {
        if (const int num = currentObjectNum()) showObjectState(num);
    });
    connect(ObjectWindow, &schemes::TOBJECTFORM::connectionRequested, this, [this] {
        if (const int num = currentObjectNum()) pollObjectWithDialog(num);
    });
    addTrayFollower(ObjectWindow);
    SchemeEditor = new schemes::TForm3(programDir_, this);
    SchemeEditor->errorHandler = [this](const QString& c, const QString& m) { handleError(c, m); };
    editorHost_ = std::make_unique<schemes::ObjectFormEditorHost>(*ObjectWindow, objects_);
    schemes::attach(*ObjectWindow, *SchemeEditor, *editorHost_);
    editMode_ = std::make_unique<schemes::ObjectFormEditMode>(*ObjectWindow, *SchemeEditor, *editorHost_);
    ObjectMaster->schemeEditor = [this](const std::string& path) { editObjectScheme(path); };
    connect(this, &TMainForm::objectWindowRequested, this, &TMainForm::showObjectWindow);
    connect(this, &TMainForm::objectArchiveRequested, this, &TMainForm::showObjectArchive);
    // the object master's scheme preview and its editor button show the scheme in the object window
    ObjectMaster->schemePreview = [this](const std::string& path) { previewObjectScheme(path); };
    LocalConnect = new TLocalConnect(this);
    LocalConnect->follow(bridge_.get());
    LocalConnect->setStopPoll([this] { run_->stop(); });

    ScheduleTimer = new QTimer(this);
    ScheduleTimer->setInterval(1000);
    connect(ScheduleTimer, &QTimer::timeout, this,
            [this] { guarded("TMainForm", [this] { scheduleTick(); }); });
    ClockTimer = new QTimer(this);
    ClockTimer->setInterval(1000);
    connect(ClockTimer, &QTimer::timeout, this, [this] { guarded("TMainForm", [this] { clockTick(); }); });

    confirmExit = [this](const QString& text) {
        return QMessageBox::question(this, windowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
    };
    confirmDelete = [this](const QString& text) {
        QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::No | QMessageBox::Ok, this);
        return box.exec() == QMessageBox::Ok;
    };
    confirmStopPoll = [this](const QString& text) {
        QMessageBox box(QMessageBox::Information, windowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel,
                        this);
        return box.exec() == QMessageBox::Ok;
    };
    inform = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
    alert = [this](const QString& text) { QMessageBox::critical(this, windowTitle(), text); };
    openDocument = [](const QString& path) { QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };
    startProgram = [this](const QString& path) {
        if (!QProcess::startDetached(path, {})) handleError("TMainForm", "Не удалось запустить " + path);
    };
    confirmStopAutoPoll = [this](const QString& text) {
        QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel,
                        this);
        return box.exec() == QMessageBox::Ok;
    };
    showDiagnosticPages(false);
}

TMainForm::~TMainForm() {
    if (run_) run_->stop();
}

void TMainForm::buildTools() {
    ToolPanel = new QWidget(this);
    auto* col = new QVBoxLayout(ToolPanel);
    ClockLabel = new QLabel(ToolPanel);
    QFont f = ClockLabel->font();
    f.setBold(true);
    ClockLabel->setFont(f);
    ClockLabel->setStyleSheet("color: navy");
    ClockLabel->setAlignment(Qt::AlignCenter);
    col->addWidget(ClockLabel);
    auto button = [&](const char* caption, const char* hint, QStyle::StandardPixmap icon) {
        auto* b = new QToolButton(ToolPanel);
        b->setText(caption);
        b->setToolTip(ui::displayLines(QString(hint)));
        b->setIcon(style()->standardIcon(icon));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setFixedSize(64, 55);
        QFont small = b->font(); // the captions fit the 64-pixel buttons
        small.setPixelSize(10);
        b->setFont(small);
        col->addWidget(b);
        return b;
    };
    QToolButton* objectButton =
        button("Объект",
               "Создание объектов и изменение их настроек.\r\nДоступ к функции ограничивается установкой "
               "соответствующего флажка в настройках программы",
               QStyle::SP_FileDialogDetailedView);
    connect(objectButton, &QToolButton::clicked, this, [this] { emit objectMasterRequested(false); });
    SpeedButtonAuto = button("Автоопрос", "Включение/отключение режима автоопроса объектов по расписанию.",
                             QStyle::SP_BrowserReload);
    SpeedButtonAuto->setCheckable(true);
    connect(SpeedButtonAuto, &QToolButton::clicked, this, [this](bool down) { autoPollButton(down); });
    QToolButton* archiveButton =
        button("Архив", "Печать сводных отчетов по объектам.", QStyle::SP_FileDialogContentsView);
    connect(archiveButton, &QToolButton::clicked, this, &TMainForm::summaryReportRequested);
    QToolButton* settingsButton =
        button("Настройки", "Изменение настроек программы", QStyle::SP_FileDialogListView);
    connect(settingsButton, &QToolButton::clicked, this, [this] {
        if (setup_) setup_->open();
    });
    SpeedButtonSignal = button("Сигнал", "Сканер уровня принимаемого GSM сигнала", QStyle::SP_DriveNetIcon);
    connect(SpeedButtonSignal, &QToolButton::clicked, this, &TMainForm::startSignalTester);
    QToolButton* accessButton = button(
        "Доступ",
        "Изменение текущего уровня доступа.\r\nОграничения доступа устанавливаются в настройках программы",
        QStyle::SP_DialogYesButton);
    connect(accessButton, &QToolButton::clicked, this, [this] {
        if (access_) access_->open();
    });
    SpeedButtonExit = button("Выход", "Выход из программы.\r\nДоступ устанавливается в настройках",
                             QStyle::SP_DialogCloseButton);
    connect(SpeedButtonExit, &QToolButton::clicked, this, &TMainForm::exitProgram);
    SpeedButtonStart = button("START", "", QStyle::SP_MediaPlay);
    SpeedButtonStop = button("STOP", "", QStyle::SP_MediaStop);
    SpeedButtonStart->hide();
    SpeedButtonStop->hide();
    connect(SpeedButtonStart, &QToolButton::clicked, this, [this] { startPoll(); });
    connect(SpeedButtonStop, &QToolButton::clicked, this, &TMainForm::stopPoll);
    col->addStretch(1);
}

void TMainForm::showHelp() {
    // the desktop's opener on the help files, in the same order as ever
    for (const char* file : {"HELP/Help.chm", "HELP/Index.html"}) {
        const std::string found = schemes::findPathNoCase(devdata::deliveredFile(programDir_, ""), file);
        if (!found.empty()) {
            openDocument(q(found));
            return;
        }
    }
}

void TMainForm::startSignalTester() {
    std::string tester = devdata::programFile(programDir_, "LevelTest.dll");
    if (!QFileInfo::exists(q(tester))) tester = schemes::findPathNoCase(programDir_, "LevelTest.dll");
    if (!tester.empty())
        startProgram(q(tester));
    else
        inform("Не установлен модуль тестирования уровня GSM сигнала");
}

void TMainForm::buildTray() {
    trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    // the icon and the frames of its animation: a ring with a dot going round
    auto frame = [](int step) {
        QPixmap pm(32, 32);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(0, 0, 128), 3));
        p.drawEllipse(4, 4, 24, 24);
        if (step >= 0) {
            p.setBrush(QColor(255, 160, 0));
            p.setPen(Qt::NoPen);
            p.translate(16, 16);
            p.rotate(step * 45.0);
            p.drawEllipse(QPointF(0, -12), 4, 4);
        }
        return QIcon(pm);
    };
    Tray = new QSystemTrayIcon(frame(-1), this);
    Tray->setToolTip("БД узлов учета тепловой энергии");
    auto* menu = new QMenu(this);
    connect(menu->addAction("Справка"), &QAction::triggered, this, &TMainForm::showHelp);
    connect(menu->addAction("Выход"), &QAction::triggered, this, &TMainForm::exitProgram);
    Tray->setContextMenu(menu);
    connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger) trayClicked();
    });
    if (trayAvailable()) Tray->show();
    trayAnimation_ = new QTimer(this);
    trayAnimation_->setInterval(150);
    connect(trayAnimation_, &QTimer::timeout, this,
            [this, frame] { Tray->setIcon(frame(trayFrame_++ % 8)); });
    connect(bridge_.get(), &PollBridge::started, this, [this, frame](bool single) {
        if (!single) {
            const dbf::DateTime now = dbf::DateTime::now();
            balloon("Запущен опрос теплосчетчиков " + QString::fromStdString(now.timeText()));
        }
        trayAnimation_->start();
    });
    connect(bridge_.get(), &PollBridge::ended, this,
            [this, frame](bool single, bool, const QString& summary) {
                trayAnimation_->stop();
                Tray->setIcon(frame(-1));
                if (!single)
                    balloon("Опрос объектов завершен " +
                            QString::fromStdString(dbf::DateTime::now().timeText()) + "\n" + "\r" + summary);
            });
}

void TMainForm::balloon(const QString& text) {
    lastBalloonTitle = "БД узлов учета тепловой энергии";
    lastBalloonText = ui::displayLines(text); // the run's lines end with "\n\r"
    if (Tray->isVisible())
        Tray->showMessage(lastBalloonTitle, lastBalloonText, QSystemTrayIcon::Information, 20000);
}

void TMainForm::hideIntoTray() {
    if (trayAvailable())
        hide();
    else
        showMinimized(); // no tray to come back from: the window stays on the desktop
}

void TMainForm::trayClicked() {
    if (isVisible() && !isMinimized()) {
        hide();
    } else {
        showMaximized();
        raise();
        activateWindow();
    }
    // the object window and the state windows that are open come to the front with the click
    for (const QPointer<QWidget>& w : trayFollowers_)
        if (w && w->isVisible()) {
            w->raise();
            w->activateWindow();
        }
    if (QWidget* state = devdata::shownStateWindow(); state && state->isVisible()) {
        state->raise();
        state->activateWindow();
    }
}

void TMainForm::buildTopBar(QWidget* parent) {
    auto* bar = new QWidget(parent);
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(4, 2, 4, 2);
    const QString look = "font-weight: bold; color: blue; background: silver";
    row->addWidget(new QLabel("Группа объектов:", bar));
    GroupList = new QComboBox(bar);
    GroupList->addItem(kAllGroupsText);
    GroupList->setMinimumWidth(180);
    StateFilter = new QComboBox(bar);
    StateFilter->addItems({"Все", "Норма", "Нет связи"});
    row->addWidget(GroupList);
    row->addWidget(StateFilter);
    row->addWidget(new QLabel("Поиск", bar));
    SearchKind = new QComboBox(bar);
    SearchKind->addItems({"по адресу", "по номеру"});
    row->addWidget(SearchKind);
    SearchEdit = new QLineEdit(bar);
    SearchEdit->setToolTip("Поле ввода поиска");
    row->addWidget(SearchEdit, 1);
    row->addWidget(new QLabel("Выбрано объектов:", bar));
    SelectedCount = new QLabel("0", bar);
    row->addWidget(SelectedCount);
    for (QWidget* w : std::initializer_list<QWidget*>{GroupList, StateFilter, SearchKind, SearchEdit})
        w->setStyleSheet(look);
    parent->layout()->addWidget(bar);

    auto guardedModel = [this](const std::function<void(MonitorModel&)>& op) {
        if (!model_ || refilling_) return;
        guarded("TMainForm", [&] {
            op(*model_);
            SelectedCount->setText(QString::number(model_->selectionCount()));
        });
    };
    // the lists and the search share the one table filter, the last change wins: the other side of the bar
    // is emptied so that the bar shows the filter in force
    auto emptySearch = [this] {
        refilling_ = true;
        SearchEdit->clear();
        refilling_ = false;
    };
    connect(GroupList, &QComboBox::currentIndexChanged, this, [this, guardedModel, emptySearch](int i) {
        if (refilling_) return;
        emptySearch();
        guardedModel([i](MonitorModel& m) { m.setGroupIndex(i); });
    });
    connect(StateFilter, &QComboBox::currentIndexChanged, this, [this, guardedModel, emptySearch](int i) {
        if (refilling_) return;
        emptySearch();
        guardedModel([i](MonitorModel& m) { m.setStateIndex(i); });
    });
    connect(SearchKind, &QComboBox::currentIndexChanged, this, [this, guardedModel](int i) {
        guardedModel([i](MonitorModel& m) { m.setSearchKind(i); });
        refilling_ = true;
        SearchEdit->clear();
        refilling_ = false;
    });
    connect(SearchEdit, &QLineEdit::textChanged, this, [this, guardedModel](const QString& t) {
        if (refilling_) return;
        guardedModel([t](MonitorModel& m) { m.setSearchText(t.toStdString()); });
        showTopBarState();
    });
}

void TMainForm::showTopBarState() {
    if (!model_) return;
    refilling_ = true;
    if (GroupList->currentIndex() != model_->groupIndex()) GroupList->setCurrentIndex(model_->groupIndex());
    if (StateFilter->currentIndex() != model_->stateIndex())
        StateFilter->setCurrentIndex(model_->stateIndex());
    const QString search = QString::fromStdString(model_->searchText());
    if (SearchEdit->text() != search) SearchEdit->setText(search);
    refilling_ = false;
}

void TMainForm::refillGroups() {
    if (!model_) return;
    refilling_ = true;
    const auto& groups = model_->groups();
    QStringList items;
    for (const auto& g : groups)
        items << QString::fromStdString(g);
    QStringList now;
    for (int i = 0; i < GroupList->count(); ++i)
        now << GroupList->itemText(i);
    if (now != items) {
        GroupList->clear();
        GroupList->addItems(items);
    }
    GroupList->setCurrentIndex(model_->groupIndex());
    SelectedCount->setText(QString::number(model_->selectionCount()));
    refilling_ = false;
}

void TMainForm::openObjects() {
    reopenPending_ = false;
    const int current = currentObjectNum();
    // the old monitor goes before its model: its tick must not run on a model that is gone
    if (monitor_) {
        CentreView->removeWidget(monitor_);
        delete monitor_;
        monitor_ = nullptr;
        ButtonView = new QWidget;
        CentreView->insertWidget(0, ButtonView);
    }
    model_.reset();
    state_.close();
    state_.clearMaster();
    objects_.close();
    objects_.open(dataDir_, "MAINDB");
    objects_.setIndexFieldNames("NUM");
    pollObjects_.close();
    pollObjects_.open(dataDir_, "MAINDB");
    pollObjects_.setIndexFieldNames("NUM");
    model_ = std::make_unique<MonitorModel>(objects_);
    monitor_ = new ObjectMonitor(*model_);
    QWidget* placeholder = ButtonView;
    CentreView->removeWidget(placeholder);
    delete placeholder;
    CentreView->insertWidget(0, monitor_);
    ButtonView = monitor_;
    CentreView->setCurrentIndex(0);
    connect(monitor_, &ObjectMonitor::rebuilt, this, &TMainForm::refillGroups);
    // The actions of a click run after the click's handler has returned: a modal window they open runs the
    // ticks, and nothing of the monitor may be on the stack then.
    connect(monitor_, &ObjectMonitor::popupRequested, this, &TMainForm::showObjectPopup,
            Qt::QueuedConnection);
    connect(
        monitor_, &ObjectMonitor::autoPollToggleRequested, this,
        [this](int num) {
            HandlerScope scope(*this);
            if (makeCurrent(num)) popupAutoPollToggle();
        },
        Qt::QueuedConnection);
    connect(monitor_, &ObjectMonitor::objectSelected, this, [this](int num) {
        currentStateChanged(true);
        emit currentObjectChanged(num);
    });
    connect(monitor_, &ObjectMonitor::objectWindowRequested, this, &TMainForm::objectWindowRequested,
            Qt::QueuedConnection);
    connect(monitor_, &ObjectMonitor::archiveRequested, this, &TMainForm::objectArchiveRequested,
            Qt::QueuedConnection);
    connect(monitor_, &ObjectMonitor::stateRequested, this, &TMainForm::objectStateRequested,
            Qt::QueuedConnection);
    // a rebuild follows every change of the filter, the ordering and the objects: the grid follows it too
    connect(monitor_, &ObjectMonitor::rebuilt, this, [this] { reloadTableView(); });
    // a new table shows every object: the top bar starts over
    refilling_ = true;
    GroupList->clear();
    GroupList->addItem(kAllGroupsText);
    StateFilter->setCurrentIndex(0);
    SearchEdit->clear();
    refilling_ = false;
    if (current != 0) makeCurrent(current);
    model_->requestRebuild();
    SelectedCount->setText(QString::number(model_->selectionCount()));
    reloadTableView();
}

namespace {

bool sameFolder(const std::string& a, const std::string& b) {
    std::error_code ec1, ec2;
    const auto pa = std::filesystem::weakly_canonical(a.empty() ? "." : a, ec1);
    const auto pb = std::filesystem::weakly_canonical(b.empty() ? "." : b, ec2);
    if (ec1 || ec2) return a == b;
    auto strip = [](std::filesystem::path p) {
        std::string t = p.string();
        while (t.size() > 1 && t.back() == '/')
            t.pop_back();
        return t;
    };
    return strip(pa) == strip(pb);
}

} // namespace

bool TMainForm::objectsTableIn(const std::string& dir) const {
    return objects_.isOpen() &&
           sameFolder(std::filesystem::path(objects_.path()).parent_path().string(), dir);
}

void TMainForm::followDataDir(const std::string& dir) {
    // while the table of another folder is open, the windows and the polls stay with that folder until it
    // is replaced: the object window must not look for the archives of its object in the new folder
    if (objects_.isOpen() && !objectsTableIn(dir)) {
        pendingDataDir_ = dir;
        reopenPending_ = true;
        return;
    }
    setDataDir(dir);
}

void TMainForm::requestObjectsReopen(const std::string& dir) {
    // the same folder: the table in use is the right one and stays open, with its pending edit, its filter
    // and its current object
    if (objectsTableIn(dir)) {
        setDataDir(dir);
        reopenPending_ = false;
        return;
    }
    pendingDataDir_ = dir;
    reopenPending_ = true;
    serveObjectsReopen();
}

bool TMainForm::serveObjectsReopen() {
    if (!reopenPending_ || objectsInUse()) return false;
    bool done = false;
    setDataDir(pendingDataDir_.empty() ? dataDir_ : pendingDataDir_);
    pendingDataDir_.clear();
    guarded("TMainForm", [this, &done] {
        openObjects();
        done = true;
    });
    reopenPending_ = false; // a folder that cannot be opened is reported once, not at every tick
    return done;
}

bool TMainForm::objectsInUse() const {
    if (handlerDepth_ > 0) return true;
    if (QApplication::activeModalWidget() || QApplication::activePopupWidget()) return true;
    if (objects_.isOpen() && objects_.state() != dbf::Table::State::Browse) return true;
    if (ObjectMaster && ObjectMaster->isVisible()) return true;
    if (ObjectWindow && ObjectWindow->isVisible()) return true;
    if (QWidget* w = devdata::shownStateWindow(); w && w->isVisible()) return true;
    return false;
}

int TMainForm::currentObjectNum() const {
    if (!objects_.isOpen() || objects_.state() == dbf::Table::State::Insert || objects_.recNo() <= 0)
        return 0;
    try {
        return int(objects_.asInt("NUM"));
    } catch (const std::exception&) {
        return 0;
    }
}

void TMainForm::openCurrentState() {
    state_.close();
    state_.clearMaster();
    if (!objects_.isOpen() || objects_.recNo() <= 0) return;
    const int type = int(objects_.asInt("DEVTYPE"));
    if (dbf::findFile(dataDir_, devdata::stateTableName(type) + ".dbf").empty()) return;
    devdata::openDetail(state_, dataDir_, devdata::stateTableName(type), &objects_);
}

void TMainForm::currentStateChanged(bool reopen) {
    guarded("TMainForm", [this, reopen] {
        if (reopen) {
            openCurrentState();
            if (ObjectMaster && ObjectMaster->isVisible()) ObjectMaster->reread();
        } else if (state_.isOpen()) {
            state_.refresh();
        }
    });
    if (CentreView->currentWidget() == TableView) guarded("TMainForm", [this] { TableView->reloadState(); });
    if (devdata::TStateWindow* w = devdata::shownStateWindow()) w->viewChanged();
}

void TMainForm::showObjectState(int num) {
    HandlerScope scope(*this);
    if (!makeCurrent(num)) return;
    currentStateChanged(true);
    guarded("TMainForm", [this] { devdata::showStateWindow(int(objects_.asInt("DEVTYPE")), state_, this); });
}

bool TMainForm::makeCurrent(int num) {
    // a record being entered or changed stays the current one: nothing moves the cursor under it
    if (objects_.isOpen() && objects_.state() != dbf::Table::State::Browse) return currentObjectNum() == num;
    bool found = false;
    guarded("TMainForm", [&] {
        found = model_ ? model_->withObject(num, [] {}) : objects_.locate("NUM", dbf::Value(int64_t(num)));
    });
    return found;
}

void TMainForm::setDataDir(const std::string& dir) {
    dataDir_ = dir;
    if (ObjectWindow) ObjectWindow->setDataDir(dir);
}

void TMainForm::setSettings(const devdata::Settings& s) {
    settings_ = s;
    if (ObjectWindow) ObjectWindow->setSettings(s);
}

void TMainForm::reloadTableView() {
    if (CentreView->currentWidget() != TableView) return;
    // the grid reads through the objects table; under a pending insert or edit it waits for its end
    if (objects_.isOpen() && objects_.state() != dbf::Table::State::Browse) {
        tableViewStale_ = true;
        return;
    }
    tableViewStale_ = false;
    guarded("TMainForm", [this] { TableView->reload(); });
}

void TMainForm::prepareObjectWindow() {
    currentStateChanged(true);
    ObjectWindow->setPollRunning(run_->running());
}

bool TMainForm::freeObjectWindow() {
    if (!ObjectWindow->isVisible()) return true;
    if (ObjectWindow->isModal()) return false;
    // shown by a choice in the object master: it gives way to the window that is opened now
    ObjectWindow->hide();
    return true;
}

void TMainForm::showObjectWindow(int num) {
    if (!freeObjectWindow()) return;
    HandlerScope scope(*this);
    if (!makeCurrent(num)) return;
    prepareObjectWindow();
    ObjectWindow->exec();
}

void TMainForm::previewObjectScheme(const std::string& path) {
    if (!objects_.isOpen() || !freeObjectWindow()) return;
    HandlerScope scope(*this);
    prepareObjectWindow();
    // shown, not modal, with the scheme or with "Мнемосхема отсутствует" when it cannot be loaded
    ObjectWindow->presentScheme(path);
    ObjectWindow->show();
    ObjectWindow->raise();
}

void TMainForm::editObjectScheme(const std::string& path) {
    if (!objects_.isOpen() || !freeObjectWindow()) return;
    // the record the master is entering has no row number yet and is the object all the same
    const bool pending = objects_.state() != dbf::Table::State::Browse;
    if (!pending && objects_.recNo() <= 0) return;
    HandlerScope scope(*this);
    prepareObjectWindow();
    if (!ObjectWindow->presentScheme(path)) {
        // no editor on an empty area: the window says that the scheme is missing
        ObjectWindow->show();
        ObjectWindow->raise();
        return;
    }
    schemes::enterEditMode(*ObjectWindow, *SchemeEditor);
    ObjectWindow->exec();
    // a scheme saved as new is the object's scheme now: the master shows its description
    if (ObjectMaster->isVisible()) ObjectMaster->showCurrentScheme();
}

void TMainForm::editCurrentObject() {
    if (popupRefused(PopupItem::Edit)) return;
    emit objectMasterRequested(true);
}

void TMainForm::showObjectArchive(int num) {
    HandlerScope scope(*this);
    if (!makeCurrent(num)) return;
    guarded("TOBJECTFORM", [this] { ObjectWindow->archive(); });
}

void TMainForm::showTableView(bool table) {
    if (table) {
        CentreView->setCurrentWidget(TableView);
        guarded("TMainForm", [this] { TableView->reload(); });
    } else {
        CentreView->setCurrentIndex(0);
    }
}

bool TMainForm::pollObjectWithDialog(int num) {
    // the object window's "Соединение" and the pop-up item come here alike
    if (restricted(kRestrictForcedPoll)) {
        inform(kAccessDeniedText);
        return false;
    }
    HandlerScope scope(*this);
    if (run_->running()) {
        inform(polling::kAlreadyRunning);
        return false;
    }
    if (!makeCurrent(num) || !startPoll(num)) return false;
    LocalConnect->exec();
    return true;
}

bool TMainForm::popupRefused(PopupItem item) {
    const std::string why = popupRefusal(item, access.AccessLevel, settings_.par2, run_->running());
    if (why.empty()) return false;
    inform(QString::fromStdString(why));
    return true;
}

void TMainForm::popupAutoPollToggle() {
    if (!model_ || popupRefused(PopupItem::AutoPollToggle)) return;
    guarded("TMainForm", [this] { model_->toggleAutoPoll(); });
}

void TMainForm::popupAutoPollAll(bool on) {
    if (!model_ || popupRefused(on ? PopupItem::AutoPollAllOn : PopupItem::AutoPollAllOff)) return;
    const int current = currentObjectNum();
    guarded("TMainForm", [this, on] { model_->setAutoPollAll(on); });
    // the walk over the selection leaves the operator's object current
    if (current != 0) makeCurrent(current);
}

void TMainForm::popupDelete() {
    if (!model_ || popupRefused(PopupItem::Delete)) return;
    guarded("TMainForm", [this] {
        if (!confirmDelete("вы действительно хотите удалить объект " +
                           QString::fromStdString(objects_.asString("ADDRES")) + " ?"))
            return;
        devdata::deleteObjectArchives(dataDir_, int(objects_.asInt("SERIALNUM")),
                                      int(objects_.asInt("DEVTYPE")));
        objects_.remove();
        model_->requestRebuild();
    });
}

void TMainForm::showObjectPopup(int num, const QPoint& at) {
    HandlerScope scope(*this);
    if (!makeCurrent(num)) return;
    QMenu menu(this);
    QAction* toggle = menu.addAction("Автоопрос Вкл/Выкл");
    QAction* allOn = menu.addAction("Автоопрос ВКЛ для всех");
    QAction* allOff = menu.addAction("Автоопрос ВЫКЛ для всех");
    menu.addSeparator();
    QAction* show = menu.addAction("Показать настройки");
    QAction* edit = menu.addAction("Редактировать");
    QAction* del = menu.addAction("Удалить объект");
    menu.addSeparator();
    QAction* poll = menu.addAction("ОПРОСИТЬ объект");
    QAction* chosen = menu.exec(at);
    // the ticks ran while the menu was up: the item acts on the object it was opened for
    if (!chosen || !model_ || !makeCurrent(num)) return;
    if (chosen == toggle) popupAutoPollToggle();
    if (chosen == allOn) popupAutoPollAll(true);
    if (chosen == allOff) popupAutoPollAll(false);
    if (chosen == del) popupDelete();
    if (chosen == show) emit objectMasterRequested(false);
    if (chosen == edit) editCurrentObject();
    if (chosen == poll && !popupRefused(PopupItem::PollObject)) {
        emit singlePollRequested(num);
        pollObjectWithDialog(num);
    }
}

void TMainForm::buildPages() {
    PageControl1 = new QTabWidget(this);
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    WindowStateL = new QListWidget;
    WindowStateL->setFont(fixed);
    WindowStateL->setUniformItemSizes(true);
    PageControl1->addTab(WindowStateL, "Окно событий");
    CommandsMemo = new QPlainTextEdit;
    PageControl1->addTab(CommandsMemo, "Команды");
    ErrorsList = new QListWidget;
    ErrorsList->setStyleSheet("color: magenta");
    PageControl1->addTab(ErrorsList, "Ошибки");
    TerminalMemo = new TerminalEdit;
    QFont bold = fixed;
    bold.setBold(true);
    TerminalMemo->setFont(bold);
    TerminalMemo->setStyleSheet("background: black; color: #c0ffc0");
    TerminalMemo->setReadOnly(true);
    PageControl1->addTab(TerminalMemo, "Terminal");
    auto* debug = new QWidget;
    auto* dl = new QHBoxLayout(debug);
    dl->addWidget(new QLabel("Пауза перед передачей пакета, мс"));
    SendPause = new QSpinBox;
    SendPause->setRange(0, 100000);
    SendPause->setValue(1000);
    dl->addWidget(SendPause);
    dl->addStretch(1);
    PageControl1->addTab(debug, "Debug settings");
    PageControl1->setMinimumHeight(120);
}

void TMainForm::showDiagnosticPages(bool on) {
    for (int i = 1; i < PageControl1->count(); ++i)
        PageControl1->setTabVisible(i, on);
    if (!on) PageControl1->setCurrentIndex(0);
}

void TMainForm::buildStatusBar() {
    buildStatusPanels(statusBar(), StatusPanel);
}

void TMainForm::buildMenus() {
    QMenu* object = menuBar()->addMenu("Объект");
    QAction* master = object->addAction("Мастер объектов");
    master->setShortcut(QKeySequence(Qt::Key_F2));
    connect(master, &QAction::triggered, this, [this] { emit objectMasterRequested(false); });
    QAction* exit = object->addAction("Выход");
    exit->setShortcut(QKeySequence(Qt::Key_F10));
    connect(exit, &QAction::triggered, this, &TMainForm::exitProgram);

    QMenu* view = menuBar()->addMenu("Вид");
    QMenu* panels = view->addMenu("Панели");
    QAction* tools = panels->addAction("Управление");
    tools->setCheckable(true);
    tools->setChecked(true);
    connect(tools, &QAction::toggled, this, [this](bool on) { ToolPanel->setVisible(on); });
    QAction* events = panels->addAction("События");
    events->setCheckable(true);
    events->setChecked(true);
    connect(events, &QAction::toggled, this, [this](bool on) {
        PageControl1->setVisible(on);
        if (on) PageControl1->resize(PageControl1->width(), 180);
    });
    QMenu* monitor = view->addMenu("Монитор объектов");
    MonitorMenu = monitor;
    auto* group = new QActionGroup(this);
    QAction* buttons = monitor->addAction("Кнопки");
    buttons->setShortcut(QKeySequence("Ctrl+K"));
    QAction* table = monitor->addAction("Таблица");
    table->setShortcut(QKeySequence("Ctrl+T"));
    for (QAction* a : {buttons, table}) {
        a->setCheckable(true);
        group->addAction(a);
    }
    buttons->setChecked(true);
    connect(buttons, &QAction::triggered, this, [this] { showTableView(false); });
    connect(table, &QAction::triggered, this, [this] { showTableView(true); });
    QMenu* order = view->addMenu("Упорядочить по");
    const std::pair<const char*, Ordering> orders[] = {{"порядку создания", Ordering::Num},
                                                       {"серийному номеру", Ordering::Serial},
                                                       {"адресу объекта", Ordering::Address},
                                                       {"Группе", Ordering::Group}};
    const char* keys[] = {"Ctrl+D", "Ctrl+N", "Ctrl+A", "Ctrl+G"};
    for (int i = 0; i < 4; ++i) {
        QAction* a = order->addAction(orders[i].first);
        a->setShortcut(QKeySequence(keys[i]));
        const Ordering o = orders[i].second;
        connect(a, &QAction::triggered, this, [this, o] {
            if (!model_) return;
            // the ordering by group may reopen the table for its index: not under a record being entered
            if (objects_.isOpen() && objects_.state() != dbf::Table::State::Browse) return;
            HandlerScope scope(*this);
            guarded("TMainForm", [this, o] { model_->setOrdering(o); });
        });
    }

    QMenu* service = menuBar()->addMenu("Сервис");
    QAction* settingsItem = service->addAction("Настройки программы");
    settingsItem->setShortcut(QKeySequence(Qt::Key_F3));
    connect(settingsItem, &QAction::triggered, this, [this] {
        if (setup_) setup_->open();
    });
    QAction* accessItem = service->addAction("Смена уровня доступа");
    accessItem->setShortcut(QKeySequence(Qt::Key_F4));
    connect(accessItem, &QAction::triggered, this, [this] {
        if (access_) access_->open();
    });

    QMenu* help = menuBar()->addMenu("Справка");
    QAction* helpItem = help->addAction("Справка");
    helpItem->setShortcut(QKeySequence(Qt::Key_F1));
    connect(helpItem, &QAction::triggered, this, &TMainForm::showHelp);
    connect(help->addAction("О программе"), &QAction::triggered, this, [this] { AboutBox->exec(); });

    // developer menus, hidden until the developer level
    TempMenu = menuBar()->addMenu("TEMP");
    connect(TempMenu->addAction("Обновить кнопки"), &QAction::triggered, this, [this] {
        if (monitor_) monitor_->rebuild();
    });
    connect(TempMenu->addAction("Показать окно опроса"), &QAction::triggered, this,
            [this] { PollForm->exec(); });
    connect(TempMenu->addAction("EXIT"), &QAction::triggered, this, [this] {
        allowClose_ = true;
        close();
        quitApplication();
    });
    DatabaseMenu = menuBar()->addMenu("База Данных");
    connect(DatabaseMenu->addAction("Создать новую MainBD"), &QAction::triggered, this, [this] {
        guarded("TMainForm", [this] {
            const std::string dir = devdata::joinPath(programDir_, "DATA");
            std::filesystem::create_directories(dir);
            dbf::Table t;
            devdata::createObjectsTable(t, dir);
        });
    });
    connect(DatabaseMenu->addAction("Создать STATEBD"), &QAction::triggered, this, [this] {
        guarded("TMainForm", [this] {
            const std::string dir = devdata::joinPath(programDir_, "DATA");
            std::filesystem::create_directories(dir);
            dbf::Table t;
            devdata::createStateTable(t, 236, dir, nullptr, "STATEDB");
        });
    });
    TempMenu->menuAction()->setVisible(false);
    DatabaseMenu->menuAction()->setVisible(false);
}

void TMainForm::attachWindows(SetupEnvironment env) {
    setup_ = std::make_unique<TSetupForm>(std::move(env), this);
    access_ = std::make_unique<Tseqform>(access, this);
    connect(setup_.get(), &TSetupForm::autoPollOnChanged, this, [this](bool on) {
        autoPollOn = on;
        showScheduleOwner();
    });
    connect(setup_.get(), &TSetupForm::showMainWindowRequested, this, [this] {
        showMaximized();
        raise();
        activateWindow();
    });
    connect(setup_.get(), &TSetupForm::restrictionsApplied, this, [this] {
        setSettings(setup_->settings());
        nextPoll = settings_.dtconn;
        applyWindowRestrictions();
    });
    connect(setup_.get(), &TSetupForm::dataDirChanged, this,
            [this](const QString& d) { followDataDir(d.toStdString()); });
    connect(setup_.get(), &TSetupForm::objectsTableReopenRequested, this,
            [this](const QString& d) { requestObjectsReopen(d.toStdString()); });
    connect(setup_.get(), &TSetupForm::rebuildMonitorRequested, this, [this] {
        if (model_) model_->requestRebuild();
    });
    connect(setup_.get(), &TSetupForm::errorRaised, this,
            [this](const QString& m) { handleError("TSetupForm", m); });
    connect(access_.get(), &Tseqform::developerItemsVisible, this, [this](bool on) {
        MonitorMenu->menuAction()->setVisible(on);
        SpeedButtonStart->setVisible(on);
        SpeedButtonStop->setVisible(on);
        TempMenu->menuAction()->setVisible(on);
        DatabaseMenu->menuAction()->setVisible(on);
    });
    connect(access_.get(), &Tseqform::developerPagesRequested, this, [this] { showDiagnosticPages(true); });
    connect(access_.get(), &Tseqform::restrictionsChanged, this, [this] {
        setup_->setAccessLevel(access.AccessLevel);
        setup_->applyRestrictions();
        applyWindowRestrictions();
    });
    // the settings the window was created with are the ones in force now
    setup_->Load();
    setSettings(setup_->settings());
    nextPoll = settings_.dtconn;
    schedule_ = std::make_unique<SetupFormSchedule>(
        *setup_, [this] { return run_->running(); }, [this] { return autoPollOn; },
        [this] { return beginPoll(std::nullopt); },
        [this](const std::string& line) {
            appendEventLine(q(line), false);
            WindowStateL->setCurrentRow(WindowStateL->count() - 1);
        });
    ScheduleTimer->start();
}

void TMainForm::applyWindowRestrictions() {
    const Enabled e = applyRestrictions(access.AccessLevel, settings_.par2);
    if (ObjectWindow) ObjectWindow->ConnectionButton->setEnabled(e.connectionButton);
    showScheduleOwner();
}

bool TMainForm::scheduledByService() const {
    return setup_ && setup_->scheduledByService();
}

void TMainForm::showScheduleOwner() {
    static const QString ownHint =
        ui::displayLines(QString("Включение/отключение режима автоопроса объектов по расписанию."));
    if (scheduledByService()) {
        // one schedule per data folder: the service's; the button says so instead of starting a second one
        SpeedButtonAuto->setChecked(true);
        SpeedButtonAuto->setEnabled(false);
        SpeedButtonAuto->setToolTip(kServiceScheduleHint);
        return;
    }
    SpeedButtonAuto->setChecked(autoPollOn);
    SpeedButtonAuto->setEnabled(applyRestrictions(access.AccessLevel, settings_.par2).autoPollButton);
    SpeedButtonAuto->setToolTip(ownHint);
}

void TMainForm::scheduleTick() {
    serveObjectsReopen();
    if (!schedule_) return;
    // the next poll time and the schedule's owner as the store holds them now
    setup_->followStoredSchedule();
    if (!setup_->scheduledByService()) shell::scheduleTick(*schedule_, dbf::DateTime::now());
    nextPoll = setup_->settings().dtconn;
}

void TMainForm::watchOtherPoll() {
    bool other = false;
    if (!run_->running()) {
        if (const std::optional<polling::LockSight> sight = polling::seeLock(dataDir_)) {
            other = sight->held && !sight->byThisProcess;
        } else {
            // the lock cannot be seen: it is tried, at most once a second, and released at once
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            if (now - lastLockTry_ < 1000) return;
            lastLockTry_ = now;
            polling::DataFolderLock probe;
            try {
                other = !probe.tryLock(dataDir_);
            } catch (const polling::PollLockError&) {
                other = false; // a folder without a lock file nobody can make is polled by nobody
            }
            probe.unlock();
        }
    }
    if (other == otherPollSeen_) return;
    otherPollSeen_ = other;
    const dbf::DateTime now = dbf::DateTime::now();
    appendEventLine(q(eventTimeLine(now, other ? kOtherPollStartedText : kOtherPollEndedText)), false);
    WindowStateL->setCurrentRow(WindowStateL->count() - 1);
    if (!other) {
        // what the other program stored: the buttons at the monitor's next tick, the current state now
        if (model_) model_->requestRefresh();
        currentStateChanged(false);
    }
}

void TMainForm::autoPollButton(bool down) {
    if (scheduledByService()) {
        showScheduleOwner();
        return;
    }
    autoPollOn = autoPollButtonPressed(
        down, run_->running(),
        [this] { return confirmStopAutoPoll("Внимание идет опрос объекта. Прервать опрос?"); },
        [this] { run_->requestStop(); });
    SpeedButtonAuto->setChecked(autoPollOn);
}

void TMainForm::appendEventLine(const QString& text, bool replaceLast) {
    if (replaceLast && WindowStateL->count() > 0)
        WindowStateL->item(WindowStateL->count() - 1)->setText(text);
    else
        WindowStateL->addItem(text);
    // a desktop left polling for weeks keeps the most recent lines; the older ones leave from the top
    while (WindowStateL->count() > kEventListLines)
        delete WindowStateL->takeItem(0);
}

void TMainForm::setStatus(int index, const QString& text) {
    if (StatusPanel[index]->text() != text) StatusPanel[index]->setText(text);
}

void TMainForm::clockTick() {
    serveObjectsReopen();
    SpeedButtonSignal->setEnabled(!run_->running());
    if (ObjectWindow) ObjectWindow->setPollRunning(run_->running());
    if (setup_) {
        // the schedule that runs keeps the next poll time in the store: the service's when it runs it
        const bool wasService = scheduledByService();
        setup_->followStoredSchedule();
        nextPoll = setup_->settings().dtconn;
        if (wasService != scheduledByService()) showScheduleOwner();
    }
    watchOtherPoll();
    if (scheduledByService()) {
        setStatus(0, kServiceModeStatusText);
        setStatus(4, nextPollStatusText(nextPoll));
    } else {
        setStatus(0, autoPollOn ? "Авто" : "Ручной");
        setStatus(4, autoPollOn ? nextPollStatusText(nextPoll) : QString(kAutoPollOffStatusText));
    }
    const dbf::DateTime now = dbf::DateTime::now();
    ClockLabel->setText(q(now.timeText() + "\n" + now.dateText()));
}

polling::StartResult TMainForm::beginPoll(std::optional<int> singleObject) {
    polling::PollConfig c;
    c.programDir = programDir_;
    c.dataDir = dataDir_;
    c.tempDir = devdata::tempDirOf(dataDir_);
    const devdata::Settings snapshot = settings_;
    c.settings = [snapshot] { return snapshot; };
    return run_->start(c, singleObject);
}

bool TMainForm::startPoll(std::optional<int> singleObject) {
    const polling::StartResult started = beginPoll(singleObject);
    switch (started.outcome) {
    case polling::StartResult::Started:
        return true;
    case polling::StartResult::Running:
    case polling::StartResult::Locked:
        inform(polling::kAlreadyRunning);
        return false;
    case polling::StartResult::Failed:
        alert(q(started.error));
        return false;
    }
    return false;
}

void TMainForm::stopPoll() {
    run_->stop();
}

void TMainForm::handleError(const QString& className, const QString& message) {
    ++errorCount;
    // a log that cannot be written must not cost the page line or the program
    devdata::appendErrorLog(programDir_, dbf::DateTime::now(), message.toStdString());
    PageControl1->setTabText(2, "Ошибки " + QString::number(errorCount));
    ErrorsList->addItem("Exception " + className + message);
}

void TMainForm::guarded(const QString& className, const std::function<void()>& op) {
    try {
        op();
    } catch (const std::exception& e) {
        handleError(className, QString::fromStdString(e.what()));
    }
}

void TMainForm::exitProgram() {
    if (restricted(kRestrictExit)) {
        inform(kAccessDeniedText);
        hideIntoTray();
        return;
    }
    autoPollOn = false;
    if (closeQuery()) {
        allowClose_ = true;
        close();
        ClockTimer->stop();
        quitApplication();
    }
}

bool TMainForm::closeQuery() {
    if (endingSession) return true;
    if (restricted(kRestrictExit)) {
        inform(kAccessDeniedText);
        hideIntoTray();
        return false;
    }
    autoPollOn = false;
    if (!confirmExit("Вы действительно хотите завершить работу с программой?")) return false;
    if (run_->running()) {
        if (!confirmStopPoll("Идет опрос объектов. Нажмите OK чтобы прервать опрос и выйти из программы"))
            return false;
        run_->requestStop();
        for (int i = 0; i < exitWaitTries && run_->running(); ++i) {
            QThread::msleep(100);
            QApplication::processEvents();
        }
        return !run_->running();
    }
    return true;
}

bool TMainForm::sessionMayEnd() {
    if (run_->running()) {
        QMessageBox::warning(this, windowTitle(), "Идет опрос объектов. Завершите опрос и повторите попытку");
        return false;
    }
    endingSession = true;
    allowClose_ = true;
    close();
    return true;
}

void TMainForm::closeEvent(QCloseEvent* e) {
    if (allowClose_) {
        e->accept();
        return;
    }
    // the title-bar close box hides the window into the tray; it never ends the program
    e->ignore();
    hideIntoTray();
}

void TMainForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    emit rebuildMonitorRequested();
}

} // namespace shell
