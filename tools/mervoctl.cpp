// mervoctl: command-line access to a data directory without the main program.
//
//   mervoctl init DIR                      create DIR and an empty MAINDB in it
//   mervoctl add DIR FIELD=VALUE ...       append an object as the object master accepts one; prints its NUM
//   mervoctl list DIR                      show the objects as a table
//   mervoctl dump FILE                     print a table as CSV
//   mervoctl create DIR state TYPE         create an empty table
//   mervoctl create DIR params
//   mervoctl create DIR archive SERIAL KIND TYPE
//   mervoctl poll DIR [--object NUM] [--lanes K]   one poll run over the objects of DIR
//   mervoctl schedule [DIR] ...            the auto-poll schedule of DIR without the main program
//
// Exit codes: 0 done (a poll also when objects had errors: the log and MAINDB say which; the schedule after
// SIGTERM), 1 failure, 2 wrong arguments, 3 the data folder is being polled already (by the main program or
// another mervoctl), 130 / 143 a poll (130: also the schedule) stopped by SIGINT / SIGTERM.

#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "devdata/places.h"
#include "devdata/settings.h"
#include "devdata/tables.h"
#include "poll/poll_run.h"
#include "shell/schedule.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <locale>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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
    "       mervoctl poll DIR [--object NUM] [--lanes K] [--metrics FILE]\n"
    "       mervoctl schedule [DIR] [--lanes K] [--metrics FILE] [--on-change CMD [ARG...] [--]]\n"
    "\n"
    "poll      one poll run; besides its log in Log/ it writes Log/last-run.json, and with --metrics the\n"
    "          Prometheus text file FILE (for node_exporter's textfile collector)\n"
    "--lanes K (poll, schedule): polls up to K links side by side (1 to 32), in place of the store's Lanes\n"
    "schedule  runs the auto-poll schedule of the settings store (Period, PeriodX, DTConn) while its\n"
    "          ScheduleBy is 1 (the service); DIR defaults to the store's DPath. --on-change: the command,\n"
    "          its arguments up to \"--\" or the end, started (no shell) after a run in which an object's\n"
    "          outcome changed, with the paths of Log/last-run.json and Log/last-changes.json appended; "
    "without\n"
    "          it the store's OnChange (split on spaces)\n"
    "test facility: --clock \"YYYY-MM-DD hh:mm:ss\" (poll, schedule) runs on a virtual clock from there, on\n"
    "          which waits take no real time; --clock-until \"YYYY-MM-DD hh:mm:ss\" (schedule) holds it "
    "there\n"
    "\n"
    "exit status: 0 done (a poll also when objects had errors: see the log and MAINDB);\n"
    "               the schedule ended by SIGTERM\n"
    "             1 failure (the reason on standard error)\n"
    "             2 wrong arguments\n"
    "             3 the data folder is being polled already (Mervo or another mervoctl poll)\n"
    "             130, 143 the poll was stopped by SIGINT, SIGTERM; 130 the schedule ended by SIGINT\n";

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

// Prints each event line once it is final, that is when the next line starts or the run ends. Every line is
// flushed at once: under a service manager standard output is the journal, read line by line.
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

// A line of the tool's own on standard output, flushed at once.
void say(const std::string& line) {
    std::cout << line << "\n" << std::flush;
}

// SIGINT and SIGTERM: blocked in every thread from the start of the command on, and taken by a thread of
// their own with sigwait. A signal asks the poll run in progress (if any) to stop as the STOP button does and
// wakes the pauses of the schedule; the run then ends at its next stop check and stores its log.
class StopOnSignals {
public:
    StopOnSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        // before any other thread exists, so that all of them inherit the mask
        ::pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        watcher_ = std::thread([this] {
            for (;;) {
                int sig = 0;
                if (::sigwait(&set_, &sig) != 0) continue;
                if (done_) return;
                int expected = 0;
                received_.compare_exchange_strong(expected, sig);
                std::lock_guard<std::mutex> g(mutex_);
                if (run_) run_->requestStop();
                wake_.request();
            }
        });
    }
    ~StopOnSignals() { finish(); }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

    // From here on a signal stops the run; one that came before stops it at once.
    void attach(polling::PollRun& run) {
        std::lock_guard<std::mutex> g(mutex_);
        run_ = &run;
        if (received_) run.requestStop();
    }
    void detach() {
        std::lock_guard<std::mutex> g(mutex_);
        run_ = nullptr;
    }
    // Ends the watching thread.
    void finish() {
        if (!watcher_.joinable()) return;
        done_ = true;
        ::pthread_kill(watcher_.native_handle(), SIGTERM);
        watcher_.join();
    }
    // The first signal taken, 0 for none.
    int received() const { return received_; }
    // Readable once a signal came: the pauses of the schedule wait on it.
    const polling::StopSignal& wake() const { return wake_; }

