#include "report/archive_model.h"

namespace zorbel {

bool isGarbageRecord(const dbf::Table& table) {
    static const dbf::DateTime epoch = dbf::DateTime::fromParts(1999, 12, 31);
    if (table.isNull("WriteDay")) return true;
    if (table.fieldIndex("CheckField") >= 0 && !table.isNull("CheckField") && table.asInt("CheckField") == 1)
        return true;
    return !(table.asDateTime("WriteDay") > epoch);
}

QString ArchiveModel::display(const dbf::Value& v) {
    if (auto* d = std::get_if<double>(&v)) return QString::number(*d, 'f', 2);
    if (auto* i = std::get_if<int64_t>(&v)) return QString::number(*i);
    if (auto* s = std::get_if<std::string>(&v)) return QString::fromStdString(*s);
    if (auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
    if (auto* t = std::get_if<dbf::DateTime>(&v))
        return QString::asprintf("%02d.%02d.%04d %02d:%02d", t->day(), t->month(), t->year(), t->hour(),
                                 t->minute());
    return {};
}

void ArchiveModel::load(dbf::Table& table, const std::vector<GridColumn>& columns) {
    beginResetModel();
    columns_ = columns;
    rows_.clear();
    if (table.isOpen()) {
        std::vector<int> fieldNo;
        for (const auto& c : columns_)
            fieldNo.push_back(table.fieldIndex(c.field));
        for (table.first(); !table.eof(); table.next()) {
            Row r;
            r.recNo = table.recNo();
            for (int f : fieldNo)
                r.values.push_back(f >= 0 ? table.value(f) : dbf::Value{});
            rows_.push_back(std::move(r));
        }
        table.first();
    }
    endResetModel();
}

void ArchiveModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

int ArchiveModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int ArchiveModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(columns_.size());
}

QVariant ArchiveModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || role != Qt::DisplayRole) {
        if (role == Qt::TextAlignmentRole && index.isValid()) {
            const auto& v = value(index.row(), index.column());
            if (std::holds_alternative<double>(v) || std::holds_alternative<int64_t>(v))
                return int(Qt::AlignRight | Qt::AlignVCenter);
        }
        return {};
    }
    return display(value(index.row(), index.column()));
}

QVariant ArchiveModel::headerData(int section, Qt::Orientation o, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (o == Qt::Horizontal && section >= 0 && section < int(columns_.size()))
        return QString::fromStdString(columns_[size_t(section)].caption);
    if (o == Qt::Vertical) return section + 1;
    return {};
}

} // namespace zorbel
