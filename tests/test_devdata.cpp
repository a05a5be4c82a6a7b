// Device data: the device catalogue, the table layouts and the table layer (names, directories, creation and
// lazy opening of the tables, archive deletion, the temporary folder).
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "devdata/tables.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <tuple>

using namespace devdata;
using dbf::FieldType;
using mervo::test::TempDir;
namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------- expected layouts, written out in full
//
// "NAME:T" per field; T is A autoinc, I integer, F float, Cn char(n), D date, T date-time, L boolean.

const char* const kObjects =
    "NUM:A DEVTYPE:I SERIALNUM:I ADDRES:C60 NETTYPE:I COMPORT:C10 PHONE:C12 NETADR:C30 "
    "IPPORT:I SCHTYPE:I STATE:C30 ERRCODE:I CON_DATE:D CON_TIME:C11 AUTOCON:L ERR:L "
    "DESKRIPTION:C50";

const char* const kState128 =
    "NUM:A NUMSTATE:I V11:F V21:F V31:F V41:F V11_Ves:I V21_Ves:I V31_Ves:I V41_Ves:I "
    "MOD:I Err:I";
const char* const kState225 =
    "NUM:A NUMSTATE:I HEnergy1:F TemperF1:F TemperR1:F TemperX1:F V11:F V21:F V31:F "
    "Vmin:F E1:F E2:F Err:I";
const char* const kState228 =
    "NUM:A NUMSTATE:I HEnergy1:F HEnergy2:F TemperF1:F TemperR1:F TemperF2:F TemperR2:F TemperX1:F "
    "TemperX2:F "
    "Pressure11:F Pressure21:F Pressure12:F Pressure22:F V11:F V21:F V31:F V12:F V22:F V32:F Err1:I Err2:I "
    "HardErr:I CurrV11:F CurrV21:F CurrV31:F CurrV12:F CurrV22:F CurrV32:F";
const char* const kState231 = "NUM:A NUMSTATE:I SerialNum:F Dy:F VolumeL:F Flow:F VesOut:F TimeWork:F Err:I";
const char* const kState234 =
    "NUM:A NUMSTATE:I HEnergy1:F HEnergy2:F TemperF1:F TemperR1:F TemperF2:F TemperR2:F TemperX1:F "
    "TemperX2:F "
    "Pressure11:F Pressure21:F Pressure12:F Pressure22:F V11:F V21:F V31:F V12:F V22:F V32:F Err1:I Err2:I "
    "HardErr:I CurrV11:F CurrV21:F CurrV31:F CurrV12:F CurrV22:F CurrV32:F Weight11:F Weight21:F Weight31:F "
    "Weight12:F Weight22:F Weight32:F";

const char* const kParams =
    "NUM:A NUMSTATE:I CountWeight1:I CountWeight2:I CountWeight3:I CountWeight4:I CountWeight5:I "
    "CountWeight6:I "
    "SystemType1:I SystemType2:I SetTemperC:I SetTemperC1:I StartDay:I StartMonth:I EndDay:I EndMonth:I "
    "MinExpense1:F MinExpense2:F MaxExpense1:F MaxExpense2:F DayOfReport:I EnergyError:I FlTemperC:I";

const char* const kArchive225 =
    "NUM:A NUMSTATE:I WorkTime:I WorkTimeErr1:I HEnergy1:F Volume1:F Volume2:F "
    "Volume3:F ErrHVolume:F ElEnergy1:F ElEnergy2:F MainTemper1:F MainTemper2:F "
    "AddTemper1:F SysErr1:I ErrTime:I WriteHour:I WriteDay:T CheckField:I RecNum:I";
const char* const kArchive228 =
    "NUM:A NUMSTATE:I WorkTime:I WorkTimeErr1:I WorkTimeErr2:I HEnergy1:F HEnergy2:F Volume1:F Volume2:F "
    "Volume3:F Volume4:F Volume5:F Volume6:F CurrWorkTime:I CurrHeatEnergy1:F CurrHeatEnergy2:F "
    "CurrVolume1:F "
    "CurrVolume2:F CurrVolume3:F CurrVolume4:F CurrVolume5:F CurrVolume6:F MainTemper1:F MainTemper2:F "
    "MainTemper3:F MainTemper4:F AddTemper1:F AddTemper2:F Pressure1:F Pressure2:F Pressure3:F Pressure4:F "
    "ErrorTime1:I ErrorTime2:I ErrorMinExpTime1:I ErrorMinExpTime2:I ErrorMinExpEnergy1:F "
    "ErrorMinExpEnergy2:F "
    "ErrorMaxExpTime1:I ErrorMaxExpTime2:I ErrorMaxExpEnergy1:F ErrorMaxExpEnergy2:F ErrorDeltaTTime1:I "
    "ErrorDeltaTTime2:I ErrorDeltaTEnergy1:F ErrorDeltaTEnergy2:F SysErr1:I SysErr2:I DevErr:I WriteHour:I "
    "WriteDay:T CheckField:I RecNum:I";
