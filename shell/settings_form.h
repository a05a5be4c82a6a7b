// The settings window "Настройки программы": every setting of the main program on one panel, loaded from the
// settings store whenever the window is created, shown or cancelled, and saved by "OK" (and by the schedule
// before each scheduled poll) into the store, settings.ini beside the program and the autostart entry.
// The window keeps the settings in force; what the main window must do about them it learns by signals.
#pragma once

#include "dbf/types.h"
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "shell/schedule.h"

#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QToolButton;
class QWidget;

namespace shell {

namespace setup_text {
inline constexpr const char* kCaption = "Настройки программы";
inline constexpr const char* kNoMaindbQuestion = "Файл базы данных MAINDB отсутствует! создать новую БД?";
inline constexpr const char* kWarningTitle = "Предупреждение";
inline constexpr const char* kFolderDialogCaption = "Выбор директории";
inline constexpr const char* kFolderDialogAccept = "Выбрать";
inline constexpr const char* kFolderDialogReject = "Отмена";
inline constexpr const char* kNextPollEditMask = "99.99.99 99:99;_";
inline constexpr const char* kErrorTitle = "Ошибка";
inline constexpr const char* kBadNextPollTime =
    "Неверная дата или время очередного опроса: \"%1\". Введите их в виде дд.мм.гг чч:мм.";
inline constexpr const char* kScheduleByCaption = "Расписание автоопроса выполняет";
// The entries of the schedule choice, in the order of ScheduleBy (kScheduleByMervo, kScheduleByService).
inline constexpr const char* kScheduleByEntries[] = {"эта программа", "служба mervo-schedule"};
} // namespace setup_text

// Bits of Par2.
enum Par2Bit : int {
    kPar2ObjectEdit = 1, // "Редактирование параметров объекта"
    kPar2AutoPoll = 2,   // "Отключение режима автоопроса"
    kPar2ForcedPoll = 4, // "Принудительная связь с объектом"
    kPar2Settings = 8,   // "Изменение общих настроек программы"
    kPar2Exit = 16,      // "Выход из программы"
    kPar2AutoPollAtStart = 32, // "Автоопрос объектов активен при запуске программы"
    kPar2TrayAtStart = 64, // "Свернуть главное окно в трей при запуске программы"
};

// Whether the settings panel can be changed: always at the administrator level (1), at the user level (0)
// only while the restriction "Изменение общих настроек программы" is clear.
bool settingsPanelEnabled(int accessLevel, int par2);

// The folder choice "Выбор директории" preset to start: the chosen folder, nullopt on "Отмена". A non-native
// dialog, so that it is the application's active modal widget while it is open.
std::optional<QString> chooseFolderDialog(QWidget* parent, const QString& start);

// A message box of an error the operator must correct: critical, with OK only.
void criticalAlert(QWidget* parent, const QString& title, const QString& text);

// Where the window finds the program, the stores and the clock; tests put temporary places here.
struct SetupEnvironment {
    std::string programDir = devdata::siteDir();
    std::string programPath = devdata::programPath();
    std::string registryPath = devdata::SettingsStore::defaultPath();
    std::string autostartPath = devdata::autostartEntryPath();
    std::function<dbf::DateTime()> now = [] { return dbf::DateTime::now(); };
    std::function<std::optional<QString>(QWidget* parent, const QString& start)> chooseFolder =
        chooseFolderDialog;
    // Tells the operator of an entry the window refuses.
    std::function<void(QWidget* parent, const QString& title, const QString& text)> alert = criticalAlert;
};

class TSetupForm : public QDialog {
    Q_OBJECT
public:
    // Creating the window loads the settings.
    explicit TSetupForm(SetupEnvironment env = {}, QWidget* parent = nullptr);
    ~TSetupForm() override;

