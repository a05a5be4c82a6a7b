// TADOBJ, "Мастер объектов": the modal dialog in which objects are created, changed and deleted. It edits the
// current record of the main window's objects table (MAINDB) and offers the device, network, group and serial
// port choices and the scheme list of the object's device type ("Circuits/ScmList.lst", Windows-1251).
#pragma once

#include "dbf/table.h"

#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace shell {

inline constexpr const char* kObjectMasterCaption = "Мастер объектов";
inline constexpr const char* kFillAllFieldsText = "Заполните все поля";
inline constexpr const char* kNewObjectText =
    "Введите настройки нового объекта и нажмите \"ОК\", для отмены нажмите \"Отмена\"";
inline constexpr const char* kDeleteObjectText = "вы действительно хотите удалить объект ";
inline constexpr const char* kScmListPath = "Circuits/ScmList.lst";

// Device types that have scheme lists.
bool hasSchemeList(int deviceType);
// The serial ports of the machine: every tty in /sys/class/tty backed by a device (a legacy 8250 port only
// when the hardware is present), as names such as "ttyUSB0", "ttyS0", in name order.
QStringList machineSerialPorts();
// The scheme number of a scheme list line "S<number>=<description>"; throws dbf::Error for a line without "="
// or without a number after the "S".
int schemeNumberOfLine(const QString& line);

class TADOBJ : public QDialog {
    Q_OBJECT
public:
    enum class Mode { Browse, Insert, Edit };

    // objects: the main window's objects table, open; it must outlive the dialog. programDir: the folder of
    // "Circuits".
    TADOBJ(dbf::Table& objects, std::string programDir, QWidget* parent = nullptr);
    ~TADOBJ() override;

    // ---- what the main window supplies
    // Its group list; "Все объекты" is left out by the master.
    std::function<QStringList()> groups;
    // Whether the user level's restriction "Редактирование параметров объекта" is in force.
    std::function<bool()> editRestricted;
    // The program-wide error handler (class name, message).
    std::function<void(const QString& className, const QString& message)> errorHandler;
    // The serial port list (machineSerialPorts by default).
    std::function<QStringList()> serialPorts = machineSerialPorts;
    // A scheme was chosen from "Список схем" and its file exists: load it into the object window and show it.
    std::function<void(const std::string& schemePath)> schemePreview;
    // "Редактор схем" with an existing scheme file: the object window with the scheme editor.
    std::function<void(const std::string& schemePath)> schemeEditor;
    // A device was chosen: the main window reopens its current-state table for the current object.
    std::function<void()> deviceChanged;
    // The master was closed: the main window reopens its objects table and requests RebuildMonitor.
    std::function<void()> closed;

    // ---- operations
    // Shows the master modally, for viewing or in edit mode (as if "Изменить" had been pressed).
    int showModal(bool edit = false);
    // The show step without the modal loop: fills the fields, orders the table by ADDRES, enters edit mode
    // when asked, applies the restriction. showModal() calls it; tests call it before show().
    void prepare(bool edit = false);
    // Re-reads the current record into the fields (the main window's current record moved).
    void reread();
    Mode mode() const { return mode_; }

    // The buttons' actions (the tests call them too).
    void newObject();    // "Новый"
    void editObject();   // "Изменить"
    void deleteObject(); // "Удалить"
    bool acceptObject(); // "ПРИНЯТЬ": false when refused
    void cancelObject(); // "ОТМЕНА"
    // Lines of the scheme list of the current device type, as the menu of "Список схем" offers them.
    QStringList schemeMenuLines() const;
    // A line of that menu chosen; a malformed line goes to the error handler and changes nothing.
    void chooseScheme(const QString& line);
    void openSchemeEditor(); // "Редактор схем"
    // Shows the description of the current record's scheme (a scheme saved as new while it was entered).
    void showCurrentScheme();

    // ---- controls
    QPushButton* NewButton;    // "Новый"
    QPushButton* EditButton;   // "Изменить"
    QPushButton* DeleteButton; // "Удалить"
    QPushButton* CloseButton;  // "Закрыть"
    QGroupBox* ListGroup;      // "Зарегистрированные объекты"
    QLineEdit* SearchEdit;
    QListWidget* ObjectList;
    QGroupBox* SettingsGroup; // "Настройки объекта"
    QComboBox* GroupCombo;    // DESKRIPTION
    QCheckBox* AutoconCheck;  // AUTOCON
    QLineEdit* AddressEdit;   // ADDRES
    QLineEdit* SerialEdit;    // SERIALNUM
    QComboBox* DeviceCombo;   // DEVTYPE
    QComboBox* NetCombo;      // NETTYPE
    QComboBox* PortCombo;     // COMPORT
    QLineEdit* PhoneEdit;     // PHONE
    QLineEdit* NetAdrEdit;    // NETADR
    QLineEdit* IpPortEdit;    // IPPORT
    QLabel* PortLabel;
    QLabel* PhoneLabel;
    QLabel* NetAdrLabel;
    QLabel* IpPortLabel;
    QPushButton* SchemeEditorButton; // "Редактор схем"
    QPushButton* SchemeListButton;   // "Список схем"
    QPlainTextEdit* SchemeDescription;
    QPushButton* AcceptButton; // "ПРИНЯТЬ"
    QPushButton* CancelButton; // "ОТМЕНА"

protected:
    void closeEvent(QCloseEvent* e) override;
    void reject() override;

private:
    void build();
    bool hasRow() const;
    // The user level may not change objects: the access message, true.
    bool refused();
    void guarded(const std::function<void()>& op);
    void setMode(Mode m);
    void enableControls();
    void refillList();
    void fillFields();
    void writeFields();
    void applyNetVisibility();
    int netIndex() const;
    void showSchemeDescription(int deviceType, int schemeNumber);
    void deviceChosen();
    void search(const QString& text);
    void listRowClicked(int row);
    void showSchemeMenu();
    void finish();

    dbf::Table& objects_;
    std::string programDir_;
    Mode mode_ = Mode::Browse;
    std::string savedOrdering_, savedIndexName_;
    bool prepared_ = false;
    bool filling_ = false;
    bool finishing_ = false;
};

} // namespace shell
