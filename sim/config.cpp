#include "sim/config.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace calcsim {

using nlohmann::json;

const char* const kUsage = R"(usage:
  calcsim --type T --serial S (--udp PORT | --tcp PORT | --pty PATH) [options]
  calcsim --config FILE [--log FILE]
  calcsim --dump (device options | --config FILE) [--after-reads K]

Serves simulated heat calculators until SIGTERM or SIGINT. Prints "READY udp HOST:PORT", "READY tcp HOST:PORT"
or "READY pty PATH -> DEVICE" for every endpoint once it is open (port 0 takes any free port). Logs one line per
request to standard error or to --log FILE.

device options:
  --host ADDR              listen address for --udp and --tcp (default 127.0.0.1)
  --seed N                 varies the generated device data
  --ident-type T           type byte of the identification answer (default: own type, 230 for 231)
  --clock "YYYY-MM-DD hh:mm[:ss]"   device clock at start (default 2024-01-15 12:00:00)
  --state NAME=VALUE       a current-state value (VALUE a number, nan, inf or -inf); repeatable
  --param NAME=VALUE       a configuration block value; repeatable
  --filled KIND=N          records written in the hourly, daily or monthly ring; repeatable
  --grow KIND=N            records added to the ring after every archive-end command; repeatable
  --record-value KIND:NAME=VALUE   a field value of every written record of the kind; repeatable
  --baud B                 pace every answer at B baud, 10 bits per byte
  --frame-timeout MS       drop an incomplete frame after MS of silence (default 1000)
faults (they apply to every request unless --fault-commands or --fault-slots narrow them):
  --silent                 never answer
  --ignore-first K         do not answer the first K requests
  --bad-checksum           spoil the checksum of every answer
  --wrong-length D         make every answer D bytes longer (negative: shorter)
  --burst POS[,POS...]:MS  split answers before the given byte positions with MS of silence
  --latency MS             wait MS before answering
  --drop-after N           send N bytes of the next answer, then close the TCP connection
  --fault-commands C,...   command codes (decimal or 0x..) the faults above apply to
  --fault-slots KIND:S[,S...]   the faults above apply only to record requests for these slots of the kind
modem in front (--pty only):
  --modem --csq N|error --dial RESULT[,RESULT...] --dial-delay MS --guard MS --echo
    RESULT: connect, busy, no_carrier, no_dialtone, error, silent (one per ATD, the last repeats)
configurator (--pty only):
  --configurator --jumper open|closed --modbus-address N --modbus
)";

std::string EndpointConfig::describe() const {
    switch (transport) {
    case Transport::Udp:
    case Transport::Tcp: {
        std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        return std::string(transport == Transport::Udp ? "udp " : "tcp ") + h + ":" + std::to_string(port);
    }
    case Transport::Pty:
        return "pty " + path;
    }
    return {};
}

bool Fault::appliesTo(int command, const std::optional<RecordSlot>& record) const {
    if (!commands.empty() && std::find(commands.begin(), commands.end(), command) == commands.end())
        return false;
    if (slots.empty()) return true;
    return record && archive && record->kind == *archive &&
           std::find(slots.begin(), slots.end(), record->slot) != slots.end();
}

namespace {

long toLong(const std::string& s, const std::string& what, long min, long max) {
    long v = 0;
    const char* b = s.data();
    const char* e = s.data() + s.size();
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        b += 2;
        base = 16;
    }
    auto [p, ec] = std::from_chars(b, e, v, base);
    if (ec != std::errc() || p != e || b == e) throw UsageError(what + ": not a number: \"" + s + "\"");
    if (v < min || v > max)
        throw UsageError(what + " must be " + std::to_string(min) + ".." + std::to_string(max) + ": " + s);
    return v;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string part; std::getline(in, part, sep);)
        out.push_back(part);
    return out;
}

