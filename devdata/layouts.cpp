#include "devdata/layouts.h"

#include <initializer_list>
#include <optional>
#include <string>

namespace devdata {

namespace {

using dbf::FieldDef;
using dbf::FieldType;
using dbf::IndexDef;

// Builds a field list group by group: every name of a group gets the group's type.
class Fields {
public:
    Fields& add(FieldType type, std::initializer_list<const char*> names, bool required = false) {
        for (const char* n : names)
            list_.push_back(FieldDef{n, type, 0, required});
        return *this;
    }
    Fields& chr(const char* name, int size) {
        list_.push_back(FieldDef{name, FieldType::Char, size, false});
        return *this;
    }
    Fields& append(const std::vector<FieldDef>& more) {
        list_.insert(list_.end(), more.begin(), more.end());
        return *this;
    }
    std::vector<FieldDef> take() { return std::move(list_); }

private:
    std::vector<FieldDef> list_;
};

constexpr FieldType I = FieldType::Integer;
constexpr FieldType F = FieldType::Float;

// Every data table begins with its own row number and the owning object's NUM.
Fields dataHead() {
    Fields f;
    f.add(FieldType::AutoInc, {"NUM"}, true).add(I, {"NUMSTATE"}, true);
    return f;
}

std::vector<IndexDef> dataIndexes(bool withWriteDay) {
    std::vector<IndexDef> ix = {
        IndexDef{"NUM", "NUM", true, false},
        IndexDef{"NUMSTATE", "NUMSTATE", false, false},
    };
    if (withWriteDay) ix.push_back(IndexDef{"WriteDay", "WriteDay", false, false});
    return ix;
}

TableLayout makeObjects() {
    Fields f;
    f.add(FieldType::AutoInc, {"NUM"}, true)
        .add(I, {"DEVTYPE", "SERIALNUM"})
        .chr("ADDRES", 60)
        .add(I, {"NETTYPE"})
        .chr("COMPORT", 10)
        .chr("PHONE", 12)
        .chr("NETADR", 30)
        .add(I, {"IPPORT", "SCHTYPE"})
        .chr("STATE", 30)
        .add(I, {"ERRCODE"})
        .add(FieldType::Date, {"CON_DATE"})
        .chr("CON_TIME", 11)
        .add(FieldType::Boolean, {"AUTOCON", "ERR"})
        .chr("DESKRIPTION", 50);
    return TableLayout{f.take(),
                       {
                           IndexDef{"Primary", "NUM", true, true},
                           IndexDef{"SN", "SERIALNUM", false, false},
                           IndexDef{"ADR", "ADDRES", false, false},
                           IndexDef{"NT", "NETTYPE", false, false},
                       }};
}

// The state fields of the two-system calculators (228-230); 234-237 add the masses.
Fields twoSystemState() {
    Fields f = dataHead();
    f.add(F,
          {"HEnergy1", "HEnergy2", "TemperF1", "TemperR1", "TemperF2", "TemperR2", "TemperX1", "TemperX2",
           "Pressure11", "Pressure21", "Pressure12", "Pressure22", "V11", "V21", "V31", "V12", "V22", "V32"})
        .add(I, {"Err1", "Err2", "HardErr"})
        .add(F, {"CurrV11", "CurrV21", "CurrV31", "CurrV12", "CurrV22", "CurrV32"});
    return f;
}

TableLayout makeState(StateLayoutKind kind) {
    Fields f;
    switch (kind) {
    case StateLayoutKind::Kesta:
        f = dataHead();
        f.add(F, {"V11", "V21", "V31", "V41"})
            .add(I, {"V11_Ves", "V21_Ves", "V31_Ves", "V41_Ves"})
            .add(I, {"MOD"})
            .add(I, {"Err"});
        break;
    case StateLayoutKind::VexaK:
        f = dataHead();
        f.add(F, {"HEnergy1", "TemperF1", "TemperR1", "TemperX1", "V11", "V21", "V31", "Vmin", "E1", "E2"})
            .add(I, {"Err"});
        break;
    case StateLayoutKind::VexaP:
        f = twoSystemState();
        break;
    case StateLayoutKind::Oxel:
        f = dataHead();
        f.add(F, {"SerialNum", "Dy", "VolumeL", "Flow", "VesOut", "TimeWork"}).add(I, {"Err"});
        break;
    case StateLayoutKind::VexaPM:
        f = twoSystemState();
        f.add(F, {"Weight11", "Weight21", "Weight31", "Weight12", "Weight22", "Weight32"});
        break;
    case StateLayoutKind::None:
        break;
    }
    return TableLayout{f.take(), dataIndexes(false)};
}

TableLayout makeParams() {
    Fields f = dataHead();
    f.add(I, {"CountWeight1", "CountWeight2", "CountWeight3", "CountWeight4", "CountWeight5", "CountWeight6",
              "SystemType1", "SystemType2", "SetTemperC", "SetTemperC1", "StartDay", "StartMonth", "EndDay",
              "EndMonth"})
        .add(F, {"MinExpense1", "MinExpense2", "MaxExpense1", "MaxExpense2"})
        .add(I, {"DayOfReport", "EnergyError", "FlTemperC"});
    return TableLayout{f.take(), dataIndexes(false)};
}

// The archive fields of the two-system calculators; withMasses gives the 234-237 layout.
void twoSystemArchive(Fields& f, bool withMasses) {
    f.add(I, {"WorkTime", "WorkTimeErr1", "WorkTimeErr2"})
        .add(F, {"HEnergy1", "HEnergy2", "Volume1", "Volume2", "Volume3", "Volume4", "Volume5", "Volume6"});
    if (withMasses) f.add(F, {"Weight1", "Weight2", "Weight3", "Weight4", "Weight5", "Weight6"});
    f.add(I, {"CurrWorkTime"})
        .add(F, {"CurrHeatEnergy1", "CurrHeatEnergy2", "CurrVolume1", "CurrVolume2", "CurrVolume3",
                 "CurrVolume4", "CurrVolume5", "CurrVolume6"});
    if (withMasses)
        f.add(F, {"CurrWeight1", "CurrWeight2", "CurrWeight3", "CurrWeight4", "CurrWeight5", "CurrWeight6"});
    f.add(F, {"MainTemper1", "MainTemper2", "MainTemper3", "MainTemper4", "AddTemper1", "AddTemper2",
              "Pressure1", "Pressure2", "Pressure3", "Pressure4"})
        .add(I, {"ErrorTime1", "ErrorTime2", "ErrorMinExpTime1", "ErrorMinExpTime2"})
        .add(F, {"ErrorMinExpEnergy1", "ErrorMinExpEnergy2"})
        .add(I, {"ErrorMaxExpTime1", "ErrorMaxExpTime2"})
        .add(F, {"ErrorMaxExpEnergy1", "ErrorMaxExpEnergy2"})
        .add(I, {"ErrorDeltaTTime1", "ErrorDeltaTTime2"})
        .add(F, {"ErrorDeltaTEnergy1", "ErrorDeltaTEnergy2"});
    if (withMasses) f.add(I, {"ErrorPwrTime", "ErrorRevTime1", "ErrorRevTime2"});
    f.add(I, {"SysErr1", "SysErr2", "DevErr"});
}

TableLayout makeArchive(ArchiveLayoutKind kind) {
    Fields f = dataHead();
    switch (kind) {
    case ArchiveLayoutKind::VexaK:
        f.add(I, {"WorkTime", "WorkTimeErr1"})
            .add(F, {"HEnergy1", "Volume1", "Volume2", "Volume3", "ErrHVolume", "ElEnergy1", "ElEnergy2",
                     "MainTemper1", "MainTemper2", "AddTemper1"})
            .add(I, {"SysErr1", "ErrTime"});
        break;
    case ArchiveLayoutKind::VexaP:
        twoSystemArchive(f, false);
        break;
    case ArchiveLayoutKind::VexaPM:
        twoSystemArchive(f, true);
        break;
    case ArchiveLayoutKind::None:
        return {};
    }
    f.add(I, {"WriteHour"}).add(FieldType::DateTime, {"WriteDay"}).add(I, {"CheckField", "RecNum"});
    return TableLayout{f.take(), dataIndexes(true)};
}

} // namespace

const TableLayout& objectsTableLayout() {
    static const TableLayout layout = makeObjects();
    return layout;
}

const TableLayout* stateTableLayout(StateLayoutKind kind) {
    static const TableLayout kesta = makeState(StateLayoutKind::Kesta);
    static const TableLayout vexaK = makeState(StateLayoutKind::VexaK);
    static const TableLayout vexaP = makeState(StateLayoutKind::VexaP);
    static const TableLayout oxel = makeState(StateLayoutKind::Oxel);
    static const TableLayout vexaPM = makeState(StateLayoutKind::VexaPM);
    switch (kind) {
    case StateLayoutKind::Kesta:
        return &kesta;
    case StateLayoutKind::VexaK:
        return &vexaK;
    case StateLayoutKind::VexaP:
        return &vexaP;
    case StateLayoutKind::Oxel:
        return &oxel;
    case StateLayoutKind::VexaPM:
        return &vexaPM;
    case StateLayoutKind::None:
        break;
    }
    return nullptr;
}

const TableLayout* stateTableLayout(int deviceType) {
    return stateTableLayout(stateLayoutKind(deviceType));
}

const TableLayout& paramsTableLayout() {
    static const TableLayout layout = makeParams();
    return layout;
}

const TableLayout* archiveTableLayout(ArchiveLayoutKind kind) {
    static const TableLayout vexaK = makeArchive(ArchiveLayoutKind::VexaK);
    static const TableLayout vexaP = makeArchive(ArchiveLayoutKind::VexaP);
    static const TableLayout vexaPM = makeArchive(ArchiveLayoutKind::VexaPM);
    switch (kind) {
    case ArchiveLayoutKind::VexaK:
        return &vexaK;
    case ArchiveLayoutKind::VexaP:
        return &vexaP;
    case ArchiveLayoutKind::VexaPM:
        return &vexaPM;
    case ArchiveLayoutKind::None:
        break;
    }
    return nullptr;
}

const TableLayout* archiveTableLayout(int deviceType) {
    return archiveTableLayout(archiveLayoutKind(deviceType));
}

namespace {

// The reader's formats: integer digits, decimals, whether the value may be negative.
struct Digits {
    int whole;
    int decimals;
    bool sign = false;
};

bool startsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

std::optional<Digits> stateDigits(StateLayoutKind kind, const std::string& f) {
    switch (kind) {
    case StateLayoutKind::VexaP:
    case StateLayoutKind::VexaPM:
        // floats of the calculator, "%2.2f"; the error bytes "%2d"
        if (startsWith(f, "HEnergy") || startsWith(f, "Weight") || f == "V11" || f == "V21" || f == "V31" ||
            f == "V12" || f == "V22" || f == "V32")
            return Digits{8, 2};
        if (startsWith(f, "Temper")) return Digits{3, 2, true};
        if (startsWith(f, "Pressure")) return Digits{3, 2, true};
        if (startsWith(f, "CurrV")) return Digits{5, 2, true};
        if (f == "Err1" || f == "Err2" || f == "HardErr") return Digits{3, 0};
        return std::nullopt;
    case StateLayoutKind::VexaK:
        // the temperatures are hundredths in 16 bits (at most 655.35)
        if (startsWith(f, "Temper")) return Digits{3, 2};
        if (f == "Err") return Digits{3, 0};
        return Digits{8, 2};
    case StateLayoutKind::Kesta:
        // volumes: 32-bit counters over 10^k, "%2.3f"; pulse weights 1000 / 10^k, "%1.0f"
        if (f == "V11" || f == "V21" || f == "V31" || f == "V41") return Digits{10, 3};
        if (f.size() > 4 && f.substr(f.size() - 4) == "_Ves") return Digits{4, 0};
        return Digits{3, 0};
    case StateLayoutKind::Oxel:
        if (f == "SerialNum") return Digits{10, 0};
        if (f == "Dy") return Digits{5, 0};
        if (f == "VolumeL") return Digits{10, 2}; // a 32-bit counter over 1, 10 or 100
        if (f == "Flow") return Digits{5, 2, true};
        if (f == "VesOut") return Digits{4, 3};
        if (f == "TimeWork") return Digits{8, 2};
        return Digits{3, 0};
    case StateLayoutKind::None:
        break;
    }
    return std::nullopt;
}

} // namespace

std::string widestStateText(int deviceType, const std::string& field) {
    const DeviceType* t = findDeviceType(deviceType);
    const TableLayout* layout = t ? stateTableLayout(t->state) : nullptr;
    if (!layout || field == "NUM" || field == "NUMSTATE") return {};
    bool known = false;
    for (const auto& f : layout->fields)
        known = known || f.name == field;
    if (!known) return {};
    const auto d = stateDigits(t->state, field);
    if (!d) return {};
    std::string s = d->sign ? "-" : "";
    s += std::string(size_t(d->whole), '8');
    if (d->decimals > 0) s += "." + std::string(size_t(d->decimals), '8');
    return s;
}

} // namespace devdata
