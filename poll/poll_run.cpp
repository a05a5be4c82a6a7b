#include "poll/poll_run.h"

#include "dbf/codec.h"
#include "devdata/catalogue.h"
#include "devdata/tables.h"
#include "poll/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <tuple>
#include <unistd.h>

namespace polling {

namespace {

const std::string kDashes(38, '-');
const std::string kStars(49, '*');

// printf's "%-30s" counted in characters, not bytes (addresses are Cyrillic).
std::string padRight(const std::string& s, size_t width) {
    size_t chars = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++chars;
    return chars >= width ? s : s + std::string(width - chars, ' ');
}

std::string padLeft(const std::string& s, size_t width) {
    return s.size() >= width ? s : std::string(width - s.size(), ' ') + s;
}

std::string fmt3(const char* format, int a, int b, int c) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a, b, c);
    return buf;
}

std::string fmt1(const char* format, int a) {
    char buf[160];
    std::snprintf(buf, sizeof buf, format, a);
    return buf;
}

} // namespace

PollRun::PollRun(Clock& clock, PollObserver* observer)
    : clock_(clock), observer_(observer), protocol_(clock, stop_, this),
      connections_(protocol_, clock, stop_, *this) {
    // the serial line's carrier and handshake lines, as the port's event thread sees them change
    SerialEvents events;
    events.modemLinesChanged = [this](unsigned status) {
        if (observer_) observer_->lineSignals(lineSignalsText(status));
    };
    connections_.port().setEvents(std::move(events));
}

PollRun::~PollRun() {
    if (thread_.joinable()) {
        requestStop();
        thread_.join();
    }
}

StartResult PollRun::start(const PollConfig& config, std::optional<int> singleObject) {
    if (running_) return {StartResult::Running, {}};
    if (thread_.joinable()) thread_.join();
    try {
        if (!lock_.tryLock(config.dataDir)) return {StartResult::Locked, {}};
    } catch (const PollLockError& e) {
        return {StartResult::Failed, e.what()};
    }
    config_ = config;
    if (!config_.settings) config_.settings = [] { return devdata::Settings{}; };
    single_ = singleObject;
    // cleared here rather than on the thread, so that a stop asked for right after the start holds
    stop_.clear();
    {
        std::lock_guard<std::mutex> g(linesMutex_);
        lines_.clear();
        lastReplaceable_ = false;
    }
    running_ = true;
    if (observer_) observer_->runStarted(single_.has_value());
    thread_ = std::thread([this] {
        // lower than normal priority, as the windows must stay responsive
        ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 5);
        try {
            body();
        } catch (const std::exception& e) {
            postEventLine(timeText() + " " + e.what(), true);
        }
        lock_.unlock();
        running_ = false;
    });
    return {StartResult::Started, {}};
}

void PollRun::requestStop() {
    stop_.request();
    std::lock_guard<std::mutex> g(lanesMutex_);
    for (PollRun* lane : lanes_)
        lane->stop_.request();
}

void PollRun::stop() {
    requestStop();
    wait();
}