const char* const kArchive234 =
    "NUM:A NUMSTATE:I WorkTime:I WorkTimeErr1:I WorkTimeErr2:I HEnergy1:F HEnergy2:F Volume1:F Volume2:F "
    "Volume3:F Volume4:F Volume5:F Volume6:F Weight1:F Weight2:F Weight3:F Weight4:F Weight5:F Weight6:F "
    "CurrWorkTime:I CurrHeatEnergy1:F CurrHeatEnergy2:F CurrVolume1:F CurrVolume2:F CurrVolume3:F "
    "CurrVolume4:F "
    "CurrVolume5:F CurrVolume6:F CurrWeight1:F CurrWeight2:F CurrWeight3:F CurrWeight4:F CurrWeight5:F "
    "CurrWeight6:F MainTemper1:F MainTemper2:F MainTemper3:F MainTemper4:F AddTemper1:F AddTemper2:F "
    "Pressure1:F "
    "Pressure2:F Pressure3:F Pressure4:F ErrorTime1:I ErrorTime2:I ErrorMinExpTime1:I ErrorMinExpTime2:I "
    "ErrorMinExpEnergy1:F ErrorMinExpEnergy2:F ErrorMaxExpTime1:I ErrorMaxExpTime2:I ErrorMaxExpEnergy1:F "
    "ErrorMaxExpEnergy2:F ErrorDeltaTTime1:I ErrorDeltaTTime2:I ErrorDeltaTEnergy1:F ErrorDeltaTEnergy2:F "
    "ErrorPwrTime:I ErrorRevTime1:I ErrorRevTime2:I SysErr1:I SysErr2:I DevErr:I WriteHour:I WriteDay:T "
    "CheckField:I RecNum:I";

std::string typeCode(const dbf::FieldDef& f) {
    switch (f.type) {
    case FieldType::AutoInc:
        return "A";
    case FieldType::Integer:
        return "I";
    case FieldType::Float:
        return "F";
    case FieldType::Char:
        return "C" + std::to_string(f.size);
    case FieldType::Date:
        return "D";
    case FieldType::DateTime:
        return "T";
    case FieldType::Boolean:
        return "L";
    }
    return "?";
}

// The fields in the notation of the expected layouts.
std::string describe(const std::vector<dbf::FieldDef>& fields) {
    std::string s;
    for (const auto& f : fields)
        s += (s.empty() ? "" : " ") + f.name + ":" + typeCode(f);
    return s;
}

size_t fieldCount(const std::string& expected) {
    return static_cast<size_t>(std::count(expected.begin(), expected.end(), ':'));
}

// The names of the fields that carry the required flag.
std::string requiredFields(const std::vector<dbf::FieldDef>& fields) {
    std::string s;
    for (const auto& f : fields)
        if (f.required) s += (s.empty() ? "" : " ") + f.name;
    return s;
}

std::string describe(const std::vector<dbf::IndexDef>& indexes) {
    std::string s;
    for (const auto& ix : indexes)
        s += (s.empty() ? "" : " ") + ix.name + "(" + ix.field + ")" + (ix.primary ? "P" : "") +
             (ix.unique ? "U" : "");
    return s;
}

// ---------------------------------------------------------------- file helpers

void writeJunk(const std::string& path) {
    std::ofstream(path, std::ios::binary) << "not a table";
}

// The file names in dir, sorted.
std::set<std::string> filesIn(const std::string& dir) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

// An objects table with two objects (NUM 1 and 2) for master/detail tests.
void makeObjects(dbf::Table& objects, const std::string& dir) {
    createObjectsTable(objects, dir);
    for (int serial : {530, 531}) {
        objects.append();
        objects.setInt("SERIALNUM", serial);
        objects.setInt("DEVTYPE", 236);
        objects.post();
    }
    objects.setIndexFieldNames("NUM");
    objects.first();
}

// Appends one row to a detail table without naming NUMSTATE; the master supplies it.
void appendRow(dbf::Table& t, const std::string& field, double value) {
    t.append();
    t.setFloat(field, value);
    t.post();
}

} // namespace

// ================================================================ catalogue

struct TypeCase {
    int code;
    const char* name;
    int row;
    StateLayoutKind state;
    ArchiveLayoutKind archive;
    const char* window;
    Family family;
};

