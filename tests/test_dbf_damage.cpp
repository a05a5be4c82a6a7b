// Table engine on damaged files and on media that refuse writes: what opens, what is reported as a damaged
// file (FormatError) or as a failure of the system (Error), and what is recovered.
//
// "Full" and "read-only" are made real: a small tmpfs mounted for the test (filled up, or remounted
// read-only) where mount works, and always a file-size limit (RLIMIT_FSIZE) or an unprivileged user in a
// forked child.
#include "dbf/codec.h"
#include "dbf/table.h"
#include "tests/file_bytes.h"
#include "tests/tmpdir.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <random>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace dbf;
using mervo::test::readFile;
using mervo::test::TempDir;
using mervo::test::writeFile;

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                out.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<FieldDef> objectFields() {
    return {{"NUM", FieldType::AutoInc, 0, true},
            {"SERIALNUM", FieldType::Integer},
            {"ADDRES", FieldType::Char, 60},
            {"CON_DATE", FieldType::Date},
            {"AUTOCON", FieldType::Boolean}};
}
std::vector<IndexDef> objectIndexes() {
    return {{"Primary", "NUM", true, true}, {"SN", "SERIALNUM"}, {"ADR", "ADDRES"}};
}

void addObject(Table& t, int serial, const std::string& addr) {
    t.append();
    t.setInt("SERIALNUM", serial);
    t.setString("ADDRES", addr);
    t.setBool("AUTOCON", true);
    t.post();
}

std::vector<int64_t> column(Table& t, const std::string& field) {
    std::vector<int64_t> out;
    for (t.first(); !t.eof(); t.next())
        out.push_back(t.asInt(field));
    return out;
}

// Three objects in MAINDB; returns the bytes of the ".dbf".
std::vector<uint8_t> makeObjects(const std::string& dir) {
    Table t;
    t.create(dir, "MAINDB", objectFields(), objectIndexes());
    addObject(t, 30, "Ленина 3");
    addObject(t, 10, "Ленина 1");
    addObject(t, 20, "Ленина 2");
    t.close();
    return readFile(dir + "/MAINDB.dbf");
}

// MAINDB as a writer killed in the middle of its work leaves it: an index file written two rows before the
// last ones, and half a row after the last whole one. deletedRows rows are deleted on top (enough of them
// tempt a compaction). The whole rows hold the serial numbers 10 to 50 and the deleted ones 1000 on.
void makeStaleTable(const std::string& dir, int deletedRows = 0) {
    {
        Table t;
        t.create(dir, "MAINDB", objectFields(), objectIndexes());
        for (int s : {50, 10, 40})
            addObject(t, s, "Адрес " + std::to_string(s));
        for (int i = 0; i < deletedRows; ++i)
            addObject(t, 1000 + i, "удалён");
    }
    const auto mdx = readFile(dir + "/MAINDB.MDX");
    {
        Table t;
        t.open(dir, "MAINDB");
        addObject(t, 30, "Адрес 30");
        addObject(t, 20, "Адрес 20");
    }
    if (deletedRows > 0) Database(dir).execSql("delete from MAINDB.dbf where SERIALNUM >= 1000");
    writeFile(dir + "/MAINDB.MDX", mdx);
    auto b = readFile(dir + "/MAINDB.dbf");
    const uint16_t rl = codec::getLe16(&b[10]);
    b.pop_back(); // the end mark
    std::vector<uint8_t> half(b.end() - rl, b.end() - rl / 2);
    b.insert(b.end(), half.begin(), half.end());
    writeFile(dir + "/MAINDB.dbf", b);
}

// What a table made by makeStaleTable shows: the whole rows, in index order.
std::string checkStaleRows(Table& t) {
    t.setIndexName("SN");
    std::vector<int64_t> got = column(t, "SERIALNUM");
    if (got != std::vector<int64_t>{10, 20, 30, 40, 50}) {
        std::string s = "rows by SN:";
        for (int64_t v : got)
            s += " " + std::to_string(v);
        return s;
    }
    t.setIndexName("");
    return {};
}

