// The table layer: names of the table files, the data and temporary directories,
// and the routines that create and open the tables of the data directory.
#pragma once

#include "dbf/table.h"

#include <functional>
#include <mutex>
#include <string>

namespace devdata {

// Receives a line for the poll run's event log.
using LogFn = std::function<void(const std::string&)>;

inline constexpr const char* kObjectsTableName = "MAINDB";
inline constexpr const char* kParamsTableName = "PARSDB";
inline constexpr const char* kStateTablePrefix = "STATEDB";
inline constexpr const char* kArchiveTablePrefix = "ARCHDB";
inline constexpr const char* kTempArchiveTablePrefix = "~ARCHDB";
inline constexpr const char* kDefaultDataDirName = "DATA";
inline constexpr const char* kTempDirName = "MERVOTMP";
// Logged with the full path of the table file when an archive table cannot be created.
inline constexpr const char* kCreateErrorText = "ОШИБКА СОЗДАНИЯ ";
// The log of unexpected errors in the program folder.
inline constexpr const char* kErrorLogName = "ErrorLog.log";

// ---- names

// "STATEDB" + type, e.g. "STATEDB236".
std::string stateTableName(int deviceType);
// "ARCHDB" (or "~ARCHDB") + serial + kind letter, e.g. "ARCHDB530D": the name prefix of an archive table.
std::string archiveNamePrefix(int serial, int kind, bool temporary = false);
// Name prefix + type, e.g. "ARCHDB530D236" or "~ARCHDB530D236".
std::string archiveTableName(int serial, int kind, int deviceType, bool temporary = false);
// dir + "/" + name + ".dbf" (no doubled separator when dir ends with one).
std::string tableFilePath(const std::string& dir, const std::string& name);

// ---- directories

// a + "/" + b, without doubling a separator that a already ends with.
std::string joinPath(const std::string& a, const std::string& b);
// The folder of the running program.
std::string programDir();
// The data directory in force for a stored DPath: empty gives programDir + "/DATA"; a value that begins with
// "..\" or "../" is the rest of it under programDir; anything else is used as it is. Backslashes become "/".
std::string dataDirFromSetting(const std::string& storedPath, const std::string& programDir);
// The temporary directory of a data directory: dataDir + "/MERVOTMP".
std::string tempDirOf(const std::string& dataDir);
// The "drive" of a path: its nearest existing ancestor folder (the path itself when it exists); empty when
// not even the root exists.
std::string existingAncestor(const std::string& path);
// The topmost folder of path that does not exist (what a missing-drive warning names); empty when path
// exists.
std::string missingTopFolder(const std::string& path);

// ---- creation (the routines act on the table object they are given)

// Creates MAINDB with its 17 fields and four indexes in dir and leaves it open. Deletes nothing first.
// Errors propagate.
void createObjectsTable(dbf::Table& table, const std::string& dir,
                        const std::string& name = kObjectsTableName);
// Deletes "STATEDB<type>" .dbf/.MDX in dir, creates the table with the type's state layout, selects index
// "NUMSTATE" and makes it a detail of master (field NUM) when master is given. False, with nothing touched,
// for a type without a state layout. Errors propagate.
bool createStateTable(dbf::Table& table, int deviceType, const std::string& dir, dbf::Table* master,
                      const std::string& baseName = kStateTablePrefix);
// The same for PARSDB.
void createParamsTable(dbf::Table& table, const std::string& dir, dbf::Table* master,
                       const std::string& name = kParamsTableName);
// Deletes namePrefix + type .dbf/.MDX in dir, creates the archive table of the type, selects index "NUMSTATE"
// and sets the master as above. False for a type without an archive layout (nothing created or deleted); any
// other error is caught, logged as "ОШИБКА СОЗДАНИЯ " + the path of the table file, and gives false.
bool createArchiveTable(dbf::Table& table, int deviceType, const std::string& dir,
                        const std::string& namePrefix, dbf::Table* master, const LogFn& log);
// Opens an existing data table as a detail of master (index "NUMSTATE", master field NUM).
void openDetail(dbf::Table& table, const std::string& dir, const std::string& name, dbf::Table* master);

// The process-wide mutex of one table file (dir + name, letter case ignored). The lazy openers below hold it
// while they decide between opening, creating and moving aside, so that lanes polling side by side never
// create a shared table twice or replace one that another lane has just made.
std::mutex& tableMutex(const std::string& dir, const std::string& name);

// ---- lazy creation by the readers

// Opens "STATEDB<type>" as a detail when its .dbf exists in dataDir, otherwise creates it (which deletes a
// stray .MDX). A 0-byte file counts as missing; a file that is not a valid table is moved aside (see
// moveDamagedTable), reported through damaged with the engine's message and the new name, and a new table is
// created. False when the type has no state layout.
bool openStateTable(dbf::Table& table, int deviceType, const std::string& dataDir, dbf::Table* master,
                    const LogFn& damaged = {});
// The same for PARSDB, which is never moved aside: a damaged PARSDB raises the engine's error. A 0-byte file
// counts as missing.
void openParamsTable(dbf::Table& table, const std::string& dataDir, dbf::Table* master);
// The main archive of an object: reused (opened as a detail) whenever its .dbf exists, also when its .MDX was
// lost (the engine rebuilds the index, the archive's rows stay); created empty when the .dbf is missing or
// empty (0 bytes), after a stray .MDX was deleted, and when it is not a valid table, after it was moved aside
// and reported through damaged. False when the creation failed (logged) or the type has no archive layout.
bool openArchiveTable(dbf::Table& table, int deviceType, int serial, int kind, const std::string& dataDir,
                      dbf::Table* master, const LogFn& log, const LogFn& damaged = {});
// Renames both files of a damaged table to their name + ".damaged-yyyy-mm-dd_hh-nn-ss" (with "-2", "-3", ...
// when that is taken) and gives the new path of the .dbf. Throws dbf::Error when a file cannot be renamed.
std::string moveDamagedTable(const std::string& dir, const std::string& name, const dbf::DateTime& at);
// Appends "dd.mm.yyyy hh:mm:ss - message" (Windows-1251, CR LF) to "ErrorLog.log" in programDir; a log that
// cannot be written is passed over.
void appendErrorLog(const std::string& programDir, const dbf::DateTime& at, const std::string& message);
// The temporary archive of one read: tempDir is removed when empty and created again, and
// "~ARCHDB<serial><kind><type>" is created anew in it. False when the creation failed (logged) or the type
// has no archive layout (then the folder is not touched).
bool createTempArchiveTable(dbf::Table& table, int deviceType, int serial, int kind,
                            const std::string& tempDir, dbf::Table* master, const LogFn& log);

// ---- clean-up

// Deletes an object's daily and hourly archive files ("ARCHDB<serial>D<type>", "ARCHDB<serial>H<type>", .dbf
// and .mdx in any letter case) from dataDir. The monthly archive stays.
void deleteObjectArchives(const std::string& dataDir, int serial, int deviceType);
// Deletes every file whose name begins with "~" from tempDir and removes the folder (it stays when other
// files remain). A missing folder is no error.
void cleanTempDir(const std::string& tempDir);

} // namespace devdata
