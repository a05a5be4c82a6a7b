// Where an installed suite keeps its files: the marker beside the executable, the site folder shared by the
// shifts, the seeding of the operator's Circuits and Patterns from the delivered ones, and a real poll of an
// installed mervoctl that writes nowhere but in the site folder.
#include "devdata/places.h"
#include "devdata/settings.h"
#include "tests/file_bytes.h"
#include "tests/mervoctl_process.h"
#include "tests/sim_process.h"
#include "tests/tmpdir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using mervo::test::TempDir;

namespace {

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Sets the umask for one test and puts the old one back.
struct ScopedUmask {
    explicit ScopedUmask(mode_t m) : old(::umask(m)) {}
    ~ScopedUmask() { ::umask(old); }
    mode_t old;
};

// What a tree holds: every path with its kind, size, mode, time of change and bytes.
using Snapshot = std::map<std::string, std::string>;
Snapshot snapshot(const fs::path& root) {
    Snapshot s;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        std::string what = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (e.is_regular_file()) what += " " + readText(e.path());
        s[fs::relative(e.path(), root).string()] = what;
    }
    return s;
}

// The files and folders under root that the group may not write.
std::vector<std::string> notGroupWritable(const fs::path& root) {
    std::vector<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        if (!S_ISLNK(st.st_mode) && !(st.st_mode & S_IWGRP)) out.push_back(e.path().string());
    }
    return out;
}

bool isRoot() {
    return ::geteuid() == 0;
}

} // namespace

