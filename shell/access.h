// Access levels of the main program: the level and the developer mode, the restrictions of the user level
// (Par2 bits 0 to 4) as the windows apply them, the refusals of the object pop-up menu, and the access dialog
// Tseqform ("ДОСТУП").
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace shell {

inline constexpr const char* kAccessDeniedText = "Ограничение доступа учетной записи. Доступ закрыт.";
inline constexpr const char* kPollBusyText =
    "Идет опрос объектов. Дождитесь окончания опроса, затем повторите попытку.";
inline constexpr const char* kAdministratorPassword = "bryndolec";
inline constexpr const char* kDeveloperPassword = "gorvinel";
inline constexpr const char* kLevelAdministrator = "Администратор";
inline constexpr const char* kLevelUser = "Пользователь";

// The restriction bits of Par2: what the user level may not do.
enum Restriction : int {
    kRestrictObjectEdit = 1, // "Редактирование параметров объекта"
    kRestrictAutoPoll = 2,   // "Отключение режима автоопроса"
    kRestrictForcedPoll = 4, // "Принудительная связь с объектом"
    kRestrictSettings = 8,   // "Изменение общих настроек программы"
    kRestrictExit = 16,      // "Выход из программы"
};

// The program-wide level. It starts at the user level and is not stored.
struct AccessState {
    int AccessLevel = 0; // 0 user, 1 administrator or developer
    bool DeveloperMode = false;
};
// The one instance of the running program.
AccessState& programAccess();

// Whether the restriction is in force: user level and its bit set in par2.
bool isRestricted(int accessLevel, int par2, Restriction r);

// What "apply the restrictions" enables.
struct Enabled {
    bool settingsPanel = true;    // the settings window's settings
    bool autoPollButton = true;   // the main window's "Автоопрос"
    bool connectionButton = true; // the object window's "Соединение"
    friend bool operator==(const Enabled&, const Enabled&) = default;
};
Enabled applyRestrictions(int accessLevel, int par2);

// Level and description labels of the dialog for a state.
struct LevelTexts {
    std::string level, description;
};
LevelTexts levelTexts(const AccessState& s);

// The items of the object pop-up menu and their checks.
enum class PopupItem {
    AutoPollToggle,
    AutoPollAllOn,
    AutoPollAllOff,
    ShowSettings,
    Edit,
    Delete,
    PollObject
};
// The message shown instead of the item's action, or empty when the action may run. A restriction is tested
// before the running poll.
std::string popupRefusal(PopupItem item, int accessLevel, int par2, bool pollRunning);
// "Выход" and the close query: refused (the window hides into the tray) at the user level with "Выход из
// программы" set.
bool exitRefused(int accessLevel, int par2);

// The access dialog. "Вход" changes the state it was given; the window connects the signals to show or hide
// its developer items and to apply the restrictions.
class Tseqform : public QDialog {
    Q_OBJECT
public:
    explicit Tseqform(AccessState& state = programAccess(), QWidget* parent = nullptr);

    // Time between the answer and the closing of the dialog (600 ms).
    void setCloseDelay(int ms) { closeDelayMs_ = ms; }

    QLabel* LevelLabel;
    QLabel* DescriptionLabel;
    QComboBox* ComboBox1; // level list
    QLabel* PasswordLabel;
    QLineEdit* Edit1;     // password
    QPushButton* Button1; // "Вход"
    QPushButton* Button2; // "Отмена"

signals:
    // The developer menus, the START and STOP buttons and the submenu "Монитор объектов": shown after a
    // developer login, hidden after any other successful login. Until the first login the window shows the
    // submenu and hides the rest.
    void developerItemsVisible(bool visible);
    // After a developer login: make the event page active and show the four diagnostic pages.
    void developerPagesRequested();
    // After every "Вход", successful or not.
    void restrictionsChanged();

protected:
    void showEvent(QShowEvent* e) override;
    // The dialog has no window frame: a raised bevel keeps it apart from the window below.
    void paintEvent(QPaintEvent* e) override;

private:
    void showLevel();
    void ComboBox1Change(const QString& text);
    void Button1Click();

    AccessState& state_;
    int closeDelayMs_ = 600;
};

} // namespace shell
