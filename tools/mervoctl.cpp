// mervoctl: command-line access to a data directory without the main program.
//
//   mervoctl init DIR                      create DIR and an empty MAINDB in it
//   mervoctl add DIR FIELD=VALUE ...       append an object as the object master accepts one; prints its NUM
//   mervoctl list DIR                      show the objects as a table
//   mervoctl dump FILE                     print a table as CSV
//   mervoctl create DIR state TYPE         create an empty table
//   mervoctl create DIR params
//   mervoctl create DIR archive SERIAL KIND TYPE
//   mervoctl poll DIR [--object NUM]        one poll run over the objects of DIR
//
// Exit codes: 0 done (a poll also when objects had errors: the log and MAINDB say which), 1 failure,
// 2 wrong arguments, 3 the data folder is being polled already (by the main program or another mervoctl),
// 130 / 143 a poll stopped by SIGINT / SIGTERM.

#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: mervoctl init DIR\n"
    "       mervoctl add DIR FIELD=VALUE ...\n"
    "       mervoctl list DIR\n"
    "       mervoctl dump FILE\n"
    "       mervoctl create DIR state TYPE\n"
    "       mervoctl create DIR params\n"
    "       mervoctl create DIR archive SERIAL KIND TYPE   (KIND: H, D or M)\n"
    "       mervoctl poll DIR [--object NUM]\n"
    "\n"
    "exit status: 0 done (a poll also when objects had errors: see the log and MAINDB)\n"
    "             1 failure (the reason on standard error)\n"
    "             2 wrong arguments\n"
    "             3 the data folder is being polled already (Mervo or another mervoctl poll)\n"
    "             130, 143 the poll was stopped by SIGINT, SIGTERM\n";

// Exit status of a poll refused because another run holds the data folder.
constexpr int kExitBusy = 3;