    // Reads the store into the controls (writing the defaults of missing values first), sets the data and
    // temporary directories, AutoPollOn and the restrictions, and removes the temporary folder.
    void Load();
    // Writes settings.ini, the store and the autostart entry from the controls. The next poll time is the
    // one in force while the edit still shows it, else what the operator typed there. False when the typed
    // time cannot be read: the operator is told so and nothing is written.
    bool Save();
    // The schedule's step before a poll: t shown in the edit and saved as it is with the other settings
    // (the edit's two-digit year cannot carry a time a century or more away).
    bool storeNextPollTime(dbf::DateTime t);
    // The next poll time the edit stands for: the one in force while the edit shows its text, else the
    // typed time read as "dd.mm.yy hh:nn"; nullopt when that does not read.
    std::optional<dbf::DateTime> nextPollFromEdit() const;

    // The next poll time and the choice of who runs the schedule as the store holds them now (the service
    // stores the next poll time of the schedule it runs): taken into the settings in force, and into the
    // edit and the choice while they still show the values in force. Nothing is written.
    void followStoredSchedule();
    // Whether the service runs the schedule of the data folder (ScheduleBy in force).
    bool scheduledByService() const { return settings_.scheduleBy == devdata::kScheduleByService; }

    // The access level (0 user, 1 administrator): enables the group "Ограничения пользователя" and the panel.
    void setAccessLevel(int level);
    int accessLevel() const { return accessLevel_; }
    // The panel enabled or not by the access level and the restriction in force.
    void applyRestrictions();

    // The settings in force (last loaded or saved).
    const devdata::Settings& settings() const { return settings_; }
    // The data directory in force and its temporary directory.
    const std::string& dataDir() const { return dataDir_; }
    const std::string& tempDir() const { return tempDir_; }
    // AutoPollOn as the last load set it.
    bool autoPollOnAtLoad() const { return autoPollOn_; }
    const SetupEnvironment& environment() const { return env_; }
    std::string settingsIniPath() const;

    // The controls, named as the design names them.
    QWidget* Panel1;
    QComboBox* ComboBox1; // period unit
    QLabel* Label5;       // "X"
    QSpinBox* SpinEdit2;  // multiplier
    QLineEdit* MaskEdit1; // next poll time
    QPushButton* Button1; // "Сейчас"
    QComboBox* ComboBox4; // who runs the schedule (ScheduleBy)
    QSpinBox* SpinEdit1;  // read attempts
    QSpinBox* SpinEdit3;  // lanes: objects polled side by side
    QLineEdit* Edit1;     // data directory
    QToolButton* SpeedButton1;
    QComboBox* ComboBox2;  // archive filter
    QComboBox* ComboBox3;  // archive kind
    QCheckBox* CheckBox21; // auto-poll at start
    QCheckBox* CheckBox22; // tray at start
    QGroupBox* GroupBox1;  // "Обновлять при соединении"
    QTabWidget* PageControl1;
    // page "Vexa-1П" (Par1_228)
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QCheckBox* CheckBox9;
    QCheckBox* UnCheckDTR229;
    // page "Vexa-1К" (Par1_225)
    QCheckBox* CheckBox5;
    QCheckBox* CheckBox6;
    QCheckBox* CheckBox7;
    QCheckBox* CheckBox12;
    QCheckBox* CheckBox18;
    QCheckBox* UnCheckDTR225;
    // page "Vexa-1П М" (Par1_234)
    QCheckBox* CheckBox13;
    QCheckBox* CheckBox14;
    QCheckBox* CheckBox15;
    QCheckBox* CheckBox16;
    QCheckBox* CheckBox17;
    QCheckBox* UnCheckDTR234;
    // page "Kesta" (Par1_128)
    QCheckBox* CheckBox10;
    QCheckBox* UnCheckDTR128;
    QGroupBox* GroupBox2; // "Ограничения пользователя"
    QCheckBox* CheckBox4;
    QCheckBox* CheckBox8;
    QCheckBox* CheckBox11;
    QCheckBox* CheckBox19;
    QCheckBox* CheckBox20;
    QCheckBox* CheckBox23; // autostart
    QPushButton* BitBtn1;  // "OK"
    QPushButton* BitBtn2;  // "Cancel"