TEST(Places, TheMarkerBesideTheExecutableMakesAnInstalledSuite) {
    TempDir t;
    const std::string exe = t.file("usr/lib/mervo");
    fs::create_directories(exe);
    struct Case {
        const char* name;
        std::optional<std::string> marker; // nullopt: no marker
        std::string home;
        devdata::Places expected;
    };
    const std::string root = t.path();
    const std::vector<Case> cases = {
        {"build folder", std::nullopt, "", {false, exe, exe, exe}},
        {"build folder ignores MERVO_HOME", std::nullopt, root + "/h", {false, exe, exe, exe}},
        {"package",
         "# made by the installation\nshare=../../share/mervo\nsite=/var/lib/mervo\n",
         "",
         {true, exe, root + "/usr/share/mervo", "/var/lib/mervo"}},
        {"MERVO_HOME wins",
         "share=../../share/mervo\nsite=/var/lib/mervo\n",
         root + "/h/",
         {true, exe, root + "/usr/share/mervo", root + "/h"}},
        {"absolute share, spaces",
         "  share = /opt/m/share \n site=/srv/m\n",
         "",
         {true, exe, "/opt/m/share", "/srv/m"}},
        {"empty marker", "", "", {true, exe, root + "/usr/share/mervo", "/var/lib/mervo"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(exe + "/mervo.install");
        if (c.marker) writeText(exe + "/mervo.install", *c.marker);
        const devdata::Places p = devdata::resolvePlaces(exe, c.home);
        EXPECT_EQ(p.installed, c.expected.installed);
        EXPECT_EQ(p.programs, c.expected.programs);
        EXPECT_EQ(p.share, c.expected.share);
        EXPECT_EQ(p.site, c.expected.site);
    }
}

// Which copy of a program is started, and where a delivered file is read.
TEST(Places, ProgramsBesideTheExecutableFirstThenTheSiteAndDeliveredFilesFromTheShare) {
    TempDir t;
    const devdata::Places installed{true, t.file("lib"), t.file("share"), t.file("site")};
    const devdata::Places build{false, t.file("bin"), t.file("bin"), t.file("bin")};
    writeText(t.file("lib/Zorbel.dll"), "");
    writeText(t.file("site/Zorbel.dll"), "");  // planted in the site: never started
    writeText(t.file("site/SReport.dll"), ""); // added by the site
    struct Case {
        const devdata::Places& places;
        std::string folder, name, expected;
    };
    const std::vector<Case> cases = {
        {installed, t.file("site"), "Zorbel.dll", t.file("lib/Zorbel.dll")},
        {installed, t.file("site"), "SReport.dll", t.file("site/SReport.dll")},
        {installed, t.file("site"), "LevelTest.dll",
         t.file("site/LevelTest.dll")},                                     // nowhere: the site's path
        {build, t.file("tests"), "Zorbel.dll", t.file("tests/Zorbel.dll")}, // as it always was
    };
    for (const Case& c : cases)
        EXPECT_EQ(devdata::programFile(c.folder, c.name, c.places), c.expected) << c.name;
    EXPECT_EQ(devdata::deliveredFile(t.file("site"), "wallpaper.jpg", installed),
              t.file("share/wallpaper.jpg"));
    EXPECT_EQ(devdata::deliveredFile(t.file("tests"), "wallpaper.jpg", build), t.file("tests/wallpaper.jpg"));
}

// Two versions of the delivered files seeded one after the other into one site folder, with what operators do
// in between: edit a copy, remove one, keep a file of their own under a delivered name.
TEST(Places, SeedingCopiesOnceReplacesUneditedCopiesAndNeverTouchesEditedOnes) {
    ScopedUmask mask(002);
    TempDir t;
    devdata::Places p{true, t.file("prog"), t.file("share"), t.file("site")};
    fs::create_directories(p.site);
    const fs::path share(p.share), site(p.site);
    writeText(share / "Circuits/236/S1.MNS", "scheme 1 v1");
    writeText(share / "Circuits/ScmList.lst", "list v1");
    writeText(share / "Patterns/Vexa1D.xls", "daily v1");
    writeText(share / "Patterns/Vexa1H.xls", "hourly v1");
    writeText(share / "Patterns/Old.xls", "old v1");
    writeText(share / "HELP/Index.html", "help"); // read from the share folder, never copied
    writeText(site / "Patterns/Own.xls", "the operator's own");
    writeText(site / "Patterns/Vexa1H.xls", "hourly made by the operator before the first start");
    fs::permissions(share, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove); // the delivered files are read-only

    EXPECT_TRUE(devdata::seedSite(p).empty());
    EXPECT_EQ(readText(site / "Circuits/236/S1.MNS"), "scheme 1 v1");
    EXPECT_EQ(readText(site / "Circuits/ScmList.lst"), "list v1");
    EXPECT_EQ(readText(site / "Patterns/Vexa1D.xls"), "daily v1");
    EXPECT_EQ(readText(site / "Patterns/Vexa1H.xls"), "hourly made by the operator before the first start");
    EXPECT_EQ(readText(site / "Patterns/Own.xls"), "the operator's own");
    EXPECT_FALSE(fs::exists(site / "HELP"));
    EXPECT_TRUE(notGroupWritable(site).empty()) << notGroupWritable(site).front();
    // the record is what sha256sum makes and checks
    const int check = std::system(("cd '" + p.site + "' && sha256sum --quiet -c Delivered.sha256").c_str());
    EXPECT_EQ(check, 0);
    const std::string record = readText(site / "Delivered.sha256");
    EXPECT_EQ(record.find("Vexa1H.xls"), std::string::npos) << record;
    EXPECT_EQ(record.find("Own.xls"), std::string::npos) << record;

    // the operator edits one copy and removes another
    writeText(site / "Patterns/Vexa1D.xls", "daily edited");
    fs::remove(site / "Patterns/Old.xls");
    // the next version of the package
    fs::permissions(share, fs::perms::owner_all, fs::perm_options::add);
    for (const char* d : {"Circuits", "Circuits/236", "Patterns"})
        fs::permissions(share / d, fs::perms::owner_all, fs::perm_options::add);
    writeText(share / "Circuits/236/S1.MNS", "scheme 1 v2");
    writeText(share / "Circuits/236/S2.MNS", "scheme 2 v2");
    writeText(share / "Patterns/Vexa1D.xls", "daily v2");
    writeText(share / "Patterns/Vexa1H.xls", "hourly v2");
    writeText(share / "Patterns/Old.xls", "old v2");

    EXPECT_TRUE(devdata::seedSite(p).empty());
    EXPECT_EQ(readText(site / "Circuits/236/S1.MNS"), "scheme 1 v2");  // nobody edited it: replaced
    EXPECT_EQ(readText(site / "Circuits/236/S2.MNS"), "scheme 2 v2");  // new: added
    EXPECT_EQ(readText(site / "Circuits/ScmList.lst"), "list v1");     // unchanged
    EXPECT_EQ(readText(site / "Patterns/Vexa1D.xls"), "daily edited"); // edited: kept
    EXPECT_EQ(readText(site / "Patterns/Vexa1H.xls"), "hourly made by the operator before the first start");
    EXPECT_FALSE(fs::exists(site / "Patterns/Old.xls")); // removed by the operator: stays removed
    EXPECT_EQ(readText(site / "Patterns/Own.xls"), "the operator's own");
    EXPECT_TRUE(notGroupWritable(site).empty()) << notGroupWritable(site).front();
    // a version later still: the edited copy is still told from an unedited one
    writeText(share / "Patterns/Vexa1D.xls", "daily v3");
    const Snapshot before = snapshot(site);
    EXPECT_TRUE(devdata::seedSite(p).empty());
    EXPECT_EQ(readText(site / "Patterns/Vexa1D.xls"), "daily edited");
    EXPECT_EQ(snapshot(site), before); // nothing to do, nothing written, not even the record
    for (auto& e : fs::recursive_directory_iterator(site))
        EXPECT_EQ(e.path().filename().string().find('~'), std::string::npos) << e.path(); // no scratch left
}

// A copy that cannot be made is one problem line; the other delivered files are seeded all the same, and the
// missing copy is made at the next start once it can be.
TEST(Places, ACopyThatCannotBeMadeIsReportedAndTheRestIsSeeded) {
    ScopedUmask mask(002);
    TempDir t;
    devdata::Places p{true, t.file("prog"), t.file("share"), t.file("site")};
    writeText(t.file("share/Circuits/236/S1.MNS"), "scheme");
    writeText(t.file("share/Patterns/Vexa1D.xls"), "daily");
    writeText(t.file("site/Circuits"), "a file where the folder belongs");
    const std::vector<std::string> problems = devdata::seedSite(p);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("Не удалось скопировать " + t.file("share/Circuits/236/S1.MNS")),
              std::string::npos)
        << problems[0];
    EXPECT_EQ(readText(t.file("site/Patterns/Vexa1D.xls")), "daily");
    EXPECT_EQ(readText(t.file("site/Circuits")), "a file where the folder belongs");
    EXPECT_EQ(readText(t.file("site/Delivered.sha256")).find("Circuits/"), std::string::npos);

    fs::remove(t.file("site/Circuits"));
    EXPECT_TRUE(devdata::seedSite(p).empty());
    EXPECT_EQ(readText(t.file("site/Circuits/236/S1.MNS")), "scheme");
}

TEST(Places, TheBuildFolderIsNeverSeeded) {
    TempDir t;
    writeText(t.file("share/Patterns/A.xls"), "a");
    EXPECT_TRUE(devdata::seedSite({false, t.file("prog"), t.file("share"), t.file("site")}).empty());
    EXPECT_FALSE(fs::exists(t.file("site")));
}

// The check at start, made by a user who may or may not write in the site folder. As root the check runs in a
// child that became "nobody" (file modes do not stop root).
TEST(Places, AUserWhoMayNotWriteInTheSiteFolderGetsOneMessage) {
    struct Case {
        const char* name;
        bool needsRoot;
        std::function<void(const std::string& site)> make;
        std::vector<std::string> said; // empty: no message
    };
    const bool root = isRoot();
    const std::vector<Case> cases = {
        {"not in the folder's group",
         true,
         [](const std::string& site) {
             fs::create_directories(site);
             ASSERT_EQ(::chown(site.c_str(), 0, 0), 0);
             ::chmod(site.c_str(), 02775);
         },
         {"Нет права записи в папку ", "Пользователь nobody не входит в группу root",
          "\"sudo adduser nobody root\""}},
        {"in the group, which may not write",
         false,
         [root](const std::string& site) {
             fs::create_directories(site);
             if (root) {
                 ASSERT_EQ(::chown(site.c_str(), 65534, 65534), 0);
             }
             ::chmod(site.c_str(), 02555);
         },
         {"Нет права записи в папку ", "Права папки не дают группе"}},
        {"a site folder MERVO_HOME names and nobody made yet",
         false,
         [root](const std::string& site) {
             fs::create_directories(fs::path(site).parent_path());
             if (root) {
                 ASSERT_EQ(::chown(fs::path(site).parent_path().c_str(), 65534, 65534), 0);
             }
         },
         {}},
        {"a group-writable folder",
         false,
         [root](const std::string& site) {
             fs::create_directories(site);
             if (root) {
                 ASSERT_EQ(::chown(site.c_str(), 0, 65534), 0);
             }
             ::chmod(site.c_str(), 02775);
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !root) continue;
        TempDir t;
        ::chmod(t.path().c_str(), 0755);
        const std::string site = t.file("var/lib/mervo");
        c.make(site);
        int pipeFd[2];
        ASSERT_EQ(::pipe(pipeFd), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (root && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
                _exit(126);
            ::umask(022);
            const auto said = devdata::prepareSite({true, t.file("prog"), t.file("share"), site});
            const mode_t now = ::umask(0);
            const std::string text = (said ? "1" + *said : std::string("0")) + (now == 002 ? "u" : "x");
            [[maybe_unused]] ssize_t n = ::write(pipeFd[1], text.data(), text.size());
            _exit(0);
        }
        ::close(pipeFd[1]);
        std::string got;
        char buf[1024];
        for (ssize_t n; (n = ::read(pipeFd[0], buf, sizeof buf)) > 0;)
            got.append(buf, size_t(n));
        ::close(pipeFd[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(got.back(), 'u') << "the umask of the suite's processes is 002";
        got.pop_back();
        EXPECT_EQ(got[0] == '1', !c.said.empty()) << got;
        for (const std::string& part : c.said)
            EXPECT_NE(got.find(part), std::string::npos) << got;
        if (c.said.empty()) {
            EXPECT_TRUE(fs::is_directory(site));
        }
    }
}

// An installed mervoctl (the marker beside it, the tree read-only) polls a device of the simulator as an
// ordinary user: the settings store, the logs and the data are in the site folder, all of it group-writable,
// and nothing changes below the installation. A user outside the folder's group is told once and nothing is
// written.
TEST(InstalledSuite, APollWritesInTheSiteFolderOnly) {
    TempDir t;
    ::chmod(t.path().c_str(), 0755);
    const fs::path prefix = t.file("usr"), programs = prefix / "lib/mervo", site = t.file("var/lib/mervo");
    fs::create_directories(programs);
    fs::create_directories(prefix / "share/mervo/Patterns");
    fs::copy_file(MERVOCTL_PATH, programs / "mervoctl");
    writeText(programs / "mervo.install", "share=../../share/mervo\nsite=" + site.string() + "\n");
    writeText(prefix / "share/mervo/Patterns/Vexa1D.xls", "daily");
    for (auto& e : fs::recursive_directory_iterator(prefix))
        fs::permissions(e.path(), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
    const Snapshot installed = snapshot(prefix);

    fs::create_directories(site);
    const bool root = isRoot();
    if (root) {
        ASSERT_EQ(::chown(site.c_str(), 0, 65534), 0);
    } // "nobody" is in the folder's group
    ::chmod(site.c_str(), 02775);
    {
        devdata::SettingsStore store((site / "registry.ini").string());
        devdata::Settings s = store.load();
        s.par1_234 = devdata::kBitHourly;
        s.repeat = 2;
        store.save(s);
        ::chmod((site / "registry.ini").c_str(), 0664);
        if (root) {
            ASSERT_EQ(::chown((site / "registry.ini").c_str(), 0, 65534), 0);
        }
    }
    mervo::test::Launch how;
    how.program = (programs / "mervoctl").string();
    how.unprivileged = root;
    how.env = {{"MERVO_REGISTRY", ""}};
    const std::string data = (site / "DATA").string();

    mervo::test::SimProcess sim({"--udp", "0", "--type", "236", "--serial", "530"});
    ASSERT_EQ(mervo::test::run({"init", data}, how).code, 0);
    mervo::test::Result added =
        mervo::test::run({"add", data, "ADDRES=Котельная №1", "SERIALNUM=530", "DEVTYPE=236", "NETTYPE=2",
                          "NETADR=127.0.0.1", "IPPORT=" + std::to_string(sim.port())},
                         how);
    ASSERT_EQ(added.code, 0) << added.err;
    mervo::test::Result polled = mervo::test::run({"poll", data}, how);
    ASSERT_EQ(polled.code, 0) << polled.out << polled.err;

    EXPECT_TRUE(fs::exists(site / "log.txt"));
    ASSERT_TRUE(fs::is_directory(site / "Log"));
    EXPECT_FALSE(fs::is_empty(site / "Log"));
    EXPECT_TRUE(fs::exists(site / "DATA/MAINDB.dbf"));
    EXPECT_TRUE(
        fs::exists(site / ("DATA/" + devdata::archiveTableName(530, devdata::kHourlyArchive, 236) + ".dbf")));
    EXPECT_TRUE(notGroupWritable(site).empty()) << notGroupWritable(site).front();
    EXPECT_EQ(snapshot(prefix), installed);

    if (!root) return;
    // the next user is outside the folder's group
    ::chmod(site.c_str(), 02755);
    ASSERT_EQ(::chown(site.c_str(), 0, 0), 0);
    const Snapshot siteBefore = snapshot(site);
    mervo::test::Result refused = mervo::test::run({"poll", data}, how);
    EXPECT_NE(refused.code, 0);
    EXPECT_NE(refused.err.find("не входит в группу root"), std::string::npos) << refused.err;
    EXPECT_EQ(snapshot(site), siteBefore);
    EXPECT_EQ(snapshot(prefix), installed);
}
