#include "shell/table_view.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QSplitter>
#include <QStyle>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace shell {

const std::vector<std::string>& objectGridColumns() {
    static const std::vector<std::string> columns{
        "NUM",     "DEVTYPE", "SERIALNUM", "ADDRES",   "NETTYPE",  "COMPORT", "PHONE", "NETADR",     "IPPORT",
        "SCHTYPE", "STATE",   "ERRCODE",   "CON_DATE", "CON_TIME", "AUTOCON", "ERR",   "DESKRIPTION"};
    return columns;
}

void DbfGridModel::setTable(dbf::Table* table, std::vector<std::string> columns) {
    table_ = table;
    wanted_ = std::move(columns);
    reload();
}

void DbfGridModel::reload() {
    beginResetModel();
    columns_.clear();
    recNos_.clear();
    cells_.clear();
    if (table_ && table_->isOpen()) {
        if (wanted_.empty()) {
            for (const auto& f : table_->fields())
                columns_.push_back(f.name);
        } else {
            for (const auto& c : wanted_)
                if (table_->fieldIndex(c) >= 0) columns_.push_back(c);
        }
        const int saved = table_->recNo();
        try {
            for (table_->first(); !table_->eof(); table_->next()) {
                recNos_.push_back(table_->recNo());
                std::vector<QString> row;
                row.reserve(columns_.size());
                for (const auto& c : columns_)
                    row.push_back(table_->isNull(c) ? QString()
                                                    : QString::fromStdString(table_->asString(c)));
                cells_.push_back(std::move(row));
            }
        } catch (...) {
            endResetModel();
            throw;
        }
        // the current record stays where it was when it is still visible, else the first row is current
        if (saved > 0 && std::find(recNos_.begin(), recNos_.end(), saved) != recNos_.end())
            table_->setRecNo(saved);
        else
            table_->first();
    }
    endResetModel();
}

int DbfGridModel::recNoAt(int row) const {
    return row >= 0 && row < int(recNos_.size()) ? recNos_[size_t(row)] : 0;
}

int DbfGridModel::rowOf(int recNo) const {
    auto it = std::find(recNos_.begin(), recNos_.end(), recNo);
    return it == recNos_.end() ? -1 : int(it - recNos_.begin());
}

int DbfGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(cells_.size());
}

int DbfGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(columns_.size());
}

QVariant DbfGridModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return cells_[size_t(index.row())][size_t(index.column())];
}

QVariant DbfGridModel::headerData(int section, Qt::Orientation o, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (o == Qt::Horizontal)
        return section < int(columns_.size()) ? QString::fromStdString(columns_[size_t(section)])
                                              : QVariant();
    return {};
}

namespace {

class Grid : public QTableView {
public:
    explicit Grid(QWidget* parent) : QTableView(parent) {
        setSelectionBehavior(QAbstractItemView::SelectRows);
        setSelectionMode(QAbstractItemView::SingleSelection);
        setEditTriggers(QAbstractItemView::NoEditTriggers);
        verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
        verticalHeader()->hide();
        setAlternatingRowColors(true);
    }
};

} // namespace

