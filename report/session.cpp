#include "report/session.h"

#include "devdata/catalogue.h"
#include "devdata/tables.h"

#include <algorithm>

namespace zorbel {

bool hasParameterRows(int deviceType) {
    return devdata::taskRule(deviceType, devdata::Task::Parameters) != devdata::TaskRule::Never;
}

bool ArchiveSession::openArchive(int serial, ArchiveKind kind, int deviceType) {
    std::string name = archiveFileName(serial, kind, deviceType);
    if (!dbf::tableExists(dataDir_, name)) return false;
    serial_ = serial;
    kind_ = kind;
    deviceType_ = deviceType;
    archiveName_ = name;
    openError_.clear();
    knownLastNum_ = 0;
    try {
        archive_.open(dataDir_, name);
        takeInChanges();
        archive_.first();
    } catch (const dbf::Error& e) {
        // a damaged archive is shown as an error; the program stays, so that it can be deleted
        if (archive_.isOpen()) archive_.close();
        openError_ = e.what();
    }
    return true;
}

std::optional<std::string> ArchiveSession::openObject() {
    const std::string path = devdata::joinPath(dataDir_, "MAINDB.dbf");
    if (!dbf::tableExists(dataDir_, "MAINDB.dbf")) return "Файл не найден " + path;
    objects_.open(dataDir_, "MAINDB.dbf");
    if (archive_.isOpen()) {
        archive_.first();
        objectNum_ = archive_.isEmpty() ? 0 : archive_.asInt("NUMSTATE");
    } else {
        // an archive that cannot be read names no object: the object of the serial number does
        objects_.setFilter("SERIALNUM=" + std::to_string(serial_));
        objects_.setFiltered(true);
        objects_.first();
        objectNum_ = objects_.isEmpty() ? 0 : objects_.asInt("NUM");
        objects_.setFiltered(false);
    }
    objects_.setFilter("NUM=" + std::to_string(objectNum_));
    objects_.setFiltered(true);
    objects_.first();
    if (objects_.isEmpty())
        return "Нет ни одной соответствующей записи в таблице записи в таблице " + path + " ";
    deviceType_ = int(objects_.asInt("DEVTYPE"));
    return std::nullopt;
}

bool ArchiveSession::openParams() {
    closeParams();
    if (!dbf::tableExists(dataDir_, "ParsDB.dbf")) return false;
    try {
        params_.open(dataDir_, "ParsDB.dbf");
        params_.setFilter("NUMSTATE=" + std::to_string(objectNum_));
        params_.setFiltered(true);
        params_.first();
        paramsOk_ = !params_.isEmpty();
    } catch (...) {
        closeParams();
        throw;
    }
    return paramsOk_;
}

void ArchiveSession::closeParams() {
    paramsOk_ = false;
    if (params_.isOpen()) params_.close();
}

bool ArchiveSession::switchKind(ArchiveKind kind) {
    std::string name = archiveFileName(serial_, kind, deviceType_);
    if (!dbf::tableExists(dataDir_, name)) return false;
    archive_.close();
    kind_ = kind;
    archiveName_ = name;
    openError_.clear();
    knownLastNum_ = 0;
    try {
        archive_.open(dataDir_, name);
        takeInChanges();
        archive_.first();
    } catch (const dbf::Error& e) {
        if (archive_.isOpen()) archive_.close();
        openError_ = e.what();
        throw;
    }
    return true;
}

void ArchiveSession::takeInChanges() {
    archive_.refresh();
    archive_.cancelRange();
    archive_.setFiltered(false);
    int64_t last = 0;
    if (archive_.hasIndexOn("NUM")) {
        archive_.setIndexFieldNames("NUM");
        archive_.last();
        if (archive_.recNo() != 0 && !archive_.isNull("NUM")) last = archive_.asInt("NUM"); // last() sets eof
    } else {
        archive_.setIndexFieldNames("");
        for (archive_.first(); !archive_.eof(); archive_.next())
            if (!archive_.isNull("NUM")) last = std::max(last, archive_.asInt("NUM"));
    }
    knownLastNum_ = last;
}

std::string ArchiveSession::knownCondition() const {
    return " AND NUM <='" + std::to_string(knownLastNum_) + "'";
}

void ArchiveSession::restrict(dbf::DateTime from, dbf::DateTime to) {
    if (!archive_.isOpen()) return;
    low_ = from.date();
    high_ = to.date().addDays(1);
    restricted_ = true;
    takeInChanges();
    archive_.setIndexFieldNames("WriteDay");
    archive_.setRange(low_, high_);
    archive_.first();
}

void ArchiveSession::showAll() {
    restricted_ = false;
    if (!archive_.isOpen()) return;
    takeInChanges();
    archive_.setIndexFieldNames("WriteDay");
    archive_.first();
}

int ArchiveSession::countEmptyRecords() const {
    return dbf::Database(dataDir_).execSql("select * from " + archiveFile() + "\n" + kEmptyRecordCondition +
                                           knownCondition());
}

int ArchiveSession::deleteEmptyRecords() {
    int n = dbf::Database(dataDir_).execSql("delete from " + archiveFile() + "\n" + kEmptyRecordCondition +
                                            knownCondition());
    reread();
    return n;
}

int ArchiveSession::deleteFromNum(int64_t num) {
    int n = dbf::Database(dataDir_).execSql("delete from " + archiveFile() + "\n" + " where NUM >='" +
                                            std::to_string(num) + "'" + knownCondition());
    reread();
    return n;
}

bool ArchiveSession::deleteArchive() {
    if (archive_.isOpen()) {
        dbf::Database db(dataDir_);
        if (db.execSql("select * from " + archiveFile() + "\n where NUM >'" + std::to_string(knownLastNum_) +
                       "'") > 0) {
            // a poll appended since the last read: its records stay
            db.execSql("delete from " + archiveFile() + "\n where NUM <='" + std::to_string(knownLastNum_) +
                       "'");
            reread();
            return false;
        }
    }
    archive_.close();
    openError_.clear();
    std::string name = archiveFile();
    dbf::deleteTable(dataDir_, name.substr(0, name.size() - 4));
    return true;
}

void ArchiveSession::reread() {
    if (!archive_.isOpen()) return;
    takeInChanges();
    archive_.setIndexFieldNames("WriteDay");
    if (restricted_) archive_.setRange(low_, high_);
    archive_.first();
}

} // namespace zorbel