// Wrong arguments: reported with the usage text, exit code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Number of characters of a UTF-8 text.
size_t textWidth(const std::string& s) {
    return static_cast<size_t>(std::count_if(
        s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::optional<long long> parseInteger(const std::string& text) {
    long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return v;
}

long long integerArg(const std::string& text, const std::string& what) {
    auto v = parseInteger(text);
    if (!v) throw UsageError(what + " must be a whole number, not \"" + text + "\"");
    return *v;
}

std::optional<bool> parseBool(const std::string& text) {
    std::string t = lower(text);
    if (t == "1" || t == "t" || t == "true" || t == "y" || t == "yes" || t == "да") return true;
    if (t == "0" || t == "f" || t == "false" || t == "n" || t == "no" || t == "нет") return false;
    return std::nullopt;
}

bool objectsTableExists(const std::string& dir) {
    return dbf::tableExists(dir, devdata::kObjectsTableName);
}

void requireObjectsTable(const std::string& dir) {
    if (!objectsTableExists(dir))
        throw std::runtime_error("no MAINDB in " + dir + " (create it with: mervoctl init " + dir + ")");
}

void openObjects(dbf::Table& t, const std::string& dir,
                 dbf::Table::OpenMode mode = dbf::Table::OpenMode::ReadWrite) {
    requireObjectsTable(dir);
    t.open(dir, devdata::kObjectsTableName, mode);
}

// ---- init

int cmdInit(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("init takes one folder");
    const std::string& dir = args[0];
    fs::create_directories(dir);
    std::string path = devdata::tableFilePath(dir, devdata::kObjectsTableName);
    if (objectsTableExists(dir)) {
        std::cout << "MAINDB already exists, left as it is: " << path << "\n";
        return 0;
    }
    dbf::Table t;
    devdata::createObjectsTable(t, dir);
    t.close();
    std::cout << "created " << path << "\n";
    return 0;
}

// ---- add

int cmdAdd(const std::vector<std::string>& args) {
    if (args.size() < 2) throw UsageError("add takes a folder and FIELD=VALUE pairs");
    const std::string& dir = args[0];
    const auto& fields = devdata::objectsTableLayout().fields;
    const std::vector<std::string> setOnAcceptance = {"NUM",      "STATE",    "ERRCODE",
                                                      "CON_DATE", "CON_TIME", "ERR"};

    // field name (upper case) -> value as given
    std::map<std::string, std::string> given;
    for (size_t i = 1; i < args.size(); ++i) {
        auto eq = args[i].find('=');
        if (eq == std::string::npos || eq == 0)
            throw UsageError("expected FIELD=VALUE, got \"" + args[i] + "\"");
        std::string name = upper(args[i].substr(0, eq));
        std::string value = args[i].substr(eq + 1);
        auto f = std::find_if(fields.begin(), fields.end(),
                              [&](const dbf::FieldDef& d) { return d.name == name; });
        if (f == fields.end()) throw UsageError("unknown field " + args[i].substr(0, eq));
        if (std::find(setOnAcceptance.begin(), setOnAcceptance.end(), name) != setOnAcceptance.end())
            throw UsageError(name + " is set when the object is accepted and cannot be given");
        if (given.count(name)) throw UsageError("field " + name + " given twice");
        if (f->type == dbf::FieldType::Char && textWidth(value) > static_cast<size_t>(f->size))
            throw UsageError(name + " holds at most " + std::to_string(f->size) + " characters");
        given[name] = value;
    }

    // values turned into what the object master stores
    std::optional<int> devType, netType;
    std::optional<bool> autoCon;
    std::map<std::string, long long> numbers;
    for (const auto& [name, value] : given) {
        if (value.empty()) continue;
        if (name == "DEVTYPE") {
            if (auto code = parseInteger(value)) {
                devType = static_cast<int>(*code);
            } else {
                devType = devdata::deviceCodeFromText(value);
                if (*devType == 0)
                    std::cerr << "warning: no known device name in \"" << value << "\", DEVTYPE 0\n";
            }
        } else if (name == "NETTYPE") {
            auto n = parseInteger(value);
            int idx = n ? static_cast<int>(*n) : devdata::netTypeFromName(value);
            if (idx < 0 || idx > 3 || (n && (*n < 0 || *n > 3)))
                throw UsageError("NETTYPE is 0..3 or one of: COM порт, Модем, Ethernet UDP, Ethernet TCP");
            netType = idx;
        } else if (name == "AUTOCON") {
            autoCon = parseBool(value);
            if (!autoCon) throw UsageError("AUTOCON must be true or false, not \"" + value + "\"");
        } else if (name == "SERIALNUM" || name == "IPPORT" || name == "SCHTYPE") {
            long long v = integerArg(value, name);
            if ((name == "SERIALNUM" || name == "IPPORT") && (v < 0 || v > 65535))
                throw UsageError(name + " must be 0..65535");
            if (name == "SCHTYPE" && (v < INT32_MIN || v > INT32_MAX))
                throw UsageError("SCHTYPE is out of range");
            numbers[name] = v;
        }
    }

    requireObjectsTable(dir);

    // the fields the object master insists on
    auto filled = [&](const std::string& name) {
        auto it = given.find(name);
        return it != given.end() && !it->second.empty();
    };
    std::vector<std::string> missing;
    for (const char* name : {"ADDRES", "SERIALNUM", "DEVTYPE", "NETTYPE"})
        if (!filled(name)) missing.push_back(name);
    if (netType) {
        std::vector<const char*> byNet;
        if (*netType == 0) byNet = {"COMPORT"};
        if (*netType == 1) byNet = {"COMPORT", "PHONE"};
        if (*netType >= 2) byNet = {"NETADR", "IPPORT"};
        for (const char* name : byNet)
            if (!filled(name)) missing.push_back(name);
    }
    if (!missing.empty()) {
        std::string list;
        for (const auto& m : missing)
            list += (list.empty() ? "" : ", ") + m;
        throw std::runtime_error("Заполните все поля (missing: " + list + ")");
    }

    dbf::Table t;
    openObjects(t, dir);
    t.append();
    try {
        t.setInt("DEVTYPE", *devType);
        t.setInt("SERIALNUM", numbers.at("SERIALNUM"));
        t.setString("ADDRES", given["ADDRES"]);
        t.setInt("NETTYPE", *netType);
        for (const char* name : {"COMPORT", "PHONE", "NETADR", "DESKRIPTION"})
            if (filled(name)) t.setString(name, given[name]);
        for (const char* name : {"IPPORT", "SCHTYPE"})
            if (numbers.count(name)) t.setInt(name, numbers[name]);
        t.setString("STATE", "---");
        t.setInt("ERRCODE", 0);
        t.setNull("CON_DATE");
        t.setString("CON_TIME", "");
        t.setBool("ERR", false);
        t.setBool("AUTOCON", autoCon.value_or(true));
        t.post();
    } catch (...) {
        t.cancel();
        throw;
    }
    std::cout << t.asInt("NUM") << "\n";
    return 0;
}

// ---- list

std::string fieldText(const dbf::Table& t, const std::string& name) {
    return t.isNull(name) ? std::string() : t.asString(name);
}

std::string intText(const dbf::Table& t, const std::string& name) {
    return t.isNull(name) ? std::string() : std::to_string(t.asInt(name));
}

int cmdList(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("list takes one folder");
    dbf::Table t;
    // a listing changes nothing on disk
    openObjects(t, args[0], dbf::Table::OpenMode::ReadOnly);
    t.setIndexFieldNames("NUM");

    std::vector<std::vector<std::string>> rows = {{"NUM", "DEVTYPE", "SERIALNUM", "ADDRES", "NETTYPE", "LINK",
                                                   "STATE", "ERR", "AUTOCON", "DESKRIPTION"}};
    for (t.first(); !t.eof(); t.next()) {
        std::string devType;
        if (!t.isNull("DEVTYPE")) {
            int code = static_cast<int>(t.asInt("DEVTYPE"));
            std::string name = devdata::deviceTypeName(code);
            devType = std::to_string(code) + (name.empty() ? "" : " " + name);
        }
        std::string net, link;
        if (!t.isNull("NETTYPE")) {
            int n = static_cast<int>(t.asInt("NETTYPE"));
            net = devdata::netTypeName(n);
            if (net.empty()) net = std::to_string(n);
            if (n == 0) link = fieldText(t, "COMPORT");
            if (n == 1) link = fieldText(t, "COMPORT") + " " + fieldText(t, "PHONE");
            if (n == 2 || n == 3) link = fieldText(t, "NETADR") + ":" + intText(t, "IPPORT");
        }
        auto flag = [&](const char* name) {
            return t.isNull(name) ? std::string() : std::string(t.asBool(name) ? "да" : "нет");
        };
        rows.push_back({intText(t, "NUM"), devType, intText(t, "SERIALNUM"), fieldText(t, "ADDRES"), net,
                        link, fieldText(t, "STATE"), flag("ERR"), flag("AUTOCON"),
                        fieldText(t, "DESKRIPTION")});
    }

    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto& r : rows)
        for (size_t c = 0; c < r.size(); ++c)
            width[c] = std::max(width[c], textWidth(r[c]));
    for (const auto& r : rows) {
        std::string line;
        for (size_t c = 0; c < r.size(); ++c) {
            bool right = c == 0 || c == 2; // numbers
            std::string pad(width[c] - textWidth(r[c]), ' ');
            line += right ? pad + r[c] : r[c] + (c + 1 < r.size() ? pad : "");
            if (c + 1 < r.size()) line += "  ";
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::cout << line << "\n";
    }
    std::cout << "(" << rows.size() - 1 << " objects)\n";
    return 0;
}

// ---- dump

std::string csvQuote(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q += '"';
        q += c;
    }
    return q + "\"";
}

std::string valueText(const dbf::FieldDef& f, const dbf::Value& v) {
    if (std::holds_alternative<std::monostate>(v)) return {};
    if (auto i = std::get_if<int64_t>(&v)) return std::to_string(*i);
    if (auto d = std::get_if<double>(&v)) {
        char buf[64];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, *d);
        return ec == std::errc() ? std::string(buf, end) : std::string();
    }
    if (auto s = std::get_if<std::string>(&v)) return *s;
    if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
    if (auto dt = std::get_if<dbf::DateTime>(&v))
        return f.type == dbf::FieldType::Date ? dt->dateText() : dt->text();
    return {};
}

int cmdDump(const std::vector<std::string>& args) {
    if (args.size() != 1) throw UsageError("dump takes one table file");
    fs::path p(args[0]);
    std::string dir = p.parent_path().string();
    if (dir.empty()) dir = ".";
    dbf::Table t;
    // a dump changes nothing on disk, whatever state the files are in
    t.open(dir, p.filename().string(), dbf::Table::OpenMode::ReadOnly);

    const auto& fields = t.fields();
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i ? "," : "") + csvQuote(fields[i].name);
    std::cout << line << "\n";
    for (t.first(); !t.eof(); t.next()) {
        line.clear();
        for (size_t i = 0; i < fields.size(); ++i)
            line += (i ? "," : "") + csvQuote(valueText(fields[i], t.value(static_cast<int>(i))));
        std::cout << line << "\n";
    }
    return 0;
}