ObjectTableView::ObjectTableView(dbf::Table& objects, dbf::Table& state, QWidget* parent)
    : QWidget(parent), objects_(objects), objectsModel_(new DbfGridModel(this)),
      stateModel_(new DbfGridModel(this)) {
    Navigator = new QToolBar(this);
    auto action = [this](const QString& hint, QStyle::StandardPixmap icon) {
        QAction* a = Navigator->addAction(style()->standardIcon(icon), hint);
        a->setToolTip(hint);
        return a;
    };
    First = action("Первая запись", QStyle::SP_MediaSkipBackward);
    Prior = action("Предыдущая запись", QStyle::SP_MediaSeekBackward);
    Next = action("Следующая запись", QStyle::SP_MediaSeekForward);
    Last = action("Последняя запись", QStyle::SP_MediaSkipForward);
    Delete = action("Удалить запись", QStyle::SP_DialogDiscardButton);
    Edit = action("Изменить запись", QStyle::SP_FileDialogDetailedView);
    Cancel = action("Отменить изменения", QStyle::SP_DialogCancelButton);
    Refresh = action("Обновить данные", QStyle::SP_BrowserReload);

    ObjectsGrid = new Grid(this);
    ObjectsGrid->setModel(objectsModel_);
    ObjectsGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    StateGrid = new Grid(this);
    StateGrid->setModel(stateModel_);
    Splitter = new QSplitter(Qt::Vertical, this);
    Splitter->addWidget(ObjectsGrid);
    Splitter->addWidget(StateGrid);
    Splitter->setStretchFactor(0, 3);
    Splitter->setStretchFactor(1, 1);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(Navigator);
    column->addWidget(Splitter, 1);

    objectsModel_->setTable(&objects, objectGridColumns());
    stateModel_->setTable(&state);

    auto step = [this](int delta, bool absolute) {
        const int rows = objectsModel_->rowCount();
        if (rows == 0) return;
        const int at = ObjectsGrid->currentIndex().isValid() ? ObjectsGrid->currentIndex().row() : 0;
        selectRow(absolute ? (delta < 0 ? 0 : rows - 1) : std::clamp(at + delta, 0, rows - 1));
    };
    connect(First, &QAction::triggered, this, [step] { step(-1, true); });
    connect(Prior, &QAction::triggered, this, [step] { step(-1, false); });
    connect(Next, &QAction::triggered, this, [step] { step(1, false); });
    connect(Last, &QAction::triggered, this, [step] { step(1, true); });
    connect(Delete, &QAction::triggered, this, &ObjectTableView::deleteRequested);
    connect(Edit, &QAction::triggered, this, &ObjectTableView::editRequested);
    connect(Cancel, &QAction::triggered, this, &ObjectTableView::cancelRequested);
    connect(Refresh, &QAction::triggered, this, [this] {
        try {
            objects_.refresh();
            reload();
        } catch (const std::exception& e) {
            emit errorRaised(QString::fromStdString(e.what()));
        }
    });
    connect(ObjectsGrid->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& now) { currentRowChanged(now.row()); });
    connect(ObjectsGrid, &QTableView::doubleClicked, this, [this](const QModelIndex& i) {
        selectRow(i.row());
        if (objects_.recNo() > 0) emit objectWindowRequested(int(objects_.asInt("NUM")));
    });
    connect(ObjectsGrid, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        const QModelIndex i = ObjectsGrid->indexAt(p);
        if (!i.isValid()) return;
        selectRow(i.row());
        if (objects_.recNo() > 0)
            emit popupRequested(int(objects_.asInt("NUM")), ObjectsGrid->viewport()->mapToGlobal(p));
    });
}

void ObjectTableView::reload() {
    syncing_ = true;
    objectsModel_->reload();
    ObjectsGrid->resizeColumnsToContents();
    syncing_ = false;
    syncSelection();
    if (objects_.isOpen() && objects_.recNo() > 0) emit currentObjectChanged(int(objects_.asInt("NUM")));
    reloadState();
}

void ObjectTableView::reloadState() {
    stateModel_->reload();
    StateGrid->resizeColumnsToContents();
}

void ObjectTableView::syncSelection() {
    syncing_ = true;
    const int row = objects_.isOpen() ? objectsModel_->rowOf(objects_.recNo()) : -1;
    if (row >= 0)
        ObjectsGrid->setCurrentIndex(objectsModel_->index(row, 0));
    else
        ObjectsGrid->clearSelection();
    syncing_ = false;
}

void ObjectTableView::selectRow(int row) {
    if (row < 0 || row >= objectsModel_->rowCount()) return;
    if (ObjectsGrid->currentIndex().row() != row)
        ObjectsGrid->setCurrentIndex(objectsModel_->index(row, 0)); // currentRowChanged follows
    else
        currentRowChanged(row);
}

void ObjectTableView::currentRowChanged(int row) {
    if (syncing_) return;
    const int recNo = objectsModel_->recNoAt(row);
    if (recNo <= 0 || !objects_.isOpen()) return;
    try {
        if (objects_.recNo() != recNo) objects_.setRecNo(recNo);
    } catch (const std::exception& e) {
        // the row went away behind the grid's back (another program deleted it): show the table as it is
        emit errorRaised(QString::fromStdString(e.what()));
        QMetaObject::invokeMethod(
            this, [this] { reload(); }, Qt::QueuedConnection);
        return;
    }
    emit currentObjectChanged(int(objects_.asInt("NUM")));
}

} // namespace shell