TEST(Catalogue, EveryCodeHasItsNameRowLayoutsWindowAndFamily) {
    using S = StateLayoutKind;
    using A = ArchiveLayoutKind;
    const TypeCase cases[] = {
        {128, "Kesta", 2, S::Kesta, A::None, "TStateKesta", Family::Kesta},
        {225, "Vexa-1 К1(2)(М) тип 225", 1, S::VexaK, A::VexaK, "TStateVexaK", Family::VexaK},
        {228, "", 0, S::VexaP, A::VexaP, "", Family::VexaP},
        {229, "Vexa-1 П14х тип 229", 0, S::VexaP, A::VexaP, "TStateVexaP", Family::VexaP},
        {230, "Vexa-1 П14х тип 230", 0, S::VexaP, A::VexaP, "TStateVexaP", Family::VexaP},
        {231, "Oxel", 4, S::Oxel, A::None, "TstateOxel", Family::Oxel},
        {234, "Vexa-1 П14х М тип 234", 3, S::VexaPM, A::VexaPM, "TStateVexaPM", Family::VexaPM},
        {235, "Vexa-1 П15х М тип 235", 3, S::VexaPM, A::VexaPM, "TStateVexaPM", Family::VexaPM},
        {236, "Vexa-1 П14х М тип 236", 5, S::VexaPM, A::VexaPM, "TStateVexaPM", Family::VexaPM},
        {237, "Vexa-1 П15х М тип 237", 5, S::VexaPM, A::VexaPM, "TStateVexaPM", Family::VexaPM},
        {238, "Vexa-1 К1(2)(М) тип 238", 6, S::VexaK, A::VexaK, "TStateVexaK", Family::VexaK},
        // outside the catalogue
        {0, "", -1, S::None, A::None, "", Family::None},
        {226, "", -1, S::None, A::None, "", Family::None},
        {232, "", -1, S::None, A::None, "", Family::None},
        {239, "", -1, S::None, A::None, "", Family::None},
        {255, "", -1, S::None, A::None, "", Family::None},
        {128 + 256, "", -1, S::None, A::None, "", Family::None},
    };
    for (const TypeCase& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(deviceTypeName(c.code), c.name);
        EXPECT_EQ(commandRow(c.code), c.row);
        EXPECT_EQ(stateLayoutKind(c.code), c.state);
        EXPECT_EQ(archiveLayoutKind(c.code), c.archive);
        EXPECT_EQ(stateWindowClass(c.code), c.window);
        EXPECT_EQ(family(c.code), c.family);
        EXPECT_EQ(findDeviceType(c.code) != nullptr, c.row >= 0);
    }
    std::vector<int> codes;
    for (const DeviceType& t : deviceTypes())
        codes.push_back(t.code);
    EXPECT_EQ(codes, (std::vector<int>{128, 225, 228, 229, 230, 231, 234, 235, 236, 237, 238}));
}

TEST(Catalogue, FamilySettingNames) {
    EXPECT_EQ(familySettingName(family(128)), "Par1_128");
    EXPECT_EQ(familySettingName(family(238)), "Par1_225");
    EXPECT_EQ(familySettingName(family(228)), "Par1_228"); // the DTR switch of the Vexa-1П page covers 228
    EXPECT_EQ(familySettingName(family(230)), "Par1_228");
    EXPECT_EQ(familySettingName(family(237)), "Par1_234");
    EXPECT_EQ(familySettingName(family(231)), "");
    EXPECT_EQ(familySettingName(family(0)), "");
}

TEST(Catalogue, MasterListOrderAndEveryEntryMapsBackToItsCode) {
    const std::vector<std::string> expected = {
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
    EXPECT_EQ(masterDeviceList(), expected);
    const int codes[] = {128, 231, 225, 238, 229, 230, 234, 235, 236, 237};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(deviceCodeFromText(expected[i]), codes[i]) << expected[i];
        // the master preselects the entry whose text equals the catalogue name
        EXPECT_EQ(deviceTypeName(codes[i]), expected[i]);
    }
}

TEST(Catalogue, TextToCodeTakesTheFirstNameFoundInSearchOrder) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},
        {"Vexa-1", 0},
        {"kesta", 0},                                       // letter case matters
        {"Vexa-1 K1(2)(M) тип 225", 0},                     // Latin K and M are not the catalogue's letters
        {"Vexa-1 П14x тип 229", 0},                         // Latin x
        {"прибор Vexa-1 П14х тип 230 (узел 3)", 230},       // found inside other text
        {"Oxel / Kesta", 128},                              // Kesta is looked for before Oxel
        {"Vexa-1 П14х тип 229 Vexa-1 П14х М тип 234", 234}, // the М models come before 229 and 230
        {"Vexa-1 П15х М тип 237 Vexa-1 К1(2)(М) тип 238", 238},
        {"Vexa-1 П14х тип 230 Vexa-1 П14х тип 229", 229},
        {"Oxel Vexa-1 П14х тип 230", 230},
    };
    for (const auto& [text, code] : cases)
        EXPECT_EQ(deviceCodeFromText(text), code) << text;
}

TEST(Catalogue, TaskTable) {
    using R = TaskRule;
    constexpr R N = R::Never, Y = R::Setting, X = R::Always;
    // state, hourly, daily, monthly, parameters, clock
    const std::pair<int, std::array<R, 6>> rows[] = {
        {128, {Y, N, N, N, N, N}}, {225, {Y, Y, Y, N, N, Y}}, {238, {Y, Y, Y, Y, N, Y}},
        {229, {Y, Y, Y, N, X, Y}}, {230, {Y, Y, Y, N, X, Y}}, {231, {X, N, N, N, N, N}},
        {234, {Y, Y, Y, N, X, Y}}, {235, {Y, Y, Y, N, X, Y}}, {236, {Y, Y, Y, Y, X, Y}},
        {237, {Y, Y, Y, Y, X, Y}}, {228, {N, N, N, N, N, N}}, {0, {N, N, N, N, N, N}},
        {233, {N, N, N, N, N, N}},
    };
    const Task tasks[] = {Task::State,          Task::HourlyArchive, Task::DailyArchive,
                          Task::MonthlyArchive, Task::Parameters,    Task::Clock};
    for (const auto& [code, rules] : rows)
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(taskRule(code, tasks[i]), rules[i])
                << "type " << code << " task " << static_cast<int>(tasks[i]);
}

