#include "shell/monitor_model.h"

#include "dbf/codec.h"
#include "dbf/filter.h"

#include <algorithm>
#include <filesystem>

namespace shell {

namespace {

std::string trimRight(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

// A cursor of its own on the file of the objects table, with that table's filter and the given ordering.
void openPrivateCursor(dbf::Table& cursor, const dbf::Table& objects, const std::string& indexName,
                       const std::string& fields) {
    std::filesystem::path p(objects.path());
    cursor.open(p.parent_path().string(), p.filename().string());
    if (!indexName.empty())
        cursor.setIndexName(indexName);
    else
        cursor.setIndexFieldNames(fields);
    cursor.setFilter(objects.filter());
    cursor.setFiltered(objects.filtered());
    cursor.first();
}

// The type of a field of the table (text when it has no such field: the filter then names the field).
dbf::FieldType fieldType(const dbf::Table& t, const std::string& name) {
    for (const dbf::FieldDef& f : t.fields())
        if (dbf::codec::sameName(f.name, name)) return f.type;
    return dbf::FieldType::Char;
}

} // namespace

std::string searchFilter(const dbf::Table& objects, int kind, const std::string& text) {
    if (kind == 1) return dbf::matchCondition("SERIALNUM", fieldType(objects, "SERIALNUM"), text);
    return dbf::matchCondition("ADDRES", fieldType(objects, "ADDRES"), text, dbf::LiteralMatch::BeginsWith);
}

const std::vector<std::string>& stateFilterEntries() {
    static const std::vector<std::string> entries{kAllStatesText, "Норма", kNoLinkState};
    return entries;
}

const std::vector<std::string>& searchKindEntries() {
    static const std::vector<std::string> entries{"по адресу", "по номеру"};
    return entries;
}

ObjectRow readObjectRow(const dbf::Table& t) {
    ObjectRow r;
    r.num = int(t.asInt("NUM"));
    r.serial = t.isNull("SERIALNUM") ? std::string() : std::to_string(t.asInt("SERIALNUM"));
    r.address = trimRight(t.asString("ADDRES"));
    r.state = trimRight(t.asString("STATE"));
    r.errcode = int(t.asInt("ERRCODE"));
    r.conDate = t.isNull("CON_DATE") ? std::string() : t.asDateTime("CON_DATE").dateText();
    r.conTime = trimRight(t.asString("CON_TIME"));
    r.autocon = t.asBool("AUTOCON");
    r.group = trimRight(t.asString("DESKRIPTION"));
    return r;
}

ButtonLook buttonLook(const ObjectRow& row) {
    ButtonLook look;
    if (!row.autocon)
        look.colour = kSilver;
    else if (row.state == kNoLinkState)
        look.colour = kYellow;
    else
        look.colour = kWhite;
    look.stateText = row.autocon ? row.state : std::string(kPollOffStateText);
    look.addrText = row.address;
    look.numText = "№ " + row.serial;
    look.clockText = row.conDate + "/" + row.conTime;
    const int bits = row.errcode & 0xFF;
    look.deviceErrorLamp = row.autocon && (bits & 4);
    look.systemErrorLamp = row.autocon && (bits & 3);
    look.hint = row.address;
    const char* kBreak = "\n\r";
    if (bits & 1) look.hint += std::string(kBreak) + "Ошибки системы 1";
    if (bits & 2) look.hint += std::string(kBreak) + "Ошибки системы 2";
    if (bits & 4) look.hint += std::string(kBreak) + "Ошибки устройства";
    if (!row.autocon) look.hint += std::string(kBreak) + "Автоопрос объекта выключен";
    return look;
}

int monitorColumns(int areaWidth) {
    return std::max(1, areaWidth / (kButtonWidth + kColumnGap));
}

MonitorLayout layoutMonitor(const std::vector<ObjectRow>& rows, bool grouped, int areaWidth,
                            int headerHeight) {
    MonitorLayout out;
    out.buttons.reserve(rows.size());
    const int columns = monitorColumns(areaWidth);
    int top = 5, left = 5, i = 0;
    std::string previous;
    auto extend = [&](int right, int bottom) {
        out.width = std::max(out.width, right + 5);
        out.height = std::max(out.height, bottom + 5);
    };
    for (size_t k = 0; k < rows.size(); ++k) {
        const ObjectRow& r = rows[k];
        if (grouped && r.group != previous) {
            if (i > 0) top += ((i + columns - 1) / columns) * (kButtonHeight + kRowGap);
            out.headers.push_back({r.group, 5, top});
            extend(5, top + headerHeight);
            top += headerHeight + 5;
            left = 5;
            i = 0;
        }
        previous = r.group;
        ButtonPlacement b;
        b.row = int(k);
        b.left = (i % columns) * (kButtonWidth + kColumnGap) + left + 5;
        b.top = (i / columns) * (kButtonHeight + kRowGap) + top + 5;
        out.buttons.push_back(b);
        extend(b.left + kButtonWidth, b.top + kButtonHeight);
        ++i;
    }
    return out;
}

const char* orderingField(Ordering o) {
    switch (o) {
    case Ordering::Num:
        return "NUM";
    case Ordering::Serial:
        return "SERIALNUM";
    case Ordering::Address:
        return "ADDRES";
    case Ordering::Group:
        return "DESKRIPTION";
    }
    return "NUM";
}

MonitorModel::MonitorModel(dbf::Table& objects) : objects_(objects) {}

std::pair<int64_t, uintmax_t> MonitorModel::tableFileStamp() const {
    if (!objects_.isOpen()) return {0, 0};
    std::error_code ec;
    const std::filesystem::path p(objects_.path());
    const auto written = std::filesystem::last_write_time(p, ec);
    if (ec) return {0, 0};
    const uintmax_t size = std::filesystem::file_size(p, ec);
    return {int64_t(written.time_since_epoch().count()), ec ? 0 : size};
}

bool MonitorModel::tableFileChanged() const {
    return objects_.isOpen() && readStamp_ && tableFileStamp() != *readStamp_;
}

TickAction MonitorModel::tick(bool windowVisible) {
    if (!windowVisible) return TickAction::None;
    if (tableFileChanged()) RefreshMonitor = true;
    if (RebuildMonitor) {
        RebuildMonitor = false;
        RefreshMonitor = false;
        return TickAction::Rebuild;
    }
    if (RefreshMonitor) {
        RefreshMonitor = false;
        return TickAction::Refresh;
    }
    return TickAction::None;
}

bool MonitorModel::grouped() const {
    return orderingIndexName().empty() && orderingFields() == "DESKRIPTION";
}

void MonitorModel::holdOrdering() {
    heldIndexName_ = objects_.indexName();
    heldFields_ = objects_.indexFieldNames();
    held_ = true;
}

void MonitorModel::releaseOrdering() {
    held_ = false;
}

std::string MonitorModel::orderingIndexName() const {
    return held_ ? heldIndexName_ : objects_.indexName();
}

std::string MonitorModel::orderingFields() const {
    return held_ ? heldFields_ : objects_.indexFieldNames();
}

std::vector<ObjectRow> MonitorModel::readRows() {
    // taken before the rows: a write while they are read is seen at the next tick
    readStamp_ = tableFileStamp();
    // rows another program added since: the main table takes them in, so that their buttons can be clicked
    if (objects_.isOpen() && objects_.state() == dbf::Table::State::Browse) objects_.refresh();
    const bool refill = !objects_.filtered();
    if (refill) {
        groups_.assign(1, kAllGroupsText);
        groupIndex_ = 0;
    }
    std::vector<ObjectRow> rows;
    dbf::Table cursor;
    openPrivateCursor(cursor, objects_, orderingIndexName(), orderingFields());
    for (; !cursor.eof(); cursor.next()) {
        rows.push_back(readObjectRow(cursor));
        const std::string& g = rows.back().group;
        if (refill && !g.empty() && std::find(groups_.begin(), groups_.end(), g) == groups_.end())
            groups_.push_back(g);
    }
    cursor.close();
    return rows;
}

void MonitorModel::applyTopBarFilter() {
    std::string groupPart, statePart;
    if (groupIndex_ > 0 && groupIndex_ < int(groups_.size()))
        groupPart = "DESKRIPTION=" + dbf::quoteLiteral(groups_[size_t(groupIndex_)]);
    const auto& states = stateFilterEntries();
    if (stateIndex_ > 0 && stateIndex_ < int(states.size()))
        statePart = "STATE=" + dbf::quoteLiteral(states[size_t(stateIndex_)]);
    if (groupIndex_ == 0 && stateIndex_ == 0 && !searchText_.empty()) {
        objects_.setFiltered(false);
        objects_.setFilter("");
    } else {
        std::string f = groupPart;
        if (!statePart.empty()) f += (f.empty() ? "" : " AND ") + statePart;
        objects_.setFilter(f);
        objects_.setFiltered(!f.empty());
    }
    requestRebuild();
}

void MonitorModel::setGroupIndex(int index) {
    groupIndex_ = index;
    searchText_.clear();
    applyTopBarFilter();
}

void MonitorModel::setStateIndex(int index) {
    stateIndex_ = index;
    searchText_.clear();
    applyTopBarFilter();
}

void MonitorModel::setSearchText(const std::string& text) {
    searchText_ = text;
    if (text.empty()) {
        // no search: the lists' filter is the one in force (none when both show everything)
        applyTopBarFilter();
        return;
    }
    groupIndex_ = 0;
    stateIndex_ = 0;
    objects_.setFiltered(false);
    if (!text.empty()) {
        objects_.setFilter(searchFilter(objects_, searchKind_, text));
        objects_.setFiltered(true);
    }
    requestRebuild();
}

void MonitorModel::setSearchKind(int kind) {
    searchKind_ = kind;
    setSearchText("");
}

void MonitorModel::setOrdering(Ordering o) {
    const std::string field = orderingField(o);
    if (o == Ordering::Group && !objects_.hasIndexOn(field)) {
        std::filesystem::path p(objects_.path());
        const std::string dir = p.parent_path().string(), name = p.filename().string();
        const std::string filter = objects_.filter(), ordering = objects_.indexFieldNames(),
                          indexName = objects_.indexName();
        const bool filtered = objects_.filtered();
        const bool hadRow = objects_.recNo() > 0;
        const int num = hadRow ? int(objects_.asInt("NUM")) : 0;
        objects_.close();
        objects_.open(dir, name);
        if (!objects_.hasIndexOn(field)) objects_.addIndex(dbf::IndexDef{"deskr", field, false, false});
        objects_.close();
        objects_.open(dir, name);
        if (!indexName.empty())
            objects_.setIndexName(indexName);
        else
            objects_.setIndexFieldNames(ordering);
        objects_.setFilter(filter);
        objects_.setFiltered(filtered);
        objects_.first();
        if (hadRow) objects_.locate("NUM", dbf::Value(int64_t(num)));
    }
    objects_.setIndexFieldNames(field);
    requestRebuild();
}

int MonitorModel::selectionCount() {
    return objects_.recordCount();
}

bool MonitorModel::withObject(int num, const std::function<void()>& action) {
    const std::string indexName = objects_.indexName(), ordering = objects_.indexFieldNames();
    auto restore = [&] {
        if (!indexName.empty())
            objects_.setIndexName(indexName);
        else
            objects_.setIndexFieldNames(ordering);
    };
    objects_.setIndexFieldNames("NUM");
    if (!objects_.locate("NUM", dbf::Value(int64_t(num)))) {
        restore();
        return false;
    }
    try {
        if (action) action();
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return true;
}

void MonitorModel::toggleAutoPoll() {
    if (objects_.recNo() == 0) return;
    objects_.edit();
    objects_.setBool("AUTOCON", !objects_.asBool("AUTOCON"));
    objects_.post();
    requestRefresh();
}

void MonitorModel::setAutoPollAll(bool on) {
    const int count = objects_.recordCount();
    objects_.first();
    for (int k = 0; k < count && !objects_.eof(); ++k) {
        objects_.edit();
        objects_.setBool("AUTOCON", on);
        objects_.post();
        objects_.next();
    }
    requestRefresh();
}

} // namespace shell
