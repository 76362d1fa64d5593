#include "monitor/ConnectionListUi.h"

#include <QString>
#include <QTreeView>
#include <algorithm>

ConnectionListModel::ConnectionListModel(const CPortNameTable& portNames, const CImageList& images, QObject* parent)
    : QAbstractTableModel(parent), portNames_(portNames), images_(images) {}

int ConnectionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ConnectionListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(headings_.size());
}

QVariant ConnectionListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
    const ConnectionRecord& r = Record(index.row());
    switch (role) {
    case Qt::DisplayRole: return QString::fromStdString(ConnectionColumnText(r, index.column(), portNames_));
    case Qt::ToolTipRole:
        // The tip is ours alone (no text from the agent), so its rich-text reading is safe.
        if (index.column() == PROGRAM_COLUMN) {
            const std::string tip = ProgramToolTip(r);
            if (!tip.empty()) return QString::fromStdString(tip);
        }
        break;
    case Qt::DecorationRole:
        if (index.column() == 0) return images_.Icon(ConnectionImage(r));
        break;
    case LIST_IMAGE_ROLE:
        if (index.column() == 0) return ConnectionImage(r);
        break;
    default: break;
    }
    return {};
}

QVariant ConnectionListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= headings_.size())
        return {};
    return headings_[section];
}

bool ConnectionListModel::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value, int role) {
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::EditRole) || section < 0 ||
        section >= headings_.size())
        return false;
    headings_[section] = value.toString();
    emit headerDataChanged(orientation, section, section);
    return true;
}

bool ConnectionListModel::insertColumns(int column, int count, const QModelIndex& parent) {
    if (parent.isValid() || count < 1 || column < 0 || column > headings_.size()) return false;
    beginInsertColumns(parent, column, column + count - 1);
    for (int i = 0; i < count; ++i) headings_.insert(column, QString());
    endInsertColumns();
    return true;
}

Qt::ItemFlags ConnectionListModel::flags(const QModelIndex& index) const {
    // Never a parent: the view then lays the rows out without asking each one.
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren : Qt::NoItemFlags;
}

const ConnectionRecord& ConnectionListModel::Record(int row) const {
    const size_t r = static_cast<size_t>(row);
    return incoming_ && row < settled_ ? incoming_[rows_[r]] : table_[rows_[r]];
}

void ConnectionListModel::Replace(int at, int shownCount, const int* wanted, int wantedCount) {
    const int paired = std::min(shownCount, wantedCount);
    if (paired > 0) {
        std::copy(wanted, wanted + paired, rows_.begin() + at);
        settled_ = at + paired;
        emit dataChanged(index(at, 0), index(at + paired - 1, std::max(columnCount() - 1, 0)));
    }
    const auto first = rows_.begin() + at + paired;
    if (shownCount > paired) {
        beginRemoveRows({}, at + paired, at + shownCount - 1);
        rows_.erase(first, first + (shownCount - paired));
        endRemoveRows();
    } else if (wantedCount > paired) {
        beginInsertRows({}, at + paired, at + wantedCount - 1);
        rows_.insert(first, wanted + paired, wanted + wantedCount);
        settled_ = at + wantedCount;
        endInsertRows();
    }
    settled_ = at + wantedCount;
}

void ConnectionListModel::Shift(int from, int to, int by) {
    for (int i = from; i < to; ++i) rows_[static_cast<size_t>(i)] += by;
}

void ConnectionListModel::Adopt(int count, const ConnectionRecord* records) {
    if (records != table_.data()) table_.assign(records, records + count);
    else table_.resize(static_cast<size_t>(count));
    incoming_ = nullptr;
    settled_ = 0;
    sourceCount_ = count;
}

void ConnectionListModel::Show(int count, const ConnectionRecord* records, int displayMode) {
    if (!records || count < 0) count = 0;
    // The rows as they are shown and as they will be, as records to tell them apart by.
    std::vector<ConnectionRecord> was, wanted;
    std::vector<int> wantedRows;
    was.reserve(rows_.size());
    for (int i = 0; i < rowCount(); ++i) was.push_back(Record(i));
    for (int i = 0; i < count; ++i) {
        if (!ShownInMode(records[i], displayMode)) continue;
        wantedRows.push_back(i);
        wanted.push_back(records[i]);
    }
    incoming_ = records;
    settled_ = 0;
    int done = 0;  // rows up to here point into records
    for (const RowChange& c : DiffConnectionRecords(static_cast<int>(was.size()), was.data(),
                                                    static_cast<int>(wanted.size()), wanted.data())) {
        // Rows that stay take their record's new index, as all rows do in the end.
        for (int i = done; i < c.wantedFirst; ++i) rows_[static_cast<size_t>(i)] = wantedRows[static_cast<size_t>(i)];
        settled_ = c.wantedFirst;
        Replace(c.wantedFirst, c.shownCount, wantedRows.data() + c.wantedFirst, c.wantedCount);
        done = c.wantedFirst + c.wantedCount;
    }
    for (int i = done; i < rowCount(); ++i) rows_[static_cast<size_t>(i)] = wantedRows[static_cast<size_t>(i)];
    Adopt(count, records);
    mode_ = displayMode;
    if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, std::max(columnCount() - 1, 0)));
}

