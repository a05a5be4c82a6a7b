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
        case Enc::F32:
            t.setFloat(f.name, double(f32At(rec, f.offset)));
            break;
        case Enc::F32NanZero: {
            const float v = f32At(rec, f.offset);
            t.setFloat(f.name, std::isnan(v) ? 0.0 : double(v));
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

// Copies the temporary rows rows[last], rows[last - 1], ... rows[0] (oldest first) into the main archive, in
// bulk blocks. Every field but NUM goes over by name.
void transfer(dbf::Table& temp, dbf::Table& main, const std::vector<int>& rows, size_t last,
              ReaderObserver& observer) {
    std::vector<std::pair<int, int>> fieldMap; // temporary field number, main field number
    for (int i = 0; i < temp.fieldCount(); ++i) {
        const std::string& name = temp.fields()[size_t(i)].name;
        if (name == "NUM") continue;
        const int j = main.fieldIndex(name);
        if (j >= 0) fieldMap.emplace_back(i, j);
    }
    const int total = int(last) + 1;
    int copied = 0;
    main.beginBulk();
    try {
        for (size_t k = last + 1; k-- > 0;) {
            temp.setRecNo(rows[k]);
            main.append();
            for (const auto& [from, to] : fieldMap)
                main.setValue(to, temp.value(from));
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

    int pointer = 0;
    if (proto.sendCommand(polling::kArchivePointers, kArchiveCommandAttempts, type, serial)) {
        pointer = decodePointer(type, kind, proto.response());
        proto.sendCommand(polling::kArchiveBegin, kArchiveCommandAttempts, type, serial);
    }

    // a table that could not be created is opened all the same: the error it raises leaves the reader
    dbf::Table main;
    if (!openArchiveTable(main, type, serial, kind, ctx.dataDir, &ctx.objects, log))
        openDetail(main, ctx.dataDir, archiveTableName(serial, kind, type), &ctx.objects);

    bool emptyArchive = main.isEmpty();
    int lastRecNum = 0;
    std::optional<dbf::DateTime> lastStamp; // T: the time stamp of the last record taken
    if (!emptyArchive) {
        main.last();
        lastRecNum = int(main.asInt("RecNum"));
        if (!main.isNull("WriteDay")) lastStamp = main.asDateTime("WriteDay");
    }
    const int slots = archiveSlotsToVisit(emptyArchive, lastRecNum, pointer, depth);

    dbf::Table temp;
    if (!createTempArchiveTable(temp, type, serial, kind, ctx.tempDir, &ctx.objects, log))
        openDetail(temp, ctx.tempDir, archiveTableName(serial, kind, type, true), &ctx.objects);

    const RecordLayout& layout = recordLayout(type);
    std::vector<int> rows;          // temporary rows in the order of the read (newest first)
    std::optional<size_t> lastReal; // index in rows of the last record taken
    int emptySlots = 0;
    bool result = false;
    bool endedEarly = false;
    auto interrupted = [&] {
        observer.eventLine("Чтение архива прервано т.к. счетчик пустых записей превысил " +
                           std::to_string(kMaxEmptyArchiveSlots));
        observer.eventLine(" ");
        result = true;
        endedEarly = true;
    };

    int p = pointer;
    for (int i = 1; i < slots; ++i) {
        const int progress = i * 100 / slots;
        observer.progress(progress - 1);
        observer.statusText(progressText(progress, p));
        if (ctx.stop.requested()) {
            result = false;
            endedEarly = true;
            break;
        }
        p = p == 0 ? depth - 1 : p - 1;

        bool accepted = false;
        for (int attempt = 0; attempt < ctx.repeat && !accepted; ++attempt) {
            proto.prepareRequest(polling::kArchiveRecord);
            std::vector<uint8_t>& req = proto.request();
            req[5] = uint8_t(p & 0xFF);
            req[6] = uint8_t(((p >> 8) + kKindOffsets[kind]) & 0xFF);
            if (!proto.sendCommand(polling::kArchiveRecord, 1, type, serial)) continue;
            if (emptyArchive) {
                emptyArchive = false;
                accepted = true;
            } else if (!lastStamp || *lastStamp != stampOf(layout, proto.record(layout.dest))) {
                accepted = true;
            }
        }

        if (accepted) {
            std::span<const uint8_t> rec = proto.record(layout.dest);
            try {
                temp.append();
                fillRecord(temp, layout, rec, p);
                temp.post();
            } catch (const std::exception&) {
                detail::cancelQuietly(temp);
                observer.eventLine("Ошибка сохранения архива");
                if (++emptySlots > kMaxEmptyArchiveSlots) {
                    interrupted();
                    break;
                }
                continue;
            }
            rows.push_back(temp.recNo());
            lastReal = rows.size() - 1;
            lastStamp = stampOf(layout, rec);
            emptySlots = 0;
            result = true;
            continue;
        }

        if (++emptySlots > kMaxEmptyArchiveSlots) {
            interrupted();
            break;
        }
        if (proto.checkReply(polling::kArchiveRecord)) {
            // the record came but repeats the time stamp of the last one taken
            result = true;
            try {
                temp.append();
                fillPlaceholder(temp, p);
                temp.post();
                rows.push_back(temp.recNo());
            } catch (const std::exception&) {
                detail::cancelQuietly(temp);
            }
        } else {
            observer.eventLine("Не удалось прочитать запись №" + std::to_string(p));
            result = false;
            detail::writeNoConnection(ctx);
        }
    }
    if (!endedEarly && slots >= 1) result = true;

    if (result && lastReal) {
        try {
            // placeholders older than the oldest record taken are not kept
            for (size_t k = rows.size(); k-- > *lastReal + 1;) {
                temp.setRecNo(rows[k]);
                temp.remove();
            }
            transfer(temp, main, rows, *lastReal, observer);
        } catch (const std::exception&) {
            observer.eventLine(" Ошибка переноса данных в основную БД");
        }
    }

    closeQuietly(temp);
    closeQuietly(main);
    proto.sendCommand(polling::kArchiveEnd, kArchiveCommandAttempts, type, serial);
    return result;
}

} // namespace devdata