void PollRun::wait() {
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> PollRun::eventList() const {
    std::lock_guard<std::mutex> g(linesMutex_);
    return lines_;
}

std::string PollRun::timeText() const {
    return config_.now().timeText();
}

std::string PollRun::eventLinePrefix(const std::string& address) const {
    return padLeft(timeText(), 10) + " " + padRight(address, 30) + "   - ";
}

void PollRun::postEventLine(const std::string& text, bool newLine) {
    {
        std::lock_guard<std::mutex> g(linesMutex_);
        if (newLine || lines_.empty())
            lines_.push_back(text);
        else
            lines_.back() = text;
        // a blank line is left to be replaced (after a node search, after an ended archive read)
        lastReplaceable_ = text.empty() || text == " ";
    }
    if (observer_) observer_->eventLine(text, !newLine);
}

void PollRun::postStepLine(const std::string& text) {
    postEventLine(text, true);
    std::lock_guard<std::mutex> g(linesMutex_);
    lastReplaceable_ = true;
}

void PollRun::verdict(const std::string& text) {
    bool replace;
    {
        std::lock_guard<std::mutex> g(linesMutex_);
        replace = lastReplaceable_;
    }
    postEventLine(text, !replace);
}

void PollRun::status(int index, const std::string& text) {
    if (observer_) observer_->statusText(index, text);
}

void PollRun::label(const std::string& text) {
    if (single_) status(5, text);
}

void PollRun::progress(int value) {
    value = std::clamp(value, 0, 100);
    progress_ = value;
    if (observer_) observer_->progress(value);
}

void PollRun::damagedTable(const std::string& line) {
    postEventLine(padLeft(timeText(), 10) + " " + line, true);
    devdata::appendErrorLog(config_.programDir, config_.now(), line);
}

void PollRun::terminalLine(const std::string& line) {
    if (observer_) observer_->terminalLine(line);
}

std::string PollRun::counters(int p, int n, int e) const {
    return fmt3("Опрошено: %3d  осталось: %3d  Ошибок: %3d", p, n - p, e);
}

// The outcome of a skipped or failed object in its MAINDB row.
bool PollRun::markObject(dbf::Table& objects, const char* state) {
    const dbf::DateTime now = config_.now();
    try {
        objects.edit();
        objects.setDateTime("CON_DATE", now);
        objects.setString("CON_TIME", now.timeText());
        objects.setInt("ERRCODE", 0);
        objects.setBool("ERR", true);
        objects.setString("STATE", state);
        objects.post();
        return true;
    } catch (const std::exception&) {
        objects.cancel();
        return false;
    }
}

void PollRun::body() {
    repeat_ = std::clamp(config_.settings().repeat, 1, 10);
    progress_ = 0;
    startedAt_ = config_.now();
    before_.clear();
    outcomes_.clear();
    lanesHungUp_.reset();
    // "log.txt": emptied at the start and held open for the run; a program folder that cannot be written
    // shows when the log is stored
    std::error_code ec;
    std::filesystem::create_directories(config_.programDir, ec);
    std::ofstream logTxt(config_.programDir + "/log.txt", std::ios::trunc);

    dbf::Table objects;
    int n = 0, p = 0, e = 0, t = 0;
    std::string failure;
    try {
        objects.open(config_.dataDir, "MAINDB");
        objects.setIndexFieldNames("NUM");
        for (objects.first(); !objects.eof(); objects.next())
            before_[objects.asInt("NUM")] = {objects.isNull("STATE") ? "" : objects.asString("STATE"),
                                             objects.isNull("ERRCODE") ? 0 : int(objects.asInt("ERRCODE"))};
        if (single_) {
            n = 1;
            objects.setFilter("NUM=" + std::to_string(*single_));
            objects.setFiltered(true);
        } else {
            for (objects.first(); !objects.eof(); objects.next())
                if (objects.asBool("AUTOCON")) ++n;
        }
        objects.first();
        t = objects.recordCount();
        const int lanes = std::clamp(config_.lanes.value_or(config_.settings().lanes), 1, 32);
        if (!single_ && lanes > 1) {
            bodyLanes(objects, lanes, n, p, e, failure);
        } else {
            for (int i = 0; i < t; ++i) {
                if (stop_.requested()) break;
                handleRecord(objects, n, p, e);
                if (stop_.requested()) break;
                objects.next();
            }
        }
    } catch (const std::exception& ex) {
        // the objects table cannot be read: the run ends here, and says why
        failure = ex.what();
        postEventLine(padLeft(timeText(), 10) + " " + failure, true);
        try {
            connections_.hangUp();
        } catch (const std::exception&) {
        }
    }
    endOfRun(objects, single_.has_value(), n, p, e, t, failure);
}

void PollRun::handleRecord(dbf::Table& objects, int& n, int& p, int& e) {
    const int repeat = repeat_;
    address_ = objects.asString("ADDRES");
    status(1, address_);
    status(3, counters(p, n, e));
    postEventLine(eventLinePrefix(address_), true);

    ObjectOutcome outcome;
    outcome.num = objects.asInt("NUM");
    outcome.address = address_;
    if (auto b = before_.find(outcome.num); b != before_.end())
        std::tie(outcome.stateBefore, outcome.errcodeBefore) = b->second;

    Protocol::CurrentObject current;
    current.serial = int(objects.asInt("SERIALNUM") & 0xFFFF);
    current.deviceType = int(objects.asInt("DEVTYPE") & 0xFF);

    if (!objects.asBool("AUTOCON") && !single_) {
        if (markObject(objects, "Опрос выкл.")) {
            postEventLine(eventLinePrefix(address_) + " Опрос не проводился", false);
            postEventLine(kDashes, true);
        } else {
            postEventLine(padLeft(timeText(), 10) + " Ошибка записи MAINDB.dbf", true);
        }
        noteOutcome(objects, outcome, false);
        return;
    }

    int err = 0;
    auto prefix = [&] { return eventLinePrefix(address_); };
    auto enabled = [&](devdata::Task task) {
        if (err != 0 || stop_.requested()) return false;
        // the monthly archive of 238 has no pointer in the device's answer: not read
        if (current.deviceType == 238 && task == devdata::Task::MonthlyArchive) return false;
        const devdata::Settings s = config_.settings();
        return devdata::isTaskEnabled(current.deviceType, task, s.familyBits(current.deviceType));
    };
    auto step = [&](const char* what, bool ok, int bit) {
        if (ok) {
            verdict(prefix() + " " + what + "... OK");
        } else {
            verdict(prefix() + " " + what + "... Нет связи");
            postEventLine("", true);
            err |= bit;
            if (outcome.failedStep.empty()) outcome.failedStep = what;
        }
    };

    // connection
    status(2, "Подключение");
    label("Подключение...");
    postEventLine(prefix() + " Подключение...", false);
    devdata::Settings s = config_.settings();
    connections_.setSettings(s);
    polling::ObjectLink link;
    link.netType = int(objects.asInt("NETTYPE"));
    link.deviceType = current.deviceType;
    link.comPort = objects.asString("COMPORT");
    link.phone = objects.asString("PHONE");
    link.netAddress = objects.asString("NETADR");
    link.ipPort = int(objects.asInt("IPPORT"));
    if (connections_.connectObject(link)) {
        postEventLine(prefix() + " Подключение... OK", false);
    } else {
        postEventLine(prefix() + " Подключение... Ошибка подключения", false);
        postEventLine("", true);
        err = 0x80;
        outcome.failedStep = "Подключение";
    }

    devdata::ReaderContext ctx{protocol_,
                               objects,
                               config_.dataDir,
                               laneTempDir_.empty() ? config_.tempDir : laneTempDir_,
                               current.deviceType,
                               current.serial,
                               repeat,
                               stop_,
                               *this,
                               config_.now,
                               config_.tempDir};
    auto refreshContext = [&] {
        ctx.deviceType = current.deviceType;
        ctx.serial = current.serial;
    };

    // link test and identification
    if (err == 0 && !stop_.requested()) {
        status(2, "Соединение");
        label("Соединение...");
        postStepLine(prefix() + " Соединение...");
        step("Соединение", protocol_.testLink(current, repeat, &objects), 0x40);
        refreshContext();
    }
    bool leave = stop_.requested();
    auto task = [&](devdata::Task tk, const char* statusText, const char* dialog, const char* what, int bit,
                    const std::function<bool()>& run) {
        if (leave) return;
        if (enabled(tk)) {
            if (statusText) status(2, statusText);
            if (dialog) label(dialog);
            postStepLine(prefix() + " " + what + "...");
            bool ok = false;
            try {
                ok = run();
            } catch (const std::exception& ex) {
                // a table that cannot be opened or created fails the step, not the run
                postEventLine(padLeft(timeText(), 10) + " " + ex.what(), true);
            }
            step(what, ok, bit);
        }
        if (stop_.requested()) leave = true;
    };
    task(devdata::Task::State, "Чтение состояния", "Чтение состояния...", "Чтение состояния", 0x20,
         [&] { return devdata::readCurrentState(ctx); });
    task(devdata::Task::DailyArchive, nullptr, "Чтение суточного архива...", "Чтение суточного архива", 0x10,
         [&] { return devdata::readArchive(ctx, 1); });
    task(devdata::Task::MonthlyArchive, nullptr, "Чтение месячного архива...", "Чтение месячного архива",
         0x08, [&] { return devdata::readArchive(ctx, 2); });
    task(devdata::Task::HourlyArchive, nullptr, "Чтение часового архива...", "Чтение часового архива", 0x08,
         [&] { return devdata::readArchive(ctx, 0); });
    if (!leave && enabled(devdata::Task::Clock)) {
        status(2, "Синхронизация времени");
        postStepLine(prefix() + " Синхронизация времени...");
        bool clockSet = false;
        try {
            clockSet = protocol_.setDeviceClock(current.deviceType, current.serial, repeat, config_.now());
        } catch (const std::exception& ex) {
            postEventLine(padLeft(timeText(), 10) + " " + ex.what(), true);
        }
        if (clockSet)
            verdict(prefix() + " Синхронизация времени... OK");
        else
            verdict(prefix() + " Синхронизация времени... Команда не прошла");
    }
    task(devdata::Task::Parameters, "Чтение параметров", "Чтение параметров...", "Чтение параметров", 0x05,
         [&] { return devdata::readParameters(ctx); });
    if (leave) { // the end of the run hangs up
        noteOutcome(objects, outcome, false);
        return;
    }

    // hang-up
    status(2, "Отключение");
    label("Отключение...");
    postEventLine(prefix() + " Отключение...", true);
    if (connections_.hangUp())
        postEventLine(prefix() + " Отключение... OK", false);
    else
        postEventLine(prefix() + " Отключение... Ошибка", false);

    if (err != 0) {
        if (single_) {
            label("Обнаружены ошибки");
            clock_.sleepFor(Duration(500), nullptr);
        }
        ++e;
        postEventLine(prefix() + " Обнаружены ошибки", false);
        postEventLine(kDashes, true);
        markObject(objects, "Нет связи");
    } else {
        if (single_) {
            label("Опрос завершен успешно!");
            clock_.sleepFor(Duration(500), nullptr);
        }
        postEventLine(prefix() + " Опрошен", false);
        postEventLine(kDashes, true);
    }
    ++p;
    status(3, counters(p, n, e));
    noteOutcome(objects, outcome, true);
}

void PollRun::noteOutcome(dbf::Table& objects, ObjectOutcome o, bool polled) {
    o.polled = polled;
    o.state = objects.isNull("STATE") ? "" : objects.asString("STATE");
    o.errcode = objects.isNull("ERRCODE") ? 0 : int(objects.asInt("ERRCODE"));
    outcomes_.push_back(std::move(o));
}

void PollRun::endOfRun(dbf::Table& objects, bool single, int n, int p, int e, int t,
                       const std::string& failure) {
    postEventLine(kStars, true);
    const bool stopped = stop_.requested();
    if (stopped) {
        postEventLine(eventLinePrefix(address_) + " Отключение...", false);
        if (lanesHungUp_ ? *lanesHungUp_ : connections_.hangUp())
            postEventLine(eventLinePrefix(address_) + " Отключение... OK", false);
        else
            postEventLine(eventLinePrefix(address_) + " Отключение... Error", true);
        status(1, "Опрос прерван");
        postEventLine(padLeft(timeText(), 10) + " Опрос прерван пользователем", true);
    } else if (!failure.empty()) {
        status(1, "Опрос прерван");
        postEventLine(padLeft(timeText(), 10) + " Опрос прерван", true);
    } else {
        status(1, "Опрос завершен");
        postEventLine(padLeft(timeText(), 10) + " Опрос завершен", true);
    }
    RunResult result;
    result.singleObject = single;
    result.stopped = stopped;
    result.toPoll = n;
    result.polled = p;
    result.errors = e;
    result.records = t;
    result.failure = failure;
    result.startedAt = startedAt_;
    result.objects = outcomes_;
    if (!single) {
        postEventLine(kStars, true);
        const dbf::DateTime at = config_.now();
        postEventLine("Отчет автоопроса " + at.dateText() + " " + at.timeText(), true);
        postEventLine(fmt1("Опрошено:    %3d", p), true);
        postEventLine(fmt1("Осталось:    %3d", n - p), true);
        postEventLine(fmt1("Ошибок:      %3d", e), true);
        postEventLine(fmt1("Отключено:   %3d", t - n), true);
        char buf[256];
        std::snprintf(buf, sizeof buf, "Опрошено:\t%.3d из %3d\n\rОшибок:\t%.3d\n\rОтключено:\t%.3d\n\r", p,
                      n, e, t - n);
        result.summary = buf;
        status(3, fmt3("Опрошено: %3d  Осталось: %3d  Ошибок: %3d ", p, n - p, e));
        status(2, "");
        postEventLine(kStars, true);
    }
    status(2, "");
    try {
        if (objects.isOpen()) {
            objects.setFiltered(false);
            objects.setFilter("");
        }
    } catch (const std::exception&) {
    }
    storeLog(result);
    if (observer_) observer_->runEnded(result);
}

// The stored event list: "Log/Store<hh-nn-ss_dd.mm.yyyy>.log". A second run that ends in the same second
// appends its lines to the file of the first.
void PollRun::storeLog(RunResult& result) {
    const dbf::DateTime end = config_.now();
    result.endedAt = end;
    char name[64];
    std::snprintf(name, sizeof name, "Store%02d-%02d-%02d_%02d.%02d.%04d.log", end.hour(), end.minute(),
                  end.second(), end.day(), end.month(), end.year());
    const std::string dir = config_.programDir + "/Log";
    result.logFile = dir + "/" + name;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // the lines of this run, kept by the run itself: a long session does not make every log longer
    std::string text;
    for (const std::string& l : eventList())
        text += dbf::codec::toCp1251(l) + "\r\n";
    std::ofstream out(result.logFile, std::ios::binary | std::ios::app);
    if (out) out << text << std::flush;
    if (!out) {
        const std::string why = ec ? ec.message() : std::string(std::strerror(errno));
        const std::string message = "Не удалось сохранить журнал опроса " + result.logFile + ": " + why;
        if (result.failure.empty())
            result.failure = message;
        else
            result.failure += "; " + message;
    }
}

// ---- lanes

namespace {

std::string trimmed(const std::string& s) {
    const size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// "объект", "объекта", "объектов" for a count
std::string objectsWord(size_t k) {
    if (k % 10 == 1 && k % 100 != 11) return "объект";
    if (k % 10 >= 2 && k % 10 <= 4 && (k % 100 < 12 || k % 100 > 14)) return "объекта";
    return "объектов";
}

// Status text 1 of a lanes run: the objects in progress.
std::string inProgressText(const std::map<int, std::string>& inProgress) {
    if (inProgress.empty()) return {};
    if (inProgress.size() == 1) return inProgress.begin()->second;
    std::string text = std::to_string(inProgress.size()) + " " + objectsWord(inProgress.size()) + ": ";
    bool firstOne = true;
    for (const auto& [lane, address] : inProgress) {
        if (!firstOne) text += "; ";
        text += trimmed(address);
        firstOne = false;
    }
    return text;
}

// The link of an object row: its serial port (the path the port service opens, symlinks resolved), its
// network node, or the row alone for a network type without a link of its own.
std::string linkKey(const dbf::Table& objects) {
    const int net = int(objects.asInt("NETTYPE"));
    if (net == 0 || net == 1) {
        std::string path = SerialPort::devicePath(objects.asString("COMPORT"));
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved)) path = resolved;
        return "port:" + path;
    }
    if (net == 2 || net == 3)
        return "net:" + trimmed(objects.asString("NETADR")) + ":" + std::to_string(objects.asInt("IPPORT"));
    return "row:" + std::to_string(objects.asInt("NUM"));
}

} // namespace

