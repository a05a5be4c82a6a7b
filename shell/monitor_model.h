// The object monitor without its widgets: how one object button looks (colour, state text, lamps, hint),
// where the buttons and group headers go, the top bar's group and state filters, the search, the ordering of
// the objects table, the selection count, and the two requests RebuildMonitor and RefreshMonitor with what
// the one-second monitor tick does with them.
//
// MonitorModel works on the main window's objects table (MAINDB in the window context). The rows it lays out
// are read through a private cursor opened on the same file with the same filter and ordering, so the
// main table's current record never moves during a rebuild.
#pragma once

#include "dbf/table.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace shell {

// Size of the object button template and the gaps between buttons.
inline constexpr int kButtonWidth = 217;
inline constexpr int kButtonHeight = 49;
inline constexpr int kColumnGap = 5;
inline constexpr int kRowGap = 3;

inline constexpr const char* kAllGroupsText = "Все объекты";
inline constexpr const char* kAllStatesText = "Все";
inline constexpr const char* kNoLinkState = "Нет связи";
inline constexpr const char* kPollOffStateText = "Опрос отключен";

// The state filter list of the top bar, first entry "Все".
const std::vector<std::string>& stateFilterEntries();
// The search-kind list: 0 "по адресу", 1 "по номеру".
const std::vector<std::string>& searchKindEntries();

// The table filter of the search field: kind 1 ("по номеру") SERIALNUM equal to the number typed, else
// ADDRES beginning with the text typed (case counts). The text is quoted, so that any text searches as it is
// typed: quotes, stars and blanks included; a text that is no number finds no object by number.
std::string searchFilter(const dbf::Table& objects, int kind, const std::string& text);

struct Rgb {
    int r = 0, g = 0, b = 0;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};
inline constexpr Rgb kSilver{192, 192, 192};
inline constexpr Rgb kYellow{255, 255, 0};
inline constexpr Rgb kWhite{255, 255, 255};

// What the monitor needs of one MAINDB row.
struct ObjectRow {
    int num = 0;
    std::string serial;  // SERIALNUM as text (empty when null)
    std::string address; // ADDRES
    std::string state;   // STATE
    int errcode = 0;
    std::string conDate; // CON_DATE as text, "dd.MM.yyyy" or empty
    std::string conTime; // CON_TIME
    bool autocon = false;
    std::string group; // DESKRIPTION
};
ObjectRow readObjectRow(const dbf::Table& objects);

// The look of one object button and of its parts.
struct ButtonLook {
    Rgb colour;
    std::string stateText;        // "State" label
    std::string addrText;         // "Addr" label
    std::string numText;          // "Num" label: "№ " + SERIALNUM
    std::string clockText;        // "Clock" label: CON_DATE + "/" + CON_TIME
    bool deviceErrorLamp = false; // "ERRLED"
    bool systemErrorLamp = false; // "WarnLED"
    std::string hint;             // lines joined by "\n\r"
};
ButtonLook buttonLook(const ObjectRow& row);

// Number of button columns in an area of that width: width div (W + 5), at least 1.
int monitorColumns(int areaWidth);

struct ButtonPlacement {
    int row = 0; // index into the rows laid out
    int left = 0, top = 0;
};
struct HeaderPlacement {
    std::string text;
    int left = 0, top = 0;
};
struct MonitorLayout {
    std::vector<ButtonPlacement> buttons;
    std::vector<HeaderPlacement> headers;
    int width = 0, height = 0; // extent of everything placed, with the right and bottom margin
};

// Places the buttons (and in grouped mode the group headers, headerHeight high) of the rows in their order in
// an area areaWidth wide.
MonitorLayout layoutMonitor(const std::vector<ObjectRow>& rows, bool grouped, int areaWidth,
                            int headerHeight);

enum class Ordering { Num, Serial, Address, Group };
// The ordering field of the objects table: "NUM", "SERIALNUM", "ADDRES", "DESKRIPTION".
const char* orderingField(Ordering o);

// What the monitor tick asks the view to do.
enum class TickAction { None, Rebuild, Refresh };

