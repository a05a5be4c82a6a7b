#include "devdata/tables.h"

#include "dbf/codec.h"
#include "dbf/crash_point.h"
#include "devdata/catalogue.h"
#include "devdata/layouts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <system_error>

namespace fs = std::filesystem;

namespace devdata {

namespace {

void closeQuietly(dbf::Table& table) {
    try {
        table.close();
    } catch (...) {
    }
}

// Creates name in dir with the layout and makes it a detail of master, ordered by "NUMSTATE".
void createDetail(dbf::Table& table, const std::string& dir, const std::string& name,
                  const TableLayout& layout, dbf::Table* master) {
    if (table.isOpen()) table.close();
    dbf::deleteTable(dir, name);
    table.create(dir, name, layout.fields, layout.indexes);
    table.setIndexName("NUMSTATE");
    if (master) table.setMaster(master, "NUM", "NUMSTATE");
}

std::string stripTrailingSeparators(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

} // namespace

// ---- names

std::string stateTableName(int deviceType) {
    return kStateTablePrefix + std::to_string(deviceType);
}

std::string archiveNamePrefix(int serial, int kind, bool temporary) {
    return (temporary ? kTempArchiveTablePrefix : kArchiveTablePrefix) + std::to_string(serial) +
           archiveKindLetter(kind);
}

std::string archiveTableName(int serial, int kind, int deviceType, bool temporary) {
    return archiveNamePrefix(serial, kind, temporary) + std::to_string(deviceType);
}

std::string tableFilePath(const std::string& dir, const std::string& name) {
    return joinPath(dir, name + ".dbf");
}

// ---- directories

std::string joinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (a.back() == '/') return a + b;
    return a + "/" + b;
}

std::string programDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return fs::current_path().string();
    return exe.parent_path().string();
}

std::string dataDirFromSetting(const std::string& storedPath, const std::string& programDir) {
    if (storedPath.empty()) return joinPath(programDir, kDefaultDataDirName);
    std::string p = storedPath;
    std::replace(p.begin(), p.end(), '\\', '/');
    if (p.starts_with("../")) return joinPath(programDir, p.substr(3));
    return p;
}

std::string tempDirOf(const std::string& dataDir) {
    return joinPath(dataDir, kTempDirName);
}

std::string existingAncestor(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(stripTrailingSeparators(path), ec);
    if (ec) return {};
    for (;;) {
        if (fs::is_directory(p, ec)) return p.string();
        fs::path parent = p.parent_path();
        if (parent == p) return {};
        p = parent;
    }
}

std::string missingTopFolder(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::absolute(stripTrailingSeparators(path), ec);
    if (ec || fs::exists(p, ec)) return {};
    for (;;) {
        fs::path parent = p.parent_path();
        if (parent == p || fs::exists(parent, ec)) return p.string();
        p = parent;
    }
}

// ---- creation

void createObjectsTable(dbf::Table& table, const std::string& dir, const std::string& name) {
    if (table.isOpen()) table.close();
    const TableLayout& layout = objectsTableLayout();
    table.create(dir, name, layout.fields, layout.indexes);
}

bool createStateTable(dbf::Table& table, int deviceType, const std::string& dir, dbf::Table* master,
                      const std::string& baseName) {
    const TableLayout* layout = stateTableLayout(deviceType);
    if (!layout) return false;
    createDetail(table, dir, baseName + std::to_string(deviceType), *layout, master);
    return true;
}

void createParamsTable(dbf::Table& table, const std::string& dir, dbf::Table* master,
                       const std::string& name) {
    createDetail(table, dir, name, paramsTableLayout(), master);
}

bool createArchiveTable(dbf::Table& table, int deviceType, const std::string& dir,
                        const std::string& namePrefix, dbf::Table* master, const LogFn& log) {
    const TableLayout* layout = archiveTableLayout(deviceType);
    if (!layout) return false;
    std::string name = namePrefix + std::to_string(deviceType);
    try {
        createDetail(table, dir, name, *layout, master);
        return true;
    } catch (const std::exception&) {
        closeQuietly(table);
        if (log) log(kCreateErrorText + tableFilePath(dir, name));
        return false;
    }
}

void openDetail(dbf::Table& table, const std::string& dir, const std::string& name, dbf::Table* master) {
    if (table.isOpen()) table.close();
    table.open(dir, name);
    table.setIndexName("NUMSTATE");
    if (master) table.setMaster(master, "NUM", "NUMSTATE");
}

// ---- lazy creation

std::string moveDamagedTable(const std::string& dir, const std::string& name, const dbf::DateTime& at) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, ".damaged-%04d-%02d-%02d_%02d-%02d-%02d", at.year(), at.month(),
                  at.day(), at.hour(), at.minute(), at.second());
    std::string suffix = stamp;
    const std::string table = dbf::findFile(dir, name + ".dbf");
    const std::string index = dbf::findFile(dir, name + ".MDX");
    // a second damage within the same second gets a number of its own
    for (int n = 2; fs::exists(table + suffix) || (!index.empty() && fs::exists(index + suffix)); ++n)
        suffix = std::string(stamp) + "-" + std::to_string(n);
    dbf::crash::point(dbf::crash::Op::Aside, table, dbf::crash::Phase::Before);
    for (const std::string& from : {table, index}) {
        if (from.empty()) continue;
        std::error_code ec;
        fs::rename(from, from + suffix, ec);
        if (ec) throw dbf::Error("Не удалось перенести поврежденную таблицу " + from + ": " + ec.message());
        if (from == table) dbf::crash::point(dbf::crash::Op::Aside, table, dbf::crash::Phase::Amid);
    }
    dbf::crash::point(dbf::crash::Op::Aside, table, dbf::crash::Phase::After);
    return table + suffix;
}