struct PollRun::LaneWork {
    std::vector<std::vector<int64_t>> groups; // the NUMs of each link group, in MAINDB order
    std::atomic<size_t> next{0};              // the next group to take
    std::atomic<bool> abort{false};           // a lane failed: no lane takes another object
    int n = 0;
    std::mutex mutex; // what follows, and every call of the observer made for a lane
    int p = 0, e = 0;
    std::map<int, std::string> inProgress; // address by lane
    std::string lastAddress;
    std::string failure;
    bool hungUp = true;
    std::vector<ObjectOutcome> outcomes;
};

// What a lane's own run object reports: its lines stay in the lane until its object ends; its status texts
// and progress reach the observer of the run.
class PollRun::LaneObserver : public PollObserver {
public:
    LaneObserver(PollRun& run, LaneWork& work, int index) : run_(run), work_(work), index_(index) {}
    void statusText(int index, const std::string& text) override {
        std::lock_guard<std::mutex> g(work_.mutex);
        if (index == 1) {
            work_.inProgress[index_] = text;
            work_.lastAddress = text;
            run_.status(1, inProgressText(work_.inProgress));
        } else if (index == 2) {
            run_.status(2, text);
        }
    }
    void progress(int value) override {
        std::lock_guard<std::mutex> g(work_.mutex);
        run_.progress(value);
    }
    void terminalLine(const std::string& line) override {
        std::lock_guard<std::mutex> g(work_.mutex);
        if (run_.observer_) run_.observer_->terminalLine(line);
    }
    void lineSignals(const std::string& text) override {
        if (run_.observer_) run_.observer_->lineSignals(text);
    }

private:
    PollRun& run_;
    LaneWork& work_;
    int index_;
};