void ConnectionListModel::ApplyTableChanges(int wasCount, const ConnectionRecord* was, int nowCount,
                                            const ConnectionRecord* now, const std::vector<RowChange>& changes,
                                            int displayMode) {
    if (displayMode != mode_ || wasCount != sourceCount_) {
        Show(nowCount, now, displayMode);  // these rows were not shown from that table
        return;
    }
    const bool everyRecord = displayMode != 1;
    auto shown = [displayMode](const ConnectionRecord& r) { return ShownInMode(r, displayMode); };
    // Rows before `settled_` already point into now; those after it still into the
    // table shown so far, each short of its new index by the changes before it.
    incoming_ = now;
    settled_ = 0;
    std::vector<int> wanted;
    int row = 0;      // rows before position `counted` of the new table
    int counted = 0;
    int moved = 0;    // how far the records after the last change moved
    for (const RowChange& c : changes) {
        const int before = everyRecord ? c.wantedFirst - counted
                                       : static_cast<int>(std::count_if(now + counted, now + c.wantedFirst, shown));
        Shift(row, row + before, moved);
        row += before;
        settled_ = row;
        const int gone = everyRecord ? c.shownCount
                                     : static_cast<int>(std::count_if(was + c.shownFirst,
                                                                      was + c.shownFirst + c.shownCount, shown));
        wanted.clear();
        for (int i = c.wantedFirst; i < c.wantedFirst + c.wantedCount; ++i) {
            if (shown(now[i])) wanted.push_back(i);
        }
        Replace(row, gone, wanted.data(), static_cast<int>(wanted.size()));
        row += static_cast<int>(wanted.size());
        counted = c.wantedFirst + c.wantedCount;
        moved = (c.wantedFirst + c.wantedCount) - (c.shownFirst + c.shownCount);
    }
    Shift(row, rowCount(), moved);
    Adopt(nowCount, now);
}

namespace {

ListRow ToListRow(const ConnectionRow& row) {
    ListRow r;
    r.image = row.image;
    for (const std::string& text : row.columns) r.texts.push_back(QString::fromStdString(text));
    return r;
}

std::vector<ListRow> ToListRows(const std::vector<ConnectionRow>& rows, int first, int count) {
    std::vector<ListRow> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = first; i < first + count; ++i) out.push_back(ToListRow(rows[static_cast<size_t>(i)]));
    return out;
}

void Rewrite(CListCtrl& list, int position, const ConnectionRow& was, const ConnectionRow& now) {
    if (now.image != was.image || now.columns[0] != was.columns[0])
        list.SetItem(position, 0, QString::fromStdString(now.columns[0]), now.image);
    for (int c = 1; c < CONNECTION_COLUMNS; ++c)
        if (now.columns[c] != was.columns[c]) list.SetItemText(position, c, QString::fromStdString(now.columns[c]));
}

}  // namespace

void UpdateConnectionList(CListCtrl& list, std::vector<ConnectionRow>& shown, std::vector<ConnectionRow> wanted) {
    // Every row is one line with a small image: telling the view so spares it measuring
    // each row of a long list again after every change.
    list.widget()->setUniformRowHeights(true);
    if (list.GetItemCount() != static_cast<int>(shown.size())) {
        list.DeleteAllItems();
        shown.clear();
    }
    for (const RowChange& c : DiffConnectionRows(shown, wanted)) {
        const int paired = std::min(c.shownCount, c.wantedCount);
        for (int i = 0; i < paired; ++i)
            Rewrite(list, c.wantedFirst + i, shown[static_cast<size_t>(c.shownFirst + i)],
                    wanted[static_cast<size_t>(c.wantedFirst + i)]);
        if (c.shownCount > paired)
            list.DeleteRows(c.wantedFirst + paired, c.shownCount - paired);
        else if (c.wantedCount > paired)
            list.InsertRows(c.wantedFirst + paired, ToListRows(wanted, c.wantedFirst + paired, c.wantedCount - paired));
    }
    shown = std::move(wanted);
}