// Runs fn in a forked child and returns what it reported: empty when all was as expected.
std::string inChild(const std::function<std::string()>& fn) {
    int p[2];
    if (::pipe(p) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        ::close(p[0]);
        std::string r;
        try {
            r = fn();
        } catch (const std::exception& e) {
            r = std::string("exception: ") + e.what();
        }
        if (!r.empty() && ::write(p[1], r.data(), r.size()) < 0) ::_exit(3);
        ::_exit(0);
    }
    ::close(p[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    ::close(p[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " (the child ended abnormally)";
    return out;
}

// Makes this (child) process an ordinary user, so that file modes bind it.
std::string becomeNobody() {
    if (::geteuid() != 0) return {};
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
        return std::string("cannot drop privileges: ") + std::strerror(errno);
    return {};
}

// Limits the size of the files this (child) process writes; a write past it fails with EFBIG.
void limitFileSize(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit rl{bytes, bytes};
    ::setrlimit(RLIMIT_FSIZE, &rl);
}

// What a write to a table that must refuse it throws, and whether the text says why.
std::string expectWriteRefused(const std::function<void()>& write, const std::string& mustSay) {
    try {
        write();
    } catch (const FormatError& e) {
        return std::string("a FormatError for a refused write: ") + e.what();
    } catch (const Error& e) {
        if (std::string(e.what()).find(mustSay) == std::string::npos)
            return std::string("message without \"") + mustSay + "\": " + e.what();
        return {};
    }
    return "the write was not refused";
}

// A small tmpfs on a folder for one test; not mounted where mount is refused.
class SmallMount {
public:
    SmallMount(const std::string& dir, size_t bytes) : dir_(dir) {
        ::mkdir(dir.c_str(), 0755);
        const std::string opts = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) == 0)
            mounted_ = true;
        else
            why_ = std::strerror(errno);
    }
    ~SmallMount() {
        if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallMount(const SmallMount&) = delete;
    SmallMount& operator=(const SmallMount&) = delete;

    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    bool remountReadOnly() {
        if (::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0) return true;
        why_ = std::strerror(errno);
        return false;
    }
    // Fills the file system with one file until a write fails for want of space.
    bool fill() {
        int f = ::open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (f < 0) return false;
        std::vector<char> block(4096, 'x');
        int e = 0;
        for (;;) {
            if (::write(f, block.data(), block.size()) < 0) {
                e = errno;
                break;
            }
        }
        // the last partial page too
        while (::write(f, block.data(), 1) == 1) {
        }
        ::close(f);
        return e == ENOSPC;
    }

private:
    std::string dir_;
    bool mounted_ = false;
    std::string why_;
};

} // namespace

// ---------------------------------------------------------------- damaged files

// Each damage opens as the rule says: a file that is not a valid table is a FormatError naming the file, and
// the engine writes nothing to it (no "repair" of a file it does not understand); the remains of a killed
// writer are repaired.
TEST(DbfDamage, DamagedFilesAreFormatErrorsOrRepaired) {
    enum class Expect { Format, Opens };
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&, uint16_t hl, uint16_t rl)> damage;
        Expect expect;
    };
    const std::vector<Case> cases = {
        {"empty file", [](auto& b, auto, auto) { b.clear(); }, Expect::Format},
        {"garbage",
         [](auto& b, auto, auto) {
             std::mt19937 rng(7);
             for (auto& c : b)
                 c = uint8_t(rng());
             b[0] = 0x57;
         },
         Expect::Format},
        {"garbage after the level byte",
         [](auto& b, auto, auto) {
             std::mt19937 rng(11);
             for (size_t i = 1; i < b.size(); ++i)
                 b[i] = uint8_t(rng());
         },
         Expect::Format},
        {"cut inside the first 68 bytes", [](auto& b, auto, auto) { b.resize(40); }, Expect::Format},
        {"cut inside the field descriptors", [](auto& b, uint16_t hl, auto) { b.resize(hl - 30); },
         Expect::Format},
        {"header length 0", [](auto& b, auto, auto) { codec::putLe16(&b[8], 0); }, Expect::Format},
        {"header length 0xFFFF", [](auto& b, auto, auto) { codec::putLe16(&b[8], 0xFFFF); }, Expect::Format},
        {"header length one descriptor short",
         [](auto& b, uint16_t hl, auto) { codec::putLe16(&b[8], uint16_t(hl - 48)); }, Expect::Format},
        {"header length past the terminator",
         [](auto& b, uint16_t hl, auto) { codec::putLe16(&b[8], uint16_t(hl + 10)); }, Expect::Format},
        {"record length one more than the fields",
         [](auto& b, auto, uint16_t rl) { codec::putLe16(&b[10], uint16_t(rl + 1)); }, Expect::Format},
        {"record length 0", [](auto& b, auto, auto) { codec::putLe16(&b[10], 0); }, Expect::Format},
        {"unknown field type", [](auto& b, auto, auto) { b[68 + 48 * 1 + 32] = 'X'; }, Expect::Format},
        {"integer field 5 bytes wide", [](auto& b, auto, auto) { b[68 + 48 * 1 + 33] = 5; }, Expect::Format},
        {"field without a name", [](auto& b, auto, auto) { b[68 + 48 * 2] = 0; }, Expect::Format},
        {"two fields of one name",
         [](auto& b, auto, auto) { std::copy_n(b.begin() + 68, 32, b.begin() + 68 + 48 * 3); },
         Expect::Format},
        {"two fields of one name in another letter case",
         [](auto& b, auto, auto) {
             std::copy_n(b.begin() + 68 + 48, 32, b.begin() + 68 + 48 * 2);
             for (size_t i = 68 + 48 * 2; i < 68 + 48 * 2 + 32; ++i)
                 b[i] = uint8_t(std::tolower(b[i]));
         },
         Expect::Format},
        {"missing 0x0D", [](auto& b, uint16_t hl, auto) { b[hl - 1] = ' '; }, Expect::Format},
        {"cut inside a row", [](auto& b, auto, uint16_t rl) { b.erase(b.end() - 1 - rl / 2, b.end()); },
         Expect::Opens},
        {"row count of four billion", [](auto& b, auto, auto) { codec::putLe32(&b[4], 0xFFFFFFFFu); },
         Expect::Opens},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        auto b = makeObjects(dir.path());
        const uint16_t hl = codec::getLe16(&b[8]), rl = codec::getLe16(&b[10]);
        c.damage(b, hl, rl);
        writeFile(dir.file("MAINDB.dbf"), b);
        for (Table::OpenMode mode : {Table::OpenMode::ReadOnly, Table::OpenMode::ReadWrite}) {
            SCOPED_TRACE(mode == Table::OpenMode::ReadOnly ? "read-only" : "read-write");
            Table t;
            if (c.expect == Expect::Format) {
                try {
                    t.open(dir.path(), "MAINDB", mode);
                    ADD_FAILURE() << "opened";
                } catch (const FormatError& e) {
                    EXPECT_NE(std::string(e.what()).find(dir.file("MAINDB.dbf")), std::string::npos)
                        << e.what();
                }
                EXPECT_FALSE(t.isOpen());
                EXPECT_EQ(readFile(dir.file("MAINDB.dbf")), b) << "the damaged file was written to";
            } else {
                t.open(dir.path(), "MAINDB", mode);
                t.setIndexName("SN");
                std::vector<int64_t> want = {10, 20, 30};
                if (std::string(c.what) == "cut inside a row") want = {10, 30}; // the last row, 20, is cut
                EXPECT_EQ(column(t, "SERIALNUM"), want);
            }
        }
        EXPECT_TRUE(tableExists(dir.path(), "MAINDB"));
    }
}

