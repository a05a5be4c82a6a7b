// libFuzzer target of the device replies: the first byte chooses the device type and the reader (current
// state, parameters, hourly, daily or monthly archive) and, with its high bit, two attempts per command; the
// rest is the device's answers in turn, each a length byte and that many bytes (an answer that is missing is
// a silence). The reader checks each answer and stores what it accepts; the stored values are then decoded a
// second time from the answers with the calculator simulator's byte layouts, which must agree: the state and
// parameter row field by field, every archive row with one of the records the device sent. The tables read
// back whole.
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/readers.h"
#include "devdata/tables.h"
#include "poll/protocol.h"
#include "sim/layouts.h"
#include "tests/fuzz/fuzz_support.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const int kTypes[] = {128, 225, 229, 230, 231, 234, 235, 236, 237, 238};
constexpr int kReaders = 5; // state, parameters, hourly, daily, monthly

// The device's side: each request takes the next answer of the input.
class ScriptedLink : public polling::Transport {
public:
    std::deque<Bytes> answers;
    std::vector<std::pair<int, Bytes>> delivered; // command code of the request, answer
    Bytes pending;
    polling::NetType netType() const override { return polling::NetType::Tcp; }
    int fd() const override { return -1; }
    void send(const uint8_t* data, size_t n) override {
        if (n < 5) return;
        pending.clear();
        if (answers.empty()) return;
        pending = std::move(answers.front());
        answers.pop_front();
        delivered.emplace_back(data[4], pending);
    }
    size_t receive(uint8_t* buf, size_t max) override {
        const size_t n = std::min(max, pending.size());
        std::copy_n(pending.begin(), n, buf);
        pending.erase(pending.begin(), pending.begin() + long(n));
        return n;
    }
};

// Time passes only in waits: a wait with nothing to read takes its whole time-out.
class StepClock : public polling::Clock {
public:
    explicit StepClock(ScriptedLink& link) : link_(link) {}
    polling::TimePoint now() override { return t_; }
    bool sleepFor(polling::Duration d, const polling::StopSignal* stop) override {
        t_ += d;
        return !(stop && stop->requested());
    }
    int pollFds(pollfd* fds, nfds_t n, polling::Duration timeout) override {
        for (nfds_t i = 0; i < n; ++i)
            fds[i].revents = 0;
        if (!link_.pending.empty()) {
            fds[0].revents = POLLIN;
            return 1;
        }
        t_ += timeout;
        return 0;
    }

private:
    ScriptedLink& link_;
    polling::TimePoint t_{};
};

// ---- the second decoding

std::optional<double> stored(const dbf::Table& t, const std::string& field) {
    const dbf::Value v = t.value(field);
    if (const auto* d = std::get_if<double>(&v)) return *d;
    if (const auto* i = std::get_if<int64_t>(&v)) return double(*i);
    if (const auto* s = std::get_if<std::string>(&v)) {
        if (s->empty()) return std::nullopt;
        char* end = nullptr;
        const double d = std::strtod(s->c_str(), &end);
        if (end == s->c_str()) fuzz::fail("field " + field + " holds no number: " + *s);
        return d;
    }
    return std::nullopt;
}

double raw(const calcsim::Field& f, std::span<const uint8_t> p) {
    auto le = [&](int n) {
        uint32_t v = 0;
        for (int i = n - 1; i >= 0; --i)
            v = v << 8 | p[size_t(f.offset + i)];
        return v;
    };
    switch (f.enc) {
    case calcsim::Enc::F32: {
        const uint32_t bits = le(4);
        float x;
        std::memcpy(&x, &bits, 4);
        return x;
    }
    case calcsim::Enc::U8:
        return le(1);
    case calcsim::Enc::U16:
        return le(2);
    case calcsim::Enc::U16C:
        return le(2) / 100.0;
    case calcsim::Enc::U32:
        return le(4);
    }
    return 0;
}

// How a reader stores a value the device could not measure.
enum class NotANumber { Empty, Zero, EmptyOrZero };

// The stored value against the device's: the same number to `decimals` places, or empty for a value that is
// no number (or zero where the layout says so).
bool agrees(std::optional<double> have, double want, int decimals, NotANumber nan) {
    if (std::isnan(want)) {
        const bool zero = have && *have == 0;
        return nan == NotANumber::Empty ? !have : nan == NotANumber::Zero ? zero : !have || zero;
    }
    if (std::isinf(want)) return !have;
    if (!have) return false;
    const double step = std::pow(10.0, -decimals);
    return std::fabs(*have - want) <= step / 2 + std::fabs(want) * 1e-9;
}

