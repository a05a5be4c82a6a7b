// TOBJECTFORM, "Объект": one metering unit with its header (group, address, last connection, state), the
// commands "Состояние", " АРХИВ", "Соединение", "Протокол" and its mnemonic scheme on the drawing area "Dr"
// with the live values of its current-state row. It always shows the current record of the main window's
// objects table.
//
// The main window owns one instance for the life of the program and
//   - creates it with its objects table (MAINDB) and the data directory, gives it the settings record
//     (setSettings, again whenever the settings change) and connects stateRequested() to the state window of
//     the object's device type and connectionRequested() to its single-object poll with the connection
//     dialog (both run synchronously; afterwards the window re-reads its rows);
//   - opens it for the current object with exec() (showing loads the object's scheme);
//   - calls dataChanged() after every poll run and whenever the current object's rows were re-read, and
//     setPollRunning() from its clock tick (the protocol button is offered only while no poll runs);
//   - may call archive(), state() and connection() directly for its object buttons and menu.
#pragma once

#include "dbf/table.h"
#include "devdata/settings.h"
#include "schemes/render.h"
#include "schemes/scheme.h"

#include <QDialog>
#include <QFrame>
#include <functional>
#include <string>

class QLabel;
class QPushButton;
class QGroupBox;

namespace schemes {

// The drawing area "Dr": 1005 × 585 with a two-pixel lowered bevel, the wallpaper stretched to its inside
// and the scheme's elements on top in painting order.
class DrawingArea : public QFrame {
    Q_OBJECT
public:
    explicit DrawingArea(QWidget* parent = nullptr);
    void setWallpaper(const QImage& image);
    const QImage& wallpaper() const { return wallpaper_; }
    void setScheme(const Scheme* scheme) { scheme_ = scheme; }
    void setFieldText(FieldText f) { fieldText_ = std::move(f); }
    // The area's caption ("Мнемосхема отсутствует" from the object master); empty while a scheme is shown.
    void setCaption(const QString& c);
    QString caption() const { return caption_; }
    // What the field label of that name shows now: its value, or the value cut with a trailing "…" when it
    // is wider than the label, with the whole value as its hint. nullopt when there is no such label.
    std::optional<ShownField> shownField(const std::string& name) const;
    // The hint the area shows at a point: the whole value of a cut field label there, else empty.
    QString hintAt(QPoint p) const;

protected:
    void paintEvent(QPaintEvent* e) override;
    bool event(QEvent* e) override;

private:
    QImage wallpaper_;
    const Scheme* scheme_ = nullptr;
    FieldText fieldText_;
    QString caption_;
};

class TOBJECTFORM : public QDialog {
    Q_OBJECT
public:
    // programDir: the program folder ("Circuits", "wallpaper.jpg", "Zorbel.dll", "Tolvan.dll");
    // objects: the main window's objects table; its current record is the object shown.
    TOBJECTFORM(std::string programDir, dbf::Table& objects, std::string dataDir, QWidget* parent = nullptr);
    ~TOBJECTFORM() override;

    void setDataDir(const std::string& dir);
    const std::string& dataDir() const { return dataDir_; }
    void setSettings(const devdata::Settings& s) { settings_ = s; }
    const devdata::Settings& settings() const { return settings_; }

    // ---- commands
    // Loads the current object's scheme (what showing the window does): the area is emptied; when the
    // scheme file of (DEVTYPE, SCHTYPE) exists it becomes the current scheme path and is loaded; a load that
    // fails shows "Ошибка загрузки схемы " + path and leaves the area empty and the path cleared; a missing
    // file leaves the area empty and the path as it was.
    void showObject();
    // The object master's choice of a scheme file for the current object: the header and the state row are
    // read as showing reads them and the file is loaded into the area; a file that fails to load (after the
    // load's message) leaves the area empty with the caption "Мнемосхема отсутствует". The next showing of
    // the window keeps the area as this left it. True when the scheme was loaded.
    bool presentScheme(const std::string& path);
    inline static const char* const kNoSchemeText = "Мнемосхема отсутствует";
    // Loads a scheme file into the area (replacing its elements; the file's area properties, its caption
    // among them, are taken over, the area's geometry stays; auto-sized labels take their text's size);
    // false after the message when it fails.
    bool loadScheme(const std::string& path);
    // Saves the area with its elements (and its caption when it has one) to the file. Throws SchemeError when
    // the file cannot be written; a missing per-type folder is not created.
    void saveScheme(const std::string& path) const;
    // Removes every element and clears the caption.
    void clearScheme();
    // "Состояние": emits stateRequested() (the main window opens the state window of the device type).
    void state();
    // "Соединение": while a poll run is active (isPollRunning) says "Идет процесс автоматического опроса
    // объектов. Дождитесь окончания опроса или прервите процесс чтения" and does nothing else; otherwise
    // emits connectionRequested() (the main window runs the single-object poll with its dialog), then
    // re-reads the rows.
    void connection();
    std::function<bool()> isPollRunning;
    inline static const char* const kPollActiveText =
        "Идет процесс автоматического опроса объектов. Дождитесь окончания опроса или прервите процесс "
        "чтения";
    // " АРХИВ": ends running report programs, then starts "Zorbel.dll" on the daily or hourly archive as the
    // setting ArchType orders them, or says "Архив отсутствует".
    void archive();
    // "Протокол": starts "Tolvan.dll" for the object, or says "Конфигуратор Modbus не найден.".
    void protocol();
    // The clock tick: the protocol button is offered exactly while no poll run is active.
    void setPollRunning(bool running);
    // Asked before the window closes (the scheme editor asks about unsaved changes); false keeps it open.
    // Closing removes the scheme's elements.
    std::function<bool()> closeQuery;
    // Writes the window's complete state (its controls and the scheme) to the snapshot file, replacing it
    // (a link or other file under the name is replaced, not written through); the editor does so before
    // every press on the empty drawing area. False when it cannot be written.
    bool writeSnapshot(const std::string& path = snapshotPath()) const;