// A header length of 0xFFFF on a table larger than that: the descriptors still read, but the rows would be
// looked for in the wrong place; the engine refuses the file rather than "repair" it by cutting it.
TEST(DbfDamage, HeaderLengthBeyondTheDescriptorsOfALargeTable) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "MAINDB", objectFields(), objectIndexes());
        t.beginBulk();
        for (int i = 0; i < 1200; ++i)
            addObject(t, i, "Адрес");
        t.endBulk();
    }
    auto b = readFile(dir.file("MAINDB.dbf"));
    ASSERT_GT(b.size(), 0xFFFFu);
    codec::putLe16(&b[8], 0xFFFF);
    writeFile(dir.file("MAINDB.dbf"), b);
    Table t;
    EXPECT_THROW(t.open(dir.path(), "MAINDB"), FormatError);
    EXPECT_EQ(readFile(dir.file("MAINDB.dbf")), b);
}

// Bytes flipped at random in the table and its index file: every open either throws the engine's Error or
// gives a table whose rows read in every order (the sanitizer build checks that nothing reads out of bounds).
TEST(DbfDamage, RandomDamageNeverCrashes) {
    TempDir dir;
    const auto dbf = makeObjects(dir.path());
    const auto mdx = readFile(dir.file("MAINDB.MDX"));
    std::mt19937 rng(2024);
    int opened = 0, refused = 0;
    for (int round = 0; round < 400; ++round) {
        auto b = dbf, m = mdx;
        auto& target = round % 3 == 0 ? m : b;
        const int flips = 1 + int(rng() % 4);
        for (int k = 0; k < flips; ++k) {
            // mostly in the header and the index file's head, where the lengths are
            size_t at = rng() % 2 ? rng() % std::min<size_t>(target.size(), 160) : rng() % target.size();
            target[at] = uint8_t(rng());
        }
        writeFile(dir.file("MAINDB.dbf"), b);
        writeFile(dir.file("MAINDB.MDX"), m);
        Table t;
        try {
            t.open(dir.path(), "MAINDB", round % 2 ? Table::OpenMode::ReadOnly : Table::OpenMode::ReadWrite);
        } catch (const Error&) {
            ++refused;
            continue;
        }
        ++opened;
        for (const IndexDef& ix : t.indexes()) {
            t.setIndexName(ix.name);
            for (t.first(); !t.eof(); t.next())
                for (const FieldDef& f : t.fields())
                    (void)t.asString(f.name);
        }
        t.setIndexName("");
        try { // a damaged field name is an unknown field
            t.setFilter("SERIALNUM >= 0 AND ADDRES='Лен*'");
        } catch (const Error&) {
            continue;
        }
        t.setFiltered(true);
        (void)t.recordCount();
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}

// ---------------------------------------------------------------- damaged values

// Stored values that are no number or date (another writer's or damage) read as empty; a sanitizer build
// shows that reading them is no undefined behaviour.
TEST(DbfDamage, OutOfRangeStoredValuesReadAsEmpty) {
    auto stampBytes = [](double ms) {
        uint64_t u;
        std::memcpy(&u, &ms, 8);
        std::vector<uint8_t> b(8);
        for (int i = 0; i < 8; ++i)
            b[size_t(i)] = uint8_t(u >> (56 - 8 * i));
        return b;
    };
    auto floatBytes = [](double v) {
        std::vector<uint8_t> b(8);
        codec::putDouble(b.data(), v);
        return b;
    };
    auto text = [](const char* s) { return std::vector<uint8_t>(s, s + 8); };
    struct Case {
        const char* what;
        const char* field;
        std::vector<uint8_t> bytes;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {"time stamp NaN", "T", stampBytes(nan)},
        {"time stamp +inf", "T", stampBytes(inf)},
        {"time stamp -inf", "T", stampBytes(-inf)},
        {"time stamp 1e300", "T", stampBytes(1e300)},
        {"time stamp 9.3e18 (past int64)", "T", stampBytes(9.3e18)},
        {"time stamp after 31.12.9999", "T", stampBytes(double(codec::kLastStampMs) + 1000)},
        {"time stamp before 01.01.0001", "T", stampBytes(1000)},
        {"time stamp negative", "T", stampBytes(-5e15)},
        {"date 99999999", "D", text("99999999")},
        {"date 00000000", "D", text("00000000")},
        {"date with a letter", "D", text("2023O101")},
        {"float NaN", "F", floatBytes(nan)},
        {"float +inf", "F", floatBytes(inf)},
        {"float -inf", "F", floatBytes(-inf)},
    };
    TempDir dir;
    const std::vector<FieldDef> fields = {{"NUM", FieldType::AutoInc, 0, true},
                                          {"T", FieldType::DateTime},
                                          {"D", FieldType::Date},
                                          {"F", FieldType::Float}};
    {
        Table t;
        t.create(dir.path(), "VALS", fields, {{"T", "T"}, {"F", "F"}});
        for (size_t i = 0; i < cases.size(); ++i) {
            t.append();
            t.setDateTime("T", DateTime::fromParts(2020, 1, 1));
            t.setDateTime("D", DateTime::fromParts(2020, 1, 1));
            t.setFloat("F", 1.5);
            t.post();
        }
    }
    auto b = readFile(dir.file("VALS.dbf"));
    const uint16_t hl = codec::getLe16(&b[8]), rl = codec::getLe16(&b[10]);
    const std::map<std::string, int> offset = {{"T", 5}, {"D", 13}, {"F", 21}};
    for (size_t i = 0; i < cases.size(); ++i)
        std::copy(cases[i].bytes.begin(), cases[i].bytes.end(),
                  b.begin() + hl + long(i) * rl + offset.at(cases[i].field));
    writeFile(dir.file("VALS.dbf"), b);

    Table t;
    t.open(dir.path(), "VALS");
    ASSERT_EQ(t.recordCount(), int(cases.size()));
    size_t i = 0;
    for (t.first(); !t.eof(); t.next(), ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(t.isNull(c.field));
        EXPECT_EQ(t.value(c.field), Value(std::monostate{}));
        EXPECT_EQ(t.asString(c.field), "");
        EXPECT_EQ(t.asDateTime(c.field), DateTime());
        for (const char* other : {"T", "D", "F"})
            if (std::string(other) != c.field) {
                EXPECT_FALSE(t.isNull(other)) << other;
            }
    }
    // filters, ranges and orders over such values: the damaged ones match nothing
    auto intact = [&](const char* field) {
        return int(std::count_if(cases.begin(), cases.end(),
                                 [&](const Case& c) { return c.field != std::string(field); }));
    };
    for (const char* f : {"T", "D", "F"}) {
        t.setFilter(std::string(f) + (std::string(f) == "F" ? "=1.5" : "='01.01.2020'"));
        t.setFiltered(true);
        EXPECT_EQ(t.recordCount(), intact(f)) << f;
    }
    t.setFiltered(false);
    t.setIndexName("T");
    t.setRange(DateTime::fromParts(2019, 1, 1), DateTime::fromParts(2021, 1, 1));
    EXPECT_EQ(t.recordCount(), intact("T"));
    t.cancelRange();
    for (t.first(); !t.eof(); t.next())
        (void)t.asString("T");
}

// A float field takes NaN and the infinities, as numbers and as text, as its empty value; a date-time outside
// 01.01.0001 to 31.12.9999 is refused with an Error.
TEST(DbfValues, NanAndInfinityStoreEmptyAndDatesOutOfRangeAreRefused) {
    TempDir dir;
    Table t;
    t.create(dir.path(), "V",
             {{"F", FieldType::Float}, {"I", FieldType::Integer}, {"T", FieldType::DateTime}}, {});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::function<void()> set;
    };
    const std::vector<Case> cases = {
        {"setFloat NaN", [&] { t.setFloat("F", nan); }},
        {"setFloat +inf", [&] { t.setFloat("F", inf); }},
        {"setFloat -inf", [&] { t.setFloat("F", -inf); }},
        {"setString nan", [&] { t.setString("F", "nan"); }},
        {"setString NaN", [&] { t.setString("F", "NaN"); }},
        {"setString inf", [&] { t.setString("F", "inf"); }},
        {"setString -inf", [&] { t.setString("F", "-inf"); }},
        {"setString Infinity", [&] { t.setString("F", " Infinity "); }},
        {"setValue NaN", [&] { t.setValue("F", Value(nan)); }},
    };
    for (const Case& c : cases) {
        t.append();
        t.setFloat("F", 7.25); // a value first: the empty one must replace it
        c.set();
        t.post();
    }
    t.close();
    t.open(dir.path(), "V");
    ASSERT_EQ(t.recordCount(), int(cases.size()));
    size_t k = 0;
    for (t.first(); !t.eof(); t.next(), ++k) {
        SCOPED_TRACE(cases[k].what);
        EXPECT_TRUE(t.isNull("F"));
        EXPECT_EQ(t.asString("F"), "");
    }
    t.first();
    t.edit();
    for (const char* bad : {"nanx", "in", "1e999x"})
        EXPECT_THROW(t.setString("F", bad), Error) << bad;
    EXPECT_THROW(t.setFloat("I", nan), Error); // an integer field has no empty NaN
    for (int64_t ms :
         {int64_t(-5), int64_t(0) + 1, codec::kLastStampMs + 1, std::numeric_limits<int64_t>::max()})
        EXPECT_THROW(t.setDateTime("T", DateTime::fromMs(ms)), Error) << ms;
    t.setDateTime("T", DateTime::fromMs(codec::kLastStampMs));
    t.post();
    EXPECT_EQ(t.asDateTime("T"), DateTime::fromParts(9999, 12, 31, 23, 59, 59, 999));
    EXPECT_EQ(codec::kFirstStampMs, DateTime::fromParts(1, 1, 1).ms());
    // a settings stamp that is no day at all
    EXPECT_EQ(DateTime::fromOleDays(nan), DateTime());
    EXPECT_EQ(DateTime::fromOleDays(1e300), DateTime());
    EXPECT_EQ(DateTime::fromOleDays(-1e300), DateTime());
}

