// The readers of the poll: current state, archives and parameters. Each asks the connected calculator through
// the frame protocol, decodes the reply and stores it in the object's tables in the data directory.
#pragma once

#include "dbf/table.h"
#include "poll/protocol.h"

#include <functional>
#include <string>

namespace devdata {

// What a reader tells the poll run.
class ReaderObserver {
public:
    virtual ~ReaderObserver() = default;
    // An event line of the poll (the run adds its time-and-address prefix); replaceLast overwrites the last
    // line.
    virtual void eventLine(const std::string& /*text*/, bool /*replaceLast*/ = false) {}
    // Status text 2 of the poll ("Чтение архива 40 % - 117").
    virtual void statusText(const std::string& /*text*/) {}
    // The progress value of the run (0..100).
    virtual void progress(int /*value*/) {}
    // Rows copied so far from the temporary archive into the main archive, of total, after every row (and
    // after the block it completes was written).
    virtual void transferProgress(int /*copied*/, int /*total*/) {}
    // A table that was not a valid table was moved aside and a new one made: the engine's message and the
    // new name. An error line of the event list, and a line of the error log.
    virtual void damagedTable(const std::string& line) { eventLine(line); }
};

// Everything a reader works with for the current object.
struct ReaderContext {
    polling::Protocol& protocol;
    // The poll's copy of MAINDB, positioned on the object; the master of the data tables.
    dbf::Table& objects;
    std::string dataDir;
    std::string tempDir;
    int deviceType = 0;
    int serial = 0;
    // Attempts per command (the setting "Repeat").
    int repeat = 6;
    const polling::StopSignal& stop;
    ReaderObserver& observer;
    // The local date and time (the poll's clock; tests fix it).
    std::function<dbf::DateTime()> now = [] { return dbf::DateTime::now(); };
    // Where the failed-slot notes of the archives are kept across runs; empty: tempDir. A lane of a run has a
    // temporary folder of its own, and keeps these notes in the shared one.
    std::string failedSlotDir = {};
};

// Reads the current state into "STATEDB<type>" and writes the outcome (STATE, ERRCODE, ERR, CON_DATE,
// CON_TIME) into the object's MAINDB row. True when a state row was stored. Throws dbf::Error when the state
// table can neither be opened nor created.
bool readCurrentState(ReaderContext& ctx);

// Reads the hourly (0), daily (1) or monthly (2) archive into "ARCHDB<serial><kind><type>", resuming after
// the last stored record. True when the read completed (nothing new to read counts as completed). Type 238
// has no monthly archive to read: true at once, nothing sent or touched. Throws dbf::Error when the main or
// the temporary archive table cannot be created (the creation failure is logged first).
bool readArchive(ReaderContext& ctx, int kind);

// Reads the configuration block into the object's PARSDB row. True when a row was stored. Throws dbf::Error
// when PARSDB can neither be opened nor created.
bool readParameters(ReaderContext& ctx);

// The archive transfer writes the main archive in blocks of this many rows: a block is written at once, and
// a process killed during the transfer leaves the oldest rows of the read in the main archive, from which the
// next read resumes.
inline constexpr int kArchiveTransferBlock = 64;
// Consecutive slots without a new record that end an archive read.
inline constexpr int kMaxEmptyArchiveSlots = 10;

// Archive depth (records in the device's ring) of a kind for a device type; 0 when the type keeps no such
// archive.
int archiveDepth(int deviceType, int kind);

// Number of slots to visit for an archive whose last stored record has number last (or none: empty) and whose
// next-write pointer is pointer.
int archiveSlotsToVisit(bool empty, int last, int pointer, int depth);

} // namespace devdata
