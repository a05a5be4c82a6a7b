#include "shell/main_form.h"

#include "dbf/codec.h"
#include "devdata/tables.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
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

TMainForm::TMainForm(std::string programDir, QWidget* parent)
    : QMainWindow(parent), programDir_(std::move(programDir)), bridge_(std::make_unique<PollBridge>()) {
    run_ = std::make_unique<polling::PollRun>(polling::systemClock(), bridge_.get());
    setWindowTitle(kMainCaption);
    buildTools();
    buildPages();
    buildStatusBar();
    buildMenus();

    auto* splitter = new QSplitter(Qt::Vertical, this);
    CentreView = new QStackedWidget(splitter);
    auto* scroll = new QScrollArea;
    ButtonView = new QWidget;
    scroll->setWidget(ButtonView);
    scroll->setWidgetResizable(true);
    CentreView->addWidget(scroll);
    TableView = new QWidget;
    CentreView->addWidget(TableView);
    splitter->addWidget(CentreView);
    splitter->addWidget(PageControl1);
    splitter->setStretchFactor(0, 1);
    auto* centre = new QWidget(this);
    auto* row = new QHBoxLayout(centre);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(ToolPanel);
    row->addWidget(splitter, 1);
    setCentralWidget(centre);

    connect(bridge_.get(), &PollBridge::eventLineArrived, this, &TMainForm::appendEventLine);
    connect(bridge_.get(), &PollBridge::eventLinesDrained, this,
            [this] { WindowStateL->setCurrentRow(WindowStateL->count() - 1); });
    connect(bridge_.get(), &PollBridge::statusTextChanged, this, [this](int i, const QString& t) {
        if (i >= 0 && i <= 4) setStatus(i, t);
    });
    connect(bridge_.get(), &PollBridge::terminalLineArrived, this,
            [this](const QString& l) { TerminalMemo->appendPlainText(l); });
    connect(bridge_.get(), &PollBridge::ended, this, [this] { emit rebuildMonitorRequested(); });

    ClockTimer = new QTimer(this);
    ClockTimer->setInterval(1000);
    connect(ClockTimer, &QTimer::timeout, this, [this] { guarded("TMainForm", [this] { clockTick(); }); });

    confirmExit = [this](const QString& text) {
        return QMessageBox::question(this, windowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel) ==
               QMessageBox::Ok;
    };
    confirmStopPoll = [this](const QString& text) {
        QMessageBox box(QMessageBox::Information, windowTitle(), text, QMessageBox::Ok | QMessageBox::Cancel,
                        this);
        return box.exec() == QMessageBox::Ok;
    };
    inform = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
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
        b->setToolTip(hint);
        b->setIcon(style()->standardIcon(icon));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setAutoRaise(true);
        b->setFixedSize(64, 55);
        col->addWidget(b);
        return b;
    };
    button("Объект",
           "Создание объектов и изменение их настроек.\r\nДоступ к функции ограничивается установкой "
           "соответствующего флажка в настройках программы",
           QStyle::SP_FileDialogDetailedView);
    SpeedButtonAuto = button("Автоопрос", "Включение/отключение режима автоопроса объектов по расписанию.",
                             QStyle::SP_BrowserReload);
    SpeedButtonAuto->setCheckable(true);
    connect(SpeedButtonAuto, &QToolButton::toggled, this, [this](bool on) { autoPollOn = on; });
    button("Архив", "Печать сводных отчетов по объектам.", QStyle::SP_FileDialogContentsView);
    button("Настройки", "Изменение настроек программы", QStyle::SP_FileDialogListView);
    SpeedButtonSignal = button("Сигнал", "Сканер уровня принимаемого GSM сигнала", QStyle::SP_DriveNetIcon);
    connect(SpeedButtonSignal, &QToolButton::clicked, this, [this] {
        const QString tester = q(devdata::joinPath(programDir_, "LevelTest.dll"));
        if (QFile::exists(tester))
            QProcess::startDetached(tester, {});
        else
            inform("Не установлен модуль тестирования уровня GSM сигнала");
    });
    button("Доступ",
           "Изменение текущего уровня доступа.\r\nОграничения доступа устанавливаются в настройках программы",
           QStyle::SP_DialogYesButton);
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
    const int widths[6] = {60, 200, 200, 250, 230, 50};
    for (int i = 0; i < 6; ++i) {
        StatusPanel[i] = new QLabel(this);
        StatusPanel[i]->setFixedWidth(widths[i]);
        StatusPanel[i]->setFixedHeight(20);
        if (i == 0) StatusPanel[i]->setAlignment(Qt::AlignCenter);
        statusBar()->addWidget(StatusPanel[i], i == 5 ? 1 : 0);
    }
}

