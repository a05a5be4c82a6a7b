// Start-up: a single running copy, the program version, the data-directory check.
#include "dbf/table.h"
#include "devdata/tables.h"
#include "shell/startup.h"
#include "tests/tmpdir.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace shell;
using mervo::test::TempDir;
namespace fs = std::filesystem;

TEST(Startup, OneRunningCopy) {
    TempDir dir;
    {
        SingleInstance first(dir.path());
        ASSERT_TRUE(first.acquire());
        SingleInstance second(dir.path());
        EXPECT_FALSE(second.acquire());
        // another process is refused too
        pid_t pid = ::fork();
        if (pid == 0) {
            SingleInstance other(dir.path());
            ::_exit(other.acquire() ? 1 : 0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // after the first copy has ended a new one starts normally
    SingleInstance again(dir.path());
    EXPECT_TRUE(again.acquire());
}

TEST(Startup, ProgramVersionHasFourParts) {
    const std::string v = programVersion();
    EXPECT_EQ(std::count(v.begin(), v.end(), '.'), 3) << v;
    EXPECT_EQ(v, "0.1.0.0");
}

TEST(Startup, DataDirectoryCheck) {
    struct Case {
        const char* what;
        std::string dpath;               // "@" stands for the temp folder
        bool objectsBefore;              // a MAINDB is there already
        std::optional<bool> okToWarning; // the warning is expected; its answer
        std::string expect;              // "" for the end of the program
    } cases[] = {
        {"existing folder with MAINDB", "@/DATA", true, std::nullopt, "@/DATA/"},
        {"existing folder without MAINDB", "@/DATA", false, std::nullopt, "@/DATA/"},
        {"missing folder on an existing drive", "@/NEW", false, std::nullopt, "@/NEW/"},
        {"missing drive, cancelled", "@/media/usb/DATA", false, false, ""},
        {"missing drive, another folder chosen", "@/media/usb/DATA", false, true, "@/CHOSEN/"},
        {"empty path: DATA beside the program", "", false, std::nullopt, "@/prog/DATA/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        auto at = [&](std::string s) {
            if (s.rfind("@", 0) == 0) s = dir.path() + s.substr(1);
            return s;
        };
        fs::create_directories(at("@/DATA"));
        fs::create_directories(at("@/CHOSEN"));
        fs::create_directories(at("@/prog"));
        if (c.objectsBefore) {
            dbf::Table t;
            devdata::createObjectsTable(t, at("@/DATA"));
            t.append();
            t.setString("ADDRES", "Уже есть");
            t.post();
        }
        std::vector<std::string> warnings;
        int chooserCalls = 0;
        DataDirQuestions ask;
        ask.driveMissing = [&](const std::string& text) {
            warnings.push_back(text);
            return c.okToWarning.value_or(false);
        };
        ask.chooseFolder = [&](const std::string&) -> std::optional<std::string> {
            // the operator cancels once, then confirms a folder
            return ++chooserCalls == 1 ? std::nullopt : std::optional<std::string>(at("@/CHOSEN"));
        };
        auto got = checkDataDirectory(at(c.dpath), at("@/prog"), ask);
        if (c.expect.empty()) {
            EXPECT_FALSE(got.has_value());
            EXPECT_FALSE(fs::exists(at("@/media")));
        } else {
            ASSERT_TRUE(got.has_value());
            EXPECT_EQ(*got, at(c.expect));
            dbf::Table t;
            t.open(*got, "MAINDB");
            EXPECT_EQ(t.recordCount(), c.objectsBefore ? 1 : 0); // never recreated
        }
        if (c.okToWarning) {
            ASSERT_EQ(warnings.size(), 1u);
            EXPECT_EQ(warnings[0],
                      "Диск " + at("@/media/") + " отсутствует. Укажите корректный путь к базе данных");
        } else {
            EXPECT_TRUE(warnings.empty());
        }
        if (c.okToWarning == true) {
            EXPECT_EQ(chooserCalls, 2);
        }
    }
}
