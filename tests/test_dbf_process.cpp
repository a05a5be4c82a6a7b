// Table engine across processes: a writer killed at any instant, a writer and a reader at once.
#include "dbf/table.h"
#include "tests/tmpdir.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace dbf;
using mervo::test::TempDir;

namespace {

// Every field of a row is derived from its sequence number, so a torn or mixed row shows.
std::vector<FieldDef> seqFields() {
    return {{"NUM", FieldType::AutoInc, 0, true}, {"NUMSTATE", FieldType::Integer, 0, true},
            {"Seq", FieldType::Integer},          {"Twice", FieldType::Float},
            {"Text", FieldType::Char, 120},       {"WriteDay", FieldType::DateTime}};
}

std::string seqText(int64_t seq) {
    std::string s = "Запись " + std::to_string(seq) + " ";
    while (s.size() < 200)
        s += char('a' + seq % 26);
    return s;
}

void appendSeq(Table& t, int64_t seq) {
    t.append();
    t.setInt("NUMSTATE", 1);
    t.setInt("Seq", seq);
    t.setFloat("Twice", double(seq) * 2.5);
    t.setString("Text", seqText(seq));
    t.setDateTime("WriteDay", DateTime::fromParts(2020, 1, 1).addMs(seq * 3'600'000));
    t.post();
}

// Checks every row of the table; returns the number of rows or a failure.
::testing::AssertionResult rowsAreWhole(Table& t, int64_t& rows, bool numFollowsSeq = true) {
    rows = 0;
    t.setIndexName("");
    for (t.first(); !t.eof(); t.next()) {
        int64_t seq = t.asInt("Seq");
        if (seq != rows + 1) return ::testing::AssertionFailure() << "row " << rows << " has Seq " << seq;
        if (numFollowsSeq && t.asInt("NUM") != seq)
            return ::testing::AssertionFailure() << "NUM " << t.asInt("NUM") << " at " << seq;
        if (t.asFloat("Twice") != double(seq) * 2.5)
            return ::testing::AssertionFailure() << "torn float at " << seq;
        if (t.asString("Text").rfind("Запись " + std::to_string(seq) + " ", 0) != 0)
            return ::testing::AssertionFailure() << "torn text at " << seq;
        if (t.asDateTime("WriteDay") != DateTime::fromParts(2020, 1, 1).addMs(seq * 3'600'000))
            return ::testing::AssertionFailure() << "torn date at " << seq;
        ++rows;
    }
    return ::testing::AssertionSuccess();
}

// Kills and reaps a forked child that a failed assertion left running.
struct Child {
    pid_t pid;
    bool reaped = false;
    ~Child() {
        if (pid > 0 && !reaped) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Two layouts of one table, told apart by their fields and their row length.
std::vector<FieldDef> layoutA() {
    return {{"NUM", FieldType::AutoInc, 0, true}, {"ADDRES", FieldType::Char, 20}};
}
std::vector<IndexDef> indexesA() {
    return {{"NUM", "NUM", true, true}};
}
std::vector<FieldDef> layoutB() {
    return {{"NUM", FieldType::AutoInc, 0, true},
            {"NUMSTATE", FieldType::Integer, 0, true},
            {"HEnergy1", FieldType::Float}};
}
std::vector<IndexDef> indexesB() {
    return {{"NUM", "NUM", true}, {"NUMSTATE", "NUMSTATE"}, {"HEnergy1", "HEnergy1"}};
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        ::closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// What a creation of STATEDB236 in dir left when its maker died: either no table, or a whole one of layout A
// (empty, or with its one row) or B (empty), with its own index file beside it. Sets which ('a' for an empty
// A).
::testing::AssertionResult wholeTableOrNone(const std::string& dir, char& which) {
    which = 0;
    if (!tableExists(dir, "STATEDB236")) return ::testing::AssertionSuccess();
    Table t;
    try {
        t.open(dir, "STATEDB236", Table::OpenMode::ReadOnly);
    } catch (const Error& e) {
        return ::testing::AssertionFailure() << "the table does not open: " << e.what();
    }
    if (t.fieldCount() == 2 && t.fields()[1].name == "ADDRES" && t.recordCount() == 1 &&
        t.asString("ADDRES") == "старая")
        which = 'A';
    else if (t.fieldCount() == 2 && t.fields()[1].name == "ADDRES" && t.recordCount() == 0)
        which = 'a'; // killed before its row was posted
    else if (t.fieldCount() == 3 && t.fields()[2].name == "HEnergy1" && t.recordCount() == 0)
        which = 'B';
    else
        return ::testing::AssertionFailure()
               << "neither layout: " << t.fieldCount() << " fields, " << t.recordCount() << " rows";
    // the index file beside it was made for this table: its row length and number of indexes
    auto dbf = readFile(dir + "/STATEDB236.dbf");
    auto mdx = readFile(dir + "/STATEDB236.MDX");
    if (mdx.size() < 24) return ::testing::AssertionFailure() << "no index file beside table " << which;
    auto le32 = [](const uint8_t* p) {
        return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24);
    };
    if (le32(&mdx[16]) != uint32_t(dbf[10] | dbf[11] << 8) || le32(&mdx[20]) != (which == 'B' ? 3u : 1u))
        return ::testing::AssertionFailure() << "the index file is another table's, beside table " << which;
    return ::testing::AssertionSuccess();
}

void makeOldTable(const std::string& dir) {
    Table t;
    t.create(dir, "STATEDB236", layoutA(), indexesA());
    t.append();
    t.setString("ADDRES", "старая");
    t.post();
}

} // namespace

// A creation whose maker dies at the n-th byte it writes, for every n: the file-size limit kills the child
// (SIGXFSZ) in the middle of writing the table or its index. The old table stays whole until the new one is
// complete: no half-made table (an empty ".dbf", a header without its index) ever appears under the name.
TEST(DbfProcess, CreateKilledAtEveryByteLeavesTheOldTableOrTheNewOne) {
    TempDir dir;
    makeOldTable(dir.path());
    // the most bytes one file of the creation takes: the index file of B or the table
    const rlim_t most = 24 + 3 * 72 + 4 + 68 + 3 * 48 + 2;
    int killed = 0, finished = 0;
    for (rlim_t limit = 0; limit <= most; ++limit) {
        SCOPED_TRACE("limit " + std::to_string(limit));
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::signal(SIGXFSZ, SIG_DFL);
            rlimit none{0, 0};
            ::setrlimit(RLIMIT_CORE, &none);
            rlimit rl{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &rl);
            try {
                Table t;
                t.create(dir.path(), "STATEDB236", layoutB(), indexesB());
            } catch (const std::exception&) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << "status " << status;
        char which = 0;
        ASSERT_TRUE(wholeTableOrNone(dir.path(), which));
        if (WIFSIGNALED(status)) {
            ++killed;
            EXPECT_EQ(which, 'A') << "the old table is kept until the new one is complete";
        } else {
            ++finished;
            EXPECT_EQ(which, 'B');
            makeOldTable(dir.path());
        }
    }
    EXPECT_GT(killed, 100);
    EXPECT_GT(finished, 0);
    // the next creation takes away the scratch files the killed makers left
    makeOldTable(dir.path());
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"STATEDB236.MDX", "STATEDB236.dbf"}));
}

