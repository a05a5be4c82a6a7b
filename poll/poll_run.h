// The poll run: one walk over the objects table on its own thread. For every object to poll it connects,
// tests the link, runs the tasks the settings enable for the device family, hangs up and keeps the counters;
// it reports event lines, status texts and progress to an observer and stores its event list as a log file.
#pragma once

#include "dbf/table.h"
#include "devdata/readers.h"
#include "devdata/settings.h"
#include "poll/clock.h"
#include "poll/connection.h"
#include "poll/poll_lock.h"
#include "poll/protocol.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace polling {

inline constexpr const char* kAlreadyRunning = "Опрос уже запущен";

// What one object walked by a run came to: what MAINDB held for it when the run began, and what the run left.
struct ObjectOutcome {
    int64_t num = 0;
    std::string address;
    std::string stateBefore; // STATE when the run began
    int errcodeBefore = 0;   // ERRCODE when the run began
    std::string state; // STATE the run left ("Норма", "Нет связи", "Опрос выкл.", ...)
    int errcode = 0;   // ERRCODE the run left: the device's error bits
    bool polled = false;    // the run went through the object to its hang-up (counted in P)
    std::string failedStep; // the step that failed ("Подключение", "Соединение", "Чтение состояния", ...)
};

struct RunResult {
    bool singleObject = false;
    bool stopped = false;
    int toPoll = 0;      // N
    int polled = 0;      // P
    int errors = 0;      // E
    int records = 0;     // T
    std::string summary; // the three-line summary of an all-objects run (empty otherwise)
    std::string logFile; // the stored event list
    // Why the run could not walk the objects or could not store its log (empty when it did both).
    std::string failure;
    dbf::DateTime startedAt, endedAt;   // the local time of the run's start and of its stored log
    std::vector<ObjectOutcome> objects; // the objects the run walked, in NUM order
};

// What a start request came to.
struct StartResult {
    enum Outcome {
        Started,
        Running, // this run object is still running
        Locked,  // another run (of this or another process) holds the data folder
        Failed,  // the poll lock could not be taken: error says why
    };
    Outcome outcome = Started;
    std::string error;
    explicit operator bool() const { return outcome == Started; }
};

// What the run tells the windows (or the command line). Called on the poll thread.
class PollObserver {
public:
    virtual ~PollObserver() = default;
    // A new line, or one that replaces the last line.
    virtual void eventLine(const std::string& /*text*/, bool /*replaceLast*/) {}
    // Status texts 1..3 (status bar panels) and 5 (label of the single-object progress dialog).
    virtual void statusText(int /*index*/, const std::string& /*text*/) {}
    virtual void progress(int /*value*/) {}
    virtual void runStarted(bool /*singleObject*/) {}
    // After the log is stored; the object monitor should be rebuilt.
    virtual void runEnded(const RunResult& /*result*/) {}
    // The protocol's traffic lines for the terminal page.
    virtual void terminalLine(const std::string& /*line*/) {}
    // The serial line's modem signals changed ("CTS:On DSR:Off Ring:Off RLSD:On "), for the status bar's
    // last panel. Called on the port's event thread.
    virtual void lineSignals(const std::string& /*text*/) {}
};

struct PollConfig {
    std::string programDir; // holds "log.txt" and the folder "Log"
    std::string dataDir;
    std::string tempDir;
    // The settings in force, asked whenever a task is decided (the settings window may change them
    // meanwhile).
    std::function<devdata::Settings()> settings;
    // The local date and time of lines and of the objects' connection stamps.
    std::function<dbf::DateTime()> now = [] { return dbf::DateTime::now(); };
    // Links polled side by side by an all-objects run, in place of the setting "Lanes" for this run.
    std::optional<int> lanes;
};

class PollRun : private EventSink, private devdata::ReaderObserver, private ProtocolObserver {
public:
    explicit PollRun(Clock& clock, PollObserver* observer = nullptr);
    ~PollRun() override;
    PollRun(const PollRun&) = delete;
    PollRun& operator=(const PollRun&) = delete;

