// The readers of the poll against the calculator simulator: current state, parameters and archives, stored
// rows compared with what the simulated device holds.
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "devdata/readers.h"
#include "devdata/tables.h"
#include "poll/protocol.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

using namespace devdata;
using namespace polling;
using mervo::test::SimProcess;
using mervo::test::TempDir;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const dbf::DateTime kNow = dbf::DateTime::fromParts(2024, 3, 5, 14, 7, 9);

// ---- the simulator

std::vector<std::string> deviceArgs(int type, int serial, std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"--type", std::to_string(type), "--serial", std::to_string(serial)};
    a.insert(a.end(), more.begin(), more.end());
    return a;
}

// What the device of these arguments holds (after `reads` archive reading sessions).
json dumpOf(const std::vector<std::string>& args, int reads = 0) {
    std::string cmd = std::string(CALCSIM_PATH) + " --dump";
    for (const auto& a : args)
        cmd += " '" + a + "'";
    if (args.empty() || args[0] != "--config") cmd += " --udp 0";
    if (reads) cmd += " --after-reads " + std::to_string(reads);
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    ::pclose(p);
    return json::parse(out)["devices"][0];
}

std::unique_ptr<SimProcess> startSim(std::vector<std::string> args) {
    if (args.empty() || args[0] != "--config") args.insert(args.end(), {"--udp", "0"});
    return std::make_unique<SimProcess>(args);
}

double number(const json& v) {
    if (v.is_string()) {
        const std::string s = v.get<std::string>();
        if (s == "NaN") return std::nan("");
        return s[0] == '-' ? -INFINITY : INFINITY;
    }
    return v.get<double>();
}

// ---- the program's side

// A UDP link to the simulator that keeps every frame the program sends.
class RecordingLink : public Transport {
public:
    explicit RecordingLink(int port) : inner_("127.0.0.1", port) {}
    NetType netType() const override { return inner_.netType(); }
    int fd() const override { return inner_.fd(); }
    void send(const uint8_t* data, size_t n) override {
        // 229 and 230 put a zero byte in front of the frame
        size_t skip = 0;
        while (skip < n && data[skip] == 0)
            ++skip;
        if (n - skip >= 6) frames.emplace_back(data + skip, data + n);
        inner_.send(data, n);
    }
    size_t receive(uint8_t* buf, size_t max) override { return inner_.receive(buf, max); }

    std::vector<int> commands() const {
        std::vector<int> c;
        for (const auto& f : frames)
            c.push_back(f[4]);
        return c;
    }
    // Record numbers of the record requests, kind offset removed.
    std::vector<int> recordRequests() const {
        std::vector<int> r;
        for (const auto& f : frames)
            if (f[4] == 0x03) r.push_back((f[6] & 0x3F) * 256 + f[5]);
        return r;
    }
    std::vector<std::vector<uint8_t>> frames;

private:
    UdpLink inner_;
};

struct Events : ReaderObserver {
    std::vector<std::string> lines, status;
    std::vector<int> progressValues;
    std::function<void(int copied)> onTransfer;
    std::function<void(int slot)> onSlot;
    void eventLine(const std::string& text, bool) override { lines.push_back(text); }
    void statusText(const std::string& text) override {
        status.push_back(text);
        if (onSlot) onSlot(int(status.size()));
    }
    void progress(int value) override { progressValues.push_back(value); }
    void transferProgress(int copied, int) override {
        if (onTransfer) onTransfer(copied);
    }
};

// MAINDB with `count` objects of the type and serial (NUM 1, 2, ...), as the object master leaves them.
void makeObjects(const std::string& dir, int type, int serial, int count = 1) {
    dbf::Table t;
    createObjectsTable(t, dir);
    for (int i = 0; i < count; ++i) {
        t.append();
        t.setInt("DEVTYPE", type);
        t.setInt("SERIALNUM", serial);
        t.setString("ADDRES", "Ленина 5");
        t.setInt("NETTYPE", 2);
        t.setString("STATE", "---");
        t.setInt("ERRCODE", 0);
        t.setBool("ERR", false);
        t.setBool("AUTOCON", true);
        t.post();
    }
}

// The poll's side for one object: link, protocol, its copy of MAINDB on the object, the reader context.
struct Poller {
    RecordingLink link;
    VirtualClock clock{Duration(1000)}; // generous: a loaded machine may be slow to answer
    StopSignal stop;
    Protocol proto{clock, stop};
    dbf::Table objects;
    Events events;
    ReaderContext ctx;

    Poller(const std::string& dataDir, int port, int type, int serial, int objectNum = 1)
        : link(port), ctx{.protocol = proto,
                          .objects = objects,
                          .dataDir = dataDir,
                          .tempDir = tempDirOf(dataDir),
                          .deviceType = type,
                          .serial = serial,
                          .repeat = 2,
                          .stop = stop,
                          .observer = events,
                          .now = [] { return kNow; }} {
        objects.open(dataDir, kObjectsTableName);
        objects.setIndexFieldNames("NUM");
        if (!objects.locate("NUM", dbf::Value(int64_t(objectNum))))
            throw std::runtime_error("no such object");
        proto.setTransport(&link);
        // the link test selects the command-table row of the type
        if (!proto.testRegistered(type, serial, 3)) throw std::runtime_error("the simulator does not answer");
        link.frames.clear();
    }
};

// A data directory with one object, a simulated device for it and the poll's side.
struct Bench {
    TempDir dir;
    std::vector<std::string> args;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Poller> poll;

    Bench(int type, int serial, std::vector<std::string> more = {}, int objects = 1)
        : args(deviceArgs(type, serial, std::move(more))) {
        makeObjects(dir.path(), type, serial, objects);
        sim = startSim(args);
        poll = std::make_unique<Poller>(dir.path(), sim->port(), type, serial);
    }
    ReaderContext& ctx() { return poll->ctx; }
    Events& events() { return poll->events; }
    json dump(int reads = 0) const { return dumpOf(args, reads); }
};

