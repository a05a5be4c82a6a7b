// The settings store: defaults on first run, round trip, the raw date-time value, a store that cannot be
// written.
#include "devdata/settings.h"
#include "tests/tmpdir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>
#include <sys/stat.h>

using namespace devdata;
using mervo::test::TempDir;

namespace {
std::string slurp(const std::string& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}
} // namespace

TEST(Settings, FirstRunWritesEveryDefault) {
    TempDir dir;
    SettingsStore store(dir.file("Mervo/registry.ini"));
    Settings s = store.load();
    EXPECT_EQ(s.dpath, "..\\DATA");
    EXPECT_EQ(s.repeat, 6);
    EXPECT_EQ(s.par1_225, 23);
    EXPECT_EQ(s.par1_228, 7);
    EXPECT_EQ(s.par1_234, 23);
    EXPECT_EQ(s.par1_128, 7);
    EXPECT_EQ(s.par2, 0);
    EXPECT_EQ(s.archFilter, 3);
    EXPECT_EQ(s.periodX, 1);
    EXPECT_EQ(s.dtconn, dbf::DateTime::now().date().addMs(12 * 3600000LL));
    std::string ini = slurp(store.path());
    for (const char* k :
         {"[PAR]", "DPath=..\\DATA", "Repeat=6", "Par1_225=23", "Par2=0", "Period=0", "ArchType=0"})
        EXPECT_NE(ini.find(k), std::string::npos) << k;
}

TEST(Settings, MissingValuesGetDefaultsAndPresentOnesStay) {
    TempDir dir;
    {
        std::ofstream f(dir.file("r.ini"));
        f << "[PAR]\nRepeat=3\nPar1_234=151\nDPath=/srv/тепло/DATA\nRepeat2=9\n";
    }
    SettingsStore store(dir.file("r.ini"));
    Settings s = store.load();
    EXPECT_EQ(s.repeat, 3);
    EXPECT_EQ(s.par1_234, 151);
    EXPECT_TRUE(s.noDtrCheck(236));
    EXPECT_FALSE(s.noDtrCheck(229));
    EXPECT_EQ(s.familyBits(237) & kBitMonthly, kBitMonthly);
    EXPECT_EQ(s.familyBits(0), 0);
    EXPECT_EQ(s.dpath, "/srv/тепло/DATA");
    EXPECT_NE(slurp(store.path()).find("Par1_128=7"), std::string::npos);
}

TEST(Settings, RoundTripAndRawDateTime) {
    TempDir dir;
    SettingsStore store(dir.file("r.ini"));
    Settings s = store.load();
    s.dtconn = dbf::DateTime::fromParts(2000, 1, 1, 12);
    s.repeat = 10;
    s.par2 = 32 | 64;
    store.save(s);
    Settings back = store.load();
    EXPECT_EQ(back.dtconn, s.dtconn);
    EXPECT_EQ(back.repeat, 10);
    EXPECT_EQ(back.par2, 96);
    // 36526.5 as a little-endian double
    EXPECT_EQ(encodeDateTimeRaw(dbf::DateTime::fromParts(2000, 1, 1, 12)), "00000000D0D5E140");
    EXPECT_EQ(decodeDateTimeRaw("00000000D0D5E140"), dbf::DateTime::fromParts(2000, 1, 1, 12));
    EXPECT_FALSE(decodeDateTimeRaw("nonsense").has_value());
    // out-of-range values are kept in range as the window's fields do
    {
        std::ofstream f(dir.file("r.ini"), std::ios::app);
        f << "Repeat=0\n";
    }
    EXPECT_EQ(store.load().repeat, 1);
}

// The schedule's store of the next poll time changes DTConn alone: a value out of the window's range, a key
// this version does not know and the operator's command line stay as the file holds them.
TEST(Settings, StoringTheNextPollTimeLeavesEveryOtherValue) {
    TempDir dir;
    {
        std::ofstream f(dir.file("r.ini"));
        f << "[PAR]\nRepeat=0\nPeriod=3\nOnChange=/usr/local/bin/tell -x\nFuture=1\n";
    }
    SettingsStore store(dir.file("r.ini"));
    EXPECT_EQ(store.load().onChange, "/usr/local/bin/tell -x");
    const std::string before = slurp(store.path());
    const dbf::DateTime t = dbf::DateTime::fromParts(2025, 3, 3);
    store.storeNextPollTime(t);
    const std::string after = slurp(store.path());
    EXPECT_EQ(store.load().dtconn, t);
    std::string expected = before;
    const size_t at = before.find("DTConn=");
    ASSERT_NE(at, std::string::npos);
    expected.replace(at, before.find('\n', at) - at, "DTConn=" + encodeDateTimeRaw(t));
    EXPECT_EQ(after, expected);
    EXPECT_NE(after.find("Repeat=0\n"), std::string::npos);
    EXPECT_NE(after.find("Future=1\n"), std::string::npos);
}

