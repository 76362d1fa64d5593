#include "platform/ListViewUi.h"

#include <QBitmap>
#include <QHeaderView>
#include <QTreeWidget>

namespace {
constexpr int kImageRole = Qt::UserRole + 1;
}

bool CImageList::Create(const QPixmap& strip, int cx, int /*grow*/, const QColor& mask) {
    icons_.clear();
    if (strip.isNull() || cx <= 0) return false;
    for (int x = 0; x + cx <= strip.width(); x += cx) {
        QPixmap piece = strip.copy(x, 0, cx, strip.height());
        piece.setMask(piece.createMaskFromColor(mask, Qt::MaskInColor));
        icons_.push_back(piece);
    }
    return !icons_.empty();
}

QIcon CImageList::Icon(int index) const {
    if (index < 0 || index >= GetImageCount()) return QIcon();
    return QIcon(icons_[static_cast<size_t>(index)]);
}

QImage CImageList::Image(int index) const {
    if (index < 0 || index >= GetImageCount()) return QImage();
    return icons_[static_cast<size_t>(index)].toImage();
}

void CListCtrl::SetExtendedStyle(unsigned style) {
    w_->setSelectionBehavior(style & LVS_EX_FULLROWSELECT ? QAbstractItemView::SelectRows
                                                         : QAbstractItemView::SelectItems);
    w_->setAllColumnsShowFocus(style & LVS_EX_FULLROWSELECT);
}

unsigned CListCtrl::GetExtendedStyle() const {
    return w_->selectionBehavior() == QAbstractItemView::SelectRows ? LVS_EX_FULLROWSELECT : 0;
}

int CListCtrl::InsertColumn(int column, const QString& heading, int width) {
    const int count = w_->columnCount();
    if (column > count) column = count;
    QTreeWidgetItem* header = w_->headerItem();
    QStringList labels;
    for (int i = 0; i < count; ++i) labels << header->text(i);
    labels.insert(column, heading);
    w_->setColumnCount(count + 1);
    w_->setHeaderLabels(labels);
    w_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    w_->setColumnWidth(column, width);
    return column;
}

int CListCtrl::InsertItem(int row, const QString& text, int image) {
    const int count = w_->topLevelItemCount();
    if (row < 0 || row > count) row = count;
    auto* item = new QTreeWidgetItem();
    w_->insertTopLevelItem(row, item);
    SetItem(row, 0, text, image);
    return row;
}

bool CListCtrl::SetItemText(int row, int column, const QString& text) {
    QTreeWidgetItem* item = w_->topLevelItem(row);
    if (!item || column < 0 || column >= w_->columnCount()) return false;
    item->setText(column, text);
    return true;
}

bool CListCtrl::SetItem(int row, int column, const QString& text, int image) {
    if (!SetItemText(row, column, text)) return false;
    if (column == 0) {
        QTreeWidgetItem* item = w_->topLevelItem(row);
        item->setData(0, kImageRole, image);
        item->setIcon(0, images_ ? images_->Icon(image) : QIcon());
    }
    return true;
}

QString CListCtrl::GetItemText(int row, int column) const {
    QTreeWidgetItem* item = w_->topLevelItem(row);
    return item ? item->text(column) : QString();
}

int CListCtrl::GetItemImage(int row) const {
    QTreeWidgetItem* item = w_->topLevelItem(row);
    const QVariant v = item ? item->data(0, kImageRole) : QVariant();
    return v.isValid() ? v.toInt() : -1;
}

int CListCtrl::GetItemCount() const { return w_->topLevelItemCount(); }

bool CListCtrl::DeleteAllItems() {
    w_->clear();
    return true;
}

bool CListCtrl::DeleteItem(int row) {
    delete w_->takeTopLevelItem(row);
    return row >= 0;
}

int CListCtrl::InsertRows(int row, const std::vector<ListRow>& rows) {
    const int count = w_->topLevelItemCount();
    if (row < 0 || row > count) row = count;
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    const int columns = w_->columnCount();
    for (const ListRow& r : rows) {
        auto* item = new QTreeWidgetItem();
        for (int c = 0; c < columns && c < r.texts.size(); ++c) item->setText(c, r.texts[c]);
        item->setData(0, kImageRole, r.image);
        item->setIcon(0, images_ ? images_->Icon(r.image) : QIcon());
        items.push_back(item);
    }
    w_->insertTopLevelItems(row, items);
    return row;
}

bool CListCtrl::DeleteRows(int row, int count) {
    if (count == 0) return row >= 0 && row <= w_->topLevelItemCount();
    return count > 0 && w_->model()->removeRows(row, count);
}

int CListCtrl::HitTest(const QPoint& viewportPos) const {
    QTreeWidgetItem* item = w_->itemAt(viewportPos);
    return item ? w_->indexOfTopLevelItem(item) : -1;
}
