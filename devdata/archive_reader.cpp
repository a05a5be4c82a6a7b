// Archive reading: the records the main archive "ARCHDB<serial><kind><type>" does not hold yet are fetched
// newest first into the temporary table "~ARCHDB<serial><kind><type>", then appended to the main archive
// oldest first.
#include "devdata/catalogue.h"
#include "devdata/reader_support.h"
#include "devdata/readers.h"
#include "devdata/tables.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace devdata {

namespace {

using detail::f32At;
using detail::u16At;
using detail::u8At;
using polling::Dest;

// Entries 5, 6 and 8 are tried this often; entry 7 once per call, the call repeated by the reader.
constexpr int kArchiveCommandAttempts = 6;
// Added to the high byte of the record number in a record request, by archive kind.
constexpr uint8_t kKindOffsets[3] = {0x00, 0x80, 0xC0};

bool servesArchives(int type) {
    switch (type) {
    case 225:
    case 229:
    case 230:
    case 234:
    case 235:
    case 236:
    case 237:
    case 238:
        return true;
    default:
        return false;
    }
}

// ---- record layouts

enum class Enc {
    U8,
    U16,
    F32,        // stored as it is
    F32NanZero, // a NaN is stored as 0
    U16Cent,    // hundredths
};

struct RecordField {
    const char* name;
    size_t offset;
    Enc enc;
};

struct RecordLayout {
    Dest dest;
    std::vector<RecordField> fields;
    size_t hourOffset;
    size_t dayOffset;
    int recNumOffset; // -1: the requested record number
};

// Lays fields out one after the other.
class LayoutBuilder {
public:
    LayoutBuilder& add(const char* name, Enc enc) {
        fields_.push_back({name, at_, enc});
        at_ += enc == Enc::U8 ? 1 : (enc == Enc::U16 || enc == Enc::U16Cent) ? 2 : 4;
        return *this;
    }
    LayoutBuilder& add(std::initializer_list<const char*> names, Enc enc) {
        for (const char* n : names)
            add(n, enc);
        return *this;
    }
    size_t at() const { return at_; }
    std::vector<RecordField> take() { return std::move(fields_); }

private:
    size_t at_ = 0;
    std::vector<RecordField> fields_;
};

void errorCounters(LayoutBuilder& b) {
    b.add({"ErrorTime1", "ErrorTime2", "ErrorMinExpTime1", "ErrorMinExpTime2"}, Enc::U16)
        .add({"ErrorMinExpEnergy1", "ErrorMinExpEnergy2"}, Enc::F32)
        .add({"ErrorMaxExpTime1", "ErrorMaxExpTime2"}, Enc::U16)
        .add({"ErrorMaxExpEnergy1", "ErrorMaxExpEnergy2"}, Enc::F32)
        .add({"ErrorDeltaTTime1", "ErrorDeltaTTime2"}, Enc::U16)
        .add({"ErrorDeltaTEnergy1", "ErrorDeltaTEnergy2"}, Enc::F32);
}

// Row 0 (229, 230): 160 bytes.
RecordLayout twoSystemLayout() {
    LayoutBuilder b;
    b.add({"WorkTime", "WorkTimeErr1", "WorkTimeErr2"}, Enc::U16)
        .add({"HEnergy1", "HEnergy2", "Volume1", "Volume2", "Volume3", "Volume4", "Volume5", "Volume6"},
             Enc::F32)
        .add("CurrWorkTime", Enc::U16)
        .add({"CurrHeatEnergy1", "CurrHeatEnergy2", "CurrVolume1", "CurrVolume2", "CurrVolume3",
              "CurrVolume4", "CurrVolume5", "CurrVolume6", "MainTemper1", "MainTemper2", "MainTemper3",
              "MainTemper4", "AddTemper1", "AddTemper2", "Pressure1", "Pressure2", "Pressure3", "Pressure4"},
             Enc::F32);
    errorCounters(b);
    b.add({"SysErr1", "SysErr2", "DevErr"}, Enc::U8);
    return {Dest::A0, b.take(), 155, 156, -1};
}

// Rows 3 and 5 (234-237): 216 bytes, with masses, power and reverse-flow times and the record's own number.
RecordLayout twoSystemWithMassesLayout() {
    LayoutBuilder b;
    b.add({"WorkTime", "WorkTimeErr1", "WorkTimeErr2"}, Enc::U16)
        .add({"HEnergy1", "HEnergy2", "Volume1", "Volume2", "Volume3", "Volume4", "Volume5", "Volume6",
              "Weight1", "Weight2", "Weight3", "Weight4", "Weight5", "Weight6"},
             Enc::F32)
        .add("CurrWorkTime", Enc::U16)
        .add({"CurrHeatEnergy1", "CurrHeatEnergy2", "CurrVolume1", "CurrVolume2", "CurrVolume3",
              "CurrVolume4",     "CurrVolume5",     "CurrVolume6", "CurrWeight1", "CurrWeight2",
              "CurrWeight3",     "CurrWeight4",     "CurrWeight5", "CurrWeight6", "MainTemper1",
              "MainTemper2",     "MainTemper3",     "MainTemper4", "AddTemper1",  "AddTemper2",
              "Pressure1",       "Pressure2",       "Pressure3",   "Pressure4"},
             Enc::F32);
    errorCounters(b);
    b.add({"ErrorPwrTime", "ErrorRevTime1", "ErrorRevTime2"}, Enc::U16)
        .add({"SysErr1", "SysErr2", "DevErr"}, Enc::U8);
    return {Dest::A3, b.take(), 209, 210, 212};
}

// Rows 1 and 6 (225, 238): 43 bytes.
RecordLayout oneSystemLayout() {
    LayoutBuilder b;
    b.add({"WorkTime", "WorkTimeErr1"}, Enc::U16)
        .add("HEnergy1", Enc::F32NanZero)
        .add({"Volume1", "Volume2", "Volume3", "ErrHVolume", "ElEnergy1", "ElEnergy2"}, Enc::F32)
        .add({"MainTemper1", "MainTemper2", "AddTemper1"}, Enc::U16Cent)
        .add({"SysErr1", "ErrTime"}, Enc::U8);
    return {Dest::A1, b.take(), 40, 41, -1};
}

const RecordLayout& recordLayout(int type) {
    static const RecordLayout p = twoSystemLayout(), pm = twoSystemWithMassesLayout(), k = oneSystemLayout();
    if (type == 229 || type == 230) return p;
    if (type >= 234 && type <= 237) return pm;
    return k;
}

// ---- time stamps

// 31.12.1999 + day counter days + hour hours: the time stamp of a record.
dbf::DateTime recordStamp(int dayCounter, int hour) {
    static const dbf::DateTime base = dbf::DateTime::fromParts(1999, 12, 31);
    return base.addDays(dayCounter).addMs(int64_t(hour) * 3'600'000);
}

dbf::DateTime stampOf(const RecordLayout& l, std::span<const uint8_t> rec) {
    return recordStamp(u16At(rec, l.dayOffset), u8At(rec, l.hourOffset));
}

void fillRecord(dbf::Table& t, const RecordLayout& l, std::span<const uint8_t> rec, int requested) {
    for (const RecordField& f : l.fields) {
        switch (f.enc) {
        case Enc::U8:
            t.setInt(f.name, u8At(rec, f.offset));
            break;
        case Enc::U16:
            t.setInt(f.name, u16At(rec, f.offset));
            break;
        case Enc::F32: {
            // a channel that is not fitted reports NaN: that field stays empty, the record is kept
            const float v = f32At(rec, f.offset);
            if (std::isfinite(v))
                t.setFloat(f.name, double(v));
            else
                t.setNull(f.name);
            break;
        }
        case Enc::F32NanZero: {
            const float v = f32At(rec, f.offset);
            if (std::isnan(v))
                t.setFloat(f.name, 0.0);
            else if (std::isinf(v))
                t.setNull(f.name);
            else
                t.setFloat(f.name, double(v));
            break;
        }
        case Enc::U16Cent:
            t.setFloat(f.name, u16At(rec, f.offset) / 100.0);
            break;
        }
    }
    const int hour = u8At(rec, l.hourOffset);
    t.setInt("WriteHour", hour);
    t.setDateTime("WriteDay", stampOf(l, rec));
    t.setInt("CheckField", 0);
    t.setInt("RecNum", l.recNumOffset < 0 ? requested : u16At(rec, size_t(l.recNumOffset)));
}

// A slot that answered without a new record: every data field empty.
void fillPlaceholder(dbf::Table& t, int requested) {
    t.setInt("CheckField", 1);
    t.setInt("RecNum", requested);
}

// Next-write slot of the kind from the reply of entry 5.
int decodePointer(int type, int kind, const std::vector<uint8_t>& r) {
    auto u16 = [&r](size_t off) { return off + 1 < r.size() ? int(r[off] | (r[off + 1] << 8)) : 0; };
    switch (kind) {
    case kHourlyArchive:
        return u16(5);
    case kDailyArchive:
        if (type >= 234 && type <= 237) return u16(7);
        return r.size() > 7 ? r[7] : 0;
    case kMonthlyArchive:
        if (type == 236 || type == 237) return u16(9);
        return 0;
    }
    return 0;
}

std::string progressText(int progress, int pointer) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "Чтение архива %d %s - %d", progress, "%", pointer);
    return buf;
}

