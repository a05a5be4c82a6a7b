// The archive grid's model: the records of the archive table in its present order and range, one column per
// shown field, read once per change of the table (a snapshot), formatted as the grid shows them.
#pragma once

#include "dbf/table.h"
#include "report/columns.h"

#include <QAbstractTableModel>
#include <vector>

namespace zorbel {

// A record outside the archive's time, kept out of the chart: one stamped at or before 31.12.1999 00:00 (the
// epoch of the device's day counter; the stamp of an empty device slot), one without a stamp, and a
// placeholder row (CheckField 1) that carries no data.
bool isGarbageRecord(const dbf::Table& table);

class ArchiveModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

    // Reads the rows of table (closed: none) for the columns.
    void load(dbf::Table& table, const std::vector<GridColumn>& columns);
    void clear();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation o, int role = Qt::DisplayRole) const override;

    const std::vector<GridColumn>& columns() const { return columns_; }
    // Physical record number of a row, for moving the table to it.
    int recNo(int row) const { return rows_[size_t(row)].recNo; }
    const dbf::Value& value(int row, int col) const { return rows_[size_t(row)].values[size_t(col)]; }
    // Text of a value as the grid shows it: floats "0.00", date-times "dd.mm.yyyy hh:nn".
    static QString display(const dbf::Value& v);

private:
    struct Row {
        int recNo = 0;
        std::vector<dbf::Value> values;
    };
    std::vector<GridColumn> columns_;
    std::vector<Row> rows_;
};

} // namespace zorbel