TEST(Catalogue, TaskEnabledBySettingBits) {
    // bits: 0 state, 1 hourly, 2 daily, 3 clock, 4 monthly
    EXPECT_TRUE(isTaskEnabled(236, Task::State, 1));
    EXPECT_FALSE(isTaskEnabled(236, Task::State, 0xFE));
    EXPECT_TRUE(isTaskEnabled(236, Task::HourlyArchive, 2));
    EXPECT_FALSE(isTaskEnabled(236, Task::HourlyArchive, 0xFD));
    EXPECT_TRUE(isTaskEnabled(236, Task::DailyArchive, 4));
    EXPECT_TRUE(isTaskEnabled(236, Task::Clock, 8));
    EXPECT_FALSE(isTaskEnabled(236, Task::Clock, 0xF7));
    EXPECT_TRUE(isTaskEnabled(236, Task::MonthlyArchive, 16));
    EXPECT_FALSE(isTaskEnabled(236, Task::MonthlyArchive, 0xEF));
    EXPECT_TRUE(isTaskEnabled(238, Task::MonthlyArchive, 16));
    EXPECT_FALSE(isTaskEnabled(225, Task::MonthlyArchive, 0xFF)); // no monthly task at all
    EXPECT_FALSE(isTaskEnabled(234, Task::MonthlyArchive, 0xFF));
    EXPECT_TRUE(isTaskEnabled(229, Task::Parameters, 0)); // always
    EXPECT_FALSE(isTaskEnabled(225, Task::Parameters, 0xFF));
    EXPECT_TRUE(isTaskEnabled(231, Task::State, 0)); // always
    EXPECT_FALSE(isTaskEnabled(128, Task::HourlyArchive, 0xFF));
    EXPECT_FALSE(isTaskEnabled(228, Task::State, 0xFF));
    EXPECT_FALSE(isTaskEnabled(0, Task::State, 0xFF));
    // bit 7 is the DTR switch, not a task
    EXPECT_FALSE(isTaskEnabled(236, Task::State, 1 << kNoDtrCheckBit));
}

TEST(Catalogue, NetworkTypesAndArchiveKinds) {
    std::vector<std::string> lines;
    std::stringstream text(kNetTypeListText);
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"COM порт", "Модем", "Ethernet UDP", "Ethernet TCP"}));
    EXPECT_EQ(netTypeNames(), lines);
    EXPECT_EQ(netTypeName(3), "Ethernet TCP");
    EXPECT_EQ(netTypeName(4), "");
    EXPECT_EQ(netTypeName(-1), "");
    EXPECT_EQ(netTypeFromName("Модем"), 1);
    EXPECT_EQ(netTypeFromName("модем"), -1);

    EXPECT_EQ(archiveKindLetter(kHourlyArchive), 'H');
    EXPECT_EQ(archiveKindLetter(kDailyArchive), 'D');
    EXPECT_EQ(archiveKindLetter(kMonthlyArchive), 'M');
    EXPECT_THROW(archiveKindLetter(3), std::out_of_range);
    EXPECT_EQ(archiveKindFromLetter('h'), 0);
    EXPECT_EQ(archiveKindFromLetter('M'), 2);
    EXPECT_EQ(archiveKindFromLetter('X'), -1);
}

// ================================================================ layouts

TEST(Layouts, ObjectsTable) {
    const TableLayout& l = objectsTableLayout();
    EXPECT_EQ(l.fields.size(), 17u);
    EXPECT_EQ(describe(l.fields), kObjects);
    EXPECT_EQ(requiredFields(l.fields), "NUM");
    EXPECT_EQ(describe(l.indexes), "Primary(NUM)PU SN(SERIALNUM) ADR(ADDRES) NT(NETTYPE)");
}

TEST(Layouts, StateTablesPerType) {
    const std::pair<int, const char*> cases[] = {
        {128, kState128}, {225, kState225}, {238, kState225}, {228, kState228},
        {229, kState228}, {230, kState228}, {231, kState231}, {234, kState234},
        {235, kState234}, {236, kState234}, {237, kState234},
    };
    for (const auto& [code, expected] : cases) {
        SCOPED_TRACE(code);
        const TableLayout* l = stateTableLayout(code);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(describe(l->fields), expected);
        EXPECT_EQ(requiredFields(l->fields), "NUM NUMSTATE");
        EXPECT_EQ(describe(l->indexes), "NUM(NUM)P NUMSTATE(NUMSTATE)");
    }
    EXPECT_EQ(stateTableLayout(231)->fields.size(), 9u);
    EXPECT_EQ(stateTableLayout(236)->fields.size(), 35u);
    EXPECT_EQ(stateTableLayout(0), nullptr);
    EXPECT_EQ(stateTableLayout(239), nullptr);
}

TEST(Layouts, ParametersTable) {
    const TableLayout& l = paramsTableLayout();
    EXPECT_EQ(describe(l.fields), kParams);
    EXPECT_EQ(requiredFields(l.fields), "NUM NUMSTATE");
    EXPECT_EQ(describe(l.indexes), "NUM(NUM)P NUMSTATE(NUMSTATE)");
}