// ---- reading the tables back

using Row = std::map<std::string, dbf::Value>;

// Every live row of a table in file order.
std::vector<Row> rowsOf(const std::string& dir, const std::string& name) {
    std::vector<Row> rows;
    if (!dbf::tableExists(dir, name)) return rows;
    dbf::Table t;
    t.open(dir, name);
    for (t.first(); !t.eof(); t.next()) {
        Row r;
        for (int i = 0; i < t.fieldCount(); ++i)
            r[t.fields()[size_t(i)].name] = t.value(i);
        rows.push_back(std::move(r));
    }
    return rows;
}

bool isNull(const Row& r, const std::string& f) {
    return std::holds_alternative<std::monostate>(r.at(f));
}
double num(const Row& r, const std::string& f) {
    const dbf::Value& v = r.at(f);
    if (const auto* i = std::get_if<int64_t>(&v)) return double(*i);
    if (const auto* d = std::get_if<double>(&v)) return *d;
    ADD_FAILURE() << f << " holds no number";
    return std::nan("");
}
std::string text(const Row& r, const std::string& f) {
    const auto* s = std::get_if<std::string>(&r.at(f));
    return s ? *s : std::string();
}
dbf::DateTime stamp(const Row& r, const std::string& f) {
    const auto* d = std::get_if<dbf::DateTime>(&r.at(f));
    return d ? *d : dbf::DateTime();
}

Row objectRow(const std::string& dir, int num = 1) {
    return rowsOf(dir, kObjectsTableName).at(size_t(num - 1));
}

// The outcome of a read in MAINDB.
void expectOutcome(const Row& o, const std::string& state, int errcode, bool err) {
    EXPECT_EQ(text(o, "STATE"), state);
    EXPECT_EQ(num(o, "ERRCODE"), errcode);
    EXPECT_EQ(std::get<bool>(o.at("ERR")), err);
    EXPECT_EQ(stamp(o, "CON_DATE"), kNow.date());
    EXPECT_EQ(text(o, "CON_TIME"), "14:07:09");
}

// A MAINDB row no read has touched.
void expectUntouched(const Row& o) {
    EXPECT_EQ(text(o, "STATE"), "---");
    EXPECT_TRUE(isNull(o, "CON_DATE"));
    EXPECT_EQ(text(o, "CON_TIME"), "");
}

// A stored value is the device's value rounded to `decimals`.
void expectRounded(double stored, double device, int decimals, const std::string& what) {
    const double scale = std::pow(10.0, decimals);
    EXPECT_NEAR(stored, device, 0.5 / scale + 1e-9) << what;
    EXPECT_NEAR(stored * scale, std::round(stored * scale), 1e-6) << what << " has more decimals";
}

dbf::DateTime dumpTime(const json& rec) {
    return *dbf::DateTime::parse(rec["time"].get<std::string>());
}

// An archive row holds a device record as it is: every data field, the hour, the time stamp, CheckField 0.
void expectRecord(const Row& row, const json& rec, int dataFields) {
    int compared = 0;
    for (const auto& [key, value] : rec.items()) {
        if (key == "slot" || key == "time" || key == "day" || key == "hour" || key == "RecNum") continue;
        ASSERT_TRUE(row.count(key)) << key;
        EXPECT_EQ(num(row, key), number(value)) << key << " of slot " << rec["slot"];
        ++compared;
    }
    EXPECT_EQ(compared, dataFields);
    EXPECT_EQ(num(row, "WriteHour"), rec["hour"].get<int>());
    EXPECT_EQ(stamp(row, "WriteDay"), dumpTime(rec)) << "slot " << rec["slot"];
    EXPECT_EQ(num(row, "CheckField"), 0);
    EXPECT_EQ(num(row, "RecNum"), rec["slot"].get<int>());
}

// Data fields of an archive layout: all but NUM, NUMSTATE, WriteHour, WriteDay, CheckField, RecNum.
int archiveDataFields(int type) {
    return int(archiveTableLayout(type)->fields.size()) - 6;
}

// Device records of a kind by slot.
std::map<int, json> recordsBySlot(const json& dump, const char* kind) {
    std::map<int, json> m;
    for (const auto& r : dump["archives"][kind]["records"])
        m[r["slot"].get<int>()] = r;
    return m;
}

// A simulator configuration of one UDP device whose archive records are partly given.
void writeSimConfig(const std::string& path, int type, int serial, const json& filled, const json& records) {
    json e = {{"udp", 0}, {"type", type}, {"serial", serial}, {"filled", filled}, {"records", records}};
    std::ofstream(path) << json{{"endpoints", json::array({e})}}.dump();
}

std::vector<int> descending(int from, int to) {
    std::vector<int> v;
    for (int i = from; i >= to; --i)
        v.push_back(i);
    return v;
}

} // namespace

// ================================================================ current state

struct StateCase {
    int type;
    std::vector<std::string> sim;
};