void TMainForm::buildMenus() {
    QMenu* object = menuBar()->addMenu("Объект");
    object->addAction("Мастер объектов")->setShortcut(QKeySequence(Qt::Key_F2));
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
    connect(buttons, &QAction::triggered, this, [this] { CentreView->setCurrentIndex(0); });
    connect(table, &QAction::triggered, this, [this] { CentreView->setCurrentIndex(1); });
    QMenu* order = view->addMenu("Упорядочить по");
    order->addAction("порядку создания")->setShortcut(QKeySequence("Ctrl+D"));
    order->addAction("серийному номеру")->setShortcut(QKeySequence("Ctrl+N"));
    order->addAction("адресу объекта")->setShortcut(QKeySequence("Ctrl+A"));
    order->addAction("Группе")->setShortcut(QKeySequence("Ctrl+G"));

    QMenu* service = menuBar()->addMenu("Сервис");
    service->addAction("Настройки программы")->setShortcut(QKeySequence(Qt::Key_F3));
    service->addAction("Смена уровня доступа")->setShortcut(QKeySequence(Qt::Key_F4));

    QMenu* help = menuBar()->addMenu("Справка");
    QAction* helpItem = help->addAction("Справка");
    helpItem->setShortcut(QKeySequence(Qt::Key_F1));
    connect(helpItem, &QAction::triggered, this, [this] {
        // the desktop's opener on the help files, in the same order as ever
        for (const char* file : {"HELP/Help.chm", "HELP/Index.html"}) {
            const QString path = q(devdata::joinPath(programDir_, file));
            if (QFile::exists(path)) {
                QDesktopServices::openUrl(QUrl::fromLocalFile(path));
                return;
            }
        }
    });
    help->addAction("О программе");
}

void TMainForm::appendEventLine(const QString& text, bool replaceLast) {
    if (replaceLast && WindowStateL->count() > 0)
        WindowStateL->item(WindowStateL->count() - 1)->setText(text);
    else
        WindowStateL->addItem(text);
}

void TMainForm::setStatus(int index, const QString& text) {
    if (StatusPanel[index]->text() != text) StatusPanel[index]->setText(text);
}

void TMainForm::clockTick() {
    SpeedButtonSignal->setEnabled(!run_->running());
    setStatus(0, autoPollOn ? "Авто" : "Ручной");
    if (autoPollOn) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %02d:%02d", nextPoll.day(), nextPoll.month(),
                      nextPoll.year(), nextPoll.hour(), nextPoll.minute());
        setStatus(4, QString("Дата очередного опроса: ") + buf);
    } else {
        setStatus(4, "Режим \"Автоопрос\" отключен");
    }
    const dbf::DateTime now = dbf::DateTime::now();
    ClockLabel->setText(q(now.timeText() + "\n" + now.dateText()));
}

bool TMainForm::startPoll(std::optional<int> singleObject) {
    if (run_->running()) {
        inform(polling::kAlreadyRunning);
        return false;
    }
    polling::PollConfig c;
    c.programDir = programDir_;
    c.dataDir = dataDir_;
    c.tempDir = devdata::tempDirOf(dataDir_);
    const devdata::Settings snapshot = settings_;
    c.settings = [snapshot] { return snapshot; };
    return run_->start(c, singleObject);
}

void TMainForm::stopPoll() {
    run_->stop();
}

void TMainForm::handleError(const QString& className, const QString& message) {
    ++errorCount;
    const dbf::DateTime now = dbf::DateTime::now();
    const std::string line = now.dateText() + " " + now.timeText() + " - " + message.toStdString();
    // a log that cannot be written must not cost the page line or the program
    std::ofstream log(devdata::joinPath(programDir_, "ErrorLog.log"), std::ios::app | std::ios::binary);
    if (log) log << dbf::codec::toCp1251(line) << "\r\n";
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
        hide();
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
        hide();
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
    hide();
}

void TMainForm::showEvent(QShowEvent* e) {
    QMainWindow::showEvent(e);
    emit rebuildMonitorRequested();
}

} // namespace shell
