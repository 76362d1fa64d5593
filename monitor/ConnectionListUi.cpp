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

void ConnectionListModel::Replace(int at, int shownCount, const ConnectionRecord* wanted, int wantedCount) {
    const int paired = std::min(shownCount, wantedCount);
    if (paired > 0) {
        std::copy(wanted, wanted + paired, rows_.begin() + at);
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
        endInsertRows();
    }
}

void ConnectionListModel::Show(int count, const ConnectionRecord* records, int displayMode) {
    if (!records || count < 0) count = 0;
    std::vector<ConnectionRecord> wanted;
    wanted.reserve(static_cast<size_t>(count));
    std::copy_if(records, records + count, std::back_inserter(wanted),
                 [displayMode](const ConnectionRecord& r) { return ShownInMode(r, displayMode); });
    for (const RowChange& c : DiffConnectionRecords(rowCount(), rows_.data(), static_cast<int>(wanted.size()),
                                                    wanted.data()))
        Replace(c.wantedFirst, c.shownCount, wanted.data() + c.wantedFirst, c.wantedCount);
    mode_ = displayMode;
    sourceCount_ = count;
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
    std::vector<ConnectionRecord> wanted;
    int row = 0;      // rows before position `counted` of the new table
    int counted = 0;
    for (const RowChange& c : changes) {
        row += everyRecord ? c.wantedFirst - counted
                           : static_cast<int>(std::count_if(now + counted, now + c.wantedFirst, shown));
        const int gone = everyRecord ? c.shownCount
                                     : static_cast<int>(std::count_if(was + c.shownFirst,
                                                                      was + c.shownFirst + c.shownCount, shown));
        wanted.clear();
        std::copy_if(now + c.wantedFirst, now + c.wantedFirst + c.wantedCount, std::back_inserter(wanted), shown);
        Replace(row, gone, wanted.data(), static_cast<int>(wanted.size()));
        row += static_cast<int>(wanted.size());
        counted = c.wantedFirst + c.wantedCount;
    }
    sourceCount_ = nowCount;
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