namespace {

// Opens a table the layer makes when it is missing, or makes it: a 0-byte file is a table that was never
// written and counts as missing; a file that is not a valid table is moved aside whole (both files, the name
// followed by ".damaged-<date>_<time>") and reported, so that collection goes on in a new table. Other errors
// (input/output, permissions) leave the files alone and go to the caller.
bool openOrMake(dbf::Table& table, const std::string& dir, const std::string& name, dbf::Table* master,
                const LogFn& damaged, const std::function<bool()>& make) {
    const std::string path = dbf::findFile(dir, name + ".dbf");
    if (path.empty()) return make();
    std::error_code ec;
    if (fs::file_size(path, ec) == 0 && !ec) {
        dbf::deleteTable(dir, name);
        return make();
    }
    try {
        openDetail(table, dir, name, master);
        return true;
    } catch (const dbf::FormatError& e) {
        closeQuietly(table);
        const std::string moved = moveDamagedTable(dir, name, dbf::DateTime::now());
        if (damaged) damaged(std::string(e.what()) + "; таблица перенесена в " + moved);
        return make();
    }
}

} // namespace

std::mutex& tableMutex(const std::string& dir, const std::string& name) {
    static std::mutex guard;
    static std::map<std::string, std::unique_ptr<std::mutex>> mutexes;
    std::string key = tableFilePath(dir, name);
    for (char& c : key)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    std::lock_guard<std::mutex> g(guard);
    auto& m = mutexes[key];
    if (!m) m = std::make_unique<std::mutex>();
    return *m;
}

bool openStateTable(dbf::Table& table, int deviceType, const std::string& dataDir, dbf::Table* master,
                    const LogFn& damaged) {
    if (!stateTableLayout(deviceType)) return false;
    std::lock_guard<std::mutex> hold(tableMutex(dataDir, stateTableName(deviceType)));
    return openOrMake(table, dataDir, stateTableName(deviceType), master, damaged,
                      [&] { return createStateTable(table, deviceType, dataDir, master); });
}

void openParamsTable(dbf::Table& table, const std::string& dataDir, dbf::Table* master) {
    std::lock_guard<std::mutex> hold(tableMutex(dataDir, kParamsTableName));
    // never moved aside (its damage is reported); a file that was never written holds nothing to keep
    const std::string path = dbf::findFile(dataDir, std::string(kParamsTableName) + ".dbf");
    std::error_code ec;
    if (!path.empty() && !(fs::file_size(path, ec) == 0 && !ec)) {
        openDetail(table, dataDir, kParamsTableName, master);
        return;
    }
    createParamsTable(table, dataDir, master);
}

bool openArchiveTable(dbf::Table& table, int deviceType, int serial, int kind, const std::string& dataDir,
                      dbf::Table* master, const LogFn& log, const LogFn& damaged) {
    if (!archiveTableLayout(deviceType)) return false;
    std::lock_guard<std::mutex> hold(tableMutex(dataDir, archiveTableName(serial, kind, deviceType)));
    // a lost index file is rebuilt by the engine on open, the rows stay; the creation deletes a stray index
    // file first
    return openOrMake(table, dataDir, archiveTableName(serial, kind, deviceType), master, damaged, [&] {
        return createArchiveTable(table, deviceType, dataDir, archiveNamePrefix(serial, kind), master, log);
    });
}

bool createTempArchiveTable(dbf::Table& table, int deviceType, int serial, int kind,
                            const std::string& tempDir, dbf::Table* master, const LogFn& log) {
    if (!archiveTableLayout(deviceType)) return false;
    std::error_code ec;
    fs::remove(tempDir, ec); // only an empty folder goes
    fs::create_directory(tempDir, ec);
    return createArchiveTable(table, deviceType, tempDir, archiveNamePrefix(serial, kind, true), master, log);
}

// ---- the error log

void appendErrorLog(const std::string& programDir, const dbf::DateTime& at, const std::string& message) {
    // a log that cannot be written must not cost anything else
    std::ofstream log(joinPath(programDir, kErrorLogName), std::ios::app | std::ios::binary);
    if (log) log << dbf::codec::toCp1251(at.dateText() + " " + at.timeText() + " - " + message) << "\r\n";
}

// ---- clean-up

void deleteObjectArchives(const std::string& dataDir, int serial, int deviceType) {
    dbf::deleteTable(dataDir, archiveTableName(serial, kDailyArchive, deviceType));
    dbf::deleteTable(dataDir, archiveTableName(serial, kHourlyArchive, deviceType));
}

void cleanTempDir(const std::string& tempDir) {
    std::error_code ec;
    for (fs::directory_iterator it(tempDir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code fileEc;
        std::string fileName = it->path().filename().string();
        if (fileName.starts_with("~") && !it->is_directory(fileEc)) fs::remove(it->path(), fileEc);
    }
    fs::remove(tempDir, ec); // stays when other files remain
}

} // namespace devdata