std::pair<std::string, std::string> nameValue(const std::string& s, const std::string& what) {
    auto eq = s.find('=');
    if (eq == std::string::npos || eq == 0) throw UsageError(what + " expects NAME=VALUE: \"" + s + "\"");
    return {s.substr(0, eq), s.substr(eq + 1)};
}

double valueOf(const std::string& s, const std::string& what) {
    auto v = parseValue(s);
    if (!v) throw UsageError(what + ": not a number: \"" + s + "\"");
    return *v;
}

Kind kindOf(const std::string& s) {
    auto k = kindFromName(s);
    if (!k) throw UsageError("archive kind must be hourly, daily or monthly: \"" + s + "\"");
    return *k;
}

// The highest slot a record request can name: the hourly kind has 7 bits of the high byte, the others 6.
long maxSlot(Kind k) {
    return k == Hourly ? 0x7FFF : 0x3FFF;
}

void checkDial(const std::string& r) {
    static const std::set<std::string> known = {"connect",     "busy",  "no_carrier",
                                                "no_dialtone", "error", "silent"};
    if (!known.count(r)) throw UsageError("unknown dial result \"" + r + "\"");
}

// ---- JSON ----

void checkKeys(const json& j, const std::set<std::string>& keys, const std::string& where) {
    if (!j.is_object()) throw UsageError(where + " must be an object");
    for (auto it = j.begin(); it != j.end(); ++it)
        if (!keys.count(it.key())) throw UsageError("unknown key \"" + it.key() + "\" in " + where);
}

long jLong(const json& j, const std::string& what, long min, long max) {
    if (!j.is_number_integer()) throw UsageError(what + " must be an integer");
    long v = j.get<long>();
    if (v < min || v > max)
        throw UsageError(what + " must be " + std::to_string(min) + ".." + std::to_string(max));
    return v;
}

double jValue(const json& j, const std::string& what) {
    if (j.is_number()) return j.get<double>();
    if (j.is_string()) return valueOf(j.get<std::string>(), what);
    throw UsageError(what + " must be a number or \"NaN\", \"Infinity\", \"-Infinity\"");
}

std::string jString(const json& j, const std::string& what) {
    if (!j.is_string()) throw UsageError(what + " must be a string");
    return j.get<std::string>();
}

bool jBool(const json& j, const std::string& what) {
    if (!j.is_boolean()) throw UsageError(what + " must be true or false");
    return j.get<bool>();
}

std::vector<int> jInts(const json& j, const std::string& what, long min, long max) {
    std::vector<int> v;
    if (j.is_array())
        for (const auto& x : j)
            v.push_back(static_cast<int>(jLong(x, what, min, max)));
    else
        v.push_back(static_cast<int>(jLong(j, what, min, max)));
    return v;
}

std::map<std::string, double> jValues(const json& j, const std::string& what) {
    if (!j.is_object()) throw UsageError(what + " must be an object of NAME: VALUE");
    std::map<std::string, double> out;
    for (auto it = j.begin(); it != j.end(); ++it)
        out[it.key()] = jValue(it.value(), what + "." + it.key());
    return out;
}