TEST(StateReader, LayoutsAAndBStoreEveryValueRoundedToTwoDecimals) {
    const StateCase cases[] = {
        {229, {}}, {230, {}}, {234, {}}, {235, {}}, {236, {}}, {237, {}}, {225, {}}, {238, {}},
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.type);
        // more decimals than the table keeps
        Bench b(c.type, 530, {"--state", "HEnergy1=1234.5678", "--state", "V11=0.125"});
        ASSERT_TRUE(readCurrentState(b.ctx()));
        const json device = b.dump()["state"];
        auto rows = rowsOf(b.dir.path(), stateTableName(c.type));
        ASSERT_EQ(rows.size(), 1u);
        const Row& r = rows[0];
        EXPECT_EQ(num(r, "NUMSTATE"), 1);
        EXPECT_EQ(num(r, "HEnergy1"), 1234.57);
        EXPECT_EQ(num(r, "V11"), 0.12); // printf rounds the exact binary value 0.125 to even
        int compared = 0;
        for (const auto& [field, value] : device.items()) {
            ASSERT_TRUE(r.count(field)) << field;
            expectRounded(num(r, field), number(value), 2, field);
            ++compared;
        }
        // every data field of the layout came from the device (masses only for 234-237)
        EXPECT_EQ(compared, int(stateTableLayout(c.type)->fields.size()) - 2);
        expectOutcome(objectRow(b.dir.path()), "Норма", 0, false);
        EXPECT_TRUE(b.events().lines.empty());
    }
}

TEST(StateReader, OneSystemTemperaturesAreHundredths) {
    Bench b(225, 311, {"--state", "TemperF1=26", "--state", "TemperR1=0.07", "--state", "TemperX1=655.35"});
    ASSERT_TRUE(readCurrentState(b.ctx()));
    const Row r = rowsOf(b.dir.path(), "STATEDB225").at(0);
    EXPECT_EQ(num(r, "TemperF1"), 26.0); // word 0x0A28
    EXPECT_EQ(num(r, "TemperR1"), 0.07);
    EXPECT_EQ(num(r, "TemperX1"), 655.35);
}

TEST(StateReader, PulseCountersOfTheDuplicator) {
    Bench b(128, 112,
            {"--state", "Counter1=123456", "--state", "Exp1=3", "--state", "Counter2=987654321", "--state",
             "Exp2=0", "--state", "Counter3=5", "--state", "Exp3=1", "--state", "Counter4=4294967295",
             "--state", "Exp4=2", "--state", "Mod=3"});
    ASSERT_TRUE(readCurrentState(b.ctx()));
    const Row r = rowsOf(b.dir.path(), "STATEDB128").at(0);
    EXPECT_EQ(num(r, "V11"), 123.456);
    EXPECT_EQ(num(r, "V11_Ves"), 1);
    EXPECT_EQ(num(r, "V21"), 987654321.0);
    EXPECT_EQ(num(r, "V21_Ves"), 1000);
    EXPECT_EQ(num(r, "V31"), 0.5);
    EXPECT_EQ(num(r, "V31_Ves"), 100);
    EXPECT_EQ(num(r, "V41"), 42949672.95);
    EXPECT_EQ(num(r, "V41_Ves"), 10);
    EXPECT_EQ(num(r, "MOD"), 3);
    EXPECT_EQ(num(r, "Err"), 0);
    expectOutcome(objectRow(b.dir.path()), "Норма", 0, false);
}

TEST(StateReader, FlowMeterDiameterChoosesTheVolumeDivisor) {
    struct Case {
        const char* diameter;
        int dy;
        double volume; // of the counter 1234567
    } cases[] = {
        {"0.025", 25, 12345.67}, {"0.039", 39, 12345.67}, {"0.04", 40, 123456.7}, {"0.1", 100, 123456.7},
        {"0.15", 150, 123456.7}, {"0.151", 151, 1234567}, {"0.2", 200, 1234567},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.diameter);
        Bench b(231, 2048,
                {"--state", std::string("Diameter=") + c.diameter, "--state", "VolumeCounter=1234567",
                 "--state", "PulseWeight=0.0125", "--state", "Flow=3.456", "--state", "TimeWork=1500.004"});
        ASSERT_TRUE(readCurrentState(b.ctx()));
        const Row r = rowsOf(b.dir.path(), "STATEDB231").at(0);
        EXPECT_EQ(num(r, "SerialNum"), 2048);
        EXPECT_EQ(num(r, "Dy"), c.dy);
        EXPECT_EQ(num(r, "VolumeL"), c.volume);
        EXPECT_EQ(num(r, "VesOut"), 0.013); // "%1.3f" of the single 0.0125000002
        EXPECT_EQ(num(r, "Flow"), 3.46);
        EXPECT_EQ(num(r, "TimeWork"), 1500.0);
        EXPECT_EQ(num(r, "Err"), 0);
        expectOutcome(objectRow(b.dir.path()), "Норма", 0, false);
        // every frame went out with the type byte 230: entry 2 (0x06) and the second block (0x05)
        ASSERT_EQ(b.poll->link.frames.size(), 2u);
        for (const auto& f : b.poll->link.frames)
            EXPECT_EQ(f[1], 230);
        EXPECT_EQ(b.poll->link.commands(), (std::vector<int>{0x06, 0x05}));
    }
}

