// TMainForm: the operator's main window. This part holds the window's frame: the tool panel with its clock,
// the pages fed by the poll run (events, commands, errors, terminal, debug settings), the six-panel status
// bar, the menus, the clock tick, the program-wide error handler and the closing rules.
#pragma once

#include "dbf/table.h"
#include "devdata/settings.h"
#include "poll/poll_run.h"
#include "shell/access.h"
#include "shell/monitor_model.h"
#include "shell/poll_bridge.h"
#include "shell/settings_form.h"

#include <QApplication>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QListWidget;
class QPlainTextEdit;
class QSpinBox;
class QStackedWidget;
class QTabWidget;
class QTimer;
class QToolButton;
class QSplitter;
class QSystemTrayIcon;

namespace schemes {
class TOBJECTFORM;
class TForm3;
class ObjectFormEditorHost;
class ObjectFormEditMode;
} // namespace schemes

namespace shell {

class ObjectMonitor;
class ObjectTableView;
class TAboutBox;
class TADOBJ;
class TSRepForm;
class TForm1;
class TLocalConnect;

inline constexpr const char* kMainCaption = "БД узлов учета тепловой энергии  ";
// The event lines of another program's poll of the data folder, seen from its start to its end.
inline constexpr const char* kOtherPollStartedText = "Идет опрос другой программой";
inline constexpr const char* kOtherPollEndedText = "Опрос другой программой завершен";
// The service runs the schedule: the hint of the "Автоопрос" button and status text 0.
inline constexpr const char* kServiceScheduleHint = "Автоопрос выполняет служба mervo-schedule";
inline constexpr const char* kServiceModeStatusText = "Служба";

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // programDir: folder of the program ("ErrorLog.log", "Log"); the settings come from the store's record.
    TMainForm(std::string programDir, QWidget* parent = nullptr);
    ~TMainForm() override;

    // The data directory in force and the settings record the window works with.
    // (The object window follows both.)
    void setDataDir(const std::string& dir);
    // Opens the window's objects table (MAINDB in the data directory, ordered by NUM) and shows it in the
    // object monitor, with the top bar showing every object; the current object stays the one it was when the
    // new table holds it. Throws the table engine's error.
    void openObjects();
    // The settings were saved with the data folder dir: when the objects table in use lies in another folder,
    // its reopening is noted and done by the next clock or schedule tick at which nothing uses the table.
    void requestObjectsReopen(const std::string& dir);
    bool objectsReopenPending() const { return reopenPending_; }
    // Reopens the objects table when that is pending and nothing uses it; true when it was reopened.
    bool serveObjectsReopen();
    // Whether the objects table may not be closed now: a handler of the window or of the monitor is on the
    // stack, a modal window or a pop-up menu is up, a record is being entered or changed, or the object
    // master, the object window or a state window is shown.
    bool objectsInUse() const;
    // NUM of the objects table's current record, 0 when there is none.
    int currentObjectNum() const;
    dbf::Table& objects() { return objects_; }
    // The poll form's own copy of the objects table, opened beside the window's.
    dbf::Table& pollFormObjects() { return pollObjects_; }
    // The current object's current-state table ("STATEDB" + DEVTYPE, ordered by "NUMSTATE", a detail of the
    // objects table by NUM); closed when the object's type has no such file yet. The state windows read it.
    dbf::Table& currentState() { return state_; }
    // Reopens the current-state table for the objects table's current record.
    void openCurrentState();
    MonitorModel* monitorModel() { return model_.get(); }
    ObjectMonitor* monitor() { return monitor_; }
    const std::string& dataDir() const { return dataDir_; }
    void setSettings(const devdata::Settings& s);
    const devdata::Settings& settings() const { return settings_; }

    // Shell state
    bool autoPollOn = true;
    AccessState access; // the program's level and developer mode
    bool endingSession = false;
    int errorCount = 0;
    // The next scheduled poll (status text 4).
    dbf::DateTime nextPoll;

