// The tables of one report-program run: the archive table of the device, its object row in MAINDB and its
// parameter rows in PARSDB, the range restriction, the error explanation of a record and the deletions.
#pragma once

#include "dbf/table.h"
#include "report/launch.h"

#include <optional>
#include <string>

namespace zorbel {

inline constexpr const char* kEmptyRecordCondition = " where WRITEDAY ='31.12.1999 00:00'";
inline constexpr const char* kParamsMissingText =
    "Внимание!\n\rКонфигурация прибора не определена. \n\rДанные конфигурации системы в отчет выводиться не "
    "будут. \n\r----------------------------------------------------------------------\n\rПроблема будет "
    "устранена автоматиченски при очередном опросе прибора. \n\rДля продолжения нажмите ОК";

// Whether the poll keeps parameter rows in PARSDB for the device type (it reads them for 229, 230 and 234 to
// 237; 225 and 238 have none).
bool hasParameterRows(int deviceType);

class ArchiveSession {
public:
    explicit ArchiveSession(std::string dataDir) : dataDir_(std::move(dataDir)) {}

    const std::string& dataDir() const { return dataDir_; }
    int serial() const { return serial_; }
    int deviceType() const { return deviceType_; }
    ArchiveKind kind() const { return kind_; }

    // Opens "ARCHDB" + serial + letter + type + ".dbf" of the data directory; false (nothing opened) when the
    // file does not exist. A file that cannot be opened (damaged) leaves the table closed and its error in
    // openError(); the session then knows its name, so that it can be deleted.
    bool openArchive(int serial, ArchiveKind kind, int deviceType);
    // The engine's message when the archive in force could not be opened; empty otherwise.
    const std::string& openError() const { return openError_; }
    // An archive file that exists but could not be opened.
    bool archiveDamaged() const { return !openError_.empty(); }

    // Opens MAINDB filtered to the object of the archive's first record (of the serial number when the
    // archive could not be opened) and takes the device type from it.
    // nullopt on success, else the error text to show before the program ends.
    std::optional<std::string> openObject();
    // Opens PARSDB filtered to the object's rows; false when the file is missing or no row passes. Throws
    // when the table is damaged (the parameters then stay closed).
    bool openParams();
    void closeParams();

    // Switches to the archive of another kind when its file exists; false (the open table stays) otherwise.
    // An archive that cannot be opened raises the engine's error (and stays in force, closed, see
    // openError()).
    bool switchKind(ArchiveKind kind);

    // Both first take in what other processes wrote to the archive since the last read (a running poll
    // appends to it). restrict orders the archive by WriteDay and restricts it to WriteDay from `from` 00:00
    // to `to` + 1 day 00:00, both ends included; showAll lifts every restriction.
    void restrict(dbf::DateTime from, dbf::DateTime to);
    void showAll();
    bool restricted() const { return restricted_; }

    // ---- deletions. They remove only records that were in the table at its last read (what the grid
    // shows): NUM is given out in rising order, so records appended by a poll since have a NUM above
    // knownLastNum() and are kept.
    // The table file name as the statements quote it.
    const std::string& archiveFile() const { return archiveName_; }
    // The highest NUM of the table at its last read; 0 when it had no records.
    int64_t knownLastNum() const { return knownLastNum_; }
    // "select * from FILE\n where WRITEDAY ='31.12.1999 00:00'" over the known records: the number of empty
    // records.
    int countEmptyRecords() const;
    int deleteEmptyRecords();
    // Deletes every known record whose NUM is not below num, whatever the range; returns how many.
    int deleteFromNum(int64_t num);
    // Deletes the archive. When records were appended since the last read, only the known ones are deleted
    // and the table stays (returns false); otherwise the table is closed and its .dbf and index files are
    // deleted (returns true).
    bool deleteArchive();
    // Takes in the changes other processes made, keeping the ordering and range.
    void reread();

    dbf::Table& archive() { return archive_; }
    dbf::Table& objects() { return objects_; }
    dbf::Table& params() { return params_; }
    bool paramsOpen() const { return paramsOk_; }
    // The object's NUM as the archive's first record names it.
    int64_t objectNum() const { return objectNum_; }

private:
    // Refreshes the archive table and notes its highest NUM; leaves it unordered and unrestricted.
    void takeInChanges();
    // The condition that keeps a statement to the known records.
    std::string knownCondition() const;

    std::string dataDir_;
    int serial_ = 0;
    ArchiveKind kind_ = ArchiveKind::Daily;
    int deviceType_ = 0;      // the object's type once MAINDB was read
    std::string archiveName_; // file name of the archive table in force
    std::string openError_;
    int64_t objectNum_ = 0;
    bool paramsOk_ = false;
    bool restricted_ = false;
    int64_t knownLastNum_ = 0;
    dbf::DateTime low_, high_;
    dbf::Table archive_, objects_, params_;
};

} // namespace zorbel