// A channel that is not fitted reports NaN: the field becomes 0 where the layout says so and stays empty
// everywhere else; the row is stored with the other values and the read is a success.
TEST(StateReader, NotANumberIsZeroWhereTheLayoutSaysSoAndEmptyElsewhere) {
    struct Case {
        int type;
        const char* value;
        const char* field;
        bool zero;         // stored as 0; otherwise empty
        const char* other; // a field that keeps the device's value
    } cases[] = {
        {236, "HEnergy2=nan", "HEnergy2", true, "HEnergy1"},
        {237, "CurrV32=nan", "CurrV32", true, "V11"},
        {234, "Weight32=nan", "Weight32", true, "HEnergy2"},
        {225, "HEnergy1=nan", "HEnergy1", true, "V11"},
        {229, "HEnergy2=nan", "HEnergy2", false, "HEnergy1"},
        {230, "CurrV11=nan", "CurrV11", false, "V11"},
        {236, "HEnergy2=inf", "HEnergy2", false, "HEnergy1"},
        {225, "V11=nan", "V11", false, "HEnergy1"},
        {238, "E2=-inf", "E2", false, "E1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.value);
        Bench b(c.type, 530, {"--state", c.value});
        EXPECT_TRUE(readCurrentState(b.ctx()));
        const auto rows = rowsOf(b.dir.path(), stateTableName(c.type));
        ASSERT_EQ(rows.size(), 1u);
        if (c.zero)
            EXPECT_EQ(num(rows[0], c.field), 0.0);
        else
            EXPECT_TRUE(isNull(rows[0], c.field));
        expectRounded(num(rows[0], c.other), number(b.dump()["state"][c.other]), 2, c.other);
        expectOutcome(objectRow(b.dir.path()), "Норма", 0, false);
        EXPECT_TRUE(b.events().lines.empty());
    }
}

TEST(StateReader, ErrorBytesGiveTheErrorBits) {
    struct Case {
        int type;
        std::vector<std::string> sim;
        int errcode;
    } cases[] = {
        {229, {"--state", "Err1=0", "--state", "Err2=3", "--state", "HardErr=8"}, 6},
        {236, {"--state", "Err1=128"}, 1},
        {230, {"--state", "Err1=1", "--state", "Err2=1", "--state", "HardErr=1"}, 7},
        {235, {"--state", "HardErr=2"}, 4},
        {225, {"--state", "Err=4"}, 1},
        {238, {"--state", "Err=0"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Bench b(c.type, 530, c.sim);
        ASSERT_TRUE(readCurrentState(b.ctx()));
        expectOutcome(objectRow(b.dir.path()), "Норма", c.errcode, c.errcode != 0);
    }
}

TEST(StateReader, ReadingAgainReplacesTheObjectsOnlyRow) {
    Bench b(236, 530, {}, 2);
    ASSERT_TRUE(readCurrentState(b.ctx()));
    ASSERT_TRUE(readCurrentState(b.ctx()));
    // the second object of the same type has its own row
    Poller second(b.dir.path(), b.sim->port(), 236, 530, 2);
    ASSERT_TRUE(readCurrentState(second.ctx));
    ASSERT_TRUE(readCurrentState(b.ctx()));
    auto rows = rowsOf(b.dir.path(), "STATEDB236");
    ASSERT_EQ(rows.size(), 2u);
    std::multiset<double> owners;
    for (const Row& r : rows)
        owners.insert(num(r, "NUMSTATE"));
    EXPECT_EQ(owners, (std::multiset<double>{1, 2}));
}

TEST(StateReader, NoReplyMarksNoConnectionAndKeepsTheRow) {
    Bench b(229, 1207, {"--state", "Err2=3"});
    ASSERT_TRUE(readCurrentState(b.ctx()));
    expectOutcome(objectRow(b.dir.path()), "Норма", 2, true);
    const double energy = num(rowsOf(b.dir.path(), "STATEDB229").at(0), "HEnergy1");

    b.ctx().serial = 1208; // nobody answers to that serial number
    EXPECT_FALSE(readCurrentState(b.ctx()));
    expectOutcome(objectRow(b.dir.path()), "Нет связи", 0, true);
    auto rows = rowsOf(b.dir.path(), "STATEDB229");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(num(rows[0], "HEnergy1"), energy);
    EXPECT_EQ(b.poll->link.commands(), (std::vector<int>{0x01, 0x01, 0x01})); // one, then two failed attempts
    EXPECT_TRUE(b.events().lines.empty());
}

TEST(StateReader, TypesNotServedAndSerialZeroTouchNothing) {
    struct Case {
        int type, serial;
    } cases[] = {{228, 530}, {0, 530}, {239, 530}, {236, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.serial));
        Bench b(236, 530);
        b.ctx().deviceType = c.type;
        b.ctx().serial = c.serial;
        EXPECT_FALSE(readCurrentState(b.ctx()));
        EXPECT_TRUE(b.poll->link.frames.empty());
        expectUntouched(objectRow(b.dir.path()));
        EXPECT_FALSE(dbf::tableExists(b.dir.path(), stateTableName(c.type)));
    }
}

// ================================================================ parameters

TEST(ParamsReader, BothBlockSizesFillTheSameFields) {
    const int types[] = {229, 230, 234, 235, 236, 237};
    for (int type : types) {
        SCOPED_TRACE(type);
        Bench b(type, 530,
                {"--param", "CountWeight1=32868", "--param", "CountWeight6=10", "--param", "DayOfReport=17",
                 "--param", "EnergyError=3", "--param", "FlTemperC=1", "--param", "MinExpense1=1.236",
                 "--param", "StartMonth=11"});
        ASSERT_TRUE(readParameters(b.ctx()));
        ASSERT_TRUE(readParameters(b.ctx()));
        auto rows = rowsOf(b.dir.path(), kParamsTableName);
        ASSERT_EQ(rows.size(), 1u);
        const Row& r = rows[0];
        EXPECT_EQ(num(r, "NUMSTATE"), 1);
        EXPECT_EQ(num(r, "CountWeight1"), 32868); // 0x8064: pulses per litre flag kept
        EXPECT_EQ(num(r, "DayOfReport"), 17);
        EXPECT_EQ(num(r, "EnergyError"), 3);
        EXPECT_EQ(num(r, "FlTemperC"), 1);
        EXPECT_EQ(num(r, "MinExpense1"), 1.24);
        json device = b.dump()["params"];
        device.erase("raw");
        int compared = 0;
        for (const auto& [field, value] : device.items()) {
            ASSERT_TRUE(r.count(field)) << field;
            expectRounded(num(r, field), number(value), 2, field);
            ++compared;
        }
        EXPECT_EQ(compared, int(paramsTableLayout().fields.size()) - 2);
        expectUntouched(objectRow(b.dir.path())); // the parameter step leaves MAINDB alone
    }
}

TEST(ParamsReader, NoReplyAndTypesNotServed) {
    {
        Bench b(236, 530);
        b.ctx().serial = 531; // nobody answers
        EXPECT_FALSE(readParameters(b.ctx()));
        EXPECT_TRUE(rowsOf(b.dir.path(), kParamsTableName).empty());
        expectUntouched(objectRow(b.dir.path()));
    }
    for (int serial : {0, 530}) {
        Bench b(238, 530);
        b.ctx().serial = serial;
        EXPECT_FALSE(readParameters(b.ctx()));
        EXPECT_TRUE(b.poll->link.frames.empty());
        EXPECT_FALSE(dbf::tableExists(b.dir.path(), kParamsTableName));
    }
}

// ================================================================ archives

TEST(ArchiveReader, DepthsAndSlotsToVisit) {
    struct Depth {
        int type, hourly, daily, monthly;
    } depths[] = {{229, 960, 62, 0},   {230, 960, 62, 0},   {225, 1023, 128, 0},  {238, 1023, 128, 0},
                  {234, 1080, 366, 0}, {235, 1080, 366, 0}, {236, 1440, 366, 36}, {237, 1440, 366, 36},
                  {128, 0, 0, 0},      {231, 0, 0, 0},      {228, 0, 0, 0}};
    for (const Depth& d : depths) {
        EXPECT_EQ(archiveDepth(d.type, kHourlyArchive), d.hourly) << d.type;
        EXPECT_EQ(archiveDepth(d.type, kDailyArchive), d.daily) << d.type;
        EXPECT_EQ(archiveDepth(d.type, kMonthlyArchive), d.monthly) << d.type;
    }
    struct Slots {
        bool empty;
        int last, pointer, depth, n;
    } slots[] = {
        {false, 100, 103, 960, 3}, {false, 1020, 5, 1023, 8}, {true, 0, 10, 62, 62},  {false, 9, 10, 62, 1},
        {false, 10, 10, 62, 0},    {false, 61, 0, 62, 1},     {false, 0, 61, 62, 61},
    };
    for (const Slots& s : slots)
        EXPECT_EQ(archiveSlotsToVisit(s.empty, s.last, s.pointer, s.depth), s.n)
            << s.empty << " " << s.last << " " << s.pointer << " " << s.depth;
}

TEST(ArchiveReader, EmptyArchiveOfANewDeviceStopsAfterTenEmptySlots) {
    Bench b(229, 1207, {"--filled", "daily=10"});
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));

    // records 9..0, then the never-written 61 (taken: an empty archive takes its first record), then 60..51
    // repeat its time stamp (two tries each) and the 11th, 50, ends the read
    std::vector<int> expected = descending(9, 0);
    expected.push_back(61);
    for (int slot = 60; slot >= 50; --slot)
        expected.insert(expected.end(), {slot, slot});
    EXPECT_EQ(b.poll->link.recordRequests(), expected);
    EXPECT_EQ(b.events().lines, (std::vector<std::string>{
                                    "Чтение архива прервано т.к. счетчик пустых записей превысил 10", " "}));

    auto rows = rowsOf(b.dir.path(), "ARCHDB1207D229");
    ASSERT_EQ(rows.size(), 11u);
    const Row& empty = rows[0];
    EXPECT_EQ(stamp(empty, "WriteDay"), dbf::DateTime::fromParts(1999, 12, 31));
    EXPECT_EQ(num(empty, "WriteHour"), 0);
    EXPECT_EQ(num(empty, "CheckField"), 0);
    EXPECT_EQ(num(empty, "RecNum"), 61);
    EXPECT_EQ(num(empty, "HEnergy1"), 0);
    auto device = recordsBySlot(b.dump(), "daily");
    for (int slot = 0; slot <= 9; ++slot) {
        SCOPED_TRACE(slot);
        expectRecord(rows[size_t(slot) + 1], device.at(slot), archiveDataFields(229));
        EXPECT_EQ(num(rows[size_t(slot) + 1], "NUMSTATE"), 1);
    }
    // the object's outcome is the state reader's business
    expectUntouched(objectRow(b.dir.path()));
}

