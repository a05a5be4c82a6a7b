// Writes the seed corpora of the fuzz targets that are made rather than copied: the tables the programs
// create (every layout of the data folder and a table of every field type, with rows), the device answers
// the simulated calculators give (state, parameters and an archive read of every type), and the replies of
// the configurator's operations. The delivered INI files and lists are copied by the run script.
//   make_fuzz_seeds SEED_ROOT       (writes SEED_ROOT/dbf_table, .../device_reply, .../reply_judge)
#include "configurator/frames.h"
#include "dbf/table.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"
#include "devdata/readers.h"
#include "devdata/tables.h"
#include "poll/protocol.h"
#include "sim/layouts.h"
#include "sim/protocol.h"
#include "tests/fuzz/fuzz_support.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

using Bytes = std::vector<uint8_t>;

void seed(const std::string& dir, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir);
    fuzz::writeBytes(dir + "/" + name,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// ---- tables: length of the table file, the table file, the index file

void tableSeed(const std::string& out, const std::string& name, const std::string& dir,
               const std::string& table) {
    const std::string dbfBytes = fuzz::readBytes(dbf::findFile(dir, table + ".dbf"));
    const std::string mdx = fuzz::readBytes(dbf::findFile(dir, table + ".MDX"));
    if (dbfBytes.size() > 65535) return;
    Bytes b = {uint8_t(dbfBytes.size() & 0xFF), uint8_t(dbfBytes.size() >> 8)};
    b.insert(b.end(), dbfBytes.begin(), dbfBytes.end());
    b.insert(b.end(), mdx.begin(), mdx.end());
    seed(out, name, b);
    Bytes noIndex(b.begin(), b.begin() + 2 + long(dbfBytes.size()));
    seed(out, name + "-no-index", noIndex);
}

void fillRow(dbf::Table& t, int k) {
    for (const dbf::FieldDef& f : t.fields()) {
        if (f.name == "NUMSTATE") {
            t.setInt(f.name, 1);
            continue;
        }
        switch (f.type) {
        case dbf::FieldType::AutoInc:
            break;
        case dbf::FieldType::Integer:
            t.setInt(f.name, k * 7 - 3);
            break;
        case dbf::FieldType::Float:
            if ((k + int(f.name.size())) % 5) t.setFloat(f.name, k * 12.375 - 1);
            break;
        case dbf::FieldType::Char:
            t.setString(f.name, std::string(k % 2 ? "Ленина 5" : "abc").substr(0, size_t(f.size)));
            break;
        case dbf::FieldType::Date:
            t.setDateTime(f.name, dbf::DateTime::fromParts(2024, 3, k + 1));
            break;
        case dbf::FieldType::DateTime:
            t.setDateTime(f.name, dbf::DateTime::fromParts(2024, 3, k + 1, k, 30, 15));
            break;
        case dbf::FieldType::Boolean:
            t.setBool(f.name, k % 2);
            break;
        }
    }
}

void tables(const std::string& out) {
    const std::string dir = fuzz::freshDir("tables");
    auto rows = [](dbf::Table& t, int n) {
        for (int k = 0; k < n; ++k) {
            t.append();
            fillRow(t, k);
            t.post();
        }
        t.close();
    };
    {
        dbf::Table t;
        devdata::createObjectsTable(t, dir);
        rows(t, 3);
    }
    tableSeed(out, "maindb", dir, "MAINDB");
    for (int type : {128, 225, 231, 236}) {
        dbf::Table t;
        devdata::createStateTable(t, type, dir, nullptr);
        t.setIndexName("");
        rows(t, 1);
        tableSeed(out, "statedb" + std::to_string(type), dir, devdata::stateTableName(type));
    }
    {
        dbf::Table t;
        devdata::createParamsTable(t, dir, nullptr);
        t.setIndexName("");
        rows(t, 2);
    }
    tableSeed(out, "parsdb", dir, "PARSDB");
    for (int type : {225, 230, 236}) {
        dbf::Table t;
        devdata::createArchiveTable(t, type, dir, "ARCHDB530D", nullptr, {});
        t.setIndexName("");
        rows(t, 3);
        tableSeed(out, "archdb" + std::to_string(type), dir, "ARCHDB530D" + std::to_string(type));
    }
    {
        dbf::Table t;
        t.create(dir, "EVERY",
                 {{"NUM", dbf::FieldType::AutoInc, 0, false},
                  {"N", dbf::FieldType::Integer, 0, true},
                  {"F", dbf::FieldType::Float, 0, false},
                  {"C", dbf::FieldType::Char, 9, false},
                  {"D", dbf::FieldType::Date, 0, false},
                  {"T", dbf::FieldType::DateTime, 0, false},
                  {"L", dbf::FieldType::Boolean, 0, false}},
                 {{"Primary", "NUM", true, true}, {"C", "C"}, {"T", "T"}});
        rows(t, 4);
        dbf::Table d;
        d.open(dir, "EVERY");
        d.first();
        d.next();
        d.remove();
    }
    tableSeed(out, "every-type", dir, "EVERY");
}

// ---- device answers: the reader's choice, then each answer as its length and its bytes

const int kTypes[] = {128, 225, 229, 230, 231, 234, 235, 236, 237, 238};
constexpr int kSerial = 530;

std::vector<double> sampleValues(const calcsim::Layout& l, int k) {
    std::vector<double> v;
    for (const calcsim::Field& f : l.fields) {
        // the records of an archive read come newest first, each naming its slot: the one before the
        // next-write slot 3, then 1, then 0
        if (f.name == "day")
            v.push_back(8800 - k);
        else if (f.name == "hour")
            v.push_back(20 - k);
        else if (f.name == "RecNum")
            v.push_back(2 - k);
        else if (f.name.rfind("Exp", 0) == 0)
            v.push_back(k % 4);
        else if (f.name == "Diameter")
            v.push_back(0.05);
        else if (f.enc == calcsim::Enc::F32)
            v.push_back((f.name.size() + k) % 7 ? 12.5 * k + f.offset : NAN);
        else
            v.push_back(f.offset % 200);
    }
    return v;
}

Bytes answer(int type, const polling::CommandEntry& e, const calcsim::Layout* l, int k, int slot = -1) {
    Bytes payload(size_t(e.responseLength - 6), 0);
    if (l) {
        std::vector<double> values = sampleValues(*l, k);
        if (slot >= 0 && l->find("RecNum") >= 0) values[size_t(l->find("RecNum"))] = slot;
        const Bytes p = calcsim::encode(*l, values);
        std::copy_n(p.begin(), std::min(p.size(), payload.size()), payload.begin());
    }
    return calcsim::rzFrame(type == 231 ? 230 : type, kSerial, e.code, payload);
}

void replies(const std::string& out) {
    for (size_t ti = 0; ti < std::size(kTypes); ++ti) {
        const int type = kTypes[ti];
        const int row = devdata::commandRow(type);
        const auto& cmds = polling::kCommandTable[size_t(row)];
        for (int reader = 0; reader < 5; ++reader) {
            std::vector<Bytes> answers;
            if (reader == 0) {
                answers.push_back(answer(type, cmds[polling::kState], &calcsim::stateLayout(row), 1));
                if (const calcsim::Layout* second = calcsim::secondStateLayout(row))
                    answers.push_back(answer(type, cmds[polling::kParams], second, 1));
            } else if (reader == 1) {
                if (cmds[polling::kParams].responseLength == 0) continue;
                answers.push_back(answer(type, cmds[polling::kParams], calcsim::paramLayout(row), 1));
            } else {
                if (cmds[polling::kArchiveRecord].responseLength == 0) continue;
                Bytes pointers(size_t(cmds[polling::kArchivePointers].responseLength - 6), 0);
                for (size_t i = 0; i < pointers.size(); i += 2)
                    pointers[i] = 3;
                answers.push_back(
                    calcsim::rzFrame(type, kSerial, cmds[polling::kArchivePointers].code, pointers));
                if (cmds[polling::kArchiveBegin].responseLength)
                    answers.push_back(answer(type, cmds[polling::kArchiveBegin], nullptr, 0));
                for (int k = 0; k < 3; ++k)
                    answers.push_back(
                        answer(type, cmds[polling::kArchiveRecord], calcsim::recordLayout(row), k));
                // then the slots that hold nothing newer (the oldest record again) end the read: from the
                // last of the ring down
                const int depth = devdata::archiveDepth(type, reader - 2);
                for (int j = 0; j <= devdata::kMaxEmptyArchiveSlots && depth > 0; ++j)
                    answers.push_back(answer(type, cmds[polling::kArchiveRecord], calcsim::recordLayout(row),
                                             2, depth - 1 - j));
                if (cmds[polling::kArchiveEnd].responseLength)
                    answers.push_back(answer(type, cmds[polling::kArchiveEnd], nullptr, 0));
            }
            Bytes b = {uint8_t(ti * 5 + size_t(reader))};
            for (const Bytes& a : answers) {
                b.push_back(uint8_t(a.size()));
                b.insert(b.end(), a.begin(), a.end());
            }
            seed(out, std::to_string(type) + "-" + std::to_string(reader), b);
        }
    }
}

// ---- configurator: operation, type, serial, address, new address, reply

void judge(const std::string& out) {
    auto put = [&](const std::string& name, int op, Bytes reply) {
        Bytes b = {uint8_t(op), 236, kSerial & 0xFF, kSerial >> 8, 17, 42};
        b.insert(b.end(), reply.begin(), reply.end());
        seed(out, name, b);
    };
    // the RZ answer to the switch: serial high byte first, command 4, the jumper state
    auto rz = [](uint8_t state) {
        Bytes a = {7, 236, kSerial >> 8, kSerial & 0xFF, 4, state};
        a.push_back(calcsim::rzChecksum(a));
        return a;
    };
    put("modbus-on", 0, rz(0));
    put("modbus-jumper", 0, rz(1));
    put("modbus-none", 0, {});
    put("rz-on", 1, tolvan::rzSwitchFrame(17));
    put("rz-exception", 1, calcsim::withCrc16({17, 0x86, 32}));
    put("address-changed", 2, [] {
        Bytes a = tolvan::addressFrame(17, 42);
        a[0] = 42;
        return calcsim::withCrc16(Bytes(a.begin(), a.end() - 2));
    }());
    put("address-exception", 2, calcsim::withCrc16({17, 0x86, 2}));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_fuzz_seeds SEED_ROOT\n");
        return 2;
    }
    const std::string root = argv[1];
    tables(root + "/dbf_table");
    replies(root + "/device_reply");
    judge(root + "/reply_judge");
    return 0;
}
