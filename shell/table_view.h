// The table view of the main window: a navigator bar over a row-selecting grid of the objects table and,
// below a splitter, a grid of the current object's rows of its current-state table.
//
// DbfGridModel shows the visible rows of a table (its filter, range, master and ordering) as they were when
// reload() last ran; it reads them on the table's own cursor and puts the current record back afterwards.
#pragma once

#include "dbf/table.h"

#include <QAbstractTableModel>
#include <QWidget>
#include <string>
#include <vector>

class QAction;
class QSplitter;
class QTableView;
class QToolBar;

namespace shell {

class DbfGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DbfGridModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}

    // The table the grid shows (nullptr: nothing) and its columns (empty: every field in file order).
    void setTable(dbf::Table* table, std::vector<std::string> columns = {});
    dbf::Table* table() const { return table_; }
    // Reads the visible rows anew; a closed table gives an empty grid.
    void reload();
    // Physical record number of a grid row and back (-1 / 0 when there is none).
    int recNoAt(int row) const;
    int rowOf(int recNo) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

private:
    dbf::Table* table_ = nullptr;
    std::vector<std::string> wanted_;
    std::vector<std::string> columns_;
    std::vector<int> recNos_;
    std::vector<std::vector<QString>> cells_;
};

// The columns of the objects grid, in their order.
const std::vector<std::string>& objectGridColumns();

class ObjectTableView : public QWidget {
    Q_OBJECT
public:
    // objects: the main window's objects table; state: its current-state table (a detail of objects, open
    // or closed). Both must outlive the view.
    ObjectTableView(dbf::Table& objects, dbf::Table& state, QWidget* parent = nullptr);

    // Reads both grids anew and selects the row of the objects table's current record.
    void reload();
    // Reads the lower grid anew (the current-state table was reopened or changed).
    void reloadState();

    QToolBar* Navigator = nullptr;
    QAction* First = nullptr;
    QAction* Prior = nullptr;
    QAction* Next = nullptr;
    QAction* Last = nullptr;
    QAction* Delete = nullptr;
    QAction* Edit = nullptr;
    QAction* Cancel = nullptr;
    QAction* Refresh = nullptr;
    QTableView* ObjectsGrid = nullptr;
    QTableView* StateGrid = nullptr;
    QSplitter* Splitter = nullptr;
    DbfGridModel* objectsModel() { return objectsModel_; }
    DbfGridModel* stateModel() { return stateModel_; }
    // Makes a grid row the current record of the objects table (what a click on it does).
    void selectRow(int row);

signals:
    // The objects table's current record moved to the object NUM (the window reopens its current-state
    // table, then calls reloadState()).
    void currentObjectChanged(int num);
    // Double click on a row.
    void objectWindowRequested(int num);
    // The grid's context menu: the object pop-up menu.
    void popupRequested(int num, QPoint globalPos);
    // Navigator buttons the window answers with its own checks.
    void deleteRequested();
    void editRequested();
    void cancelRequested();
    // A table operation of the view failed (the window's error handler records it).
    void errorRaised(const QString& message);

private:
    void currentRowChanged(int row);
    void syncSelection();

    dbf::Table& objects_;
    DbfGridModel* objectsModel_;
    DbfGridModel* stateModel_;
    bool syncing_ = false;
};

} // namespace shell