// ---- create

int cmdCreate(const std::vector<std::string>& args) {
    if (args.size() < 2) throw UsageError("create takes a folder and a table kind");
    const std::string& dir = args[0];
    const std::string kind = lower(args[1]);
    dbf::Table t;
    if (kind == "state") {
        if (args.size() != 3) throw UsageError("create DIR state takes one device type");
        int type = static_cast<int>(integerArg(args[2], "TYPE"));
        if (!devdata::createStateTable(t, type, dir, nullptr))
            throw std::runtime_error("device type " + std::to_string(type) + " has no state table");
        std::cout << "created " << devdata::tableFilePath(dir, devdata::stateTableName(type)) << "\n";
    } else if (kind == "params") {
        if (args.size() != 2) throw UsageError("create DIR params takes nothing more");
        devdata::createParamsTable(t, dir, nullptr);
        std::cout << "created " << devdata::tableFilePath(dir, devdata::kParamsTableName) << "\n";
    } else if (kind == "archive") {
        if (args.size() != 5) throw UsageError("create DIR archive takes SERIAL KIND TYPE");
        long long serial = integerArg(args[2], "SERIAL");
        if (serial < 1 || serial > 65535) throw UsageError("SERIAL must be 1..65535");
        int archiveKind = args[3].size() == 1 ? devdata::archiveKindFromLetter(args[3][0]) : -1;
        if (archiveKind < 0) throw UsageError("KIND is H, D or M");
        int type = static_cast<int>(integerArg(args[4], "TYPE"));
        if (!devdata::archiveTableLayout(type))
            throw std::runtime_error("device type " + std::to_string(type) + " keeps no archive");
        std::string failure;
        bool ok = devdata::createArchiveTable(
            t, type, dir, devdata::archiveNamePrefix(static_cast<int>(serial), archiveKind), nullptr,
            [&](const std::string& line) { failure = line; });
        if (!ok) throw std::runtime_error(failure);
        std::cout << "created "
                  << devdata::tableFilePath(
                         dir, devdata::archiveTableName(static_cast<int>(serial), archiveKind, type))
                  << "\n";
    } else {
        throw UsageError("unknown table kind \"" + args[1] + "\" (state, params or archive)");
    }
    t.close();
    return 0;
}

