#include "devdata/settings.h"
#include "devdata/places.h"
#include "devdata/tables.h"

#include "dbf/codec.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace devdata {

int Settings::familyBits(int t) const {
    if (t >= 228 && t <= 230) return par1_228;
    if (t == 225 || t == 238) return par1_225;
    if (t >= 234 && t <= 237) return par1_234;
    if (t == 128) return par1_128;
    return 0;
}

bool Settings::noDtrCheck(int t) const {
    return (familyBits(t) & kBitNoDtrCheck) != 0;
}

namespace {

// The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config (/tmp without a home).
std::string configHome() {
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return x;
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config";
    return "/tmp";
}

} // namespace

std::string SettingsStore::defaultPath() {
    if (const char* p = std::getenv("MERVO_REGISTRY"); p && *p) return p;
    // an installed suite keeps one store for the operators of all shifts, in the site folder
    if (places().installed) return joinPath(places().site, kSiteStoreName);
    return configHome() + "/Mervo/registry.ini";
}

std::string encodeDateTimeRaw(dbf::DateTime t) {
    uint64_t bits = std::bit_cast<uint64_t>(t.toOleDays());
    std::string s;
    char b[3];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(b, sizeof b, "%02X", unsigned((bits >> (8 * i)) & 0xFF));
        s += b;
    }
    return s;
}

std::optional<dbf::DateTime> decodeDateTimeRaw(const std::string& hex) {
    if (hex.size() != 16) return std::nullopt;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        unsigned v = 0;
        if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) return std::nullopt;
        bits |= uint64_t(v) << (8 * i);
    }
    double d = std::bit_cast<double>(bits);
    if (!(d > -657434.0 && d < 2958466.0)) return std::nullopt; // years 100..9999
    return dbf::DateTime::fromOleDays(d);
}

std::map<std::string, std::string> SettingsStore::read(bool& exists) const {
    std::map<std::string, std::string> values;
    std::ifstream in(path_);
    exists = bool(in);
    std::string line;
    bool inPar = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            inPar = dbf::codec::sameName(line, "[PAR]");
            continue;
        }
        auto eq = line.find('=');
        if (!inPar || eq == std::string::npos) continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

void SettingsStore::write(const std::map<std::string, std::string>& values) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(path_);
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::string tmp = path_ + ".new~";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) throw dbf::Error("Не удалось записать настройки в " + path_);
        out << "[PAR]\n";
        for (const auto& [k, v] : values)
            out << k << "=" << v << "\n";
        out.flush();
        if (!out) throw dbf::Error("Не удалось записать настройки в " + path_);
    }
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw dbf::Error("Не удалось записать настройки в " + path_ + ": " + std::strerror(errno));
    }
}

namespace {

std::map<std::string, std::string> toValues(const Settings& s) {
    return {{"DPath", s.dpath},
            {"DTConn", encodeDateTimeRaw(s.dtconn)},
            {"Period", std::to_string(s.period)},
            {"PeriodX", std::to_string(s.periodX)},
            {"Repeat", std::to_string(s.repeat)},
            {"ArchFilter", std::to_string(s.archFilter)},
            {"ArchType", std::to_string(s.archType)},
            {"Par1_228", std::to_string(s.par1_228)},
            {"Par1_225", std::to_string(s.par1_225)},
            {"Par1_234", std::to_string(s.par1_234)},
            {"Par1_128", std::to_string(s.par1_128)},
            {"Par2", std::to_string(s.par2)},
            {"ScheduleBy", std::to_string(s.scheduleBy)},
            {"OnChange", s.onChange},
            {"Lanes", std::to_string(s.lanes)}};
}

int intOf(const std::map<std::string, std::string>& v, const char* key, int fallback) {
    auto it = v.find(key);
    if (it == v.end()) return fallback;
    char* end = nullptr;
    long n = std::strtol(it->second.c_str(), &end, 10);
    if (end == it->second.c_str()) return fallback;
    return int(n);
}

} // namespace