private:
    sigset_t set_;
    std::thread watcher_;
    std::mutex mutex_;
    polling::PollRun* run_ = nullptr;
    polling::StopSignal wake_;
    std::atomic<bool> done_{false};
    std::atomic<int> received_{0};
};

// ---- the clock of the schedule and of its runs

// The local date and time a run and the schedule go by, the clock of the run's waits, and the pauses of the
// schedule. The real one is the machine's clock. The virtual one (the test facility --clock) starts at a
// given time and moves only by the run's waits and the schedule's pauses, which take no real time; a pause
// that waits for something outside the program (the store, the poll lock) still waits a short real slice.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual dbf::DateTime now() = 0;
    virtual polling::Clock& runClock() = 0;
    // Sleeps until t, for at most maxWait; false when woken.
    virtual bool sleepUntil(dbf::DateTime t, polling::Duration maxWait, const polling::StopSignal& wake) = 0;
    // A pause that waits for something outside the program; false when woken.
    virtual bool pause(polling::Duration d, const polling::StopSignal& wake) = 0;
};

class RealWallClock : public WallClock {
public:
    dbf::DateTime now() override { return dbf::DateTime::now(); }
    polling::Clock& runClock() override { return polling::systemClock(); }
    bool sleepUntil(dbf::DateTime t, polling::Duration maxWait, const polling::StopSignal& wake) override {
        const polling::Duration left(std::max<int64_t>(1, t.ms() - now().ms()));
        return polling::systemClock().sleepFor(std::min(left, maxWait), &wake);
    }
    bool pause(polling::Duration d, const polling::StopSignal& wake) override {
        return polling::systemClock().sleepFor(d, &wake);
    }
};

class VirtualWallClock : public WallClock {
public:
    // until: the virtual time goes no further (a test's last due time); later pauses wait in real time.
    VirtualWallClock(dbf::DateTime start, std::optional<dbf::DateTime> until)
        : start_(start), until_(until) {}
    dbf::DateTime now() override { return start_.addMs(clock_.elapsed().count()); }
    polling::Clock& runClock() override { return clock_; }
    bool sleepUntil(dbf::DateTime t, polling::Duration maxWait, const polling::StopSignal& wake) override {
        if (wake.requested()) return false;
        if (until_ && t > *until_) t = *until_;
        if (t > now()) {
            clock_.advance(polling::Duration(t.ms() - now().ms()));
            return true;
        }
        return pause(maxWait, wake);
    }
    bool pause(polling::Duration d, const polling::StopSignal& wake) override {
        if (!polling::systemClock().sleepFor(std::min(d, kRealSlice), &wake)) return false;
        dbf::DateTime t = now().addMs(d.count());
        if (until_ && t > *until_) t = std::max(*until_, now());
        clock_.advance(polling::Duration(t.ms() - now().ms()));
        return true;
    }

private:
    static constexpr polling::Duration kRealSlice{200};
    polling::VirtualClock clock_;
    dbf::DateTime start_;
    std::optional<dbf::DateTime> until_;
};

dbf::DateTime clockArg(const std::string& text, const std::string& option) {
    auto t = dbf::DateTime::parse(text);
    if (!t) throw UsageError(option + " takes \"YYYY-MM-DD hh:mm:ss\", not \"" + text + "\"");
    return *t;
}

// ---- the run summary: Log/last-run.json, the metrics file, the changes

// ISO 8601 local time with the offset of the machine's time zone at that moment: 2025-01-31T00:00:00+03:00.
std::string isoLocal(dbf::DateTime t, time_t* epoch = nullptr) {
    std::tm tm{};
    tm.tm_year = t.year() - 1900;
    tm.tm_mon = t.month() - 1;
    tm.tm_mday = t.day();
    tm.tm_hour = t.hour();
    tm.tm_min = t.minute();
    tm.tm_sec = t.second();
    tm.tm_isdst = -1;
    const time_t e = std::mktime(&tm);
    if (epoch) *epoch = e;
    std::tm local{};
    ::localtime_r(&e, &local);
    const long off = local.tm_gmtoff;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", t.year(), t.month(), t.day(),
                  t.hour(), t.minute(), t.second(), off < 0 ? '-' : '+', std::labs(off) / 3600,
                  std::labs(off) % 3600 / 60);
    return buf;
}

