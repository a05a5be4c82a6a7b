// The device catalogue: what every device type code stands for (display name,
// command-table row, table layouts, state window, settings family and poll tasks),
// the object master's device list with its text-to-code rule, the network-type
// list and the archive kind letters.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace devdata {

// Layout of the current-state table "STATEDB" + type.
enum class StateLayoutKind {
    None,
    Kesta,  // 128
    VexaK,  // 225, 238
    VexaP,  // 228, 229, 230
    Oxel,   // 231
    VexaPM, // 234 .. 237
};

// Layout of the archive tables "ARCHDB..." and "~ARCHDB...".
enum class ArchiveLayoutKind {
    None,   // 128, 231 and unknown codes: no archive
    VexaK,  // 225, 238: 20 fields
    VexaP,  // 228, 229, 230: 53 fields
    VexaPM, // 234 .. 237: 68 fields
};

// The settings page whose switches ("Par1_..." bits, "Не проверять DTR") apply to a type.
// 228 belongs to the Vexa-1П page for its DTR switch although no task is ever run for it.
enum class Family {
    None,
    Kesta,  // 128, page "Kesta", setting "Par1_128"
    VexaK,  // 225, 238, page "Vexa-1К", setting "Par1_225"
    VexaP,  // 228, 229, 230, page "Vexa-1П", setting "Par1_228"
    VexaPM, // 234 .. 237, page "Vexa-1П М", setting "Par1_234"
    Oxel,   // 231, no settings page
};

// Poll tasks, numbered as the poll run counts them.
enum class Task {
    State = 1,
    HourlyArchive = 2,
    DailyArchive = 3,
    Clock = 4,
    Parameters = 5,
    MonthlyArchive = 6,
};

// Whether a poll performs a task for a type: never, as the family's setting bit says, or always.
enum class TaskRule { Never, Setting, Always };

struct DeviceType {
    int code;
    const char* name;      // display name; "" for 228
    int commandRow;        // row of the command table
    StateLayoutKind state; // current-state table layout
    ArchiveLayoutKind archive;
    const char* stateWindow; // class name of the state window; "" when there is none
    Family family;
};

// Every known code, ascending: 128, 225, 228, 229, 230, 231, 234 .. 238.
const std::vector<DeviceType>& deviceTypes();
// nullptr for a code outside the catalogue.
const DeviceType* findDeviceType(int code);

// Display name of a code; the empty text for 228 and for any code outside the catalogue.
std::string deviceTypeName(int code);
// Command-table row of a code; -1 for a code outside the catalogue.
int commandRow(int code);
StateLayoutKind stateLayoutKind(int code);
ArchiveLayoutKind archiveLayoutKind(int code);
// "TStateKesta", "TStateVexaK", "TStateVexaP", "TStateVexaPM", "TstateOxel"; empty for 228 and unknown codes.
std::string stateWindowClass(int code);
Family family(int code);
// Name of the stored setting that holds the family's task bits: "Par1_128", "Par1_225", "Par1_228",
// "Par1_234"; empty for Oxel and None.
std::string familySettingName(Family f);

// The task table of the poll run.
TaskRule taskRule(int code, Task task);
// Bit of a task in the family's "Par1_..." setting (0 state, 1 hourly, 2 daily, 3 clock, 4 monthly);
// -1 for the parameters task, which has no switch.
int taskSettingBit(Task task);
// Bit 7 of a "Par1_..." setting: skip the DTR readiness check of the serial line.
inline constexpr int kNoDtrCheckBit = 7;
// Whether the task runs for the code given the family's "Par1_..." value.
bool isTaskEnabled(int code, Task task, int familyBits);

// Types the poll talks to: 128, 225, 229, 230, 231 and 234 to 238 (the link test, the clock and the state).
bool isPolledType(int code);

// The device list of the object master, in the order it offers the names.
const std::vector<std::string>& masterDeviceList();
// The object master's text-to-code rule: the first catalogue name found inside text (in the master's search
// order) decides; 0 when the text contains none of them.
int deviceCodeFromText(std::string_view text);

// Network types: 0 COM port, 1 modem, 2 Ethernet UDP, 3 Ethernet TCP.
inline constexpr const char* kNetTypeListText = "COM порт\nМодем\nEthernet UDP\nEthernet TCP";
const std::vector<std::string>& netTypeNames();
// Name of a network type; empty outside 0..3.
std::string netTypeName(int netType);
// Index of a network type name (exact text); -1 when it is none of them.
int netTypeFromName(std::string_view name);

// Archive kinds and their letters in the archive file names.
inline constexpr int kHourlyArchive = 0;
inline constexpr int kDailyArchive = 1;
inline constexpr int kMonthlyArchive = 2;
inline constexpr char kArchiveKindLetters[3] = {'H', 'D', 'M'};
// 'H', 'D' or 'M'; throws std::out_of_range for another kind.
char archiveKindLetter(int kind);
// 0, 1 or 2 for 'H', 'D', 'M' (either case); -1 otherwise.
int archiveKindFromLetter(char letter);

} // namespace devdata