Fault jFault(const json& j, const std::string& where) {
    checkKeys(
        j,
        {"kind", "count", "commands", "archive", "slots", "delta", "split_at", "gap_ms", "ms", "after_bytes"},
        where);
    if (!j.contains("kind")) throw UsageError(where + ": \"kind\" is missing");
    std::string kind = jString(j["kind"], where + ".kind");
    Fault f;
    if (kind == "ignore" || kind == "silent")
        f.kind = FaultKind::Ignore;
    else if (kind == "bad_checksum")
        f.kind = FaultKind::BadChecksum;
    else if (kind == "wrong_length")
        f.kind = FaultKind::WrongLength;
    else if (kind == "burst")
        f.kind = FaultKind::Burst;
    else if (kind == "latency")
        f.kind = FaultKind::Latency;
    else if (kind == "drop")
        f.kind = FaultKind::Drop;
    else
        throw UsageError(where + ": unknown fault kind \"" + kind + "\"");
    if (f.kind == FaultKind::Drop) f.count = 1;
    if (j.contains("count"))
        f.count = jLong(j["count"], where + ".count", 0, std::numeric_limits<int>::max());
    if (j.contains("commands")) f.commands = jInts(j["commands"], where + ".commands", 0, 255);
    if (j.contains("archive") != j.contains("slots"))
        throw UsageError(where + ": \"archive\" and \"slots\" go together");
    if (j.contains("archive")) {
        Kind k = kindOf(jString(j["archive"], where + ".archive"));
        f.archive = k;
        f.slots = jInts(j["slots"], where + ".slots", 0, maxSlot(k));
        if (f.slots.empty()) throw UsageError(where + ".slots is empty");
    }
    if (j.contains("delta")) f.delta = static_cast<int>(jLong(j["delta"], where + ".delta", -250, 250));
    if (j.contains("split_at")) f.splitAt = jInts(j["split_at"], where + ".split_at", 1, 255);
    if (j.contains("gap_ms")) f.gapMs = static_cast<int>(jLong(j["gap_ms"], where + ".gap_ms", 0, 600000));
    if (j.contains("ms")) f.ms = static_cast<int>(jLong(j["ms"], where + ".ms", 0, 600000));
    if (j.contains("after_bytes"))
        f.afterBytes = static_cast<int>(jLong(j["after_bytes"], where + ".after_bytes", 0, 255));
    if (f.kind == FaultKind::Burst && f.splitAt.empty())
        throw UsageError(where + ": a burst needs \"split_at\"");
    return f;
}

ModemConfig jModem(const json& j, const std::string& where) {
    ModemConfig m;
    if (j.is_boolean()) return m;
    checkKeys(j, {"csq", "dial", "dial_delay_ms", "guard_ms", "echo", "connect_text"}, where);
    if (j.contains("csq")) {
        const json& c = j["csq"];
        if (c.is_null() || (c.is_string() && c.get<std::string>() == "error"))
            m.csq.reset();
        else
            m.csq = static_cast<int>(jLong(c, where + ".csq", 0, 99));
    }
    if (j.contains("dial")) {
        m.dial.clear();
        if (j["dial"].is_array())
            for (const auto& r : j["dial"])
                m.dial.push_back(jString(r, where + ".dial"));
        else
            m.dial.push_back(jString(j["dial"], where + ".dial"));
        if (m.dial.empty()) throw UsageError(where + ".dial is empty");
        for (const auto& r : m.dial)
            checkDial(r);
    }
    if (j.contains("dial_delay_ms"))
        m.dialMs = static_cast<int>(jLong(j["dial_delay_ms"], where + ".dial_delay_ms", 0, 600000));
    if (j.contains("guard_ms"))
        m.guardMs = static_cast<int>(jLong(j["guard_ms"], where + ".guard_ms", 0, 10000));
    if (j.contains("echo")) m.echo = jBool(j["echo"], where + ".echo");
    if (j.contains("connect_text")) m.connectText = jString(j["connect_text"], where + ".connect_text");
    return m;
}

ConfiguratorConfig jConfigurator(const json& j, const std::string& where) {
    ConfiguratorConfig c;
    if (j.is_boolean()) return c;
    checkKeys(j, {"jumper", "address", "protocol", "crc_exception", "switch_serial"}, where);
    if (j.contains("jumper")) {
        std::string s = jString(j["jumper"], where + ".jumper");
        if (s != "open" && s != "closed") throw UsageError(where + ".jumper must be \"open\" or \"closed\"");
        c.jumperClosed = s == "closed";
    }
    if (j.contains("address")) c.address = static_cast<int>(jLong(j["address"], where + ".address", 1, 247));
    if (j.contains("protocol")) {
        std::string s = jString(j["protocol"], where + ".protocol");
        if (s != "rz" && s != "modbus") throw UsageError(where + ".protocol must be \"rz\" or \"modbus\"");
        c.startInModbus = s == "modbus";
    }
    if (j.contains("crc_exception")) c.crcException = jBool(j["crc_exception"], where + ".crc_exception");
    if (j.contains("switch_serial")) {
        std::string s = jString(j["switch_serial"], where + ".switch_serial");
        if (s != "high_first" && s != "low_first")
            throw UsageError(where + ".switch_serial must be \"high_first\" or \"low_first\"");
        c.serialHighFirst = s == "high_first";
    }
    return c;
}

