// Table engine figures on an archive table of the largest layout (68 fields) and on a large objects table.
//
//   Append/per_row     100 000 rows posted one by one; "ratio" = time / time of writing the same bytes
//                      with plain buffered writes (fwrite, 64 KiB buffer)
//   Append/bulk        the same rows between beginBulk() and endBulk()
//   FullScan           every row of the 100 000-row table, reading two fields
//   MonthRange         a one-month WriteDay range on that table (index range, then walking its rows)
//   FilterByGroup      a 5 000-object MAINDB filtered to one of 50 groups, counted
#include "dbf/table.h"
#include "devdata/layouts.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

constexpr int kRows = 100'000;

std::string benchDir(const char* name) {
    std::string d =
        (std::filesystem::temp_directory_path() / ("mervo-bench-" + std::to_string(::getpid()) + "-" + name))
            .string();
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d;
}

const dbf::DateTime kStart = dbf::DateTime::fromParts(2015, 1, 1);

enum class Role { Skip, Owner, Day, Hour, RecNum, Check, Float, Int };

std::vector<Role> roles(const std::vector<dbf::FieldDef>& fields) {
    std::vector<Role> r;
    for (const dbf::FieldDef& fd : fields) {
        if (fd.type == dbf::FieldType::AutoInc)
            r.push_back(Role::Skip);
        else if (fd.name == "NUMSTATE")
            r.push_back(Role::Owner);
        else if (fd.name == "WriteDay")
            r.push_back(Role::Day);
        else if (fd.name == "WriteHour")
            r.push_back(Role::Hour);
        else if (fd.name == "RecNum")
            r.push_back(Role::RecNum);
        else if (fd.name == "CheckField")
            r.push_back(Role::Check);
        else
            r.push_back(fd.type == dbf::FieldType::Float ? Role::Float : Role::Int);
    }
    return r;
}

// One decoded device record as the archive reader stores it: every field set by its number.
void fillArchiveRow(dbf::Table& t, const std::vector<Role>& roles, int i) {
    t.append();
    for (size_t f = 0; f < roles.size(); ++f) {
        switch (roles[f]) {
        case Role::Skip:
            break;
        case Role::Owner:
            t.setValue(int(f), int64_t(1));
            break;
        case Role::Day:
            t.setValue(int(f), kStart.addMs(int64_t(i) * 3'600'000));
            break;
        case Role::Hour:
            t.setValue(int(f), int64_t(i % 24));
            break;
        case Role::RecNum:
            t.setValue(int(f), int64_t(i % 1440));
            break;
        case Role::Check:
            t.setValue(int(f), int64_t(0));
            break;
        case Role::Float:
            t.setValue(int(f), double(i) * 0.125 + double(f));
            break;
        case Role::Int:
            t.setValue(int(f), int64_t((i + int(f)) % 60));
            break;
        }
    }
    t.post();
}

// Writes the archive table; returns its path.
std::string writeArchive(const std::string& dir, bool bulk) {
    const devdata::TableLayout& l = *devdata::archiveTableLayout(236);
    dbf::Table t;
    t.create(dir, "ARCHDB530H236", l.fields, l.indexes);
    const std::vector<Role> r = roles(l.fields);
    if (bulk) t.beginBulk();
    for (int i = 0; i < kRows; ++i)
        fillArchiveRow(t, r, i);
    if (bulk) t.endBulk();
    std::string p = t.path();
    t.close();
    return p;
}

double plainWriteSeconds(const std::string& tablePath, const std::string& dir) {
    std::ifstream in(tablePath, std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    const size_t recLen = size_t(uint8_t(bytes[10]) | (uint8_t(bytes[11]) << 8));
    const std::string out = dir + "/plain.bin";
    auto t0 = std::chrono::steady_clock::now();
    FILE* f = std::fopen(out.c_str(), "wb");
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
    for (size_t at = 0; at + recLen <= bytes.size(); at += recLen)
        std::fwrite(&bytes[at], 1, recLen, f);
    std::fclose(f);
    auto t1 = std::chrono::steady_clock::now();
    std::remove(out.c_str());
    return std::chrono::duration<double>(t1 - t0).count();
}

void Append(benchmark::State& state) {
    const bool bulk = state.range(0) != 0;
    std::string dir = benchDir("append");
    double plain = 0, engine = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        std::string path = writeArchive(dir, bulk);
        auto t1 = std::chrono::steady_clock::now();
        double s = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(s);
        engine += s;
        plain += plainWriteSeconds(path, dir);
    }
    state.counters["plain_ms"] = plain * 1000 / double(state.iterations());
    state.counters["ratio"] = engine / plain;
    state.counters["rows/s"] =
        benchmark::Counter(double(kRows) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.SetLabel(bulk ? "bulk" : "per_row");
    std::filesystem::remove_all(dir);
}
BENCHMARK(Append)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

struct ArchiveFixture {
    std::string dir = benchDir("archive");
    ArchiveFixture() { writeArchive(dir, true); }
    ~ArchiveFixture() { std::filesystem::remove_all(dir); }
};

ArchiveFixture& archive() {
    static ArchiveFixture f;
    return f;
}

void FullScan(benchmark::State& state) {
    dbf::Table t;
    t.open(archive().dir, "ARCHDB530H236");
    for (auto _ : state) {
        double sum = 0;
        int n = 0;
        for (t.first(); !t.eof(); t.next()) {
            sum += t.asFloat("HEnergy1");
            n += int(t.asInt("WriteHour"));
        }
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(n);
    }
    state.counters["rows"] = t.recordCount();
}
BENCHMARK(FullScan)->Unit(benchmark::kMillisecond);

void MonthRange(benchmark::State& state) {
    dbf::Table t;
    t.open(archive().dir, "ARCHDB530H236");
    t.setIndexFieldNames("WriteDay");
    const dbf::DateTime from = dbf::DateTime::fromParts(2020, 3, 1),
                        to = dbf::DateTime::fromParts(2020, 3, 31);
    int rows = 0;
    for (auto _ : state) {
        t.setRange(from, to.addDays(1));
        rows = 0;
        for (t.first(); !t.eof(); t.next())
            ++rows;
        benchmark::DoNotOptimize(rows);
    }
    state.counters["rows"] = rows;
}
BENCHMARK(MonthRange)->Unit(benchmark::kMicrosecond);

void FilterByGroup(benchmark::State& state) {
    std::string dir = benchDir("maindb");
    const devdata::TableLayout& l = devdata::objectsTableLayout();
    dbf::Table t;
    t.create(dir, "MAINDB", l.fields, l.indexes);
    t.beginBulk();
    for (int i = 0; i < 5000; ++i) {
        t.append();
        t.setInt("DEVTYPE", 236);
        t.setInt("SERIALNUM", 1000 + i);
        t.setString("ADDRES", "ул. Ленина, д. " + std::to_string(i));
        t.setString("STATE", i % 3 ? "Норма" : "Нет связи");
        t.setString("DESKRIPTION", "Группа " + std::to_string(i % 50));
        t.post();
    }
    t.endBulk();
    int n = 0;
    for (auto _ : state) {
        t.setFilter("DESKRIPTION='Группа 7'");
        t.setFiltered(true);
        n = t.recordCount();
        t.setFiltered(false);
        benchmark::DoNotOptimize(n);
    }
    state.counters["rows"] = n;
    t.close();
    std::filesystem::remove_all(dir);
}
BENCHMARK(FilterByGroup)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
