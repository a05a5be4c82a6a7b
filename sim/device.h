// One simulated heat calculator: its data model (current state, configuration block, three archive ring
// buffers, clock), built deterministically from type, serial number and seed, and its answers to RZ frames.
#pragma once

#include "sim/counters.h"
#include "sim/datetime.h"
#include "sim/layouts.h"
#include "sim/protocol.h"

#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace calcsim {

enum Kind { Hourly = 0, Daily = 1, Monthly = 2 };
extern const char* const kKindNames[3]; // "hourly", "daily", "monthly"
std::optional<Kind> kindFromName(const std::string& name);

// The archive record a record request (0x03) asks for: payload byte 0 is the slot's low byte, byte 1 its high
// byte plus the kind's offset (0x00 hourly, 0x80 daily, 0xC0 monthly).
struct RecordSlot {
    Kind kind = Hourly;
    int slot = 0;
};
RecordSlot recordSlotOf(int high, int low);

struct RecordOverride {
    Kind kind = Hourly;
    int slot = 0;
    std::map<std::string, double> fields; // record fields, "hour" and "day" included
};

struct DeviceConfig {
    int type = 0;
    int serial = 0;
    std::uint64_t seed = 0;
    int identType = -1;            // type byte of the identification answer; -1: the default (230 for 231)
    std::optional<DateTime> clock; // device clock at start; default 2024-01-15 12:00:00
    std::map<std::string, double> state;    // explicit state values by field name
    std::map<std::string, double> params;   // explicit configuration block values
    std::array<long, 3> filled{-1, -1, -1}; // records written per kind; -1: the default
    std::array<long, 3> grow{0, 0, 0};      // records added per kind after every archive-end command
    std::vector<RecordOverride> records;
    // Field values every written record of the kind carries (a slot's override still wins).
    std::array<std::map<std::string, double>, 3> recordValues;
};

// Ring depths of the device side (225 and 238 alike).
int archiveDepth(int type, Kind kind);

class Device {
public:
    // Throws std::invalid_argument for an unknown type, a serial outside 1..65535, unknown field names or an
    // archive that would reach back before 2000.
    explicit Device(const DeviceConfig& config);

    int type() const { return type_; }
    int serial() const { return serial_; }
    int row() const { return row_; }
    int identType() const { return identType_; }

    // State blocks: the first always, the second for the flow meter only.
    const Layout& stateLayout() const;
    const std::vector<double>& stateValues() const { return state_; }
    const Layout* secondStateLayout() const;
    const std::vector<double>& secondStateValues() const { return state2_; }
    // Configuration block as the device holds it (nullptr layout: none).
    const Layout* paramLayout() const;
    const Bytes& paramBlock() const { return params_; }

    const Layout* recordLayout() const;
    int depth(Kind k) const { return depth_[k]; }
    long filled(Kind k) const { return filled_[k]; }
    // Slot the device writes next.
    int pointer(Kind k) const;
    // Values of the record in the slot (in record layout order); nullopt for a never-written slot or one
    // beyond the depth, which the device answers with zeros.
    std::optional<std::vector<double>> record(Kind k, int slot) const;
    // Time stamp of the record with absolute index i (0 = the first ever written).
    DateTime recordTime(Kind k, long index) const;

    // Device clock now (it runs from the configured start or the last setting).
    DateTime clock() const;
    DateTime initialClock() const { return initialClock_; }

    // Archive reading sessions end with the archive-end command; each adds the configured growth.
    void endArchiveSession();

    struct Reply {
        bool answered = false;
        Bytes frame;                      // the answer when answered
        int command = -1;                 // command byte of the request (-1 when not a frame for this device)
        std::string what;                 // the command's name, or why nothing is answered
        std::optional<RecordSlot> record; // the record asked for, for an archive record request
    };
    // Answers one complete RZ frame (length byte first, no wake-up byte).
    Reply handle(std::span<const std::uint8_t> frame);

private:
    Bytes statePayload(const Layout& l, const std::vector<double>& v) const { return encode(l, v); }
    Bytes pointersPayload() const;
    Bytes recordPayload(RecordSlot r, std::string& what) const;
    double recordValue(Kind k, long index, const Field& f) const;
    // The time of the state's counter readings: the clock at start, or the newest record when the rings
    // grew past it.
    DateTime stateTime() const;
    // Puts the counters' readings at stateTime() into the state fields not given explicitly.
    void refreshStateCounters();

    int type_, serial_, row_, identType_;
    std::uint64_t seed_;
    std::vector<double> state_, state2_;
    Bytes params_;
    std::array<int, 3> depth_{};
    std::array<long, 3> filled_{}, grow_{};
    std::array<DateTime, 3> lastStamp_{}; // time stamp of record filled-1 as configured
    std::array<long, 3> initialFilled_{};
    std::vector<RecordOverride> overrides_;
    std::array<std::map<std::string, double>, 3> recordValues_;
    std::optional<Counters> counters_;
    std::set<std::string> explicitState_;
    DateTime initialClock_;
    std::int64_t clockBase_ = 0;
    std::chrono::steady_clock::time_point clockSetAt_;
};

} // namespace calcsim