TEST(ArchiveReader, FullRingOfEveryFamilyIsReadOldestFirst) {
    struct Case {
        int type;
        int kind;
        const char* filled;
        const char* kindName;
    } cases[] = {
        {229, kDailyArchive, "daily=70", "daily"},       {225, kDailyArchive, "daily=130", "daily"},
        {238, kDailyArchive, "daily=300", "daily"},      {235, kDailyArchive, "daily=400", "daily"},
        {237, kMonthlyArchive, "monthly=40", "monthly"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        Bench b(c.type, 530, {"--filled", c.filled});
        ASSERT_TRUE(readArchive(b.ctx(), c.kind));
        const json dump = b.dump();
        const int depth = dump["archives"][c.kindName]["depth"].get<int>();
        const int pointer = dump["archives"][c.kindName]["pointer"].get<int>();
        ASSERT_EQ(depth, archiveDepth(c.type, c.kind));
        auto device = recordsBySlot(dump, c.kindName);
        // every slot but the one the device writes next, newest first
        std::vector<int> slots;
        for (int i = 1; i < depth; ++i)
            slots.push_back((pointer - i + depth) % depth);
        EXPECT_EQ(b.poll->link.recordRequests(), slots);
        auto rows = rowsOf(b.dir.path(), archiveTableName(530, c.kind, c.type));
        ASSERT_EQ(rows.size(), size_t(depth - 1));
        for (size_t k = 0; k < rows.size(); ++k) {
            const int slot = slots[slots.size() - 1 - k];
            SCOPED_TRACE(slot);
            expectRecord(rows[k], device.at(slot), archiveDataFields(c.type));
            if (k) {
                EXPECT_LT(stamp(rows[k - 1], "WriteDay"), stamp(rows[k], "WriteDay"));
            }
        }
        EXPECT_TRUE(b.events().lines.empty());
    }
}

TEST(ArchiveReader, RecordOfTheSameTimeStampBecomesAPlaceholder) {
    TempDir cfgDir;
    const std::string cfg = cfgDir.file("sim.json");
    const json filled = {{"daily", 400}};
    writeSimConfig(cfg, 236, 530, filled, json::array());
    const json before = recordsBySlot(dumpOf({"--config", cfg}), "daily").at(16);
    // slot 15 carries the time stamp of slot 16, which is read just before it
    writeSimConfig(cfg, 236, 530, filled,
                   json::array({{{"kind", "daily"},
                                 {"slot", 15},
                                 {"fields", {{"day", before["day"]}, {"hour", before["hour"]}}}}}));

    TempDir dir;
    makeObjects(dir.path(), 236, 530);
    auto sim = startSim({"--config", cfg});
    Poller p(dir.path(), sim->port(), 236, 530);
    ASSERT_TRUE(readArchive(p.ctx, kDailyArchive));

    auto requests = p.link.recordRequests();
    EXPECT_EQ(std::count(requests.begin(), requests.end(), 15), 2); // tried as often as the setting says
    auto device = recordsBySlot(dumpOf({"--config", cfg}), "daily");
    auto rows = rowsOf(dir.path(), "ARCHDB530D236");
    ASSERT_EQ(rows.size(), 365u);
    int placeholders = 0;
    for (const Row& r : rows) {
        const int slot = int(num(r, "RecNum"));
        if (slot != 15) {
            expectRecord(r, device.at(slot), archiveDataFields(236));
            continue;
        }
        ++placeholders;
        EXPECT_EQ(num(r, "CheckField"), 1);
        EXPECT_EQ(num(r, "NUMSTATE"), 1);
        for (const auto& [field, value] : r) {
            if (field != "NUM" && field != "NUMSTATE" && field != "CheckField" && field != "RecNum") {
                EXPECT_TRUE(isNull(r, field)) << field;
            }
        }
    }
    EXPECT_EQ(placeholders, 1);
    // the placeholder stands between its neighbours
    const auto at15 =
        std::find_if(rows.begin(), rows.end(), [](const Row& r) { return num(r, "RecNum") == 15; });
    EXPECT_EQ(num(*(at15 - 1), "RecNum"), 14);
    EXPECT_EQ(num(*(at15 + 1), "RecNum"), 16);
}

// A NaN in a record leaves that field empty (0 where the layout says so); the record is stored with its
// other values.
TEST(ArchiveReader, NotANumberInARecordLeavesTheFieldEmpty) {
    struct Case {
        int type;
        const char* field;
        bool zero;
    } cases[] = {{236, "HEnergy1", false}, {225, "HEnergy1", true}, {225, "Volume1", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + " " + c.field);
        TempDir dir;
        const std::string cfg = dir.file("sim.json");
        const int depth = archiveDepth(c.type, kDailyArchive);
        writeSimConfig(cfg, c.type, 530, {{"daily", depth + 10}},
                       json::array({{{"kind", "daily"}, {"slot", 5}, {"fields", {{c.field, "NaN"}}}}}));
        makeObjects(dir.path(), c.type, 530);
        auto sim = startSim({"--config", cfg});
        Poller p(dir.path(), sim->port(), c.type, 530);
        ASSERT_TRUE(readArchive(p.ctx, kDailyArchive));
        auto rows = rowsOf(dir.path(), archiveTableName(530, kDailyArchive, c.type));
        ASSERT_EQ(rows.size(), size_t(depth - 1));
        const auto at5 =
            std::find_if(rows.begin(), rows.end(), [](const Row& r) { return num(r, "RecNum") == 5; });
        ASSERT_NE(at5, rows.end());
        if (c.zero)
            EXPECT_EQ(num(*at5, c.field), 0.0);
        else
            EXPECT_TRUE(isNull(*at5, c.field));
        const json device = recordsBySlot(dumpOf({"--config", cfg}), "daily").at(5);
        EXPECT_EQ(num(*at5, "Volume2"), number(device["Volume2"]));
        EXPECT_EQ(stamp(*at5, "WriteDay"), dumpTime(device));
        EXPECT_TRUE(p.events.lines.empty());
    }
}

TEST(ArchiveReader, NextPollReadsOnlyTheNewRecords) {
    Bench b(229, 1207, {"--filled", "daily=70", "--grow", "daily=3"});
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));
    ASSERT_EQ(rowsOf(b.dir.path(), "ARCHDB1207D229").size(), 61u);
    b.poll->link.frames.clear();
    b.events().status.clear();
    b.events().progressValues.clear();

    // the archive-end command of the first read let the device write records 70, 71 and 72 into slots 8..10
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));
    EXPECT_EQ(b.poll->link.recordRequests(), (std::vector<int>{10, 9, 8}));
    EXPECT_EQ(b.events().status,
              (std::vector<std::string>{"Чтение архива 25 % - 11", "Чтение архива 50 % - 10",
                                        "Чтение архива 75 % - 9"}));
    EXPECT_EQ(b.events().progressValues, (std::vector<int>{24, 49, 74}));

    auto rows = rowsOf(b.dir.path(), "ARCHDB1207D229");
    ASSERT_EQ(rows.size(), 64u);
    auto device = recordsBySlot(b.dump(1), "daily");
    for (size_t k = 1; k < rows.size(); ++k)
        EXPECT_EQ(stamp(rows[k], "WriteDay"), stamp(rows[k - 1], "WriteDay").addDays(1)) << k;
    for (size_t k = 61; k < 64; ++k)
        expectRecord(rows[k], device.at(int(k) - 61 + 8), archiveDataFields(229));
}

