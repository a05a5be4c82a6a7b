// The state windows: the current-state row of the main window's current object, laid out for its device
// family, with the error bytes spelled out in words. TStateKesta (128), TStateVexaK (225, 238), TStateVexaP
// (229, 230), TStateVexaPM (234 .. 237) and TstateOxel (231).
//
// A window reads the main window's current-state view: the STATEDB table of the current object's device type
// opened as a detail of the current MAINDB row. The labels show the view's current row while the window is
// shown; after the main window has refreshed or reopened the view it calls viewChanged() so that the labels
// follow. A view that is closed (the type was never polled) or has no row for the object shows empty values
// and empty error lists.
#pragma once

#include "dbf/table.h"

#include <QDialog>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QGroupBox;
class QGridLayout;
class QLabel;
class QListWidget;
class QPushButton;

namespace devdata {

inline constexpr const char* kStateWindowCaption = "Текущее состояние";
inline constexpr const char* kNoHardErrorsText = "Ошибок устройства нет!";
inline constexpr const char* kHardErrorsHeading = "Описание аппаратных ошибок\n\r";

// The lines of the system error list of TStateVexaK for the bits of Err (taken modulo 256), bit 1 first.
QStringList vexaKErrorLines(long long err);
// The lines of a system error list of TStateVexaP/TStateVexaPM for Err1 or Err2 (modulo 256).
QStringList vexaPErrorLines(long long err);
// The message of the "?" button for HardErr: "Ошибок устройства нет!" for 0, else the heading and a line
// ("E1 Ошибка АЦП.\n\r" ...) for each of the bits 1 to 16.
QString hardErrorMessage(long long hardErr);

// The common part of the five windows: a fixed dialog "Текущее состояние" whose value labels are bound to
// fields of the view.
class TStateWindow : public QDialog {
    Q_OBJECT
public:
    ~TStateWindow() override;

    // The view was refreshed or reopened (a new poll result, another current object): the labels and the
    // error lists are read again. Nothing happens while the window is not shown.
    void viewChanged();

    // The value label bound to a field (its object name is the field name); nullptr when there is none.
    QLabel* valueLabel(const QString& field) const;
    // The text a label shows for a field of the view's current row: empty for a closed view, no row or a
    // null value.
    QString fieldText(const std::string& field) const;
    // An integer field of the view's current row; 0 when it is empty or unreadable.
    long long fieldInt(const std::string& field) const;

    // Shows a message of the window (the "?" answer); replaceable in tests.
    std::function<void(const QString& text)> inform;

protected:
    TStateWindow(dbf::Table& view, const QString& groupCaption, QWidget* parent);

    // A group of rows "caption  [value]  unit" inside the window's group; returns the group box.
    QGroupBox* addGroup(const QString& caption, QGridLayout* into, int row, int column, int rowSpan = 1,
                        int columnSpan = 1);
    void addValue(QGroupBox* group, const QString& caption, const std::string& field, const QString& unit);
    QListWidget* addErrorList(QGroupBox* group);
    void bind(QLabel* label, const std::string& field);
    QGridLayout* mainGrid() const { return grid_; }

    // The show step: the labels, then what a window adds (its error lists).
    void readView();
    virtual void readErrors() {}

    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

    dbf::Table& view_;
    bool bound_ = false;

private:
    std::vector<std::pair<QLabel*, std::string>> bindings_;
    QGridLayout* grid_ = nullptr;
};

// 128: "Дублирующее устройство водосчетчика Kesta".
class TStateKesta : public TStateWindow {
    Q_OBJECT
public:
    explicit TStateKesta(dbf::Table& view, QWidget* parent = nullptr);
};

// 225, 238: "Вычислитель Vexa-1К". Closes as soon as it loses the focus.
class TStateVexaK : public TStateWindow {
    Q_OBJECT
public:
    explicit TStateVexaK(dbf::Table& view, QWidget* parent = nullptr);
    QListWidget* ErrorList = nullptr; // "Описание обнаруженых ошибок"

protected:
    void readErrors() override;
    void changeEvent(QEvent* e) override;
};

// 229, 230: "Вычислитель Vexa-1П", two systems with pressures and flows, the device error code with "?".
class TStateVexaP : public TStateWindow {
    Q_OBJECT
public:
    explicit TStateVexaP(dbf::Table& view, QWidget* parent = nullptr);
    QListWidget* ErrorList1 = nullptr;    // system 1
    QListWidget* ErrorList2 = nullptr;    // system 2
    QPushButton* HardErrButton = nullptr; // "?"
    // The "?" button.
    void showHardErrors();

protected:
    TStateVexaP(dbf::Table& view, const QString& groupCaption, bool masses, QWidget* parent);
    void readErrors() override;
};

// 234 .. 237: "Вычислитель Vexa-1П M", TStateVexaP with three masses per system.
class TStateVexaPM : public TStateVexaP {
    Q_OBJECT
public:
    explicit TStateVexaPM(dbf::Table& view, QWidget* parent = nullptr);
};

// 231: "Расходомер электромагнитный Oxel".
class TstateOxel : public TStateWindow {
    Q_OBJECT
public:
    explicit TstateOxel(dbf::Table& view, QWidget* parent = nullptr);
};

// The window of a device type, not shown; nullptr for 228 and codes outside the catalogue.
std::unique_ptr<TStateWindow> makeStateWindow(int deviceType, dbf::Table& view, QWidget* parent = nullptr);
// Shows the window of the device type modally, centred on the screen; false (nothing shown) for a type
// without a window.
bool showStateWindow(int deviceType, dbf::Table& view, QWidget* parent = nullptr);
// The state window being shown, nullptr when none is: the main window calls its viewChanged() after it
// refreshed or reopened its current-state view.
TStateWindow* shownStateWindow();

} // namespace devdata