class SettingsStore::WriteLock {
public:
    explicit WriteLock(const std::string& storePath) {
        namespace fs = std::filesystem;
        std::error_code ec;
        fs::path p(storePath);
        if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
        // the folder of the store carries the lock: nothing is made beside the store, and whoever may read
        // the folder may take it; a folder that cannot be opened cannot take the store either (the write
        // says so)
        const std::string folder = p.has_parent_path() ? p.parent_path().string() : std::string(".");
        fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~WriteLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_ = -1;
};

namespace {

Settings defaultSettings() {
    Settings defaults;
    defaults.dtconn = dbf::DateTime::now().date().addMs(12 * 3'600'000LL);
    return defaults;
}

Settings fromValues(std::map<std::string, std::string> values, const Settings& defaults) {
    Settings s;
    s.dpath = values.count("DPath") ? values["DPath"] : defaults.dpath;
    s.dtconn = decodeDateTimeRaw(values["DTConn"]).value_or(defaults.dtconn);
    s.period = intOf(values, "Period", 0);
    s.periodX = intOf(values, "PeriodX", 1);
    s.repeat = intOf(values, "Repeat", 6);
    s.archFilter = intOf(values, "ArchFilter", 3);
    s.archType = intOf(values, "ArchType", 0);
    s.par1_228 = intOf(values, "Par1_228", 7);
    s.par1_225 = intOf(values, "Par1_225", 23);
    s.par1_234 = intOf(values, "Par1_234", 23);
    s.par1_128 = intOf(values, "Par1_128", 7);
    s.par2 = intOf(values, "Par2", 0);
    s.scheduleBy = std::clamp(intOf(values, "ScheduleBy", kScheduleByMervo), 0, 1);
    s.onChange = values["OnChange"];
    s.lanes = std::clamp(intOf(values, "Lanes", 1), 1, 32);
    // the window's spin fields keep these in range
    s.repeat = std::clamp(s.repeat, 1, 10);
    s.periodX = std::clamp(s.periodX, 1, 9999);
    return s;
}

} // namespace

Settings SettingsStore::load() {
    WriteLock hold(path_);
    bool exists = false;
    auto values = read(exists);
    const Settings defaults = defaultSettings();
    // write the defaults of whatever is missing
    bool missing = false;
    for (const auto& [k, v] : toValues(defaults))
        if (!values.count(k)) {
            values[k] = v;
            missing = true;
        }
    if (missing || !exists) {
        try {
            write(values);
        } catch (const dbf::Error&) {
            // a store that cannot be written: what could be read stands, defaults for the rest
        }
    }
    return fromValues(std::move(values), defaults);
}

void SettingsStore::storeNextPollTime(dbf::DateTime t) {
    WriteLock hold(path_);
    bool exists = false;
    auto values = read(exists);
    values["DTConn"] = encodeDateTimeRaw(t);
    write(values);
}

void SettingsStore::save(const Settings& s) {
    WriteLock hold(path_);
    bool exists = false;
    auto values = read(exists);
    for (const auto& [k, v] : toValues(s))
        values[k] = v;
    write(values);
}

Settings SettingsStore::saveChanges(const Settings& loaded, const Settings& changed) {
    WriteLock hold(path_);
    bool exists = false;
    auto values = read(exists);
    const auto before = toValues(loaded);
    bool any = !exists;
    for (const auto& [k, v] : toValues(changed)) {
        const auto was = before.find(k);
        // a value the store lacks is written as well, as a load would write its default
        if ((was != before.end() && was->second == v) && values.count(k)) continue;
        values[k] = v;
        any = true;
    }
    if (any) write(values);
    return fromValues(std::move(values), defaultSettings());
}

std::optional<Settings> SettingsStore::peek() const {
    bool exists = false;
    auto values = read(exists);
    if (!exists) return std::nullopt;
    return fromValues(std::move(values), defaultSettings());
}

} // namespace devdata