TEST(Layouts, ArchiveTablesPerType) {
    const std::tuple<int, const char*, size_t> cases[] = {
        {225, kArchive225, 20}, {238, kArchive225, 20}, {228, kArchive228, 53},
        {229, kArchive228, 53}, {230, kArchive228, 53}, {234, kArchive234, 68},
        {235, kArchive234, 68}, {236, kArchive234, 68}, {237, kArchive234, 68},
    };
    for (const auto& [code, expected, count] : cases) {
        SCOPED_TRACE(code);
        ASSERT_EQ(fieldCount(expected), count); // the written-out list itself
        const TableLayout* l = archiveTableLayout(code);
        ASSERT_NE(l, nullptr);
        EXPECT_EQ(l->fields.size(), count);
        EXPECT_EQ(describe(l->fields), expected);
        EXPECT_EQ(requiredFields(l->fields), "NUM NUMSTATE");
        EXPECT_EQ(describe(l->indexes), "NUM(NUM)P NUMSTATE(NUMSTATE) WriteDay(WriteDay)");
    }
    for (int code : {128, 231, 0, 239})
        EXPECT_EQ(archiveTableLayout(code), nullptr) << code;
}

// ================================================================ names and directories

TEST(Tables, FileNames) {
    EXPECT_EQ(stateTableName(236), "STATEDB236");
    EXPECT_EQ(archiveTableName(530, kDailyArchive, 236), "ARCHDB530D236");
    EXPECT_EQ(archiveTableName(530, kDailyArchive, 236, true), "~ARCHDB530D236");
    EXPECT_EQ(archiveTableName(7, kHourlyArchive, 225), "ARCHDB7H225");
    EXPECT_EQ(archiveTableName(65535, kMonthlyArchive, 237), "ARCHDB65535M237");
    EXPECT_EQ(archiveNamePrefix(530, kDailyArchive), "ARCHDB530D");
    EXPECT_EQ(archiveNamePrefix(530, kDailyArchive, true), "~ARCHDB530D");
    EXPECT_EQ(tableFilePath("/data", "PARSDB"), "/data/PARSDB.dbf");
    EXPECT_EQ(tableFilePath("/data/", "PARSDB"), "/data/PARSDB.dbf");
}

TEST(Tables, DataDirectoryFromStoredPath) {
    const std::pair<const char*, const char*> cases[] = {
        {"", "/opt/mervo/DATA"},
        {"..\\DATA", "/opt/mervo/DATA"},
        {"../DATA", "/opt/mervo/DATA"},
        {"..\\Base\\2024", "/opt/mervo/Base/2024"},
        {"../Base\\2024/", "/opt/mervo/Base/2024/"},
        {"/srv/heat", "/srv/heat"},
        {"/srv\\heat\\", "/srv/heat/"},
        {"data", "data"},
    };
    for (const auto& [stored, expected] : cases)
        EXPECT_EQ(dataDirFromSetting(stored, "/opt/mervo"), expected) << stored;
    EXPECT_EQ(tempDirOf("/srv/heat"), "/srv/heat/MERVOTMP");
    EXPECT_EQ(tempDirOf("/srv/heat/"), "/srv/heat/MERVOTMP");
    EXPECT_FALSE(programDir().empty());
    EXPECT_TRUE(fs::is_directory(programDir()));
}

TEST(Tables, DriveOfAMissingDataDirectory) {
    TempDir tmp;
    EXPECT_EQ(existingAncestor(tmp.path()), tmp.path());
    EXPECT_EQ(missingTopFolder(tmp.path()), "");
    EXPECT_EQ(existingAncestor(tmp.file("a/b/DATA/")), tmp.path());
    EXPECT_EQ(missingTopFolder(tmp.file("a/b/DATA/")), tmp.file("a"));
    EXPECT_EQ(missingTopFolder(tmp.file("DATA")), tmp.file("DATA"));
}

// ================================================================ creation

TEST(Tables, CreatedTablesCarryTheLayoutOfTheirType) {
    TempDir tmp;
    dbf::Table t;
    const std::pair<int, const char*> states[] = {{128, kState128}, {225, kState225}, {229, kState228},
                                                  {231, kState231}, {236, kState234}, {238, kState225}};
    for (const auto& [code, expected] : states) {
        SCOPED_TRACE(code);
        ASSERT_TRUE(createStateTable(t, code, tmp.path(), nullptr));
        t.close();
        t.open(tmp.path(), stateTableName(code));
        EXPECT_EQ(describe(t.fields()), expected);
        EXPECT_EQ(describe(t.indexes()), "NUM(NUM)P NUMSTATE(NUMSTATE)");
    }
    const std::pair<int, const char*> archives[] = {
        {225, kArchive225}, {229, kArchive228}, {236, kArchive234}};
    for (const auto& [code, expected] : archives) {
        SCOPED_TRACE(code);
        ASSERT_TRUE(createArchiveTable(t, code, tmp.path(), "ARCHDB530D", nullptr, {}));
        t.close();
        t.open(tmp.path(), archiveTableName(530, kDailyArchive, code));
        EXPECT_EQ(describe(t.fields()), expected);
        EXPECT_EQ(describe(t.indexes()), "NUM(NUM)P NUMSTATE(NUMSTATE) WriteDay(WriteDay)");
    }
    createParamsTable(t, tmp.path(), nullptr);
    t.close();
    t.open(tmp.path(), "PARSDB");
    EXPECT_EQ(describe(t.fields()), kParams);

    createObjectsTable(t, tmp.path());
    t.close();
    t.open(tmp.path(), "MAINDB");
    EXPECT_EQ(describe(t.fields()), kObjects);
    EXPECT_EQ(describe(t.indexes()), "Primary(NUM)PU SN(SERIALNUM) ADR(ADDRES) NT(NETTYPE)");
}