// Copies the temporary rows rows[from], rows[from - 1], ... rows[to] (oldest first) into the main archive, in
// bulk blocks. Every field but NUM goes over by name. A record whose time stamp is not newer than the newest
// one the main archive holds (newest, updated as records go over) is left out: a device clock set back
// repeats stamps already stored, and the main archive keeps one row per stamp.
void transfer(dbf::Table& temp, dbf::Table& main, const std::vector<int>& rows, size_t from, size_t to,
              std::optional<dbf::DateTime> newest, ReaderObserver& observer) {
    std::vector<std::pair<int, int>> fieldMap; // temporary field number, main field number
    for (int i = 0; i < temp.fieldCount(); ++i) {
        const std::string& name = temp.fields()[size_t(i)].name;
        if (name == "NUM") continue;
        const int j = main.fieldIndex(name);
        if (j >= 0) fieldMap.emplace_back(i, j);
    }
    const int total = int(from - to) + 1;
    int copied = 0;
    main.beginBulk();
    try {
        for (size_t k = from + 1; k-- > to;) {
            temp.setRecNo(rows[k]);
            if (temp.asInt("CheckField") == 0 && !temp.isNull("WriteDay")) {
                const dbf::DateTime at = temp.asDateTime("WriteDay");
                if (newest && at <= *newest) {
                    observer.transferProgress(++copied, total);
                    continue;
                }
                newest = at;
            }
            main.append();
            for (const auto& [src, dst] : fieldMap)
                main.setValue(dst, temp.value(src));
            main.post();
            ++copied;
            if (copied % kArchiveTransferBlock == 0 && copied < total) {
                main.endBulk();
                main.beginBulk();
            }
            observer.transferProgress(copied, total);
        }
        main.endBulk();
    } catch (...) {
        detail::cancelQuietly(main);
        try {
            main.endBulk(); // what was appended before the error stays, oldest first
        } catch (const std::exception&) {
        }
        throw;
    }
}