namespace devdata {

namespace {

bool folderWritable(const std::filesystem::path& dir) {
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0;
}

} // namespace

bool SettingsStore::writable() const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(path_);
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    if (fs::exists(p, ec) && ::access(path_.c_str(), W_OK) != 0) return false;
    // the store is replaced through a new file in the same folder
    return folderWritable(p.parent_path());
}

std::optional<Settings> SettingsStore::loadIfWritable() {
    if (!writable()) return std::nullopt;
    return load();
}

// ---- settings.ini

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    return s.substr(i);
}

// The key of a "key=value" line, empty for any other line.
std::string keyOf(const std::string& line) {
    auto eq = line.find('=');
    if (eq == std::string::npos || line.empty() || line[0] == ';') return {};
    return trimmed(line.substr(0, eq));
}

} // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    exists_ = bool(in);
    std::string raw;
    Section* current = nullptr;
    while (std::getline(in, raw)) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        std::string line = dbf::codec::fromCp1251(raw);
        std::string t = trimmed(line);
        if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
            sections_.push_back({t.substr(1, t.size() - 2), {}});
            current = &sections_.back();
            continue;
        }
        (current ? current->lines : head_).push_back(line);
    }
}

IniFile::Section* IniFile::find(const std::string& name) {
    for (auto& s : sections_)
        if (dbf::codec::sameName(s.name, name)) return &s;
    return nullptr;
}

const IniFile::Section* IniFile::find(const std::string& name) const {
    for (const auto& s : sections_)
        if (dbf::codec::sameName(s.name, name)) return &s;
    return nullptr;
}

std::optional<std::string> IniFile::value(const std::string& section, const std::string& key) const {
    const Section* s = find(section);
    if (!s) return std::nullopt;
    for (const auto& line : s->lines)
        if (std::string k = keyOf(line); !k.empty() && dbf::codec::sameName(k, key))
            return line.substr(line.find('=') + 1);
    return std::nullopt;
}

std::vector<std::string> IniFile::keys(const std::string& section) const {
    std::vector<std::string> out;
    if (const Section* s = find(section))
        for (const auto& line : s->lines)
            if (std::string k = keyOf(line); !k.empty()) out.push_back(k);
    return out;
}

std::vector<std::string> IniFile::sections() const {
    std::vector<std::string> out;
    for (const auto& s : sections_)
        out.push_back(s.name);
    return out;
}

std::vector<std::string> IniFile::lines(const std::string& section) const {
    std::vector<std::string> out;
    if (const Section* s = find(section))
        for (const auto& line : s->lines)
            if (!trimmed(line).empty()) out.push_back(trimmed(line));
    return out;
}

void IniFile::set(const std::string& section, const std::string& key, const std::string& utf8Value) {
    Section* s = find(section);
    if (!s) {
        sections_.push_back({section, {}});
        s = &sections_.back();
    }
    for (auto& line : s->lines)
        if (std::string k = keyOf(line); !k.empty() && dbf::codec::sameName(k, key)) {
            line = k + "=" + utf8Value;
            return;
        }
    // after the last key, before trailing blank lines
    auto at = s->lines.end();
    while (at != s->lines.begin() && trimmed(*(at - 1)).empty())
        --at;
    s->lines.insert(at, key + "=" + utf8Value);
}

void IniFile::write() const {
    std::string text;
    auto put = [&](const std::string& line) { text += dbf::codec::toCp1251(line) + "\r\n"; };
    for (const auto& line : head_)
        put(line);
    for (const auto& s : sections_) {
        put("[" + s.name + "]");
        for (const auto& line : s.lines)
            put(line);
    }
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    if (!out) throw dbf::Error("Не удалось записать " + path_);
    out << text;
    out.flush();
    if (!out) throw dbf::Error("Не удалось записать " + path_);
}

// ---- autostart