// ---------------------------------------------------------------- literals of the local SQL

// A literal is taken byte for byte: a line break or a tab in it is no blank, so a statement selects and
// deletes only the rows its text names; outside literals they separate words as blanks do.
TEST(DbfSql, LiteralsAreTakenByteForByte) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "ARCH",
                 {{"NUM", FieldType::AutoInc, 0, true},
                  {"ADDRES", FieldType::Char, 30},
                  {"WRITEDAY", FieldType::DateTime}},
                 {{"NUM", "NUM", true, true}});
        for (const char* a : {"Ленина 5", "Ленина\t5", "Мира 1"}) {
            t.append();
            t.setString("ADDRES", a);
            t.setDateTime("WRITEDAY", DateTime::fromParts(1999, 12, 31));
            t.post();
        }
    }
    Database db(dir.path());
    struct Case {
        std::string where;
        int rows; // -1: an error
    } cases[] = {
        {"ADDRES='Ленина 5'", 1},
        {"ADDRES='Ленина\n5'", 0},
        {"ADDRES='Ленина\r\n5'", 0},
        {"ADDRES='Ленина\t5'", 1},
        {"ADDRES='Ленина\t*'", 1},
        {"ADDRES='Мира 1\n'", 0},
        {"WRITEDAY ='31.12.1999 00:00'", 3},
        {"WRITEDAY ='31.12.1999\n00:00'", -1},
        {"WRITEDAY ='31.12.1999\t00:00'", -1},
        {"NUM >='2\n'", -1},
        {"NUM\n>=\t'2'\r\nAND\tNUM <= '2'", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        const std::string sel = "select * from ARCH.dbf\r\n where " + c.where;
        if (c.rows < 0) {
            EXPECT_THROW(db.execSql(sel), Error);
            continue;
        }
        EXPECT_EQ(db.execSql(sel), c.rows);
        Table t;
        t.open(dir.path(), "ARCH");
        t.setFilter(c.where);
        t.setFiltered(true);
        EXPECT_EQ(t.recordCount(), c.rows);
    }
    // a delete whose literal has a line break where the row has a blank deletes nothing
    EXPECT_EQ(db.execSql("delete\tfrom\nARCH.dbf where ADDRES='Ленина\n5'"), 0);
    EXPECT_EQ(db.execSql("select * from ARCH.dbf"), 3);
    EXPECT_EQ(db.execSql("delete from ARCH.dbf where ADDRES='Ленина 5'"), 1);
    Table t;
    t.open(dir.path(), "ARCH");
    EXPECT_EQ(column(t, "NUM"), (std::vector<int64_t>{2, 3}));
}