void PollRun::bodyLanes(dbf::Table& objects, int lanes, int n, int& p, int& e, std::string& failure) {
    LaneWork work;
    work.n = n;
    // the link groups: one port, one network node, or one set of archive tables; MAINDB order within each
    std::vector<int64_t> nums;
    std::vector<size_t> parent;
    std::map<std::string, size_t> firstOf;
    auto root = [&](size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    auto join = [&](const std::string& key, size_t i) {
        auto [it, fresh] = firstOf.emplace(key, i);
        if (!fresh) parent[root(i)] = root(it->second);
    };
    for (objects.first(); !objects.eof(); objects.next()) {
        const size_t i = nums.size();
        nums.push_back(objects.asInt("NUM"));
        parent.push_back(i);
        join(linkKey(objects), i);
        join("arch:" + std::to_string(objects.asInt("DEVTYPE") & 0xFF) + ":" +
                 std::to_string(objects.asInt("SERIALNUM") & 0xFFFF),
             i);
    }
    std::map<size_t, size_t> groupOf;
    for (size_t i = 0; i < nums.size(); ++i) {
        auto [it, fresh] = groupOf.emplace(root(i), work.groups.size());
        if (fresh) work.groups.emplace_back();
        work.groups[it->second].push_back(nums[i]);
    }

    const int count = std::min(lanes, int(work.groups.size()));
    // the lanes' own temporary folders lie in the shared one
    std::error_code ec;
    std::filesystem::create_directory(config_.tempDir, ec);
    std::vector<std::unique_ptr<LaneObserver>> observers;
    std::vector<std::unique_ptr<PollRun>> runs;
    for (int i = 0; i < count; ++i) {
        observers.push_back(std::make_unique<LaneObserver>(*this, work, i));
        auto lane = std::make_unique<PollRun>(clock_, observers.back().get());
        lane->config_ = config_;
        lane->repeat_ = repeat_;
        lane->before_ = before_;
        lane->startedAt_ = startedAt_;
        lane->laneTempDir_ = devdata::joinPath(config_.tempDir, "lane" + std::to_string(i + 1));
        runs.push_back(std::move(lane));
    }
    {
        std::lock_guard<std::mutex> g(lanesMutex_);
        for (auto& lane : runs) {
            lanes_.push_back(lane.get());
            if (stop_.requested()) lane->stop_.request();
        }
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back([this, &runs, &work, i] {
            ::setpriority(PRIO_PROCESS, pid_t(::syscall(SYS_gettid)), 5);
            laneLoop(*runs[i], work, i);
        });
    for (auto& t : threads)
        t.join();
    {
        std::lock_guard<std::mutex> g(lanesMutex_);
        lanes_.clear();
    }
    for (auto& lane : runs)
        devdata::cleanTempDir(lane->laneTempDir_);

    p = work.p;
    e = work.e;
    outcomes_ = std::move(work.outcomes);
    std::stable_sort(outcomes_.begin(), outcomes_.end(),
                     [](const ObjectOutcome& a, const ObjectOutcome& b) { return a.num < b.num; });
    address_ = work.lastAddress;
    if (stop_.requested()) lanesHungUp_ = work.hungUp;
    failure = work.failure;
}

void PollRun::laneLoop(PollRun& lane, LaneWork& work, int index) {
    dbf::Table objects;
    try {
        objects.open(config_.dataDir, devdata::kObjectsTableName);
        objects.setIndexFieldNames("NUM");
        while (!lane.stop_.requested() && !work.abort) {
            const size_t g = work.next++;
            if (g >= work.groups.size()) break;
            for (int64_t num : work.groups[g]) {
                if (lane.stop_.requested() || work.abort) break;
                // the rows the other lanes wrote meanwhile
                objects.refresh();
                if (!objects.locate("NUM", dbf::Value(num))) continue;
                int n = work.n, p = 0, e = 0;
                {
                    std::lock_guard<std::mutex> l(work.mutex);
                    status(3, counters(work.p, work.n, work.e));
                }
                lane.handleRecord(objects, n, p, e);
                {
                    std::lock_guard<std::mutex> l(work.mutex);
                    work.p += p;
                    work.e += e;
                    work.inProgress.erase(index);
                    status(1, inProgressText(work.inProgress));
                    status(3, counters(work.p, work.n, work.e));
                }
                flushLane(lane, work);
            }
        }
    } catch (const std::exception& ex) {
        // the objects table cannot be read: the run ends, and says why
        lane.postEventLine(padLeft(timeText(), 10) + " " + ex.what(), true);
        std::lock_guard<std::mutex> l(work.mutex);
        if (work.failure.empty()) work.failure = ex.what();
        work.abort = true;
    }
    if (lane.stop_.requested() || work.abort) {
        // every lane hangs up
        bool ok = false;
        try {
            ok = lane.connections_.hangUp();
        } catch (const std::exception&) {
        }
        std::lock_guard<std::mutex> l(work.mutex);
        work.hungUp = work.hungUp && ok;
    }
    flushLane(lane, work);
    std::lock_guard<std::mutex> l(work.mutex);
    work.inProgress.erase(index);
    for (ObjectOutcome& o : lane.outcomes_)
        work.outcomes.push_back(std::move(o));
    lane.outcomes_.clear();
}

void PollRun::flushLane(PollRun& lane, LaneWork& work) {
    std::vector<std::string> block;
    {
        std::lock_guard<std::mutex> g(lane.linesMutex_);
        block.swap(lane.lines_);
        lane.lastReplaceable_ = false;
    }
    std::lock_guard<std::mutex> g(work.mutex);
    for (const std::string& line : block)
        postEventLine(line, true);
}

} // namespace polling