TEST(Tables, StateTableCreationDeletesTheOldFilesInAnyCase) {
    TempDir tmp;
    dbf::Table t;
    ASSERT_TRUE(createStateTable(t, 236, tmp.path(), nullptr));
    t.append();
    t.setInt("NUMSTATE", 1);
    t.post();
    t.close();
    // a stray index file in another spelling
    writeJunk(tmp.file("statedb236.mdx"));

    ASSERT_TRUE(createStateTable(t, 236, tmp.path(), nullptr));
    EXPECT_EQ(t.recordCount(), 0);
    EXPECT_EQ(filesIn(tmp.path()), (std::set<std::string>{"STATEDB236.MDX", "STATEDB236.dbf"}));
}

TEST(Tables, NoTableForATypeWithoutLayout) {
    TempDir tmp;
    dbf::Table t;
    std::vector<std::string> log;
    auto logFn = [&](const std::string& line) { log.push_back(line); };
    for (int code : {0, 239, 500})
        EXPECT_FALSE(createStateTable(t, code, tmp.path(), nullptr)) << code;
    for (int code : {128, 231, 0}) {
        EXPECT_FALSE(createArchiveTable(t, code, tmp.path(), "ARCHDB530D", nullptr, logFn)) << code;
        EXPECT_FALSE(openArchiveTable(t, code, 530, kDailyArchive, tmp.path(), nullptr, logFn)) << code;
        EXPECT_FALSE(
            createTempArchiveTable(t, code, 530, kDailyArchive, tmp.file("MERVOTMP"), nullptr, logFn));
    }
    EXPECT_FALSE(t.isOpen());
    EXPECT_TRUE(log.empty());
    EXPECT_TRUE(filesIn(tmp.path()).empty());
}

TEST(Tables, FailingArchiveCreationIsLoggedWithTheFullPath) {
    TempDir tmp;
    dbf::Table t;
    std::vector<std::string> log;
    std::string dir = tmp.file("missing");
    EXPECT_FALSE(createArchiveTable(t, 236, dir, "ARCHDB530D", nullptr,
                                    [&](const std::string& line) { log.push_back(line); }));
    EXPECT_EQ(log, (std::vector<std::string>{"ОШИБКА СОЗДАНИЯ " + dir + "/ARCHDB530D236.dbf"}));
    EXPECT_FALSE(t.isOpen());
    EXPECT_FALSE(fs::exists(dir));

    // the same through the lazy opening of the main archive
    log.clear();
    EXPECT_FALSE(openArchiveTable(t, 225, 17, kHourlyArchive, dir, nullptr,
                                  [&](const std::string& line) { log.push_back(line); }));
    EXPECT_EQ(log, (std::vector<std::string>{"ОШИБКА СОЗДАНИЯ " + dir + "/ARCHDB17H225.dbf"}));
    // without a log callback the failure is still reported by the result
    EXPECT_FALSE(createArchiveTable(t, 236, dir, "ARCHDB530D", nullptr, {}));
}

TEST(Tables, ObjectsAndStateCreationErrorsPropagate) {
    TempDir tmp;
    dbf::Table t;
    EXPECT_THROW(createObjectsTable(t, tmp.file("missing")), dbf::Error);
    EXPECT_THROW(createStateTable(t, 236, tmp.file("missing"), nullptr), dbf::Error);
    EXPECT_THROW(createParamsTable(t, tmp.file("missing"), nullptr), dbf::Error);
}

TEST(Tables, DetailRowsInheritTheMasterNumber) {
    TempDir tmp;
    dbf::Table objects;
    makeObjects(objects, tmp.path());
    dbf::Table state;
    ASSERT_TRUE(createStateTable(state, 236, tmp.path(), &objects));
    EXPECT_EQ(state.indexName(), "NUMSTATE");
    appendRow(state, "HEnergy1", 1.5);
    EXPECT_EQ(state.asInt("NUMSTATE"), 1);
    objects.next(); // object 2
    EXPECT_EQ(state.recordCount(), 0);
    appendRow(state, "HEnergy1", 2.5);
    EXPECT_EQ(state.asInt("NUMSTATE"), 2);
    state.close();

    // reopened as a detail, only the current object's row is visible
    openDetail(state, tmp.path(), stateTableName(236), &objects);
    EXPECT_EQ(state.recordCount(), 1);
    EXPECT_DOUBLE_EQ(state.asFloat("HEnergy1"), 2.5);
    objects.first();
    EXPECT_EQ(state.recordCount(), 1);
    EXPECT_DOUBLE_EQ(state.asFloat("HEnergy1"), 1.5);

    dbf::Table arch;
    ASSERT_TRUE(openArchiveTable(arch, 236, 530, kDailyArchive, tmp.path(), &objects, {}));
    arch.append();
    arch.setDateTime("WriteDay", dbf::DateTime::fromParts(2024, 1, 31));
    arch.post();
    EXPECT_EQ(arch.asInt("NUMSTATE"), 1);
}