TEST(ArchiveReader, WhereTheStoredArchiveEndsDecidesWhatIsRead) {
    std::vector<int> roundTheRing = descending(7, 0);
    for (int slot : descending(61, 10))
        roundTheRing.push_back(slot);
    struct Case {
        int lastRecNum;
        bool result;
        std::vector<int> requests;
    } cases[] = {
        {8, false, {}},          // N = 0: nothing is read and the read fails
        {7, true, {}},           // N = 1: nothing new
        {5, true, {7, 6}},       // N = 3
        {9, true, roundTheRing}, // the pointer is behind the last record: N = 62 - 9 + 8
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lastRecNum);
        Bench b(229, 1207, {"--filled", "daily=70"}); // pointer 8
        {
            // the stored record is the one the device holds in that slot
            const dbf::DateTime at = dumpTime(recordsBySlot(b.dump(), "daily").at(c.lastRecNum));
            dbf::Table objects, arch;
            objects.open(b.dir.path(), kObjectsTableName);
            ASSERT_TRUE(openArchiveTable(arch, 229, 1207, kDailyArchive, b.dir.path(), &objects, {}));
            arch.append();
            arch.setInt("RecNum", c.lastRecNum);
            arch.setDateTime("WriteDay", at);
            arch.post();
        }
        EXPECT_EQ(readArchive(b.ctx(), kDailyArchive), c.result);
        EXPECT_EQ(b.poll->link.recordRequests(), c.requests);
        // the pointers, the begin and the end of the reading are sent whatever there is to read
        auto commands = b.poll->link.commands();
        ASSERT_GE(commands.size(), 3u);
        EXPECT_EQ(commands[0], 0x15);
        EXPECT_EQ(commands[1], 0x14);
        EXPECT_EQ(commands.back(), 0xFE);
        EXPECT_EQ(rowsOf(b.dir.path(), "ARCHDB1207D229").size(), 1 + c.requests.size());
    }
}