class MonitorModel {
public:
    // objects: the main window's open objects table; it must outlive the model.
    explicit MonitorModel(dbf::Table& objects);

    dbf::Table& objects() { return objects_; }

    // ---- requests (plain flags served by the monitor tick)
    bool RebuildMonitor = false;
    bool RefreshMonitor = false;
    void requestRebuild() { RebuildMonitor = true; }
    void requestRefresh() { RefreshMonitor = true; }
    // The one-second tick: nothing while the main window is hidden; a pending rebuild clears both flags and
    // wins over a refresh. A table file that changed since the rows were last read (another program's poll
    // stored its outcome in MAINDB) requests a refresh.
    TickAction tick(bool windowVisible);
    // Whether the file of the objects table changed (time of its last write, size) since readRows() last
    // read it; false before the first read.
    bool tableFileChanged() const;

    // ---- rows and layout
    // The rows of the current selection in the current order, read through a private cursor. When the main
    // table is not filtered, the group list is refilled on the way ("Все объекты" selected, then every
    // non-empty DESKRIPTION in table order). The main table takes in rows another program added first (not
    // under a pending insert or edit), so that every button shown can be clicked and the count is right.
    std::vector<ObjectRow> readRows();
    // Grouped mode: the ordering fields are exactly "DESKRIPTION".
    bool grouped() const;
    // A modal window (the object master) orders the main table its own way for a while: the monitor keeps
    // laying out in the ordering the table has now until releaseOrdering().
    void holdOrdering();
    void releaseOrdering();
    // The ordering the monitor lays out in: the index name, or the ordering fields when there is none.
    std::string orderingIndexName() const;
    std::string orderingFields() const;

    // ---- top bar
    // The group list: "Все объекты" then the groups.
    const std::vector<std::string>& groups() const { return groups_; }
    int groupIndex() const { return groupIndex_; }
    int stateIndex() const { return stateIndex_; }
    int searchKind() const { return searchKind_; }
    const std::string& searchText() const { return searchText_; }
    // Group list or state filter changed: composes the table filter and requests a rebuild; the search text
    // is emptied (the last change wins the one table filter).
    void setGroupIndex(int index);
    void setStateIndex(int index);
    // Search field changed / search kind changed (the latter empties the search field). A search text puts
    // both lists back to their first entry.
    void setSearchText(const std::string& text);
    void setSearchKind(int kind);
    // Orders the objects table and requests a rebuild; ordering by group first gives MAINDB the index "deskr"
    // over DESKRIPTION when it has none (the table is closed and reopened for that, keeping its filter and
    // current object).
    void setOrdering(Ordering o);
    // "Выбрано объектов:": the number of objects under the current filter.
    int selectionCount();

    // ---- objects
    // Makes the object NUM the current record of the objects table (ordered by NUM for the search, then the
    // previous ordering again), runs action while it is current and ordered by NUM, then restores the
    // ordering. False when there is no such object in the selection (action not run).
    bool withObject(int num, const std::function<void()>& action);
    // "Автоопрос Вкл/Выкл": inverts AUTOCON of the current object and posts it; requests a refresh.
    void toggleAutoPoll();
    // "Автоопрос ВКЛ/ВЫКЛ для всех": sets AUTOCON of every object in the selection; requests a refresh.
    void setAutoPollAll(bool on);

private:
    void applyTopBarFilter();
    // The time of the last write and the size of the table file, as a change stamp; zero when it is gone.
    std::pair<int64_t, uintmax_t> tableFileStamp() const;

    dbf::Table& objects_;
    std::vector<std::string> groups_{kAllGroupsText};
    int groupIndex_ = 0;
    int stateIndex_ = 0;
    int searchKind_ = 0;
    std::string searchText_;
    bool held_ = false;
    std::string heldIndexName_, heldFields_;
    // The stamp of the file when the rows were last read; none before the first read (the first rows come by
    // a rebuild that is asked for).
    std::optional<std::pair<int64_t, uintmax_t>> readStamp_;
};

} // namespace shell