// ================================================================ lazy creation

TEST(Tables, StateAndParametersTablesAreReusedWhenTheirFileExists) {
    TempDir tmp;
    dbf::Table objects;
    makeObjects(objects, tmp.path());
    {
        dbf::Table state, params;
        ASSERT_TRUE(openStateTable(state, 231, tmp.path(), &objects)); // created
        appendRow(state, "Flow", 3.25);
        openParamsTable(params, tmp.path(), &objects); // created
        appendRow(params, "MinExpense1", 0.5);
    }
    dbf::Table state, params;
    ASSERT_TRUE(openStateTable(state, 231, tmp.path(), &objects));
    EXPECT_EQ(state.recordCount(), 1);
    EXPECT_DOUBLE_EQ(state.asFloat("Flow"), 3.25);
    openParamsTable(params, tmp.path(), &objects);
    EXPECT_EQ(params.recordCount(), 1);
    EXPECT_FALSE(openStateTable(state, 0, tmp.path(), &objects));
}

TEST(Tables, StateTableIsCreatedOverAStrayIndexFile) {
    TempDir tmp;
    writeJunk(tmp.file("STATEDB225.MDX"));
    writeJunk(tmp.file("parsdb.mdx"));
    dbf::Table state, params;
    ASSERT_TRUE(openStateTable(state, 225, tmp.path(), nullptr));
    EXPECT_EQ(describe(state.fields()), kState225);
    openParamsTable(params, tmp.path(), nullptr);
    EXPECT_EQ(describe(params.fields()), kParams);
    EXPECT_EQ(filesIn(tmp.path()),
              (std::set<std::string>{"PARSDB.MDX", "PARSDB.dbf", "STATEDB225.MDX", "STATEDB225.dbf"}));
}

TEST(Tables, FileNamesMatchWithoutRegardToCase) {
    TempDir tmp;
    dbf::Table t;
    createParamsTable(t, tmp.path(), nullptr);
    t.append();
    t.setInt("NUMSTATE", 4);
    t.setInt("DayOfReport", 25);
    t.post();
    t.close();

    EXPECT_TRUE(dbf::tableExists(tmp.path(), "ParsDB"));
    dbf::Table other;
    other.open(tmp.path(), "ParsDB.dbf");
    other.setFilter("NUMSTATE=4");
    other.setFiltered(true);
    ASSERT_EQ(other.recordCount(), 1);
    EXPECT_EQ(other.asInt("DayOfReport"), 25);
    other.close();

    // files renamed to lower case are still the parameters table, not a reason to create a new one
    fs::rename(tmp.file("PARSDB.dbf"), tmp.file("parsdb.dbf"));
    fs::rename(tmp.file("PARSDB.MDX"), tmp.file("parsdb.mdx"));
    openParamsTable(t, tmp.path(), nullptr);
    EXPECT_EQ(t.recordCount(), 1);
}

struct ArchiveFilesCase {
    const char* name;
    bool keepDbf;
    bool keepMdx;
    int rowsAfterOpen;
};

TEST(Tables, MainArchiveIsReusedWhenItsTableFileExists) {
    const ArchiveFilesCase cases[] = {
        {"both files", true, true, 1},
        {"index lost: rebuilt, rows kept", true, false, 1},
        {"table lost", false, true, 0},
        {"both lost", false, false, 0},
    };
    for (const ArchiveFilesCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        dbf::Table objects;
        makeObjects(objects, tmp.path());
        {
            dbf::Table arch;
            ASSERT_TRUE(openArchiveTable(arch, 236, 530, kDailyArchive, tmp.path(), &objects, {}));
            arch.append();
            arch.setInt("RecNum", 12);
            arch.post();
        }
        if (!c.keepDbf) fs::remove(tmp.file("ARCHDB530D236.dbf"));
        if (!c.keepMdx) fs::remove(tmp.file("ARCHDB530D236.MDX"));

        std::vector<std::string> log;
        dbf::Table arch;
        ASSERT_TRUE(openArchiveTable(arch, 236, 530, kDailyArchive, tmp.path(), &objects,
                                     [&](const std::string& l) { log.push_back(l); }));
        EXPECT_TRUE(log.empty());
        EXPECT_EQ(arch.recordCount(), c.rowsAfterOpen);
        EXPECT_EQ(arch.fieldCount(), 68);
        arch.close();
        objects.close();
        EXPECT_EQ(filesIn(tmp.path()), (std::set<std::string>{"ARCHDB530D236.MDX", "ARCHDB530D236.dbf",
                                                              "MAINDB.MDX", "MAINDB.dbf"}));
    }
}