// ---------------------------------------------------------------- media that refuse writes

// OpenMode::ReadOnly writes nothing at all: a table with an out-of-step index, an incomplete last row and
// enough deleted rows for a compaction keeps every byte of both files, and no file appears; what it shows is
// the whole rows. The same files opened for writing are repaired, so the fixture does need writes.
TEST(DbfReadOnly, OpeningForReadingChangesNoByte) {
    TempDir dir;
    makeStaleTable(dir.path(), 150);
    const auto dbf = readFile(dir.file("MAINDB.dbf"));
    const auto mdx = readFile(dir.file("MAINDB.MDX"));
    const auto files = listDir(dir.path());
    {
        Table t;
        t.open(dir.path(), "MAINDB", Table::OpenMode::ReadOnly);
        EXPECT_EQ(checkStaleRows(t), "");
        EXPECT_EQ(t.recordCount(), 5);
        t.refresh();
        EXPECT_EQ(t.recordCount(), 5);
        const std::string ro = "только для чтения";
        EXPECT_EQ(expectWriteRefused([&] { t.append(); }, ro), "");
        EXPECT_EQ(expectWriteRefused([&] { t.edit(); }, ro), "");
        EXPECT_EQ(expectWriteRefused([&] { t.remove(); }, ro), "");
        EXPECT_EQ(expectWriteRefused([&] { t.addIndex({"ST", "AUTOCON"}); }, ro), "");
        EXPECT_EQ(expectWriteRefused([&] { t.beginBulk(); }, ro), "");
        EXPECT_EQ(t.recordCount(), 5);
    }
    EXPECT_EQ(readFile(dir.file("MAINDB.dbf")), dbf);
    EXPECT_EQ(readFile(dir.file("MAINDB.MDX")), mdx);
    EXPECT_EQ(listDir(dir.path()), files);
    {
        Table t;
        t.open(dir.path(), "MAINDB");
        EXPECT_EQ(checkStaleRows(t), "");
    }
    EXPECT_NE(readFile(dir.file("MAINDB.dbf")), dbf);
    EXPECT_NE(readFile(dir.file("MAINDB.MDX")), mdx);
}