TEST(ArchiveReader, CommandsProgressAndStatusOfARead) {
    Bench b(236, 530, {"--filled", "daily=10"});
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));
    auto commands = b.poll->link.commands();
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[0], 0x15);     // pointers
    EXPECT_EQ(commands[1], 0x14);     // entry 6 before reading
    EXPECT_EQ(commands.back(), 0xFE); // entry 8 after reading
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x03), int(commands.size()) - 3);
    // N = 366 for the empty archive, the pointer 10 counts down
    const auto& status = b.events().status;
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[0], "Чтение архива 0 % - 10");
    EXPECT_EQ(status[1], "Чтение архива 0 % - 9");
    EXPECT_EQ(status[2], "Чтение архива 0 % - 8");
    EXPECT_EQ(b.events().progressValues[0], -1);
    EXPECT_TRUE(std::is_sorted(b.events().progressValues.begin(), b.events().progressValues.end()));

    // one-system devices have no begin and end commands
    Bench k(225, 311, {"--filled", "hourly=3"});
    ASSERT_TRUE(readArchive(k.ctx(), kHourlyArchive));
    commands = k.poll->link.commands();
    EXPECT_EQ(commands[0], 0x15);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x03), int(commands.size()) - 1);
    // hourly pointer word, depth 1023: after 2, 1, 0 comes 1022
    auto requests = k.poll->link.recordRequests();
    ASSERT_GE(requests.size(), 4u);
    EXPECT_EQ(std::vector<int>(requests.begin(), requests.begin() + 4), (std::vector<int>{2, 1, 0, 1022}));
    EXPECT_EQ(rowsOf(k.dir.path(), "ARCHDB311H225").size(), 4u);
}

TEST(ArchiveReader, MonthlyArchiveOf238AndTypesNotServed) {
    {
        Bench b(238, 530, {"--filled", "hourly=5"});
        EXPECT_TRUE(readArchive(b.ctx(), kMonthlyArchive));
        EXPECT_TRUE(b.poll->link.frames.empty());
        EXPECT_TRUE(b.events().lines.empty());
        EXPECT_FALSE(fs::exists(tempDirOf(b.dir.path())));
        // hourly: pointer word of 225, depth 1023
        ASSERT_TRUE(readArchive(b.ctx(), kHourlyArchive));
        auto requests = b.poll->link.recordRequests();
        ASSERT_GE(requests.size(), 6u);
        EXPECT_EQ(std::vector<int>(requests.begin(), requests.begin() + 6),
                  (std::vector<int>{4, 3, 2, 1, 0, 1022}));
    }
    struct Case {
        int type, serial, kind;
    } cases[] = {{128, 112, kDailyArchive}, {231, 2048, kHourlyArchive}, {236, 0, kDailyArchive},
                 {228, 530, kDailyArchive}, {225, 311, kMonthlyArchive}, {236, 530, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.type) + "/" + std::to_string(c.serial) + "/" + std::to_string(c.kind));
        Bench b(236, 530);
        b.ctx().deviceType = c.type;
        b.ctx().serial = c.serial;
        EXPECT_FALSE(readArchive(b.ctx(), c.kind));
        EXPECT_TRUE(b.poll->link.frames.empty());
        std::set<std::string> files;
        for (const auto& e : fs::directory_iterator(b.dir.path()))
            files.insert(e.path().filename().string());
        EXPECT_EQ(files, (std::set<std::string>{"MAINDB.MDX", "MAINDB.dbf"}));
    }
}

TEST(ArchiveReader, ArchiveTableThatCannotBeCreatedIsLoggedAndRaised) {
    Bench b(236, 530, {"--filled", "daily=5"});
    const std::string missing = b.dir.file("gone");
    b.ctx().dataDir = missing;
    EXPECT_THROW(readArchive(b.ctx(), kDailyArchive), dbf::Error);
    EXPECT_EQ(b.events().lines,
              (std::vector<std::string>{"ОШИБКА СОЗДАНИЯ " + missing + "/ARCHDB530D236.dbf"}));
    EXPECT_TRUE(b.poll->link.recordRequests().empty());
}