    // ---- state
    const Scheme& scheme() const { return scheme_; }
    Scheme& scheme() { return scheme_; }
    // Full path of the scheme file shown; empty when none.
    const std::string& currentSchemePath() const { return schemePath_; }
    void setCurrentSchemePath(const std::string& p) { schemePath_ = p; }
    bool schemeModified = false;
    // The device type and scheme number taken at the last showing.
    int shownDeviceType() const { return devType_; }
    int shownSchemeNumber() const { return schemeNo_; }
    // The text a field label bound to the state source shows now (nullopt: no row or no such field).
    std::optional<std::string> fieldText(const std::string& field) const;
    // The current object's row of its current-state table ("STATEDB" + DEVTYPE).
    dbf::Table& currentState() { return state_; }

    // The program that "Архив" starts and the names of the processes it ends first.
    std::string reportProgramPath() const;
    std::string configuratorPath() const;
    // The executables " АРХИВ" ends before it starts the report program.
    std::vector<std::string> reportProcesses = {"Zorbel.dll"};

    // ---- controls
    QWidget* Header = nullptr;
    QLabel* DeskriptionText = nullptr; // DESKRIPTION
    QLabel* AddresText = nullptr;      // ADDRES
    QLabel* ConTimeText = nullptr;     // CON_TIME
    QLabel* ConDateText = nullptr;     // CON_DATE
    QLabel* StateText = nullptr;       // STATE
    QGroupBox* ButtonGroup = nullptr;
    QPushButton* StateButton = nullptr;      // "Состояние"
    QPushButton* ArchiveButton = nullptr;    // " АРХИВ"
    QPushButton* ConnectionButton = nullptr; // "Соединение"
    QPushButton* ProtocolButton = nullptr;   // "Протокол"
    // Edit mode only (the scheme editor shows them): "Мастер схем" and "Схема " + SCHTYPE; the tool strip.
    QWidget* EditPanel = nullptr;
    QPushButton* SchemeEditorButton = nullptr;
    QLabel* SchemeNumberText = nullptr;
    QWidget* ToolStrip = nullptr;
    DrawingArea* Dr = nullptr;

public slots:
    // Re-reads the current object's row and its current-state row; the header and the field labels show the
    // new values. Called by the main window after each poll; a change of the current object or of its
    // device type reopens the state table.
    void dataChanged();

signals:
    void stateRequested();
    void connectionRequested();
    void schemeEditorRequested();
    // The area's scheme was replaced or emptied (loaded, cleared): what was edited before is gone.
    void schemeReplaced();

protected:
    void showEvent(QShowEvent* e) override;
    void done(int r) override;
    // The tool strip shown or hidden: the header and the area move below it and the window grows with it.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildHeader();
    void relayout();
    void readHeader();
    void openState();
    void warn(const QString& text);

    std::string programDir_;
    dbf::Table& objects_;
    std::string dataDir_;
    devdata::Settings settings_;
    mutable dbf::Table state_;
    int stateType_ = -1; // device type of the open state table
    int stateNum_ = -1;  // object whose row it shows
    Scheme scheme_;
    std::string schemePath_;
    int devType_ = 0, schemeNo_ = 0;
    bool keepOnShow_ = false; // presentScheme filled the area for the showing that follows
};

} // namespace schemes