constexpr const char* kNormal = "Норма";
constexpr const char* kNoConnection = "Нет связи";

// What an object came to in the metrics: polled without error bits, polled with the device's error bits,
// a failed step (the run's errors, E), or not reached (a stopped run).
std::string metricOutcome(const polling::ObjectOutcome& o) {
    if (!o.polled) return "not_polled";
    if (!o.failedStep.empty()) return "no_connection";
    return o.errcode != 0 ? "device_error" : "polled";
}

// Whether the operator is told about the object: a new "Нет связи", a new device or system error bit, an
// object back to "Норма". What was no poll outcome before (an object never polled, "---", or switched off)
// is no change.
bool outcomeChanged(const polling::ObjectOutcome& o) {
    auto outcome = [](const std::string& s) { return s == kNormal || s == kNoConnection; };
    if (!o.polled || !outcome(o.stateBefore) || !outcome(o.state)) return false;
    if (o.state == kNoConnection) return o.stateBefore != kNoConnection;
    if (o.stateBefore == kNoConnection) return true;
    if ((o.errcode & ~o.errcodeBefore) != 0) return true;
    return o.errcodeBefore != 0 && o.errcode == 0;
}

std::string jsonText(const nlohmann::ordered_json& j) {
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The files a run leaves besides its stored event list.
struct RunFiles {
    std::string summary; // Log/last-run.json
    std::string changes; // Log/last-changes.json, when an outcome changed
};

RunFiles writeRunFiles(const std::string& programDir, const std::string& dataDir, const polling::RunResult& r,
                       const std::string& metricsFile) {
    RunFiles files;
    const std::string logDir = programDir + "/Log";
    std::error_code ec;
    fs::create_directories(logDir, ec);

    using nlohmann::ordered_json;
    ordered_json objects = ordered_json::array();
    ordered_json changes = ordered_json::array();
    // the objects of P by outcome, and those of N that a stopped run did not reach
    std::map<std::string, int> byOutcome = {{"polled", 0}, {"device_error", 0}, {"no_connection", 0}};
    for (const polling::ObjectOutcome& o : r.objects) {
        ordered_json j;
        j["NUM"] = o.num;
        j["address"] = o.address;
        j["polled"] = o.polled;
        j["outcome"] = o.state;
        j["error_bits"] = o.errcode;
        j["failed_step"] = o.failedStep.empty() ? ordered_json(nullptr) : ordered_json(o.failedStep);
        j["before"] = {{"outcome", o.stateBefore}, {"error_bits", o.errcodeBefore}};
        objects.push_back(j);
        if (o.polled) ++byOutcome[metricOutcome(o)];
        if (outcomeChanged(o))
            changes.push_back({{"NUM", o.num},
                               {"address", o.address},
                               {"before", o.stateBefore},
                               {"after", o.state},
                               {"before_error_bits", o.errcodeBefore},
                               {"after_error_bits", o.errcode}});
    }
    byOutcome["not_polled"] = std::max(0, r.toPoll - r.polled);

    time_t startEpoch = 0, endEpoch = 0;
    ordered_json summary;
    summary["start"] = isoLocal(r.startedAt, &startEpoch);
    summary["end"] = isoLocal(r.endedAt, &endEpoch);
    summary["data_dir"] = dataDir;
    summary["log"] = r.logFile;
    summary["single_object"] = r.singleObject;
    summary["stopped"] = r.stopped;
    summary["failure"] = r.failure;
    // as the run's report counts them
    summary["P"] = r.polled;
    summary["N"] = r.toPoll;
    summary["E"] = r.errors;
    summary["T"] = r.records;
    summary["objects"] = objects;
    files.summary = logDir + "/last-run.json";
    if (!devdata::replaceFile(files.summary, jsonText(summary)))
        std::cerr << "mervoctl: cannot write " << files.summary << "\n";

    if (!changes.empty()) {
        files.changes = logDir + "/last-changes.json";
        ordered_json c;
        c["end"] = summary["end"];
        c["data_dir"] = dataDir;
        c["changes"] = changes;
        if (!devdata::replaceFile(files.changes, jsonText(c))) {
            std::cerr << "mervoctl: cannot write " << files.changes << "\n";
            files.changes.clear();
        }
    }

    if (!metricsFile.empty()) {
        const double duration = double(r.endedAt.ms() - r.startedAt.ms()) / 1000.0;
        const double end = double(endEpoch) + r.endedAt.msec() / 1000.0;
        std::ostringstream m;
        m.imbue(std::locale::classic());
        m << "# HELP mervo_poll_objects_total Objects of the last poll run by outcome.\n"
             "# TYPE mervo_poll_objects_total gauge\n";
        for (const char* k : {"polled", "device_error", "no_connection", "not_polled"})
            m << "mervo_poll_objects_total{outcome=\"" << k << "\"} " << byOutcome[k] << "\n";
        m << "# HELP mervo_poll_duration_seconds Duration of the last poll run.\n"
             "# TYPE mervo_poll_duration_seconds gauge\n"
             "mervo_poll_duration_seconds "
          << duration << "\n"
          << "# HELP mervo_poll_last_end_timestamp End of the last poll run, seconds since the epoch.\n"
             "# TYPE mervo_poll_last_end_timestamp gauge\n"
             "mervo_poll_last_end_timestamp "
          << std::fixed << std::setprecision(3) << end << "\n";
        if (!devdata::replaceFile(metricsFile, m.str()))
            std::cerr << "mervoctl: cannot write " << metricsFile << "\n";
    }
    return files;
}

// Starts the command with the two files as its last arguments, by argument vector (no shell). It is not
// waited for: a child of a child runs it, so that it is nobody's zombie. A command that cannot be started
// is one line on standard error.
void startCommand(const std::vector<std::string>& command, const std::string& summary,
                  const std::string& changes) {
    // everything the children need is made before the fork: another thread may hold the allocator's lock
    std::vector<std::string> text = command;
    text.push_back(summary);
    text.push_back(changes);
    std::vector<char*> argv;
    for (auto& a : text)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        std::cerr << "mervoctl: cannot start " << command[0] << ": " << std::strerror(errno) << "\n";
        return;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            if (grandchild < 0) {
                const int e = errno;
                [[maybe_unused]] ssize_t n = ::write(report[1], &e, sizeof e);
            }
            ::_exit(0);
        }
        // the command gets the signals this program blocks or ignores
        sigset_t none;
        sigemptyset(&none);
        ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGXFSZ, SIG_DFL);
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0) ::dup2(in, 0);
        ::execvp(argv[0], argv.data());
        const int e = errno;
        [[maybe_unused]] ssize_t n = ::write(report[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(report[1]);
    int e = 0;
    if (child < 0) {
        e = errno;
    } else {
        ::waitpid(child, nullptr, 0);
        // end of file once the command is started; its errno when it could not be
        ssize_t n;
        do {
            n = ::read(report[0], &e, sizeof e);
        } while (n < 0 && errno == EINTR);
        if (n != ssize_t(sizeof e)) e = 0;
    }
    ::close(report[0]);
    if (e != 0) std::cerr << "mervoctl: cannot start " << command[0] << ": " << std::strerror(e) << "\n";
}

// The words of a command line split on spaces.
std::vector<std::string> splitOnSpaces(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// ---- one poll run, as `poll` and the schedule make it

struct PollSetup {
    std::string dir;
    devdata::SettingsStore* store = nullptr;
    WallClock* clock = nullptr;
    std::string metricsFile;
    std::vector<std::string> onChange; // the option; empty: the store's OnChange
    bool useStoreOnChange = false;
    std::optional<int> lanes; // --lanes: in place of the store's Lanes
};

int lanesArg(const std::string& text) {
    const long long k = integerArg(text, "--lanes");
    if (k < 1 || k > 32) throw UsageError("--lanes expects 1 to 32");
    return int(k);
}

struct PollOutcome {
    polling::StartResult started;
    bool ended = false;
    polling::RunResult result;
    std::string failure; // why the run could not go through (empty when it did)
};

PollOutcome pollOnce(const PollSetup& setup, StopOnSignals& signals, std::optional<int> single) {
    PollOutcome outcome;
    polling::PollConfig config;
    config.programDir = devdata::siteDir();
    config.dataDir = setup.dir;
    config.tempDir = devdata::tempDirOf(setup.dir);
    // the settings of the store as they are when the run starts
    const devdata::Settings settings = setup.store->load();
    config.settings = [settings] { return settings; };
    WallClock* clock = setup.clock;
    config.now = [clock] { return clock->now(); };
    config.lanes = setup.lanes;
    PrintingObserver out;
    polling::PollRun run(clock->runClock(), &out);
    outcome.started = run.start(config, single);
    if (!outcome.started) return outcome;
    signals.attach(run);
    run.wait();
    signals.detach();

    outcome.ended = out.ended;
    outcome.result = out.result;
    if (out.ended) {
        outcome.failure = out.result.failure;
    } else {
        // the run broke off before its end: its last line says why
        out.flush();
        outcome.failure = out.lastLine().empty() ? "the poll ended without its result" : out.lastLine();
        while (!outcome.failure.empty() && outcome.failure.front() == ' ')
            outcome.failure.erase(0, 1);
    }
    if (!out.result.logFile.empty()) std::cerr << "log: " << out.result.logFile << "\n";
    if (!outcome.failure.empty()) std::cerr << "mervoctl: " << outcome.failure << "\n";
    // objects that could not be polled leave the exit status 0: the run itself went through
    if (out.ended && out.result.errors > 0)
        std::cerr << "mervoctl: objects with errors: " << out.result.errors << " (see the log)\n";
    if (out.ended) {
        const RunFiles files = writeRunFiles(config.programDir, setup.dir, out.result, setup.metricsFile);
        const std::vector<std::string> command = !setup.onChange.empty() || !setup.useStoreOnChange
                                                     ? setup.onChange
                                                     : splitOnSpaces(settings.onChange);
        if (!files.changes.empty() && !command.empty()) startCommand(command, files.summary, files.changes);
    }
    return outcome;
}

int cmdPoll(const std::vector<std::string>& args) {
    if (args.empty()) throw UsageError("poll needs a data directory");
    std::optional<int> single;
    std::optional<dbf::DateTime> clockStart;
    PollSetup setup;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--object" && i + 1 < args.size()) {
            single = int(integerArg(args[++i], "--object"));
        } else if (args[i] == "--lanes" && i + 1 < args.size()) {
            setup.lanes = lanesArg(args[++i]);
        } else if (args[i] == "--metrics" && i + 1 < args.size()) {
            setup.metricsFile = args[++i];
        } else if (args[i] == "--clock" && i + 1 < args.size()) {
            clockStart = clockArg(args[++i], "--clock");
        } else {
            throw UsageError("unexpected argument \"" + args[i] + "\"");
        }
    }
    StopOnSignals signals;
    setup.dir = args[0];
    requireObjectsTable(setup.dir);
    if (single) {
        dbf::Table t;
        openObjects(t, setup.dir, dbf::Table::OpenMode::ReadOnly);
        if (!t.locate("NUM", int64_t(*single)))
            throw std::runtime_error("no object with NUM " + std::to_string(*single));
    }
    if (const auto problem = devdata::prepareSite()) throw std::runtime_error(*problem);
    devdata::SettingsStore store;
    setup.store = &store;
    RealWallClock realClock;
    std::optional<VirtualWallClock> virtualClock;
    if (clockStart) virtualClock.emplace(*clockStart, std::nullopt);
    setup.clock = virtualClock ? static_cast<WallClock*>(&*virtualClock) : &realClock;

    const PollOutcome outcome = pollOnce(setup, signals, single);
    switch (outcome.started.outcome) {
    case polling::StartResult::Started:
        break;
    case polling::StartResult::Running:
    case polling::StartResult::Locked:
        std::cerr << "mervoctl: " << polling::kAlreadyRunning << ": " << setup.dir << "\n";
        return kExitBusy;
    case polling::StartResult::Failed:
        throw std::runtime_error(outcome.started.error);
    }
    signals.finish();
    if (const int sig = signals.received()) return 128 + sig;
    return outcome.failure.empty() ? 0 : 1;
}

