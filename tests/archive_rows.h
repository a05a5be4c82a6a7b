// An archive table read back row by row, and its rows compared with the records the simulator says the
// device holds (its dump).
#pragma once

#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/tables.h"

#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

namespace mervo::test {

struct StoredRow {
    long slot;
    bool placeholder;
    dbf::DateTime at;
    std::map<std::string, dbf::Value> values;
};

// The rows of the archive table in their physical order (the order of the transfer, oldest first); none when
// there is no table.
inline std::vector<StoredRow> storedArchive(const std::string& dir, int serial, int kind, int type) {
    std::vector<StoredRow> rows;
    const std::string name = devdata::archiveTableName(serial, kind, type);
    if (!dbf::tableExists(dir, name)) return rows;
    dbf::Table t;
    t.open(dir, name);
    for (t.first(); !t.eof(); t.next()) {
        StoredRow s;
        s.slot = long(t.asInt("RecNum"));
        s.placeholder = t.asInt("CheckField") == 1;
        if (!t.isNull("WriteDay")) s.at = t.asDateTime("WriteDay");
        for (int i = 0; i < t.fieldCount(); ++i)
            s.values[t.fields()[size_t(i)].name] = t.value(i);
        rows.push_back(std::move(s));
    }
    return rows;
}

// A stored value against the device's: NaN and infinities are stored empty, integers and floats as they are.
inline void expectValue(const dbf::Value& stored, const nlohmann::json& device, const std::string& field,
                        long slot) {
    if (device.is_string()) {
        EXPECT_TRUE(std::holds_alternative<std::monostate>(stored)) << field << " of slot " << slot;
        return;
    }
    const double want = device.get<double>();
    if (const auto* i = std::get_if<int64_t>(&stored))
        EXPECT_EQ(double(*i), want) << field << " of slot " << slot;
    else if (const auto* d = std::get_if<double>(&stored))
        EXPECT_EQ(*d, want) << field << " of slot " << slot;
    else
        ADD_FAILURE() << field << " of slot " << slot << " is empty";
}

inline dbf::DateTime recordTime(const nlohmann::json& r) {
    return *dbf::DateTime::parse(r["time"].get<std::string>());
}

// The stored archive is exactly the device's records (a device whose records name their slot): oldest first,
// each once, each under its own slot with its own values, no placeholder, no gap.
inline void expectArchiveIsTheDevices(const std::vector<StoredRow>& rows, const nlohmann::json& records) {
    ASSERT_FALSE(records.empty()) << "the device holds no records";
    std::map<int64_t, const nlohmann::json*> held; // by time stamp
    for (const auto& r : records)
        held[recordTime(r).ms()] = &r;
    ASSERT_EQ(rows.size(), held.size()) << "rows stored, records held";
    auto want = held.begin();
    for (size_t k = 0; k < rows.size(); ++k, ++want) {
        const StoredRow& s = rows[k];
        const nlohmann::json& r = *want->second;
        ASSERT_FALSE(s.placeholder) << "row " << k << " (slot " << s.slot << ")";
        ASSERT_EQ(s.at, recordTime(r)) << "row " << k;
        ASSERT_EQ(s.slot, r["slot"].get<long>()) << "row " << k;
        for (const auto& [field, value] : r.items()) {
            if (field == "slot" || field == "time" || field == "hour" || field == "day" || field == "RecNum")
                continue;
            expectValue(s.values.at(field), value, field, s.slot);
        }
    }
}

} // namespace mervo::test
