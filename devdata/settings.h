// The settings record of the main program and its store: one INI file, section [PAR], one key per value
// (integers in decimal, strings as UTF-8 text, the next poll time DTConn as 16 hex digits of the raw
// little-endian bytes of its day number). The file is $MERVO_REGISTRY when set, else
// $XDG_CONFIG_HOME/Mervo/registry.ini (~/.config/Mervo/registry.ini). The report program reads DPath from it.
#pragma once

#include "dbf/types.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace devdata {

// Bits of the Par1_ values: the tasks of a device family and the readiness switch of its serial line.
enum FamilyBit : int {
    kBitState = 1,
    kBitHourly = 2,
    kBitDaily = 4,
    kBitClock = 8,
    kBitMonthly = 16,
    kBitNoDtrCheck = 128,
};

inline constexpr int kScheduleByMervo = 0;
inline constexpr int kScheduleByService = 1;

struct Settings {
    std::string dpath = "..\\DATA";
    dbf::DateTime dtconn;
    int period = 0;
    int periodX = 1;
    int repeat = 6;
    int archFilter = 3;
    int archType = 0;
    int par1_228 = 7;
    int par1_225 = 23;
    int par1_234 = 23;
    int par1_128 = 7;
    int par2 = 0;
    // Who runs the auto-poll schedule of the data folder: the main program's window, or the service
    // ("mervoctl schedule"); one schedule per data folder.
    int scheduleBy = 0;
    // The command the service starts after a run in which an object's outcome changed ("OnChange", a
    // command line split on spaces; empty for none).
    std::string onChange;
    // Links polled side by side by an all-objects run ("Lanes", 1..32); 1 polls one object at a time.
    int lanes = 1;

    // The Par1_ value of a device type's family (0 for a type without one).
    int familyBits(int deviceType) const;
    // Whether the readiness check of the serial line is switched off for the family of the type.
    bool noDtrCheck(int deviceType) const;
};

class SettingsStore {
public:
    // The store file: $MERVO_REGISTRY, else $XDG_CONFIG_HOME/Mervo/registry.ini, else
    // ~/.config/Mervo/registry.ini.
    static std::string defaultPath();
    explicit SettingsStore(std::string path = defaultPath()) : path_(std::move(path)) {}
    const std::string& path() const { return path_; }

    // Loads the settings, writing the defaults of every missing value first (a missing store is created);
    // the next poll time defaults to today 12:00. A store that cannot be written is read as far as it exists.
    Settings load();
    // Writes every value. Throws dbf::Error when the store cannot be written.
    void save(const Settings& s);
    // Writes the next poll time DTConn alone into the store as it is now: every other value stays as the
    // file holds it. Throws dbf::Error when the store cannot be written.
    void storeNextPollTime(dbf::DateTime t);
    // Writes only the values that differ between `loaded` (the settings as they were read) and `changed`;
    // every other value stays as the store holds it now, which is read again under the write (another
    // writer's next poll time is not overwritten by an older one). Returns the settings as stored after the
    // write. Throws dbf::Error when the store cannot be written.
    Settings saveChanges(const Settings& loaded, const Settings& changed);
    // The settings as the store holds them now, defaults for what it lacks; nothing is written. nullopt when
    // there is no store file or it cannot be read.
    std::optional<Settings> peek() const;
    // Whether the store can be written (its folder created if need be): a store that cannot is treated as a
    // key that cannot be opened with full access.
    bool writable() const;
    // load() when the store can be written, else nullopt.
    std::optional<Settings> loadIfWritable();

private:
    std::map<std::string, std::string> read(bool& exists) const;
    // Writers of the store exclude each other from reading it to replacing it: an flock on the store's
    // folder (the store itself is replaced by a rename, so it cannot carry the lock).
    class WriteLock;
    void write(const std::map<std::string, std::string>& values) const;
    std::string path_;
};

// "0000000000E0E140" style: the 8 raw little-endian bytes of the OLE day number as 16 hex digits.
std::string encodeDateTimeRaw(dbf::DateTime t);
std::optional<dbf::DateTime> decodeDateTimeRaw(const std::string& hex);

// "settings.ini" in the program folder, the copy of the settings for programs outside the suite: Windows-1251
// text with CR LF line ends. As with the Windows profile functions, a key that the file already has keeps its
// place, a new key is appended to its section and every other line stays as it was.
inline constexpr const char* kSettingsIniName = "settings.ini";
inline constexpr const char* kSettingsIniSection = "SETTINGS";

class IniFile {
public:
    // Reads the file when it exists.
    explicit IniFile(std::string path);
    const std::string& path() const { return path_; }
    // The value (UTF-8) of a key; section and key match without regard to letter case.
    std::optional<std::string> value(const std::string& section, const std::string& key) const;
    // The keys of a section in file order.
    std::vector<std::string> keys(const std::string& section) const;
    // The section names in file order.
    std::vector<std::string> sections() const;
    // The non-blank lines of a section as they stand (UTF-8); empty when there is no such section.
    std::vector<std::string> lines(const std::string& section) const;
    bool exists() const { return exists_; }
    void set(const std::string& section, const std::string& key, const std::string& utf8Value);
    // Writes the file (creating it). Throws dbf::Error when it cannot be written.
    void write() const;

private:
    struct Section {
        std::string name;
        std::vector<std::string> lines; // UTF-8, without line ends
    };
    Section* find(const std::string& name);
    const Section* find(const std::string& name) const;
    std::string path_;
    bool exists_ = false;
    std::vector<std::string> head_; // lines before the first section
    std::vector<Section> sections_;
};

// ---- autostart: an XDG autostart entry that starts the program when the user logs in

// $XDG_CONFIG_HOME/autostart/mervo.desktop (~/.config/autostart/mervo.desktop).
std::string autostartEntryPath();
// The program path of the entry (its Exec= line, unquoted), nullopt when there is no entry.
std::optional<std::string> readAutostart(const std::string& entryPath);
// Writes the entry with Exec= the program's full path. Throws dbf::Error when it cannot be written.
void writeAutostart(const std::string& entryPath, const std::string& programPath);
// Removes the entry; a missing one is no error.
void removeAutostart(const std::string& entryPath);
// The full path of the running program.
std::string programPath();

// ---- the user's private temporary folder

// A folder no other user can enter, for the scratch files the programs keep under a fixed name ("res.tmp",
// "Tmp.xls"): $XDG_RUNTIME_DIR when it is a folder (not a link) of this user with mode 0700, else a folder of
// mode 0700 that mkdtemp makes under the temporary folder once per process (and again should it vanish),
// removed when the process ends. Empty when neither can be had.
std::string privateTempDir();
// Replaces the file at path with the bytes without ever opening what is there: a new file (mode 0666 less the
// umask) is written beside it under a unique name and renamed over it, so a link or any other file planted
// under the name is replaced, never written through. False when it cannot be written (nothing is left
// behind).
bool replaceFile(const std::string& path, std::string_view bytes);

} // namespace devdata
