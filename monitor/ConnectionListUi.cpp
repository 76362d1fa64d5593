#include "monitor/ConnectionListUi.h"

#include <QString>
#include <QTreeWidget>
#include <algorithm>

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
    for (int c = 1; c < 4; ++c)
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