TEST(Tables, MainArchiveWithLowerCaseIndexIsReused) {
    TempDir tmp;
    {
        dbf::Table arch;
        ASSERT_TRUE(openArchiveTable(arch, 225, 9, kHourlyArchive, tmp.path(), nullptr, {}));
        arch.append();
        arch.setInt("NUMSTATE", 3);
        arch.post();
    }
    fs::rename(tmp.file("ARCHDB9H225.MDX"), tmp.file("ARCHDB9H225.mdx"));
    dbf::Table arch;
    ASSERT_TRUE(openArchiveTable(arch, 225, 9, kHourlyArchive, tmp.path(), nullptr, {}));
    EXPECT_EQ(arch.recordCount(), 1);
}

TEST(Tables, TemporaryArchiveIsCreatedAnewInARecreatedFolder) {
    TempDir tmp;
    std::string temp = tempDirOf(tmp.path());
    dbf::Table objects;
    makeObjects(objects, tmp.path());
    dbf::Table t;
    // the folder does not exist yet
    ASSERT_TRUE(createTempArchiveTable(t, 236, 530, kDailyArchive, temp, &objects, {}));
    appendRow(t, "HEnergy1", 7.0);
    EXPECT_EQ(t.asInt("NUMSTATE"), 1);
    t.close();
    EXPECT_EQ(filesIn(temp), (std::set<std::string>{"~ARCHDB530D236.MDX", "~ARCHDB530D236.dbf"}));

    // a second read starts empty
    ASSERT_TRUE(createTempArchiveTable(t, 236, 530, kDailyArchive, temp, &objects, {}));
    EXPECT_EQ(t.recordCount(), 0);
    t.close();

    // a folder holding other files stays and gets the new table beside them
    writeJunk(temp + "/notes.txt");
    ASSERT_TRUE(createTempArchiveTable(t, 225, 17, kHourlyArchive, temp, nullptr, {}));
    EXPECT_EQ(t.fieldCount(), 20);
    t.close();
    EXPECT_TRUE(filesIn(temp).count("notes.txt"));
    EXPECT_TRUE(filesIn(temp).count("~ARCHDB17H225.dbf"));
}

TEST(Tables, TemporaryArchiveCreationFailureIsLogged) {
    TempDir tmp;
    std::string temp = tempDirOf(tmp.file("no-data-dir"));
    std::vector<std::string> log;
    dbf::Table t;
    EXPECT_FALSE(createTempArchiveTable(t, 236, 530, kDailyArchive, temp, nullptr,
                                        [&](const std::string& l) { log.push_back(l); }));
    EXPECT_EQ(log, (std::vector<std::string>{"ОШИБКА СОЗДАНИЯ " + temp + "/~ARCHDB530D236.dbf"}));
}

// ================================================================ clean-up

TEST(Tables, DeletingAnObjectRemovesItsDailyAndHourlyArchivesOnly) {
    TempDir tmp;
    dbf::Table t;
    for (int kind : {kHourlyArchive, kDailyArchive, kMonthlyArchive})
        ASSERT_TRUE(createArchiveTable(t, 236, tmp.path(), archiveNamePrefix(530, kind), nullptr, {}));
    // another object's archive and another type of the same serial
    ASSERT_TRUE(createArchiveTable(t, 236, tmp.path(), archiveNamePrefix(531, kDailyArchive), nullptr, {}));
    ASSERT_TRUE(createArchiveTable(t, 225, tmp.path(), archiveNamePrefix(530, kDailyArchive), nullptr, {}));
    t.close();
    // index files as another program may have spelled them
    fs::rename(tmp.file("ARCHDB530D236.MDX"), tmp.file("ARCHDB530D236.mdx"));
    fs::rename(tmp.file("ARCHDB530H236.dbf"), tmp.file("archdb530h236.DBF"));

    deleteObjectArchives(tmp.path(), 530, 236);
    EXPECT_EQ(filesIn(tmp.path()),
              (std::set<std::string>{"ARCHDB530M236.MDX", "ARCHDB530M236.dbf", "ARCHDB531D236.MDX",
                                     "ARCHDB531D236.dbf", "ARCHDB530D225.MDX", "ARCHDB530D225.dbf"}));
    // nothing left to delete is no error
    EXPECT_NO_THROW(deleteObjectArchives(tmp.path(), 530, 236));
}

TEST(Tables, TemporaryFolderCleanUp) {
    TempDir tmp;
    std::string temp = tempDirOf(tmp.path());
    fs::create_directory(temp);
    for (const char* name : {"~ARCHDB530D236.dbf", "~ARCHDB530D236.MDX", "~old", "~x.tmp"})
        writeJunk(temp + "/" + name);
    cleanTempDir(temp);
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_TRUE(fs::is_directory(tmp.path()));

    // other files keep the folder
    fs::create_directory(temp);
    writeJunk(temp + "/~ARCHDB1H225.dbf");
    writeJunk(temp + "/keep.dbf");
    cleanTempDir(temp);
    EXPECT_EQ(filesIn(temp), (std::set<std::string>{"keep.dbf"}));

    EXPECT_NO_THROW(cleanTempDir(tmp.file("absent")));
}
