// The settings store: defaults on first run, round trip, the raw date-time value, a store that cannot be
// written.
#include "devdata/settings.h"
#include "tests/tmpdir.h"

#include <fstream>
#include <gtest/gtest.h>
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

TEST(Settings, AStoreThatCannotBeWrittenStillLoads) {
    TempDir dir;
    // a regular file where the store's folder should be: not writable even for root
    std::ofstream(dir.file("blocked")) << "x";
    SettingsStore store(dir.file("blocked/registry.ini"));
    Settings s = store.load();
    EXPECT_EQ(s.repeat, 6);
    EXPECT_THROW(store.save(s), dbf::Error);
}