// Makers killed at random instants while they create the table over and over (the renames included): what is
// left under the name is always a whole table with its own index file, or none.
TEST(DbfProcess, CreateKilledAtARandomInstantLeavesNoHalfTable) {
    TempDir dir;
    std::mt19937 rng(99);
    int tables = 0;
    for (int round = 0; round < 40; ++round) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            try {
                for (int i = 0;; ++i) {
                    if (i % 2) {
                        Table t;
                        t.create(dir.path(), "STATEDB236", layoutB(), indexesB());
                    } else {
                        makeOldTable(dir.path());
                    }
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "maker: %s\n", e.what());
                ::_exit(2);
            }
        }
        Child child{pid};
        ::usleep(useconds_t(std::uniform_int_distribution<int>(1000, 20000)(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        child.reaped = true;
        ASSERT_TRUE(WIFSIGNALED(status)) << "the maker ended on its own";
        char which = 0;
        ASSERT_TRUE(wholeTableOrNone(dir.path(), which)) << "round " << round;
        tables += which != 0;
    }
    EXPECT_GT(tables, 0);
    makeOldTable(dir.path());
    EXPECT_EQ(listDir(dir.path()), (std::vector<std::string>{"STATEDB236.MDX", "STATEDB236.dbf"}));
}

TEST(DbfProcess, WriterKilledWhileAppendingLeavesOnlyWholeRows) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "ARCHDB1H236", seqFields(), {{"NUM", "NUM", true}, {"NUMSTATE", "NUMSTATE"}});
    }
    std::mt19937 rng(12345);
    int64_t done = 0; // rows the killed writers reported as posted, in total
    for (int round = 0; round < 12; ++round) {
        int pipefd[2];
        ASSERT_EQ(::pipe(pipefd), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(pipefd[0]);
            try {
                Table t;
                t.open(dir.path(), "ARCHDB1H236");
                t.last();
                int64_t seq = t.isEmpty() ? 0 : t.asInt("Seq");
                bool bulk = round % 3 == 2;
                if (bulk) t.beginBulk();
                for (;;) {
                    appendSeq(t, ++seq);
                    if (!bulk && ::write(pipefd[1], &seq, sizeof seq) != sizeof seq) ::_exit(3);
                    if (bulk && seq % 500 == 0) {
                        t.endBulk(); // what endBulk returned from is on disk
                        if (::write(pipefd[1], &seq, sizeof seq) != sizeof seq) ::_exit(3);
                        t.beginBulk();
                    }
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "writer: %s\n", e.what());
                ::_exit(2);
            }
        }
        ::close(pipefd[1]);
        // let it write a while, then kill it at an arbitrary instant
        std::uniform_int_distribution<int> wait(2000, 40000);
        ::usleep(useconds_t(wait(rng)));
        int64_t last = done, v;
        ::kill(pid, SIGKILL);
        while (::read(pipefd[0], &v, sizeof v) == sizeof v)
            last = v;
        ::close(pipefd[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended on its own with " << WEXITSTATUS(status);

        Table t;
        t.open(dir.path(), "ARCHDB1H236");
        int64_t rows = 0;
        ASSERT_TRUE(rowsAreWhole(t, rows)) << "round " << round;
        // every posted row is there; at most the rows whose write had finished but not yet reported
        EXPECT_GE(rows, last) << "round " << round;
        EXPECT_LE(rows, last + (round % 3 == 2 ? 500 : 1)) << "round " << round;
        // the index agrees with the rows, and the next number follows on
        t.setIndexName("NUMSTATE");
        EXPECT_EQ(t.recordCount(), rows);
        appendSeq(t, rows + 1);
        EXPECT_EQ(t.asInt("NUM"), rows + 1);
        done = rows + 1;
    }
    EXPECT_GT(done, 12);
}

TEST(DbfProcess, ReaderInAnotherProcessNeverSeesATornRow) {
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "MAINDB", seqFields(), {{"NUM", "NUM", true, true}});
    }
    constexpr int64_t kRows = 3000;
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            Table t;
            t.open(dir.path(), "MAINDB");
            for (int64_t s = 1; s <= kRows; ++s) {
                appendSeq(t, s);
                if (s % 7 == 0) { // in-place edits of an earlier row as the poll does to objects
                    t.setRecNo(int(s / 2));
                    t.edit();
                    t.setInt("NUMSTATE", int(s));
                    t.post();
                }
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "writer: %s\n", e.what());
            ::_exit(2);
        }
        ::_exit(0);
    }
    Child child{pid};
    Table reader;
    reader.open(dir.path(), "MAINDB");
    int64_t seen = 0;
    int refreshes = 0;
    for (;;) {
        reader.refresh();
        ++refreshes;
        int64_t rows = 0;
        ASSERT_TRUE(rowsAreWhole(reader, rows));
        ASSERT_GE(rows, seen);
        seen = rows;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            child.reaped = true;
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            break;
        }
    }
    reader.refresh();
    int64_t rows = 0;
    ASSERT_TRUE(rowsAreWhole(reader, rows));
    EXPECT_EQ(rows, kRows);
    EXPECT_GT(refreshes, 1);
}