// ---- schedule

// How long the schedule sleeps at most before it reads the store again, and the pause between two tries of a
// due poll that found the data folder locked.
constexpr polling::Duration kRereadPause{2000};
constexpr polling::Duration kLockedPause{1000};

std::string minuteText(dbf::DateTime t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, " %02d:%02d", t.hour(), t.minute());
    return t.dateText() + buf;
}

int cmdSchedule(const std::vector<std::string>& args) {
    std::optional<std::string> dirArg;
    std::optional<dbf::DateTime> clockStart, clockUntil;
    PollSetup setup;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--metrics" && i + 1 < args.size()) {
            setup.metricsFile = args[++i];
        } else if (a == "--lanes" && i + 1 < args.size()) {
            setup.lanes = lanesArg(args[++i]);
        } else if (a == "--clock" && i + 1 < args.size()) {
            clockStart = clockArg(args[++i], "--clock");
        } else if (a == "--clock-until" && i + 1 < args.size()) {
            clockUntil = clockArg(args[++i], "--clock-until");
        } else if (a == "--on-change") {
            // the command and its arguments: the rest, up to "--"
            for (++i; i < args.size() && args[i] != "--"; ++i)
                setup.onChange.push_back(args[i]);
            if (setup.onChange.empty()) throw UsageError("--on-change needs a command");
        } else if (!a.starts_with("--") && !dirArg) {
            dirArg = a;
        } else {
            throw UsageError("unexpected argument \"" + a + "\"");
        }
    }
    if (clockUntil && !clockStart) throw UsageError("--clock-until goes with --clock");
    StopOnSignals signals;
    if (const auto problem = devdata::prepareSite()) throw std::runtime_error(*problem);
    devdata::SettingsStore store;
    setup.store = &store;
    setup.useStoreOnChange = true;
    setup.dir = dirArg ? *dirArg : devdata::dataDirFromSetting(store.load().dpath, devdata::siteDir());
    requireObjectsTable(setup.dir);
    RealWallClock realClock;
    std::optional<VirtualWallClock> virtualClock;
    if (clockStart) virtualClock.emplace(*clockStart, clockUntil);
    WallClock& clock = virtualClock ? static_cast<WallClock&>(*virtualClock) : realClock;
    setup.clock = &clock;
    const polling::StopSignal& wake = signals.wake();

    say("schedule: data folder " + setup.dir + ", settings " + store.path());
    std::optional<bool> ours;
    while (!signals.received()) {
        const devdata::Settings s = store.load();
        const bool byService = s.scheduleBy == devdata::kScheduleByService;
        if (ours != byService) {
            say(byService ? "schedule: the auto-poll schedule is run here (ScheduleBy=1)"
                          : "schedule: the auto-poll schedule belongs to the main program (ScheduleBy=0); "
                            "waiting");
            ours = byService;
        }
        if (!byService) {
            clock.pause(kRereadPause, wake);
            continue;
        }
        const dbf::DateTime now = clock.now();
        const auto next = shell::scheduleDecision(false, true, now, s.dtconn, s.period, s.periodX);
        if (!next) {
            clock.sleepUntil(s.dtconn, kRereadPause, wake);
            continue;
        }
        // stored first, as the main program's tick does: a poll that cannot run waits for the next due time
        store.storeNextPollTime(*next);
        say("schedule: poll due at " + minuteText(s.dtconn) + ", next poll " + minuteText(*next));
        bool toldLocked = false;
        while (!signals.received()) {
            const PollOutcome outcome = pollOnce(setup, signals, std::nullopt);
            if (outcome.started.outcome == polling::StartResult::Started) {
                say("schedule: poll ended" +
                    (outcome.result.logFile.empty() ? std::string() : ", log " + outcome.result.logFile));
                break;
            }
            if (outcome.started.outcome == polling::StartResult::Failed) {
                say("schedule: " + outcome.started.error);
                break;
            }
            if (!toldLocked) {
                say(std::string("schedule: ") + polling::kAlreadyRunning + ": " + setup.dir +
                    "; trying again every second");
                toldLocked = true;
            }
            if (!clock.pause(kLockedPause, wake)) break;
            // the operator may have taken the schedule back meanwhile
            if (store.load().scheduleBy != devdata::kScheduleByService) break;
        }
    }
    signals.finish();
    const int sig = signals.received();
    say(std::string("schedule: stopped by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM"));
    // the service manager's SIGTERM is the ordinary end of the service
    return sig == SIGINT ? 128 + SIGINT : 0;
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
        if (cmd == "schedule") return cmdSchedule(args);
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