// Prints each event line once it is final, that is when the next line starts or the run ends.
class PrintingObserver : public polling::PollObserver {
public:
    void eventLine(const std::string& text, bool replaceLast) override {
        if (!replaceLast && pending_) std::cout << *pending_ << "\n" << std::flush;
        pending_ = text;
    }
    void runEnded(const polling::RunResult& r) override {
        flush();
        result = r;
        ended = true;
    }
    // The line still waiting for its end (the last one of a run that ended without its result).
    void flush() {
        if (pending_) std::cout << *pending_ << "\n";
        last_ = pending_.value_or(last_);
        pending_.reset();
        std::cout << std::flush;
    }
    const std::string& lastLine() const { return last_; }
    polling::RunResult result;
    bool ended = false;

private:
    std::optional<std::string> pending_;
    std::string last_;
};

// SIGINT and SIGTERM during a poll: blocked in every thread from the start of the command on, and taken by
// a thread of their own with sigwait, which asks the run to stop as the STOP button does. The run then ends
// at its next stop check and stores its log; the signal decides the exit status.
class StopOnSignals {
public:
    StopOnSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        // before any other thread exists, so that all of them inherit the mask
        ::pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    ~StopOnSignals() { finish(); }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

    // From here on a signal stops the run (one that came since the mask was set included).
    void watch(polling::PollRun& run) {
        watcher_ = std::thread([this, &run] {
            for (;;) {
                int sig = 0;
                if (::sigwait(&set_, &sig) != 0) continue;
                if (done_) return;
                int expected = 0;
                received_.compare_exchange_strong(expected, sig);
                run.requestStop();
            }
        });
    }
    // Ends the watching thread once the run is over.
    void finish() {
        if (!watcher_.joinable()) return;
        done_ = true;
        ::pthread_kill(watcher_.native_handle(), SIGTERM);
        watcher_.join();
    }
    // The first signal taken during the run, 0 for none.
    int received() const { return received_; }

private:
    sigset_t set_;
    std::thread watcher_;
    std::atomic<bool> done_{false};
    std::atomic<int> received_{0};
};