    polling::PollRun& pollRun() { return *run_; }
    PollBridge& bridge() { return *bridge_; }
    // Starts a run (all objects, or one) for the operator; false with "Опрос уже запущен" shown while this
    // window's run or another program's run polls the data folder, or with the error when the folder's poll
    // lock cannot be taken.
    bool startPoll(std::optional<int> singleObject = std::nullopt);
    void stopPoll();

    // The program-wide error handler: counts, appends to "ErrorLog.log", shows it on the page "Ошибки".
    void handleError(const QString& className, const QString& message);
    // Runs an operation of the main thread under the error handler.
    void guarded(const QString& className, const std::function<void()>& op);

    // "Выход": the exit rules of the button, the menu and the tray menu.
    void exitProgram();
    // The desktop session asks whether the program may end: false (with the warning) while a poll runs.
    bool sessionMayEnd();

    // Status texts 0 and 4 and the clock box, as the one-second clock tick writes them. The tick takes the
    // next poll time and the choice of who runs the schedule from the settings store, and looks whether
    // another program polls the data folder.
    void clockTick();
    // Whether the service runs the schedule of the data folder (ScheduleBy of the settings in force): the
    // schedule tick starts no poll and the "Автоопрос" button stays down and disabled with its hint saying
    // so.
    bool scheduledByService() const;
    // Whether another program's poll of the data folder is being seen (its start was written to the event
    // list, its end not yet).
    bool otherPollSeen() const { return otherPollSeen_; }
    // Looks whether another program holds the data folder's poll lock while this window's run is idle: its
    // start and end each give one event line, and its end a refresh of the monitor and of the current
    // state. The lock is seen in the kernel's lock list; where that cannot be read it is tried and released
    // at once, at most once a second. The clock tick calls it.
    void watchOtherPoll();

    // Widgets other parts and the tests reach
    QLabel* ClockLabel = nullptr;
    QToolButton* SpeedButtonStart = nullptr;
    QToolButton* SpeedButtonStop = nullptr;
    QToolButton* SpeedButtonAuto = nullptr;
    QToolButton* SpeedButtonSignal = nullptr;
    QToolButton* SpeedButtonExit = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QListWidget* WindowStateL = nullptr; // "Окно событий"
    QPlainTextEdit* CommandsMemo = nullptr;
    QListWidget* ErrorsList = nullptr;
    QPlainTextEdit* TerminalMemo = nullptr;
    QSpinBox* SendPause = nullptr;
    QStackedWidget* CentreView = nullptr;
    QWidget* ButtonView = nullptr;
    ObjectTableView* TableView = nullptr;
    // "Кнопки" / "Таблица": switches the centre view (the table view reads its grids on the way).
    void showTableView(bool table);
    TAboutBox* AboutBox = nullptr;
    // The object master "Мастер объектов" and the summary report window, made once with the window.
    TADOBJ* ObjectMaster = nullptr;
    TSRepForm* SummaryReport = nullptr;
    // The object window "Объект" of the current object (click on an object, double click on a row).
    schemes::TOBJECTFORM* ObjectWindow = nullptr;
    // The scheme editor "Мастер схем", docked into the object window's tool strip in edit mode.
    schemes::TForm3* SchemeEditor = nullptr;
    // The object master's "Редактор схем" on the scheme file of the current object (also the record the
    // master is entering): the object window opened modally in edit mode on it; the master shows the
    // scheme afterwards. A file that cannot be loaded opens no editor: after the load's message the window
    // is shown (not modal) with an empty area captioned "Мнемосхема отсутствует".
    void editObjectScheme(const std::string& path);
    // A scheme chosen from the master's "Список схем" whose file exists: the object window shown, not
    // modal, with that scheme, or with an empty area captioned "Мнемосхема отсутствует" when it cannot be
    // loaded.
    void previewObjectScheme(const std::string& path);
    // F2 / "Мастер объектов" in edit mode and the pop-up's "Редактировать": refused with the access message
    // at the user level with "Редактирование параметров объекта" set.
    void editCurrentObject();
    // Makes the object NUM current and shows its object window modally.
    void showObjectWindow(int num);
    // Makes the object NUM current and runs the object window's archive action.
    void showObjectArchive(int num);
    // The object's state window (Ctrl-click, the object window's "Состояние"): the current-state table is
    // reopened for the object NUM made current, then the window of its device type is shown modally.
    void showObjectState(int num);
    TForm1* PollForm = nullptr;
    TLocalConnect* LocalConnect = nullptr;
    // "ОПРОСИТЬ объект" and the object window's connection action: a single-object poll of the object NUM
    // (made the current object first) with the connection dialog, modal until the poll ends or "Отмена".
    // False when the object is not in the selection or a poll is already running.
    bool pollObjectWithDialog(int num);
    // Windows that a click on the tray icon brings to the front when they are visible (the object window
    // and the state windows register themselves here).
    void addTrayFollower(QWidget* w) { trayFollowers_.push_back(w); }
    QWidget* ToolPanel = nullptr;
    QLabel* StatusPanel[6] = {};
    QTimer* ClockTimer = nullptr;
    // Top bar
    QComboBox* GroupList = nullptr;
    QComboBox* StateFilter = nullptr;
    QComboBox* SearchKind = nullptr;
    QLineEdit* SearchEdit = nullptr;
    QLabel* SelectedCount = nullptr;
    // The object pop-up menu for an object.
    void showObjectPopup(int num, const QPoint& at);
    // Creates the settings window (whose creation loads the settings into this window: AutoPollOn, data
    // directory, restrictions, the main window's showing) and the access dialog, and connects them; starts
    // the schedule tick on the settings in force.
    void attachWindows(SetupEnvironment env = {});
    TSetupForm* setupForm() { return setup_.get(); }
    Tseqform* accessDialog() { return access_.get(); }
    QTimer* ScheduleTimer = nullptr;
    // One tick of the schedule: starts a poll when the next poll time has come.
    void scheduleTick();
    // The "Автоопрос" button was pressed (down = its new state).
    void autoPollButton(bool down);
    std::function<bool(const QString& text)> confirmStopAutoPoll;
    // The notification-area icon: its hint and menu, the click that shows or hides the window, the animation
    // during a poll and the balloons at a run's start and end. Where the desktop has no tray, the window
    // stays reachable: closing it minimises it instead of hiding it.
    QSystemTrayIcon* Tray = nullptr;
    std::function<bool()> trayAvailable;
    QString lastBalloonTitle, lastBalloonText;
    void trayClicked();