// Every field of the layout the table has, decoded from the payload, against the stored row.
void compareRow(const dbf::Table& t, const calcsim::Layout& l, std::span<const uint8_t> payload, int decimals,
                NotANumber nan, const std::string& what) {
    for (const calcsim::Field& f : l.fields) {
        if (t.fieldIndex(f.name) < 0) continue;
        const double want = raw(f, payload);
        const auto have = stored(t, f.name);
        const NotANumber n = f.name == "HEnergy1" && l.name == "state B" ? NotANumber::Zero : nan;
        if (!agrees(have, want, f.enc == calcsim::Enc::F32 ? decimals : 0, n))
            fuzz::fail(what + " field " + f.name + ": stored " + (have ? std::to_string(*have) : "empty") +
                       ", the device sent " + std::to_string(want));
    }
}

std::span<const uint8_t> payloadOf(const Bytes& answer, size_t payloadSize) {
    fuzz::check(answer.size() >= 6 + payloadSize, "an answer too short for its payload was accepted");
    return std::span<const uint8_t>(answer).subspan(5, payloadSize);
}

// The last answer to the command that the reader accepted: the one its checksum and echo make right.
const Bytes* acceptedAnswer(const ScriptedLink& link, int code, size_t length, int type, int serial) {
    const Bytes* found = nullptr;
    const int wire = type == 231 ? 230 : type;
    for (const auto& [c, a] : link.delivered) {
        if (c != code || a.size() < length || a[0] != length) continue;
        unsigned sum = 0;
        for (size_t i = 0; i < length; ++i)
            sum += a[i];
        const bool echo =
            a[1] == wire && a[2] == (serial & 0xFF) && a[3] == ((serial >> 8) & 0xFF) && a[4] == code;
        if (sum % 256 == 0 && (echo || a[4] == 0)) found = &a;
    }
    return found;
}

void checkState(const std::string& dataDir, dbf::Table& objects, const ScriptedLink& link, int type,
                int serial, const polling::Protocol& proto) {
    dbf::Table t;
    devdata::openDetail(t, dataDir, devdata::stateTableName(type), &objects);
    fuzz::check(t.recordCount() == 1, "the state table does not hold the object's one row");
    t.first();
    const int row = devdata::commandRow(type);
    const polling::CommandEntry& e = polling::kCommandTable[size_t(row)][polling::kState];
    const Bytes* a = acceptedAnswer(link, e.code, e.responseLength, type, serial);
    fuzz::check(a, "a state was stored though no answer was right");
    const calcsim::Layout& l = calcsim::stateLayout(row);
    const auto p = payloadOf(*a, size_t(l.size));
    if (type == 128) {
        // the counters scaled by their exponents
        for (int c = 1; c <= 4; ++c) {
            const double counter = raw(l.fields[size_t(l.find("Counter" + std::to_string(c)))], p);
            const double exp = raw(l.fields[size_t(l.find("Exp" + std::to_string(c)))], p);
            const double want = counter / std::pow(10.0, exp);
            if (!agrees(stored(t, "V" + std::to_string(c) + "1"), want, 3, NotANumber::Empty))
                fuzz::fail("counter " + std::to_string(c) + " of the duplicator");
        }
        fuzz::check(agrees(stored(t, "MOD"), raw(l.fields[size_t(l.find("Mod"))], p), 0, NotANumber::Empty),
                    "MOD of the duplicator");
        return;
    }
    if (type == 231) {
        for (const char* f : {"Flow", "TimeWork"})
            fuzz::check(agrees(stored(t, f), raw(l.fields[size_t(l.find(f))], p), 2, NotANumber::Empty),
                        std::string("flow meter field ") + f);
        return;
    }
    const bool masses = type >= 234 && type <= 237;
    compareRow(t, l, p, 2, masses ? NotANumber::Zero : NotANumber::Empty, "state");
    (void)proto;
}

void checkParameters(const std::string& dataDir, dbf::Table& objects, const ScriptedLink& link, int type,
                     int serial) {
    dbf::Table t;
    devdata::openDetail(t, dataDir, devdata::kParamsTableName, &objects);
    fuzz::check(t.recordCount() == 1, "the parameters table does not hold the object's one row");
    t.first();
    const int row = devdata::commandRow(type);
    const polling::CommandEntry& e = polling::kCommandTable[size_t(row)][polling::kParams];
    const Bytes* a = acceptedAnswer(link, e.code, e.responseLength, type, serial);
    fuzz::check(a, "parameters were stored though no answer was right");
    const calcsim::Layout* l = calcsim::paramLayout(row);
    if (!l || l->fields.empty()) return;
    compareRow(t, *l, payloadOf(*a, size_t(l->size)), 2, NotANumber::Empty, "parameters");
}