int cmdPoll(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("poll needs a data directory");
    std::optional<int> single;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--object" && i + 1 < args.size()) {
            single = int(integerArg(args[++i], "--object"));
        } else {
            throw UsageError("unexpected argument \"" + args[i] + "\"");
        }
    }
    StopOnSignals signals;
    const std::string dir = args[0];
    requireObjectsTable(dir);
    if (single) {
        dbf::Table t;
        openObjects(t, dir, dbf::Table::OpenMode::ReadOnly);
        if (!t.locate("NUM", int64_t(*single)))
            throw std::runtime_error("no object with NUM " + std::to_string(*single));
    }
    devdata::SettingsStore store;
    polling::PollConfig config;
    if (const auto problem = devdata::prepareSite()) throw std::runtime_error(*problem);
    config.programDir = devdata::siteDir();
    config.dataDir = dir;
    config.tempDir = devdata::tempDirOf(dir);
    // the settings of the store as they are when the run starts
    const devdata::Settings settings = store.load();
    config.settings = [settings] { return settings; };
    PrintingObserver out;
    polling::PollRun run(polling::systemClock(), &out);
    const polling::StartResult started = run.start(config, single);
    switch (started.outcome) {
    case polling::StartResult::Started:
        break;
    case polling::StartResult::Running:
    case polling::StartResult::Locked:
        std::cerr << "mervoctl: " << polling::kAlreadyRunning << ": " << dir << "\n";
        return kExitBusy;
    case polling::StartResult::Failed:
        throw std::runtime_error(started.error);
    }
    signals.watch(run);
    run.wait();
    signals.finish();

    std::string failure;
    if (out.ended) {
        failure = out.result.failure;
    } else {
        // the run broke off before its end: its last line says why
        out.flush();
        failure = out.lastLine().empty() ? "the poll ended without its result" : out.lastLine();
        while (!failure.empty() && failure.front() == ' ')
            failure.erase(0, 1);
    }
    if (!out.result.logFile.empty()) std::cerr << "log: " << out.result.logFile << "\n";
    if (!failure.empty()) std::cerr << "mervoctl: " << failure << "\n";
    // objects that could not be polled leave the exit status 0: the run itself went through
    if (out.ended && out.result.errors > 0)
        std::cerr << "mervoctl: objects with errors: " << out.result.errors << " (see the log)\n";
    if (const int sig = signals.received()) return 128 + sig;
    return failure.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // a file-size limit shows as a write error of the table or the log, not as the end of the tool
    std::signal(SIGXFSZ, SIG_IGN);
    // the umask of an installed suite, whatever the command
    devdata::prepareSite();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 2;
    }
    std::string cmd = args[0];
    args.erase(args.begin());
    try {
        if (cmd == "-h" || cmd == "--help" || cmd == "help") {
            std::cout << kUsage;
            return 0;
        }
        if (cmd == "init") return cmdInit(args);
        if (cmd == "add") return cmdAdd(args);
        if (cmd == "list") return cmdList(args);
        if (cmd == "dump") return cmdDump(args);
        if (cmd == "create") return cmdCreate(args);
        if (cmd == "poll") return cmdPoll(args);
        throw UsageError("unknown command \"" + cmd + "\"");
    } catch (const UsageError& e) {
        std::cerr << "mervoctl: " << e.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& e) {
        std::cout.flush();
        std::cerr << "mervoctl: " << e.what() << "\n";
        return 1;
    }
}