TEST(ArchiveReader, StopEndsTheReadWithoutTransfer) {
    Bench b(236, 530, {"--filled", "daily=40"});
    b.events().onSlot = [&](int slot) {
        if (slot == 6) b.poll->stop.request();
    };
    EXPECT_FALSE(readArchive(b.ctx(), kDailyArchive));
    EXPECT_EQ(b.poll->link.recordRequests(), descending(39, 35));
    EXPECT_TRUE(rowsOf(b.dir.path(), "ARCHDB530D236").empty());
}

// A slot without a reply fails the read; only the records older than it are stored, and the next read
// fetches it and what is newer, so that the archive has no hole.
TEST(ArchiveReader, UnreadableRecordFailsTheReadAndIsFetchedNextTime) {
    // the first two record requests (both tries of slot 33, the pointer being 34) go unanswered
    Bench b(236, 530, {"--filled", "daily=400", "--ignore-first", "2", "--fault-commands", "0x03"});
    EXPECT_FALSE(readArchive(b.ctx(), kDailyArchive));
    EXPECT_EQ(b.events().lines, (std::vector<std::string>{"Не удалось прочитать запись №33"}));
    expectOutcome(objectRow(b.dir.path()), "Нет связи", 0, true);
    auto rows = rowsOf(b.dir.path(), "ARCHDB530D236");
    ASSERT_EQ(rows.size(), 364u);
    EXPECT_EQ(num(rows.front(), "RecNum"), 35);
    EXPECT_EQ(num(rows.back(), "RecNum"), 32);

    b.events().lines.clear();
    b.poll->link.frames.clear();
    EXPECT_TRUE(readArchive(b.ctx(), kDailyArchive));
    EXPECT_EQ(b.poll->link.recordRequests(), (std::vector<int>{33}));
    rows = rowsOf(b.dir.path(), "ARCHDB530D236");
    ASSERT_EQ(rows.size(), 365u);
    auto device = recordsBySlot(b.dump(), "daily");
    for (size_t k = 0; k < rows.size(); ++k)
        expectRecord(rows[k], device.at((35 + int(k)) % 366), archiveDataFields(236));
    EXPECT_TRUE(b.events().lines.empty());
}

TEST(ArchiveReader, LostIndexFileKeepsTheArchive) {
    Bench b(229, 1207, {"--filled", "daily=70", "--grow", "daily=2"});
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));
    fs::remove(fs::path(b.dir.path()) / "ARCHDB1207D229.MDX");
    ASSERT_TRUE(readArchive(b.ctx(), kDailyArchive));
    EXPECT_EQ(rowsOf(b.dir.path(), "ARCHDB1207D229").size(), 63u);
    EXPECT_TRUE(fs::exists(fs::path(b.dir.path()) / "ARCHDB1207D229.MDX"));
}

// A read killed during its transfer leaves the oldest records in the main archive; the next read goes on
// from there, so that every record is stored once, in order.
TEST(ArchiveReader, KilledDuringTheTransferResumesWithoutGapOrDuplicate) {
    const int killAfter[] = {1, kArchiveTransferBlock, kArchiveTransferBlock + 1, 100, 1438};
    for (int copied : killAfter) {
        SCOPED_TRACE(copied);
        TempDir dir;
        makeObjects(dir.path(), 236, 530);
        const auto args = deviceArgs(236, 530, {"--filled", "hourly=1500"});
        auto sim = startSim(args);

        int pipeFd[2];
        ASSERT_EQ(::pipe(pipeFd), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFd[0]);
            char what = 'E';
            try {
                Poller p(dir.path(), sim->port(), 236, 530);
                p.events.onTransfer = [&](int n) {
                    if (n != copied) return;
                    char r = 'K';
                    if (::write(pipeFd[1], &r, 1) != 1) ::_exit(3);
                    for (;;)
                        ::pause(); // until the parent kills it
                };
                readArchive(p.ctx, kHourlyArchive);
                what = 'F'; // finished without reaching the row
            } catch (...) {
            }
            if (::write(pipeFd[1], &what, 1) != 1) ::_exit(3);
            ::_exit(1);
        }
        ::close(pipeFd[1]);
        pollfd pf{pipeFd[0], POLLIN, 0};
        char got = 0;
        const bool signalled = ::poll(&pf, 1, 120000) == 1 && ::read(pipeFd[0], &got, 1) == 1;
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(pipeFd[0]);
        ASSERT_TRUE(signalled);
        ASSERT_EQ(got, 'K');
        ASSERT_TRUE(WIFSIGNALED(status));

        const size_t left = rowsOf(dir.path(), "ARCHDB530H236").size();
        // the blocks written before the kill, oldest first; the rows of the block in hand are lost
        EXPECT_EQ(left, size_t(copied - copied % kArchiveTransferBlock));

        Poller p(dir.path(), sim->port(), 236, 530);
        ASSERT_TRUE(readArchive(p.ctx, kHourlyArchive));
        // only what the killed read had not stored is read again
        EXPECT_EQ(p.link.recordRequests().size(), 1439 - left);

        auto rows = rowsOf(dir.path(), "ARCHDB530H236");
        ASSERT_EQ(rows.size(), 1439u);
        auto device = recordsBySlot(dumpOf(args), "hourly");
        const int pointer = 1500 % 1440;
        for (size_t k = 0; k < rows.size(); ++k) {
            const int slot = (pointer + 1 + int(k)) % 1440;
            ASSERT_EQ(num(rows[k], "RecNum"), slot) << k;
            EXPECT_EQ(stamp(rows[k], "WriteDay"), dumpTime(device.at(slot))) << k;
            EXPECT_EQ(num(rows[k], "HEnergy1"), number(device.at(slot)["HEnergy1"])) << k;
        }
    }
}