// Another handle's rows appear in a read-only handle after its refresh, as in any other.
TEST(DbfReadOnly, SeesTheRowsOfAWriterAfterRefresh) {
    TempDir dir;
    makeObjects(dir.path());
    Table writer, reader;
    writer.open(dir.path(), "MAINDB");
    reader.open(dir.path(), "MAINDB", Table::OpenMode::ReadOnly);
    addObject(writer, 40, "Ленина 4");
    EXPECT_EQ(reader.recordCount(), 3);
    reader.refresh();
    reader.setIndexName("SN");
    EXPECT_EQ(column(reader, "SERIALNUM"), (std::vector<int64_t>{10, 20, 30, 40}));
}

namespace {

// The checks made on a stale table whose index file cannot be rewritten: it opens with its whole rows in
// index order, and writes are refused or not as writable says.
std::string openStaleTable(const std::string& dir, bool writable, const std::string& refusal) {
    Table t;
    t.open(dir, "MAINDB");
    if (auto e = checkStaleRows(t); !e.empty()) return e;
    if (writable) {
        addObject(t, 60, "Адрес 60");
        t.setIndexName("SN");
        t.last();
        if (t.asInt("SERIALNUM") != 60) return "appended row not last by SN";
        return {};
    }
    if (auto e = expectWriteRefused([&] { t.append(); }, refusal); !e.empty()) return "append: " + e;
    if (auto e = expectWriteRefused([&] { t.remove(); }, refusal); !e.empty()) return "remove: " + e;
    if (auto e =
            expectWriteRefused([&] { Database(dir).execSql("delete from MAINDB.dbf where NUM=1"); }, refusal);
        !e.empty())
        return "delete statement: " + e;
    if (Database(dir).execSql("select * from MAINDB.dbf where SERIALNUM >= 30") != 3)
        return "select statement";
    return {};
}

} // namespace