    // The developer's menus "TEMP" and "База Данных".
    QMenu* TempMenu = nullptr;
    QMenu* DatabaseMenu = nullptr;
    // "Вид › Монитор объектов": shown at start and at the developer level, hidden by the other logins.
    QMenu* MonitorMenu = nullptr;

    // The pop-up menu's actions on the current object (with their checks); the tests call them directly.
    void popupAutoPollToggle();
    void popupAutoPollAll(bool on);
    void popupDelete();

    // Shows the diagnostic pages ("Команды", "Ошибки", "Terminal", "Debug settings") or hides them.
    void showDiagnosticPages(bool on);
    // Restriction test of the exit and the object commands (a Par2 bit at the user level).
    bool restricted(Restriction r) const { return isRestricted(access.AccessLevel, settings_.par2, r); }

    // The confirmations the closing rules ask; replaceable in tests. Return true for OK.
    std::function<bool(const QString& text)> confirmExit;
    std::function<bool(const QString& text)> confirmStopPoll;
    std::function<bool(const QString& text)> confirmDelete;
    std::function<void(const QString& text)> inform;
    // An error message box.
    std::function<void(const QString& text)> alert;
    // Opens a help file with the desktop's opener / starts a program without arguments; replaceable in tests.
    std::function<void(const QString& path)> openDocument;
    std::function<void(const QString& path)> startProgram;
    // "Справка" (F1, the tray menu): "HELP/Help.chm", else "HELP/Index.html" in the program folder, else
    // nothing.
    void showHelp();
    // "Сигнал": the GSM level tester "LevelTest.dll" of the program folder, or its message.
    void startSignalTester();
    // Time the exit waits for a running poll: 50 times 100 ms.
    int exitWaitTries = 50;
    // Ends the application after an allowed exit; replaceable in tests.
    std::function<void()> quitApplication = [] { QApplication::quit(); };

signals:
    void rebuildMonitorRequested();
    // Hooks for the windows that later parts bring: the object master (view or edit) and the single-object
    // poll with its connection dialog.
    void objectMasterRequested(bool edit);
    void singlePollRequested(int num);
    // "Архив": the summary-report window.
    void summaryReportRequested();
    // Clicks on an object (button or table row): the object window, its archive and its state actions. The
    // object is the current record when they are sent.
    void objectWindowRequested(int num);
    void objectArchiveRequested(int num);
    void objectStateRequested(int num);
    // The objects table's current record moved and the current-state table was reopened for it.
    void currentObjectChanged(int num);

protected:
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void buildTools();
    void buildPages();
    void buildStatusBar();
    void buildMenus();
    void buildTopBar(QWidget* parent);
    void refillGroups();
    // The top bar shows the group, the state and the search text the monitor filters by.
    void showTopBarState();
    bool popupRefused(PopupItem item);
    void appendEventLine(const QString& text, bool replaceLast);
    // Lines the event list keeps.
    static constexpr int kEventListLines = 50000;
    // Starts a run on the settings in force and says what the start came to; no message box.
    polling::StartResult beginPoll(std::optional<int> singleObject);
    void setStatus(int index, const QString& text);
    bool closeQuery();