    // One box of a bit set: the box and the value of its bit.
    struct BoxBit {
        QCheckBox* box;
        int value;
    };
    // The boxes of Par1_228, Par1_225, Par1_234, Par1_128 and Par2.
    std::vector<BoxBit> bits228() const;
    std::vector<BoxBit> bits225() const;
    std::vector<BoxBit> bits234() const;
    std::vector<BoxBit> bits128() const;
    std::vector<BoxBit> bitsPar2() const;

signals:
    // A load set AutoPollOn (and the "Автоопрос" button) to this.
    void autoPollOnChanged(bool on);
    // A load with "Свернуть главное окно в трей при запуске программы" clear: show, restore and raise the
    // main window.
    void showMainWindowRequested();
    // A load or save applied the restrictions; the main window applies its part of them.
    void restrictionsApplied();
    // The data directory in force was set (load and save).
    void dataDirChanged(const QString& dataDir);
    // A save asks the main window to reopen its objects table MAINDB in the data directory.
    void objectsTableReopenRequested(const QString& dataDir);
    // A save asks for a rebuild of the object monitor.
    void rebuildMonitorRequested();
    // An error that the program-wide handler records.
    void errorRaised(const QString& message);

protected:
    void showEvent(QShowEvent* e) override;

private:
    void build();
    void Button1Click();
    void SpeedButton1Click();
    void BitBtn1Click();
    void BitBtn2Click();

    // Save with that next poll time.
    void saveWith(dbf::DateTime dtconn);
    void setDataPath(const std::string& stored);
    void showRecord(const devdata::Settings& s);
    // The record the controls hold, with the given next poll time.
    devdata::Settings recordFromControls(dbf::DateTime dtconn) const;
    static void tick(const std::vector<BoxBit>& bits, int value);
    static int collect(const std::vector<BoxBit>& bits);
    // Sets the autostart box from the entry, rewriting an entry with another program path.
    void loadAutostart();
    void saveAutostart();

    SetupEnvironment env_;
    devdata::Settings settings_;
    std::string dataDir_;
    std::string tempDir_;
    int accessLevel_ = 0;
    bool autoPollOn_ = false;
    bool centred_ = false;
};

// The schedule tick's view of the program: DTConn, Period and PeriodX in force come from the settings window,
// and a new next poll time goes into its edit and is saved with the other settings. The running flag, the
// auto-poll switch, the start of a poll and the event list are the main window's.
class SetupFormSchedule : public ScheduleHost {
public:
    SetupFormSchedule(TSetupForm& form, std::function<bool()> pollRunning, std::function<bool()> autoPollOn,
                      std::function<polling::StartResult()> startPoll,
                      std::function<void(const std::string&)> eventLine)
        : form_(form), running_(std::move(pollRunning)), on_(std::move(autoPollOn)),
          start_(std::move(startPoll)), line_(std::move(eventLine)) {}
    // A start that is never refused, and no event list.
    SetupFormSchedule(TSetupForm& form, std::function<bool()> pollRunning, std::function<bool()> autoPollOn,
                      std::function<void()> startPoll)
        : SetupFormSchedule(
              form, std::move(pollRunning), std::move(autoPollOn),
              [start = std::move(startPoll)] {
                  start();
                  return polling::StartResult{};
              },
              [](const std::string&) {}) {}
    bool pollRunning() const override { return running_(); }
    bool autoPollOn() const override { return on_(); }
    dbf::DateTime nextPollTime() const override { return form_.settings().dtconn; }
    int period() const override { return form_.settings().period; }
    int periodX() const override { return form_.settings().periodX; }
    void storeNextPollTime(dbf::DateTime t) override { form_.storeNextPollTime(t); }
    polling::StartResult startPoll() override { return start_(); }
    void eventLine(const std::string& text) override { line_(text); }

private:
    TSetupForm& form_;
    std::function<bool()> running_, on_;
    std::function<polling::StartResult()> start_;
    std::function<void(const std::string&)> line_;
};

} // namespace shell