// A full file system (a small tmpfs filled up): the out-of-step index cannot be rewritten, and the table
// opens with the index rebuilt in memory (the error "MAINDB.MDX.new~: No space left on device" no longer
// stops it). Once there is room, the next writer rewrites the index.
TEST(DbfMedia, OutOfStepIndexOnAFullFileSystem) {
    TempDir dir;
    const std::string data = dir.file("full");
    SmallMount mnt(data, 256 * 1024);
    if (!mnt.mounted()) GTEST_SKIP() << "mount refused (" << mnt.why() << "); see OverTheFileSizeLimit";
    makeStaleTable(data);
    // this test is about the index: the incomplete row is repaired while there is room, then an in-place
    // change raises the generation, and the index file of the earlier generation is put back
    {
        Table t;
        t.open(data, "MAINDB");
    }
    const auto mdx = readFile(data + "/MAINDB.MDX");
    {
        Table t;
        t.open(data, "MAINDB");
        t.edit();
        t.post();
    }
    writeFile(data + "/MAINDB.MDX", mdx);
    ASSERT_TRUE(mnt.fill());
    {
        Table t;
        ASSERT_NO_THROW(t.open(data, "MAINDB"));
        EXPECT_EQ(checkStaleRows(t), "");
    }
    EXPECT_EQ(readFile(data + "/MAINDB.MDX"), mdx);
    EXPECT_FALSE(exists(data + "/MAINDB.MDX.new~"));
    ASSERT_EQ(::unlink((data + "/filler").c_str()), 0);
    {
        Table t;
        t.open(data, "MAINDB");
        EXPECT_EQ(checkStaleRows(t), "");
    }
    const auto now = readFile(data + "/MAINDB.MDX");
    EXPECT_NE(now, mdx);
    EXPECT_EQ(codec::getLe32(&now[12]),
              codec::getLe32(&readFile(data + "/MAINDB.dbf")[16])); // its generation
}