TEST(Settings, AStoreThatCannotBeWrittenStillLoads) {
    TempDir dir;
    // a regular file where the store's folder should be: not writable even for root
    std::ofstream(dir.file("blocked")) << "x";
    SettingsStore store(dir.file("blocked/registry.ini"));
    Settings s = store.load();
    EXPECT_EQ(s.repeat, 6);
    EXPECT_THROW(store.save(s), dbf::Error);
}

namespace {

mode_t modeOf(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode : 0;
}

} // namespace

TEST(PrivateTempDir, TheRuntimeFolderWhenItIsTheUsersAlone) {
    TempDir dir;
    const std::string run = dir.file("run");
    std::filesystem::create_directory(run);
    ::chmod(run.c_str(), 0700);
    mervo::test::ScopedEnv xdg("XDG_RUNTIME_DIR", run.c_str());
    EXPECT_EQ(privateTempDir(), run);
}

// A runtime folder others may enter, a link to a private folder, a relative name or a missing folder is not
// used: the folder made under the temporary folder takes its place.
TEST(PrivateTempDir, AFolderOfModeSevenHundredUnderTheTemporaryFolderOtherwise) {
    TempDir dir;
    mervo::test::ScopedEnv tmp("TMPDIR", dir.path().c_str());
    const std::string open = dir.file("open"), priv = dir.file("private"), link = dir.file("link");
    std::filesystem::create_directory(open);
    ::chmod(open.c_str(), 0755);
    std::filesystem::create_directory(priv);
    ::chmod(priv.c_str(), 0700);
    std::filesystem::create_directory_symlink(priv, link);
    {
        // a folder made before (under another temporary folder) is gone: the next one is made under this one
        mervo::test::ScopedEnv xdg("XDG_RUNTIME_DIR", nullptr);
        std::filesystem::remove_all(privateTempDir());
    }
    for (const char* run :
         {static_cast<const char*>(nullptr), "", open.c_str(), link.c_str(), "run", "/nonexistent/run"}) {
        const std::string what = run ? run : "(unset)";
        mervo::test::ScopedEnv xdg("XDG_RUNTIME_DIR", run);
        const std::string made = privateTempDir();
        ASSERT_FALSE(made.empty()) << what;
        EXPECT_EQ(std::filesystem::path(made).parent_path(), std::filesystem::path(dir.path())) << what;
        EXPECT_EQ(std::filesystem::path(made).filename().string().rfind("mervo-", 0), 0u) << what;
        EXPECT_TRUE(S_ISDIR(modeOf(made))) << what;
        EXPECT_EQ(modeOf(made) & 0777, 0700u) << what;
        // made once: the same folder every time while it lasts
        EXPECT_EQ(privateTempDir(), made) << what;
    }
    // a folder that vanished is made again
    const std::string first = privateTempDir();
    std::filesystem::remove_all(first);
    const std::string again = privateTempDir();
    EXPECT_NE(again, first);
    EXPECT_EQ(modeOf(again) & 0777, 0700u);
    std::filesystem::remove_all(again);
}

// A link planted under the name is replaced by the file; its target keeps what it held.
TEST(PrivateTempDir, ReplacingAFileNeverWritesThroughALink) {
    TempDir dir;
    const std::string target = dir.file("target"), name = dir.file("res.tmp");
    { std::ofstream(target) << "precious"; }
    std::filesystem::create_symlink(target, name);
    ASSERT_TRUE(replaceFile(name, "snapshot"));
    EXPECT_EQ(slurp(target), "precious");
    EXPECT_TRUE(S_ISREG(modeOf(name)));
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(modeOf(name) & 0777, 0666u & ~mask); // the mode any new file gets
    EXPECT_EQ(slurp(name), "snapshot");
    // replaced again: nothing but the file is left in the folder
    ASSERT_TRUE(replaceFile(name, "second"));
    EXPECT_EQ(slurp(name), "second");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
    // a folder that cannot be written: false, nothing made
    EXPECT_FALSE(replaceFile(dir.file("missing/res.tmp"), "x"));
}

// Lanes: 1 when the store has none (the one-at-a-time run), kept within 1..32 whatever the file says.
TEST(Settings, LanesDefaultToOneAndStayInRange) {
    TempDir dir;
    SettingsStore store(dir.file("r.ini"));
    EXPECT_EQ(store.load().lanes, 1);
    EXPECT_NE(slurp(store.path()).find("Lanes=1\n"), std::string::npos);
    const std::pair<const char*, int> cases[] = {{"8", 8}, {"32", 32}, {"33", 32},
                                                 {"0", 1}, {"-4", 1},  {"x", 1}};
    for (const auto& [text, lanes] : cases) {
        SCOPED_TRACE(text);
        {
            std::ofstream f(dir.file("r.ini"), std::ios::trunc);
            f << "[PAR]\nLanes=" << text << "\n";
        }
        EXPECT_EQ(store.load().lanes, lanes);
    }
    Settings s = store.load();
    s.lanes = 16;
    store.save(s);
    EXPECT_EQ(store.load().lanes, 16);
}