namespace {

// Characters of an Exec argument that call for quoting, and those escaped inside the quotes.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr std::string_view kEscapedInQuotes = "\"`$\\";

std::string execArgument(const std::string& path) {
    std::string arg;
    bool quote = path.find_first_of(kReserved) != std::string::npos;
    for (char c : path) {
        if (c == '%') {
            arg += "%%";
            continue;
        }
        if (quote && kEscapedInQuotes.find(c) != std::string_view::npos) arg += '\\';
        arg += c;
    }
    if (quote) arg = "\"" + arg + "\"";
    // the value is a desktop-entry string, in which a backslash is itself escaped
    std::string value;
    for (char c : arg) {
        if (c == '\\') value += '\\';
        value += c;
    }
    return value;
}

std::string programOfExec(const std::string& value) {
    std::string arg;
    for (size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '\\' && i + 1 < value.size()) {
            char e = value[++i];
            arg += e == 's' ? ' ' : e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
        } else {
            arg += c;
        }
    }
    std::string path;
    size_t i = 0;
    if (!arg.empty() && arg[0] == '"') {
        for (i = 1; i < arg.size() && arg[i] != '"'; ++i) {
            if (arg[i] == '\\' && i + 1 < arg.size()) ++i;
            path += arg[i];
        }
    } else {
        path = arg.substr(0, arg.find(' '));
    }
    std::string out;
    for (size_t k = 0; k < path.size(); ++k) {
        out += path[k];
        if (path[k] == '%' && k + 1 < path.size() && path[k + 1] == '%') ++k;
    }
    return out;
}

} // namespace

std::string autostartEntryPath() {
    return configHome() + "/autostart/mervo.desktop";
}

std::optional<std::string> readAutostart(const std::string& entryPath) {
    std::ifstream in(entryPath);
    if (!in) return std::nullopt;
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (inEntry && line.starts_with("Exec=")) return programOfExec(trimmed(line.substr(5)));
    }
    return std::string();
}

void writeAutostart(const std::string& entryPath, const std::string& programPath) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(fs::path(entryPath).parent_path(), ec);
    std::ofstream out(entryPath, std::ios::trunc);
    if (!out) throw dbf::Error("Не удалось записать " + entryPath);
    out << "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=MERVO\n"
           "Comment=БД узлов учета тепловой энергии\n"
           "Exec="
        << execArgument(programPath)
        << "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!out) throw dbf::Error("Не удалось записать " + entryPath);
}

void removeAutostart(const std::string& entryPath) {
    std::error_code ec;
    std::filesystem::remove(entryPath, ec);
}

std::string programPath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

namespace {

// A folder (not a link) of this user that nobody else may enter or list.
bool privateFolder(const std::string& dir) {
    struct stat st {};
    return !dir.empty() && ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 0777) == 0700;
}

// The folder mkdtemp made for this process, removed with what it holds when the process ends.
struct MadeFolder {
    std::mutex lock;
    std::string path;
    ~MadeFolder() {
        std::error_code ec;
        if (privateFolder(path)) std::filesystem::remove_all(path, ec);
    }
};

} // namespace

std::string privateTempDir() {
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    if (run && *run == '/' && privateFolder(run)) return run;
    static MadeFolder made;
    std::lock_guard<std::mutex> hold(made.lock);
    if (privateFolder(made.path)) return made.path;
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec || base.empty()) base = "/tmp";
    std::string name = (base / "mervo-XXXXXX").string();
    if (!::mkdtemp(name.data())) return {};
    made.path = name;
    return made.path;
}

bool replaceFile(const std::string& path, std::string_view bytes) {
    // O_EXCL on a name of our own: a name planted meanwhile is never written through, only tried again
    static std::atomic<unsigned> serial{0};
    std::string scratch;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        scratch = path + "." + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "~";
        fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(scratch.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(scratch.c_str());
    return ok;
}

} // namespace devdata