// The same without a mount: a file-size limit makes every write past a few bytes fail (EFBIG), so neither the
// index file nor the repair of the incomplete row can be written. The table opens with its whole rows; the
// first write of the handle tries the repair again and fails with the system's message; once the limit is
// gone the next writer repairs the table and rewrites its index.
TEST(DbfMedia, OverTheFileSizeLimit) {
    TempDir dir;
    makeStaleTable(dir.path());
    const auto mdx = readFile(dir.file("MAINDB.MDX"));
    EXPECT_EQ(inChild([&]() -> std::string {
                  limitFileSize(64);
                  Table t;
                  t.open(dir.path(), "MAINDB");
                  if (auto e = checkStaleRows(t); !e.empty()) return e;
                  if (auto e = expectWriteRefused([&] { addObject(t, 60, "x"); }, std::strerror(EFBIG));
                      !e.empty())
                      return "append: " + e;
                  t.close();
                  t.open(dir.path(), "MAINDB", Table::OpenMode::ReadOnly);
                  return checkStaleRows(t);
              }),
              "");
    EXPECT_EQ(readFile(dir.file("MAINDB.MDX")), mdx);
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"MAINDB.MDX", "MAINDB.dbf"}));
    Table t;
    t.open(dir.path(), "MAINDB");
    EXPECT_EQ(checkStaleRows(t), "");
    addObject(t, 60, "Адрес 60");
    EXPECT_EQ(t.asInt("NUM"), 6);
    t.close();
    auto b = readFile(dir.file("MAINDB.dbf"));
    EXPECT_EQ(codec::getLe32(&b[4]), 6u);
    EXPECT_EQ(b.size(), size_t(codec::getLe16(&b[8])) + 6u * codec::getLe16(&b[10]) + 1);
    EXPECT_EQ(codec::getLe32(&readFile(dir.file("MAINDB.MDX"))[8]), 6u);
}

// A table on a read-only medium (a tmpfs remounted read-only) opens for reading; writes throw the engine's
// "read-only" error naming the table.
TEST(DbfMedia, TableOnAReadOnlyMedium) {
    TempDir dir;
    const std::string data = dir.file("ro");
    SmallMount mnt(data, 256 * 1024);
    if (!mnt.mounted()) GTEST_SKIP() << "mount refused (" << mnt.why() << "); see WithoutWritePermission";
    makeStaleTable(data);
    const auto dbf = readFile(data + "/MAINDB.dbf");
    if (!mnt.remountReadOnly()) GTEST_SKIP() << "remount read-only refused (" << mnt.why() << ")";
    EXPECT_EQ(openStaleTable(data, false, "только для чтения: " + data + "/MAINDB.dbf"), "");
    EXPECT_EQ(readFile(data + "/MAINDB.dbf"), dbf);
}

// The same made by permissions, for a child running as an ordinary user: a table it may not write opens for
// reading; a table it may write in a folder it may not write opens for writing with its index in memory.
TEST(DbfMedia, WithoutWritePermission) {
    struct Case {
        const char* what;
        mode_t tableMode;
        bool writable;
    } cases[] = {
        {"table and folder not writable", 0444, false},
        {"folder not writable", 0666, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string data = dir.file("data");
        ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
        makeStaleTable(data);
        const auto mdx = readFile(data + "/MAINDB.MDX");
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod((data + "/MAINDB.dbf").c_str(), c.tableMode), 0);
        ASSERT_EQ(::chmod((data + "/MAINDB.MDX").c_str(), 0444), 0);
        ASSERT_EQ(::chmod(data.c_str(), 0555), 0);
        EXPECT_EQ(inChild([&]() -> std::string {
                      if (auto e = becomeNobody(); !e.empty()) return e;
                      return openStaleTable(data, c.writable, "только для чтения: " + data + "/MAINDB.dbf");
                  }),
                  "");
        EXPECT_EQ(readFile(data + "/MAINDB.MDX"), mdx);
        EXPECT_EQ(listDir(data), (std::vector<std::string>{"MAINDB.MDX", "MAINDB.dbf"}));
        ::chmod(data.c_str(), 0755);
    }
}

// A failure of the system is no damage of the file: a table the process may not read at all is a plain Error.
TEST(DbfMedia, UnreadableTableIsAPlainError) {
    TempDir dir;
    const std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
    makeObjects(data);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((data + "/MAINDB.dbf").c_str(), 0), 0);
    EXPECT_EQ(inChild([&]() -> std::string {
                  if (auto e = becomeNobody(); !e.empty()) return e;
                  Table t;
                  try {
                      t.open(data, "MAINDB", Table::OpenMode::ReadOnly);
                  } catch (const FormatError& e) {
                      return std::string("FormatError: ") + e.what();
                  } catch (const Error& e) {
                      if (std::string(e.what()).find(std::strerror(EACCES)) == std::string::npos)
                          return std::string("no reason given: ") + e.what();
                      return {};
                  }
                  return "opened";
              }),
              "");
}
