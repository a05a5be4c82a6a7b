#include "devdata/catalogue.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace devdata {

namespace {

using S = StateLayoutKind;
using A = ArchiveLayoutKind;
using F = Family;

const std::vector<DeviceType> kTypes = {
    {128, "Kesta", 2, S::Kesta, A::None, "TStateKesta", F::Kesta},
    {225, "Vexa-1 К1(2)(М) тип 225", 1, S::VexaK, A::VexaK, "TStateVexaK", F::VexaK},
    {228, "", 0, S::VexaP, A::VexaP, "", F::VexaP},
    {229, "Vexa-1 П14х тип 229", 0, S::VexaP, A::VexaP, "TStateVexaP", F::VexaP},
    {230, "Vexa-1 П14х тип 230", 0, S::VexaP, A::VexaP, "TStateVexaP", F::VexaP},
    {231, "Oxel", 4, S::Oxel, A::None, "TstateOxel", F::Oxel},
    {234, "Vexa-1 П14х М тип 234", 3, S::VexaPM, A::VexaPM, "TStateVexaPM", F::VexaPM},
    {235, "Vexa-1 П15х М тип 235", 3, S::VexaPM, A::VexaPM, "TStateVexaPM", F::VexaPM},
    {236, "Vexa-1 П14х М тип 236", 5, S::VexaPM, A::VexaPM, "TStateVexaPM", F::VexaPM},
    {237, "Vexa-1 П15х М тип 237", 5, S::VexaPM, A::VexaPM, "TStateVexaPM", F::VexaPM},
    {238, "Vexa-1 К1(2)(М) тип 238", 6, S::VexaK, A::VexaK, "TStateVexaK", F::VexaK},
};

// The names the object master looks for in the chosen text, in the order it looks for them.
const std::pair<const char*, int> kTextToCode[] = {
    {"Kesta", 128},
    {"Vexa-1 К1(2)(М) тип 225", 225},
    {"Vexa-1 К1(2)(М) тип 238", 238},
    {"Vexa-1 П14х М тип 234", 234},
    {"Vexa-1 П15х М тип 235", 235},
    {"Vexa-1 П14х М тип 236", 236},
    {"Vexa-1 П15х М тип 237", 237},
    {"Vexa-1 П14х тип 229", 229},
    {"Vexa-1 П14х тип 230", 230},
    {"Oxel", 231},
};

// One row of the task table: state, hourly, daily, clock, parameters, monthly (task numbers 1..6).
struct TaskRow {
    int code;
    TaskRule rules[6];
};

constexpr TaskRule N = TaskRule::Never;
constexpr TaskRule Y = TaskRule::Setting;
constexpr TaskRule X = TaskRule::Always;

const TaskRow kTasks[] = {
    {128, {Y, N, N, N, N, N}}, {225, {Y, Y, Y, Y, N, N}}, {238, {Y, Y, Y, Y, N, Y}},
    {229, {Y, Y, Y, Y, X, N}}, {230, {Y, Y, Y, Y, X, N}}, {231, {X, N, N, N, N, N}},
    {234, {Y, Y, Y, Y, X, N}}, {235, {Y, Y, Y, Y, X, N}}, {236, {Y, Y, Y, Y, X, Y}},
    {237, {Y, Y, Y, Y, X, Y}},
};

} // namespace

const std::vector<DeviceType>& deviceTypes() {
    return kTypes;
}

const DeviceType* findDeviceType(int code) {
    auto it =
        std::find_if(kTypes.begin(), kTypes.end(), [code](const DeviceType& t) { return t.code == code; });
    return it == kTypes.end() ? nullptr : &*it;
}

std::string deviceTypeName(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->name : "";
}

int commandRow(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->commandRow : -1;
}

StateLayoutKind stateLayoutKind(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->state : StateLayoutKind::None;
}

ArchiveLayoutKind archiveLayoutKind(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->archive : ArchiveLayoutKind::None;
}

std::string stateWindowClass(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->stateWindow : "";
}

Family family(int code) {
    const DeviceType* t = findDeviceType(code);
    return t ? t->family : Family::None;
}

std::string familySettingName(Family f) {
    switch (f) {
    case Family::Kesta:
        return "Par1_128";
    case Family::VexaK:
        return "Par1_225";
    case Family::VexaP:
        return "Par1_228";
    case Family::VexaPM:
        return "Par1_234";
    case Family::Oxel:
    case Family::None:
        break;
    }
    return "";
}

TaskRule taskRule(int code, Task task) {
    int i = static_cast<int>(task) - 1;
    if (i < 0 || i >= 6) return TaskRule::Never;
    for (const TaskRow& row : kTasks)
        if (row.code == code) return row.rules[i];
    return TaskRule::Never;
}

int taskSettingBit(Task task) {
    switch (task) {
    case Task::State:
        return 0;
    case Task::HourlyArchive:
        return 1;
    case Task::DailyArchive:
        return 2;
    case Task::Clock:
        return 3;
    case Task::MonthlyArchive:
        return 4;
    case Task::Parameters:
        break;
    }
    return -1;
}

bool isTaskEnabled(int code, Task task, int familyBits) {
    switch (taskRule(code, task)) {
    case TaskRule::Always:
        return true;
    case TaskRule::Never:
        return false;
    case TaskRule::Setting:
        break;
    }
    int bit = taskSettingBit(task);
    return bit >= 0 && (familyBits >> bit & 1) != 0;
}

const std::vector<std::string>& masterDeviceList() {
    static const std::vector<std::string> list = {
        "Kesta",
        "Oxel",
        "Vexa-1 К1(2)(М) тип 225",
        "Vexa-1 К1(2)(М) тип 238",
        "Vexa-1 П14х тип 229",
        "Vexa-1 П14х тип 230",
        "Vexa-1 П14х М тип 234",
        "Vexa-1 П15х М тип 235",
        "Vexa-1 П14х М тип 236",
        "Vexa-1 П15х М тип 237",
    };
    return list;
}

int deviceCodeFromText(std::string_view text) {
    for (const auto& [name, code] : kTextToCode)
        if (text.find(name) != std::string_view::npos) return code;
    return 0;
}

const std::vector<std::string>& netTypeNames() {
    static const std::vector<std::string> names = {"COM порт", "Модем", "Ethernet UDP", "Ethernet TCP"};
    return names;
}

std::string netTypeName(int netType) {
    const auto& names = netTypeNames();
    return netType >= 0 && netType < static_cast<int>(names.size()) ? names[netType] : "";
}

int netTypeFromName(std::string_view name) {
    const auto& names = netTypeNames();
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return static_cast<int>(i);
    return -1;
}

char archiveKindLetter(int kind) {
    if (kind < 0 || kind > 2) throw std::out_of_range("archive kind " + std::to_string(kind));
    return kArchiveKindLetters[kind];
}

int archiveKindFromLetter(char letter) {
    for (int k = 0; k < 3; ++k)
        if (letter == kArchiveKindLetters[k] || letter == kArchiveKindLetters[k] + ('a' - 'A')) return k;
    return -1;
}

bool isPolledType(int code) {
    return code == 128 || code == 225 || (code >= 229 && code <= 231) || (code >= 234 && code <= 238);
}

} // namespace devdata