EndpointConfig jEndpoint(const json& j, const std::string& where) {
    checkKeys(j, {"udp",    "tcp",     "pty",           "host",   "baud",  "frame_timeout_ms", "type",
                  "serial", "seed",    "ident_type",    "clock",  "state", "params",           "filled",
                  "grow",   "records", "record_values", "faults", "modem", "configurator"},
              where);
    EndpointConfig e;
    int transports = 0;
    if (j.contains("udp")) {
        e.transport = Transport::Udp;
        e.port = static_cast<int>(jLong(j["udp"], where + ".udp", 0, 65535));
        ++transports;
    }
    if (j.contains("tcp")) {
        e.transport = Transport::Tcp;
        e.port = static_cast<int>(jLong(j["tcp"], where + ".tcp", 0, 65535));
        ++transports;
    }
    if (j.contains("pty")) {
        e.transport = Transport::Pty;
        e.path = jString(j["pty"], where + ".pty");
        if (e.path.empty()) throw UsageError(where + ".pty is empty");
        ++transports;
    }
    if (transports != 1) throw UsageError(where + " needs exactly one of \"udp\", \"tcp\", \"pty\"");
    if (j.contains("host")) e.host = jString(j["host"], where + ".host");
    if (j.contains("baud")) e.baud = static_cast<int>(jLong(j["baud"], where + ".baud", 0, 4000000));
    if (j.contains("frame_timeout_ms"))
        e.frameTimeoutMs =
            static_cast<int>(jLong(j["frame_timeout_ms"], where + ".frame_timeout_ms", 1, 600000));
    DeviceConfig& d = e.device;
    if (!j.contains("type") || !j.contains("serial"))
        throw UsageError(where + " needs \"type\" and \"serial\"");
    d.type = static_cast<int>(jLong(j["type"], where + ".type", 1, 255));
    d.serial = static_cast<int>(jLong(j["serial"], where + ".serial", 1, 65535));
    if (j.contains("seed"))
        d.seed = static_cast<std::uint64_t>(
            jLong(j["seed"], where + ".seed", 0, std::numeric_limits<long>::max()));
    if (j.contains("ident_type"))
        d.identType = static_cast<int>(jLong(j["ident_type"], where + ".ident_type", 0, 255));
    if (j.contains("clock")) {
        auto t = parseDateTime(jString(j["clock"], where + ".clock"));
        if (!t) throw UsageError(where + ".clock must be \"YYYY-MM-DD hh:mm[:ss]\"");
        d.clock = *t;
    }
    if (j.contains("state")) d.state = jValues(j["state"], where + ".state");
    if (j.contains("params")) d.params = jValues(j["params"], where + ".params");
    for (const char* key : {"filled", "grow"}) {
        if (!j.contains(key)) continue;
        const json& o = j[key];
        checkKeys(o, {"hourly", "daily", "monthly"}, where + "." + key);
        for (auto it = o.begin(); it != o.end(); ++it)
            (key[0] == 'f' ? d.filled : d.grow)[kindOf(it.key())] =
                jLong(it.value(), where + "." + key + "." + it.key(), 0, 10000000);
    }
    if (j.contains("records")) {
        if (!j["records"].is_array()) throw UsageError(where + ".records must be an array");
        for (const auto& r : j["records"]) {
            std::string w = where + ".records";
            checkKeys(r, {"kind", "slot", "fields"}, w);
            if (!r.contains("kind") || !r.contains("slot") || !r.contains("fields"))
                throw UsageError(w + " entries need \"kind\", \"slot\" and \"fields\"");
            RecordOverride o;
            o.kind = kindOf(jString(r["kind"], w + ".kind"));
            o.slot = static_cast<int>(jLong(r["slot"], w + ".slot", 0, 65535));
            o.fields = jValues(r["fields"], w + ".fields");
            d.records.push_back(std::move(o));
        }
    }
    if (j.contains("record_values")) {
        const json& o = j["record_values"];
        checkKeys(o, {"hourly", "daily", "monthly"}, where + ".record_values");
        for (auto it = o.begin(); it != o.end(); ++it)
            d.recordValues[kindOf(it.key())] = jValues(it.value(), where + ".record_values." + it.key());
    }
    if (j.contains("faults")) {
        if (!j["faults"].is_array()) throw UsageError(where + ".faults must be an array");
        for (const auto& f : j["faults"])
            e.faults.push_back(jFault(f, where + ".faults"));
    }
    bool pty = e.transport == Transport::Pty;
    if (j.contains("modem") && !(j["modem"].is_boolean() && !j["modem"].get<bool>())) {
        if (!pty) throw UsageError(where + ": a modem needs a \"pty\" endpoint");
        e.modem = jModem(j["modem"], where + ".modem");
    }
    if (j.contains("configurator") && !(j["configurator"].is_boolean() && !j["configurator"].get<bool>())) {
        if (!pty) throw UsageError(where + ": the configurator needs a \"pty\" endpoint");
        e.configurator = jConfigurator(j["configurator"], where + ".configurator");
    }
    return e;
}

