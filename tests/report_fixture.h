// A data directory for the report program's tests: MAINDB with objects, PARSDB rows and archive tables with
// chosen records, all written through the table layer as the main program writes them.
#pragma once

#include "dbf/table.h"
#include "devdata/tables.h"
#include "tests/tmpdir.h"

#include <map>
#include <string>
#include <vector>

namespace mervo::test {

struct ArchRecord {
    dbf::DateTime writeDay;
    std::map<std::string, double> values; // field name -> value (integer fields take the whole part)
};

class ReportData {
public:
    const std::string& dir() const { return tmp_.path(); }
    std::string file(const std::string& name) const { return tmp_.file(name); }

    // Appends an object to MAINDB (created on first use) and returns its NUM.
    int addObject(int deviceType, int serial, const std::string& addres) {
        dbf::Table t;
        if (dbf::tableExists(dir(), "MAINDB.dbf"))
            t.open(dir(), "MAINDB.dbf");
        else
            devdata::createObjectsTable(t, dir());
        t.append();
        t.setInt("DEVTYPE", deviceType);
        t.setInt("SERIALNUM", serial);
        t.setString("ADDRES", addres);
        t.setInt("NETTYPE", 3);
        t.setString("STATE", "---");
        t.post();
        return int(t.asInt("NUM"));
    }

    void addParams(int num, int systemType1 = 1) {
        dbf::Table t;
        if (dbf::tableExists(dir(), "PARSDB.dbf"))
            t.open(dir(), "PARSDB.dbf");
        else
            devdata::createParamsTable(t, dir(), nullptr);
        t.append();
        t.setInt("NUMSTATE", num);
        t.setInt("SystemType1", systemType1);
        t.setInt("DayOfReport", 25);
        t.post();
    }

    // Creates "ARCHDB<serial><kind><type>" with the records in the order given.
    void addArchive(int serial, char kind, int deviceType, int num, const std::vector<ArchRecord>& records) {
        dbf::Table t;
        std::string prefix = std::string("ARCHDB") + std::to_string(serial) + kind;
        if (!devdata::createArchiveTable(t, deviceType, dir(), prefix, nullptr, nullptr))
            throw std::runtime_error("archive table not created");
        write(t, num, records);
    }

    // Appends records to an existing archive table through a context of its own, as a running poll does.
    void appendArchive(int serial, char kind, int deviceType, int num,
                       const std::vector<ArchRecord>& records) {
        dbf::Table t;
        t.open(dir(),
               std::string("ARCHDB") + std::to_string(serial) + kind + std::to_string(deviceType) + ".dbf");
        write(t, num, records);
    }

    // A day's records: one per day from `first`, HEnergy1 growing by `step`.
    static std::vector<ArchRecord> days(dbf::DateTime first, int count, double energy0 = 100,
                                        double step = 10) {
        std::vector<ArchRecord> out;
        for (int i = 0; i < count; ++i)
            out.push_back({first.addDays(i), {{"HEnergy1", energy0 + step * i}, {"Volume1", 10.5 * i}}});
        return out;
    }

private:
    static void write(dbf::Table& t, int num, const std::vector<ArchRecord>& records) {
        for (const ArchRecord& r : records) {
            t.append();
            t.setInt("NUMSTATE", num);
            t.setDateTime("WriteDay", r.writeDay);
            t.setInt("WriteHour", r.writeDay.hour());
            t.setInt("CheckField", 0);
            for (const auto& [field, v] : r.values) {
                int f = t.fieldIndex(field);
                if (f < 0) throw std::runtime_error("no field " + field);
                if (t.fields()[size_t(f)].type == dbf::FieldType::Float)
                    t.setFloat(field, v);
                else
                    t.setInt(field, int64_t(v));
            }
            t.post();
        }
    }

    TempDir tmp_;
};

inline dbf::DateTime dt(int y, int m, int d, int h = 0) {
    return dbf::DateTime::fromParts(y, m, d, h);
}

} // namespace mervo::test