    // Starts a run on its own thread: all objects with AUTOCON, or only the object numbered singleObject
    // whatever its AUTOCON. The run holds the poll lock of its data folder from here to its end; it is
    // refused while this run is going (Running) or while another run holds the folder (Locked); the
    // caller shows kAlreadyRunning for both.
    StartResult start(const PollConfig& config, std::optional<int> singleObject = std::nullopt);
    // Sets the stop flag; the run ends at its next stop check.
    void requestStop();
    // Sets the stop flag and waits for the run to end.
    void stop();
    // Waits for the run to end.
    void wait();
    bool running() const { return running_; }

    // The event lines of the current run (or of the last one, once it has ended): what its stored log holds.
    std::vector<std::string> eventList() const;
    // "  12:25:50 ул. Ленина, 5                     - "
    std::string eventLinePrefix(const std::string& address) const;

private:
    void body();
    void handleRecord(dbf::Table& objects, int& n, int& p, int& e);
    // The outcome of the current object as the run leaves it in MAINDB.
    void noteOutcome(dbf::Table& objects, ObjectOutcome o, bool polled);
    void endOfRun(dbf::Table& objects, bool single, int n, int p, int e, int t, const std::string& failure);
    std::string counters(int p, int n, int e) const;
    std::string timeText() const;
    void status(int index, const std::string& text);
    void label(const std::string& text);
    bool markObject(dbf::Table& objects, const char* state);
    // The verdict of a step: it replaces the step's own line (or a blank line left to be replaced), and
    // follows any other line posted since, so that error and warning lines stay in the list.
    void verdict(const std::string& text);
    void storeLog(RunResult& result);

    // ---- lanes: an all-objects run with more than one lane polls up to that many links side by side, each
    // lane a run object of its own (its link, protocol, MAINDB handle and temporary folder) walking the
    // objects of one link group after another; a lane's lines reach this run's list when its object ends.
    struct LaneWork;
    class LaneObserver;
    void bodyLanes(dbf::Table& objects, int lanes, int n, int& p, int& e, std::string& failure);
    void laneLoop(PollRun& lane, LaneWork& work, int index);
    // Moves the lines the lane posted since the last call into this run's list, in one block.
    void flushLane(PollRun& lane, LaneWork& work);

    // EventSink: the connection's lines
    void postEventLine(const std::string& text, bool newLine) override;
    // A step's first line, which its verdict replaces.
    void postStepLine(const std::string& text);
    // ReaderObserver
    void eventLine(const std::string& text, bool replaceLast) override { postEventLine(text, !replaceLast); }
    void statusText(const std::string& text) override { status(2, text); }
    void progress(int value) override;
    void damagedTable(const std::string& line) override;
    // ProtocolObserver
    void terminalLine(const std::string& line) override;
    void eventLine(const std::string& line) override { postEventLine(line, true); }

    Clock& clock_;
    PollObserver* observer_;
    StopSignal stop_;
    Protocol protocol_;
    Connections connections_;
    PollConfig config_;
    std::optional<int> single_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    mutable std::mutex linesMutex_;
    std::vector<std::string> lines_;
    bool lastReplaceable_ = false; // the last line is a step's own line or a blank left to be replaced
    DataFolderLock lock_;
    std::string address_;
    int progress_ = 0;
    int repeat_ = 6; // attempts per command, read at the start of the run
    dbf::DateTime startedAt_;
    // STATE and ERRCODE of every object when the run began, by NUM
    std::map<int64_t, std::pair<std::string, int>> before_;
    std::vector<ObjectOutcome> outcomes_;
    std::mutex lanesMutex_;
    std::vector<PollRun*> lanes_;     // the lanes of the current run, for the stop flag
    std::string laneTempDir_;         // a lane's own temporary folder (empty for the run itself)
    std::optional<bool> lanesHungUp_; // a stopped lanes run: whether every lane hung up
};

} // namespace polling