// The slot that could not be read in the last reads of an archive, and in how many of them in a row; a slot
// that fails in kFailedReadsToPassOver reads in a row is passed over, so that one broken slot cannot stop
// the archive for good. Kept beside the temporary table, as "~ARCHDB<serial><kind><type>.gap".
struct FailedSlot {
    int slot = -1;
    int reads = 0;
};
constexpr int kFailedReadsToPassOver = 3;

std::string failedSlotFile(const std::string& tempDir, int serial, int kind, int type) {
    return joinPath(tempDir, archiveTableName(serial, kind, type, true) + ".gap");
}

FailedSlot loadFailedSlot(const std::string& path) {
    FailedSlot f;
    std::ifstream in(path);
    if (!(in >> f.slot >> f.reads) || f.slot < 0 || f.reads < 1) return {};
    return f;
}

void storeFailedSlot(const std::string& path, const FailedSlot& f) {
    std::error_code ec;
    if (f.slot < 0) {
        std::filesystem::remove(path, ec);
        return;
    }
    const std::string scratch = path + ".new~";
    {
        std::ofstream out(scratch, std::ios::trunc);
        out << f.slot << " " << f.reads << "\n";
        if (!out.flush()) return;
    }
    std::filesystem::rename(scratch, path, ec);
}

// The shortest time between two records of a kind: an hour, a day, 28 days.
int64_t shortestIntervalMs(int kind) {
    constexpr int64_t hour = 3'600'000;
    return kind == kHourlyArchive ? hour : kind == kDailyArchive ? 24 * hour : 28 * 24 * hour;
}