    std::string programDir_;
    std::string dataDir_;
    devdata::Settings settings_;
    void applyWindowRestrictions();
    // The current-state table was reopened for another current object (reopen) or its rows changed: the
    // table view's lower grid and a state window being shown follow.
    void currentStateChanged(bool reopen);
    // Makes the object NUM the current record (ordered by NUM for the search, the ordering kept); false when
    // it is not in the selection.
    bool makeCurrent(int num);
    // Before the object window shows the current object: its current-state view and the poll state.
    void prepareObjectWindow();
    // The object window may be opened now: it is hidden, or shown (not modal) by a scheme choice and hidden
    // now; false while it is open modally.
    bool freeObjectWindow();
    // The table view reads its grids again when it is the view shown.
    void reloadTableView();
    void buildTray();
    void balloon(const QString& text);
    void hideIntoTray();
    QTimer* trayAnimation_ = nullptr;
    int trayFrame_ = 0;
    dbf::Table objects_;
    dbf::Table pollObjects_;
    dbf::Table state_;
    std::vector<QPointer<QWidget>> trayFollowers_;
    std::unique_ptr<schemes::ObjectFormEditorHost> editorHost_;
    std::unique_ptr<schemes::ObjectFormEditMode> editMode_;
    std::unique_ptr<TSetupForm> setup_;
    std::unique_ptr<Tseqform> access_;
    std::unique_ptr<SetupFormSchedule> schedule_;
    std::unique_ptr<MonitorModel> model_;
    ObjectMonitor* monitor_ = nullptr;
    bool refilling_ = false;
    std::unique_ptr<PollBridge> bridge_;
    std::unique_ptr<polling::PollRun> run_;
    bool allowClose_ = false;
    // The objects table lies in another folder than the settings name: reopened at a tick when unused.
    bool reopenPending_ = false;
    // Depth of the window's handlers that work on the objects table (the table must not be closed under
    // them).
    int handlerDepth_ = 0;
    friend struct HandlerScope;
    // The data folder the settings named while the table of another folder was in use.
    std::string pendingDataDir_;
    // Whether the open objects table lies in the folder dir.
    bool objectsTableIn(const std::string& dir) const;
    // The settings' data folder: taken at once, or with the reopening when another folder's table is open.
    void followDataDir(const std::string& dir);
    // The table view is read again once the pending edit it must not disturb has ended.
    bool tableViewStale_ = false;
    // The "Автоопрос" button as the schedule's owner and the restrictions leave it.
    void showScheduleOwner();
    bool otherPollSeen_ = false;
    // When the poll lock was last tried (where it cannot be seen without trying).
    qint64 lastLockTry_ = 0;
};

} // namespace shell