TEST(DbfProcess, ThreadsOfOneProcessShareATable) {
    // the poll thread appends while the window thread refreshes, each through its own context
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "MAINDB", seqFields(), {{"NUM", "NUM", true, true}});
    }
    std::atomic<bool> stop{false};
    std::string error;
    std::thread writer([&] {
        try {
            Table t;
            t.open(dir.path(), "MAINDB");
            for (int64_t s = 1; s <= 2000; ++s)
                appendSeq(t, s);
        } catch (const std::exception& e) {
            error = e.what();
        }
        stop = true;
    });
    Table reader;
    reader.open(dir.path(), "MAINDB");
    int64_t rows = 0;
    while (!stop) {
        reader.refresh();
        ASSERT_TRUE(rowsAreWhole(reader, rows));
    }
    writer.join();
    EXPECT_EQ(error, "");
    reader.refresh();
    ASSERT_TRUE(rowsAreWhole(reader, rows));
    EXPECT_EQ(rows, 2000);
}

TEST(DbfProcess, OpeningWhileAnotherProcessSqueezesTheTable) {
    // one process deletes and appends and reopens (squeezing the deleted rows out whenever it is alone) while
    // another opens and reads the table over and over: every open sees a whole, consistent table
    TempDir dir;
    {
        Table t;
        t.create(dir.path(), "STATEDB236", seqFields(), {{"NUM", "NUM", true, true}});
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        try {
            for (int64_t round = 0; round < 60; ++round) {
                Table t;
                t.open(dir.path(), "STATEDB236");
                for (int k = 0; k < 200; ++k)
                    appendSeq(t, t.recordCount() + 1);
                Database(dir.path()).execSql("delete from STATEDB236.dbf where Seq > 50");
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "writer: %s\n", e.what());
            ::_exit(2);
        }
        ::_exit(0);
    }
    Child child{pid};
    int opens = 0;
    for (;;) {
        Table t;
        t.open(dir.path(), "STATEDB236");
        ++opens;
        int64_t rows = 0;
        ASSERT_TRUE(rowsAreWhole(t, rows, false));
        ASSERT_LE(rows, 250);
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            child.reaped = true;
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            break;
        }
    }
    EXPECT_GT(opens, 1);
}