void checkArchive(const std::string& dataDir, dbf::Table& objects, const ScriptedLink& link, int type,
                  int serial, int kind) {
    const std::string name = devdata::archiveTableName(serial, kind, type);
    if (!dbf::tableExists(dataDir, name)) return;
    dbf::Table t;
    devdata::openDetail(t, dataDir, name, &objects);
    const int row = devdata::commandRow(type);
    const calcsim::Layout* l = calcsim::recordLayout(row);
    const polling::CommandEntry& e = polling::kCommandTable[size_t(row)][polling::kArchiveRecord];
    std::vector<std::span<const uint8_t>> records;
    const int wire = type == 231 ? 230 : type;
    // the header check of the frames: bytes 1..4 repeat the request's, or byte 4 is 0 with any bytes 1..3
    for (const auto& [c, a] : link.delivered) {
        if (c != e.code || a.size() < e.responseLength || a[0] != e.responseLength) continue;
        const bool echo =
            a[1] == wire && a[2] == (serial & 0xFF) && a[3] == ((serial >> 8) & 0xFF) && a[4] == e.code;
        if (echo || a[4] == 0) records.push_back(std::span<const uint8_t>(a).subspan(5, size_t(l->size)));
    }
    int rows = 0;
    for (t.first(); !t.eof(); t.next()) {
        fuzz::check(++rows <= int(link.delivered.size()), "more archive rows than answers");
        if (t.asInt("CheckField") != 0) continue;
        bool matched = false;
        for (const auto& rec : records) {
            bool all = true;
            for (const calcsim::Field& f : l->fields) {
                const std::string col = f.name == "hour" ? "WriteHour" : f.name;
                if (f.name == "day" || t.fieldIndex(col) < 0) continue;
                if (!agrees(stored(t, col), raw(f, rec), 9, NotANumber::EmptyOrZero)) {
                    all = false;
                    break;
                }
            }
            if (all) {
                matched = true;
                break;
            }
        }
        fuzz::check(matched,
                    "archive row " + std::to_string(rows) + " is none of the records the device sent");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const uint8_t first = in.byte();
    const int choice = (first & 0x7F) % (std::size(kTypes) * kReaders);
    // the setting "Repeat": one attempt per command, or two with the high bit
    const int repeat = first & 0x80 ? 2 : 1;
    const int type = kTypes[choice / kReaders];
    const int reader = choice % kReaders;
    ScriptedLink link;
    while (!in.empty() && link.answers.size() < 64) {
        const std::string_view a = in.take(in.byte());
        link.answers.emplace_back(a.begin(), a.end());
    }
    const int serial = 530;

    const std::string dataDir = fuzz::freshDir("data");
    const std::string tempDir = devdata::tempDirOf(dataDir);
    dbf::Table objects;
    devdata::createObjectsTable(objects, dataDir);
    objects.append();
    objects.setInt("DEVTYPE", type);
    objects.setInt("SERIALNUM", serial);
    objects.setInt("NETTYPE", 3);
    objects.post();
    objects.first();

    StepClock clock(link);
    polling::StopSignal stop;
    polling::Protocol proto(clock, stop);
    proto.setTransport(&link);
    proto.setRow(devdata::commandRow(type));
    devdata::ReaderObserver observer;
    const auto now = [] { return dbf::DateTime::fromParts(2024, 3, 5, 14, 7, 9); };
    devdata::ReaderContext ctx{proto, objects, dataDir, tempDir, type, serial, repeat, stop, observer, now};
    bool ok = false;
    try {
        if (reader == 0)
            ok = devdata::readCurrentState(ctx);
        else if (reader == 1)
            ok = devdata::readParameters(ctx);
        else
            ok = devdata::readArchive(ctx, reader - 2);
    } catch (const dbf::Error& e) {
        fuzz::fail(std::string("a reader raised a table error on a good table: ") + e.what());
    }
    if (reader == 0 && ok) checkState(dataDir, objects, link, type, serial, proto);
    if (reader == 1 && ok) checkParameters(dataDir, objects, link, type, serial);
    if (reader >= 2) checkArchive(dataDir, objects, link, type, serial, reader - 2);
    // the object's row still reads
    objects.refresh();
    fuzz::check(objects.recordCount() == 1, "the objects table lost its row");
    return 0;
}