void closeQuietly(dbf::Table& t) {
    try {
        t.close();
    } catch (const std::exception&) {
    }
}

} // namespace

int archiveDepth(int deviceType, int kind) {
    if (kind < 0 || kind > 2) return 0;
    static const int kDepths[4][3] = {
        {960, 62, 0},    // 229, 230
        {1023, 128, 0},  // 225 and 238
        {1080, 366, 0},  // 234, 235
        {1440, 366, 36}, // 236, 237
    };
    switch (deviceType) {
    case 229:
    case 230:
        return kDepths[0][kind];
    case 225:
    case 238:
        return kDepths[1][kind];
    case 234:
    case 235:
        return kDepths[2][kind];
    case 236:
    case 237:
        return kDepths[3][kind];
    default:
        return 0;
    }
}

int archiveSlotsToVisit(bool empty, int last, int pointer, int depth) {
    if (empty) return depth;
    if (last <= pointer) return pointer - last;
    return depth - last + pointer;
}

bool readArchive(ReaderContext& ctx, int kind) {
    const int type = ctx.deviceType;
    const int serial = ctx.serial;
    if (!servesArchives(type) || serial == 0 || kind < 0 || kind > 2) return false;
    // 238 keeps no monthly archive to read
    if (type == 238 && kind == kMonthlyArchive) return true;
    const int depth = archiveDepth(type, kind);
    if (depth == 0) return false;

    polling::Protocol& proto = ctx.protocol;
    ReaderObserver& observer = ctx.observer;
    const LogFn log = [&observer](const std::string& line) { observer.eventLine(line); };

    // without the pointers there is no telling which slots are new: nothing is read or stored
    if (!proto.sendCommand(polling::kArchivePointers, kArchiveCommandAttempts, type, serial)) {
        observer.eventLine("Не удалось прочитать указатели архива");
        return false;
    }
    const int pointer = decodePointer(type, kind, proto.response());
    proto.sendCommand(polling::kArchiveBegin, kArchiveCommandAttempts, type, serial);

    // a table that could not be created is opened all the same: the error it raises leaves the reader
    dbf::Table main;
    const LogFn damaged = [&observer](const std::string& line) { observer.damagedTable(line); };
    if (!openArchiveTable(main, type, serial, kind, ctx.dataDir, &ctx.objects, log, damaged))
        openDetail(main, ctx.dataDir, archiveTableName(serial, kind, type), &ctx.objects);

    static const dbf::DateTime kEmptySlotStamp = recordStamp(0, 0);
    bool emptyArchive = main.isEmpty();
    const bool startedEmpty = emptyArchive;
    int lastRecNum = 0;
    std::optional<dbf::DateTime> lastStamp;    // T: the time stamp of the last record taken
    std::optional<dbf::DateTime> newestStored; // the newest record of the main archive (not an empty slot's)
    if (!emptyArchive) {
        main.last();
        lastRecNum = int(main.asInt("RecNum"));
        if (!main.isNull("WriteDay")) lastStamp = main.asDateTime("WriteDay");
        // placeholders carry no stamp: the newest stamp is that of the last record read and decoded
        do {
            if (main.asInt("CheckField") == 0 && !main.isNull("WriteDay") &&
                main.asDateTime("WriteDay") != kEmptySlotStamp) {
                newestStored = main.asDateTime("WriteDay");
                break;
            }
            main.prior();
        } while (!main.bof());
    }
    int slots = archiveSlotsToVisit(emptyArchive, lastRecNum, pointer, depth);

    dbf::Table temp;
    if (!createTempArchiveTable(temp, type, serial, kind, ctx.tempDir, &ctx.objects, log))
        openDetail(temp, ctx.tempDir, archiveTableName(serial, kind, type, true), &ctx.objects);

    const std::string failedPath =
        failedSlotFile(ctx.failedSlotDir.empty() ? ctx.tempDir : ctx.failedSlotDir, serial, kind, type);
    // an archive deleted since (the report program's "delete all") starts its count afresh
    FailedSlot failedBefore = startedEmpty ? FailedSlot{} : loadFailedSlot(failedPath);

    const RecordLayout& layout = recordLayout(type);
    std::vector<int> rows;                   // temporary rows in the order of the read (newest first)
    size_t keepFrom = 0;                     // rows older than the last failure start here
    std::optional<int> failedSlot;           // the oldest slot of this read that could not be read or stored
    std::optional<dbf::DateTime> orderStamp; // stamp of the record taken just before (not an empty slot's)
    bool wrapChecked = emptyArchive || !newestStored;
    int emptySlots = 0;
    bool stopped = false;
    bool completed = false;
    auto interrupted = [&] {
        observer.eventLine("Чтение архива прервано т.к. счетчик пустых записей превысил " +
                           std::to_string(kMaxEmptyArchiveSlots));
        observer.eventLine(" ");
        completed = true;
    };
    auto placeholder = [&](int slot) {
        try {
            temp.append();
            fillPlaceholder(temp, slot);
            temp.post();
            rows.push_back(temp.recNo());
            return true;
        } catch (const std::exception&) {
            detail::cancelQuietly(temp);
            return false;
        }
    };
    auto failed = [&](int slot) {
        failedSlot = slot;
        keepFrom = rows.size();
    };

    int p = pointer;
    int i = 1;
    for (; i < slots; ++i) {
        const int progress = i * 100 / slots;
        observer.progress(progress - 1);
        observer.statusText(progressText(progress, p));
        if (ctx.stop.requested()) {
            stopped = true;
            break;
        }
        p = p == 0 ? depth - 1 : p - 1;

        bool accepted = false;
        dbf::DateTime at; // the stamp of the record taken
        int lateAnswers = 0;
        for (int attempt = 0; attempt < ctx.repeat && !accepted; ++attempt) {
            proto.prepareRequest(polling::kArchiveRecord);
            std::vector<uint8_t>& req = proto.request();
            req[5] = uint8_t(p & 0xFF);
            req[6] = uint8_t(((p >> 8) + kKindOffsets[kind]) & 0xFF);
            if (!proto.sendCommand(polling::kArchiveRecord, 1, type, serial)) continue;
            std::span<const uint8_t> rec = proto.record(layout.dest);
            // a record that names its slot answers only for that slot (a never-written slot names 0)
            if (layout.recNumOffset >= 0) {
                const int named = int(u16At(rec, size_t(layout.recNumOffset)));
                if (named != p) {
                    // the late answer to an earlier request for another slot: it uses up no attempt of this
                    // slot's (a few of them at most), so that this slot's own late answer can still come in
                    if (named != 0 && lateAnswers++ < ctx.repeat) --attempt;
                    continue;
                }
            }
            at = stampOf(layout, rec);
            // newest first: a record not older than the one taken before it is out of place
            if (at != kEmptySlotStamp && orderStamp && at >= *orderStamp) continue;
            if (emptyArchive) {
                emptyArchive = false;
                accepted = true;
            } else if (!lastStamp || *lastStamp != at) {
                accepted = true;
            }
        }

        if (accepted) {
            std::span<const uint8_t> rec = proto.record(layout.dest);
            try {
                temp.append();
                fillRecord(temp, layout, rec, p);
                temp.post();
            } catch (const std::exception& e) {
                detail::cancelQuietly(temp);
                observer.eventLine("Ошибка сохранения архива");
                observer.eventLine(e.what());
                failed(p);
                if (++emptySlots > kMaxEmptyArchiveSlots) {
                    interrupted();
                    break;
                }
                continue;
            }
            rows.push_back(temp.recNo());
            lastStamp = at;
            if (at != kEmptySlotStamp) orderStamp = at;
            emptySlots = 0;
            // the first record tells whether the ring went round past the last stored one since the last
            // read: then the whole ring is newer than what is stored
            if (!wrapChecked && at != kEmptySlotStamp) {
                wrapChecked = true;
                if (slots < depth &&
                    at.ms() - newestStored->ms() >= int64_t(depth) * shortestIntervalMs(kind)) {
                    observer.eventLine("Архив прибора перезаписан по кругу после последнего опроса: "
                                       "читается весь архив");
                    slots = depth + 1; // every slot, the one the device writes next included
                }
            }
            continue;
        }

        // not taken: a record rejected for its stamp or its slot number becomes a placeholder; a slot without
        // a valid reply is a failure, unless it failed in the reads before as well and is passed over
        bool keepEmpty = proto.checkReply(polling::kArchiveRecord);
        if (!keepEmpty && failedBefore.slot == p && failedBefore.reads >= kFailedReadsToPassOver - 1) {
            observer.eventLine("Запись №" + std::to_string(p) + " пропущена: не прочитана в " +
                               std::to_string(kFailedReadsToPassOver) + " опросах подряд");
            failedBefore = {};
            keepEmpty = true;
        }
        if (keepEmpty) {
            if (!placeholder(p)) {
                observer.eventLine("Ошибка сохранения архива");
                failed(p);
            }
        } else {
            observer.eventLine("Не удалось прочитать запись №" + std::to_string(p));
            detail::writeNoConnection(ctx);
            failed(p);
        }
        if (++emptySlots > kMaxEmptyArchiveSlots) {
            interrupted();
            break;
        }
    }
    const bool reachedStored = !stopped && i >= slots; // every slot down to the stored ones was visited
    if (reachedStored) completed = true;
    bool result = completed && slots >= 1 && !failedSlot;

    if (!stopped && completed) {
        // only the run of slots right after the stored ones goes over: what lies beyond a failure is read
        // again next time
        // placeholders older than the oldest record are slots never written, unless the read went down to
        // the stored records: then they stand between those and the records read, and are kept
        std::optional<size_t> oldestReal;
        if (reachedStored && !startedEmpty && rows.size() > keepFrom) oldestReal = rows.size() - 1;
        for (size_t k = rows.size(); !oldestReal && k-- > keepFrom;) {
            temp.setRecNo(rows[k]);
            if (temp.asInt("CheckField") == 0) oldestReal = k;
        }
        if (oldestReal) {
            try {
                transfer(temp, main, rows, *oldestReal, keepFrom, newestStored, observer);
            } catch (const std::exception& e) {
                observer.eventLine(" Ошибка переноса данных в основную БД");
                observer.eventLine(e.what());
                result = false;
            }
        }
        FailedSlot now;
        if (failedSlot) now = {*failedSlot, failedBefore.slot == *failedSlot ? failedBefore.reads + 1 : 1};
        storeFailedSlot(failedPath, now);
    }

    closeQuietly(temp);
    closeQuietly(main);
    proto.sendCommand(polling::kArchiveEnd, kArchiveCommandAttempts, type, serial);
    return result;
}

} // namespace devdata