// A device the model cannot be built for (unknown type, unknown field names, ...) is a configuration error.
void checkDevices(const Options& o) {
    for (std::size_t i = 0; i < o.endpoints.size(); ++i) {
        try {
            Device d(o.endpoints[i].device);
        } catch (const std::invalid_argument& e) {
            throw UsageError((o.endpoints.size() > 1 ? "endpoint " + std::to_string(i + 1) + ": " : "") +
                             e.what());
        }
    }
}

} // namespace

std::optional<double> parseValue(const std::string& text) {
    std::string s;
    for (char c : text)
        s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf" || s == "infinity" || s == "+inf" || s == "+infinity")
        return std::numeric_limits<double>::infinity();
    if (s == "-inf" || s == "-infinity") return -std::numeric_limits<double>::infinity();
    double v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || text.empty() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

void parseConfigJson(const std::string& text, Options& options) {
    json j;
    try {
        j = json::parse(text);
    } catch (const json::parse_error& e) {
        throw UsageError(std::string("configuration is not valid JSON: ") + e.what());
    }
    checkKeys(j, {"log", "endpoints"}, "the configuration");
    if (j.contains("log") && options.logFile.empty()) options.logFile = jString(j["log"], "log");
    if (!j.contains("endpoints") || !j["endpoints"].is_array() || j["endpoints"].empty())
        throw UsageError("the configuration needs a non-empty \"endpoints\" array");
    int n = 0;
    for (const auto& e : j["endpoints"])
        options.endpoints.push_back(jEndpoint(e, "endpoint " + std::to_string(++n)));
    checkDevices(options);
}

Options parseCommandLine(const std::vector<std::string>& args) {
    Options o;
    EndpointConfig e;
    DeviceConfig& d = e.device;
    std::string configFile;
    bool haveType = false, haveSerial = false, deviceOption = false;
    int transports = 0;
    ModemConfig modem;
    ConfiguratorConfig conf;
    bool wantModem = false, wantConf = false, modemOption = false, confOption = false;
    std::vector<int> faultCommands;
    std::optional<Kind> faultArchive;
    std::vector<int> faultSlots;
    std::vector<Fault> faults;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto next = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
            return args[++i];
        };
        auto fault = [&](FaultKind k) -> Fault& {
            faults.push_back(Fault{});
            faults.back().kind = k;
            deviceOption = true;
            return faults.back();
        };
        if (a == "--help" || a == "-h") {
            throw UsageError("");
        } else if (a == "--dump") {
            o.dump = true;
        } else if (a == "--after-reads") {
            o.afterReads = toLong(next(), a, 0, 1000000);
        } else if (a == "--log") {
            o.logFile = next();
        } else if (a == "--config") {
            configFile = next();
        } else if (a == "--type") {
            d.type = static_cast<int>(toLong(next(), a, 1, 255));
            haveType = true;
        } else if (a == "--serial") {
            d.serial = static_cast<int>(toLong(next(), a, 1, 65535));
            haveSerial = true;
        } else if (a == "--udp" || a == "--tcp") {
            e.transport = a == "--udp" ? Transport::Udp : Transport::Tcp;
            e.port = static_cast<int>(toLong(next(), a, 0, 65535));
            ++transports;
        } else if (a == "--pty") {
            e.transport = Transport::Pty;
            e.path = next();
            ++transports;
        } else {
            deviceOption = true;
            if (a == "--host") {
                e.host = next();
            } else if (a == "--seed") {
                d.seed = static_cast<std::uint64_t>(toLong(next(), a, 0, std::numeric_limits<long>::max()));
            } else if (a == "--ident-type") {
                d.identType = static_cast<int>(toLong(next(), a, 0, 255));
            } else if (a == "--clock") {
                auto t = parseDateTime(next());
                if (!t) throw UsageError("--clock expects \"YYYY-MM-DD hh:mm[:ss]\"");
                d.clock = *t;
            } else if (a == "--state" || a == "--param") {
                auto [name, value] = nameValue(next(), a);
                (a == "--state" ? d.state : d.params)[name] = valueOf(value, a + " " + name);
            } else if (a == "--filled" || a == "--grow") {
                auto [kind, value] = nameValue(next(), a);
                (a == "--filled" ? d.filled : d.grow)[kindOf(kind)] = toLong(value, a, 0, 10000000);
            } else if (a == "--record-value") {
                std::string v = next();
                auto colon = v.find(':');
                if (colon == std::string::npos) throw UsageError("--record-value expects KIND:NAME=VALUE");
                Kind k = kindOf(v.substr(0, colon));
                auto [name, value] = nameValue(v.substr(colon + 1), a);
                d.recordValues[k][name] = valueOf(value, a + " " + name);
            } else if (a == "--baud") {
                e.baud = static_cast<int>(toLong(next(), a, 0, 4000000));
            } else if (a == "--frame-timeout") {
                e.frameTimeoutMs = static_cast<int>(toLong(next(), a, 1, 600000));
            } else if (a == "--silent") {
                fault(FaultKind::Ignore);
            } else if (a == "--ignore-first") {
                long k = toLong(next(), a, 0, std::numeric_limits<int>::max());
                fault(FaultKind::Ignore).count = k;
            } else if (a == "--bad-checksum") {
                fault(FaultKind::BadChecksum);
            } else if (a == "--wrong-length") {
                int delta = static_cast<int>(toLong(next(), a, -250, 250));
                fault(FaultKind::WrongLength).delta = delta;
            } else if (a == "--burst") {
                std::string v = next();
                auto colon = v.rfind(':');
                if (colon == std::string::npos) throw UsageError("--burst expects POS[,POS...]:MS");
                std::vector<int> at;
                for (const auto& p : split(v.substr(0, colon), ','))
                    at.push_back(static_cast<int>(toLong(p, a, 1, 255)));
                int gap = static_cast<int>(toLong(v.substr(colon + 1), a, 0, 600000));
                Fault& f = fault(FaultKind::Burst);
                f.splitAt = at;
                f.gapMs = gap;
            } else if (a == "--latency") {
                int ms = static_cast<int>(toLong(next(), a, 0, 600000));
                fault(FaultKind::Latency).ms = ms;
            } else if (a == "--drop-after") {
                int n = static_cast<int>(toLong(next(), a, 0, 255));
                Fault& f = fault(FaultKind::Drop);
                f.afterBytes = n;
                f.count = 1;
            } else if (a == "--fault-commands") {
                for (const auto& c : split(next(), ','))
                    faultCommands.push_back(static_cast<int>(toLong(c, a, 0, 255)));
            } else if (a == "--fault-slots") {
                std::string v = next();
                auto colon = v.find(':');
                if (colon == std::string::npos || colon + 1 == v.size())
                    throw UsageError("--fault-slots expects KIND:S[,S...]");
                Kind k = kindOf(v.substr(0, colon));
                if (faultArchive && *faultArchive != k)
                    throw UsageError("--fault-slots: the faults of one command line take one archive kind");
                faultArchive = k;
                for (const auto& p : split(v.substr(colon + 1), ','))
                    faultSlots.push_back(static_cast<int>(toLong(p, a, 0, maxSlot(k))));
            } else if (a == "--modem") {
                wantModem = true;
            } else if (a == "--csq") {
                std::string v = next();
                if (v == "error")
                    modem.csq.reset();
                else
                    modem.csq = static_cast<int>(toLong(v, a, 0, 99));
                modemOption = true;
            } else if (a == "--dial") {
                modem.dial = split(next(), ',');
                if (modem.dial.empty()) throw UsageError("--dial needs a result");
                for (const auto& r : modem.dial)
                    checkDial(r);
                modemOption = true;
            } else if (a == "--dial-delay") {
                modem.dialMs = static_cast<int>(toLong(next(), a, 0, 600000));
                modemOption = true;
            } else if (a == "--guard") {
                modem.guardMs = static_cast<int>(toLong(next(), a, 0, 10000));
                modemOption = true;
            } else if (a == "--echo") {
                modem.echo = true;
                modemOption = true;
            } else if (a == "--configurator") {
                wantConf = true;
            } else if (a == "--jumper") {
                std::string v = next();
                if (v != "open" && v != "closed") throw UsageError("--jumper expects open or closed");
                conf.jumperClosed = v == "closed";
                confOption = true;
            } else if (a == "--modbus-address") {
                conf.address = static_cast<int>(toLong(next(), a, 1, 247));
                confOption = true;
            } else if (a == "--modbus") {
                conf.startInModbus = true;
                confOption = true;
            } else {
                throw UsageError("unknown option " + a);
            }
        }
    }

    if (!configFile.empty()) {
        if (haveType || haveSerial || transports || deviceOption || wantModem || wantConf)
            throw UsageError("--config cannot be combined with device options");
        std::ifstream in(configFile);
        if (!in) throw UsageError("cannot read " + configFile);
        std::stringstream text;
        text << in.rdbuf();
        parseConfigJson(text.str(), o);
        return o;
    }
    if (!haveType || !haveSerial) throw UsageError("--type and --serial are required");
    if (transports > 1) throw UsageError("give only one of --udp, --tcp, --pty");
    if (transports == 0 && !o.dump) throw UsageError("one of --udp, --tcp, --pty is required");
    if (modemOption && !wantModem) throw UsageError("modem options need --modem");
    if (confOption && !wantConf) throw UsageError("configurator options need --configurator");
    if ((wantModem || wantConf) && transports && e.transport != Transport::Pty)
        throw UsageError("--modem and --configurator need --pty");
    if (wantModem) e.modem = modem;
    if (wantConf) e.configurator = conf;
    for (auto& f : faults) {
        f.commands = faultCommands;
        f.archive = faultArchive;
        f.slots = faultSlots;
    }
    e.faults = faults;
    o.endpoints.push_back(e);
    checkDevices(o);
    return o;
}

} // namespace calcsim
