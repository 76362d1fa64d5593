#include "platform/ListViewUi.h"

#include <QBitmap>
#include <QHeaderView>
#include <QTreeWidget>

bool CImageList::Create(const QPixmap& strip, int cx, int /*grow*/, const QColor& mask) {
    DeleteImageList();
    if (strip.isNull() || cx <= 0) return false;
    for (int x = 0; x + cx <= strip.width(); x += cx) {
        QPixmap piece = strip.copy(x, 0, cx, strip.height());
        piece.setMask(piece.createMaskFromColor(mask, Qt::MaskInColor));
        images_.push_back(piece);
        icons_.emplace_back(piece);
    }
    return !icons_.empty();
}

QIcon CImageList::Icon(int index) const {
    if (index < 0 || index >= GetImageCount()) return QIcon();
    return icons_[static_cast<size_t>(index)];
}

QImage CImageList::Image(int index) const {
    if (index < 0 || index >= GetImageCount()) return QImage();
    return images_[static_cast<size_t>(index)].toImage();
}

QAbstractItemModel* CListCtrl::model() const { return w_ ? w_->model() : nullptr; }

QTreeWidget* CListCtrl::Items() const { return qobject_cast<QTreeWidget*>(w_); }

void CListCtrl::SetExtendedStyle(unsigned style) {
    w_->setSelectionBehavior(style & LVS_EX_FULLROWSELECT ? QAbstractItemView::SelectRows
                                                         : QAbstractItemView::SelectItems);
    w_->setAllColumnsShowFocus(style & LVS_EX_FULLROWSELECT);
}

unsigned CListCtrl::GetExtendedStyle() const {
    return w_->selectionBehavior() == QAbstractItemView::SelectRows ? LVS_EX_FULLROWSELECT : 0;
}

int CListCtrl::InsertColumn(int column, const QString& heading, int width) {
    QAbstractItemModel* m = model();
    if (!m) return -1;
    const int count = m->columnCount();
    if (column < 0 || column > count) column = count;
    if (!m->insertColumn(column)) return -1;
    m->setHeaderData(column, Qt::Horizontal, heading);
    w_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    w_->setColumnWidth(column, width);
    return column;
}

int CListCtrl::GetColumnCount() const { return model() ? model()->columnCount() : 0; }

QString CListCtrl::GetColumnHeading(int column) const {
    return model() ? model()->headerData(column, Qt::Horizontal).toString() : QString();
}

int CListCtrl::InsertItem(int row, const QString& text, int image) {
    QTreeWidget* items = Items();
    if (!items) return -1;
    const int count = items->topLevelItemCount();
    if (row < 0 || row > count) row = count;
    auto* item = new QTreeWidgetItem();
    items->insertTopLevelItem(row, item);
    SetItem(row, 0, text, image);
    return row;
}

bool CListCtrl::SetItemText(int row, int column, const QString& text) {
    QTreeWidget* items = Items();
    QTreeWidgetItem* item = items ? items->topLevelItem(row) : nullptr;
    if (!item || column < 0 || column >= items->columnCount()) return false;
    item->setText(column, text);
    return true;
}

bool CListCtrl::SetItem(int row, int column, const QString& text, int image) {
    if (!SetItemText(row, column, text)) return false;
    if (column == 0) {
        QTreeWidgetItem* item = Items()->topLevelItem(row);
        item->setData(0, LIST_IMAGE_ROLE, image);
        item->setIcon(0, images_ ? images_->Icon(image) : QIcon());
    }
    return true;
}

QString CListCtrl::GetItemText(int row, int column) const {
    QAbstractItemModel* m = model();
    return m ? m->index(row, column).data(Qt::DisplayRole).toString() : QString();
}

int CListCtrl::GetItemImage(int row) const {
    QAbstractItemModel* m = model();
    const QVariant v = m ? m->index(row, 0).data(LIST_IMAGE_ROLE) : QVariant();
    return v.isValid() ? v.toInt() : -1;
}

int CListCtrl::GetItemCount() const { return model() ? model()->rowCount() : 0; }

bool CListCtrl::DeleteAllItems() {
    QTreeWidget* items = Items();
    if (!items) return false;
    items->clear();
    return true;
}

bool CListCtrl::DeleteItem(int row) {
    QTreeWidget* items = Items();
    if (!items || row < 0 || row >= items->topLevelItemCount()) return false;
    delete items->takeTopLevelItem(row);
    return true;
}

int CListCtrl::InsertRows(int row, const std::vector<ListRow>& rows) {
    QTreeWidget* items = Items();
    if (!items) return -1;
    const int count = items->topLevelItemCount();
    if (row < 0 || row > count) row = count;
    QList<QTreeWidgetItem*> made;
    made.reserve(static_cast<qsizetype>(rows.size()));
    const int columns = items->columnCount();
    for (const ListRow& r : rows) {
        auto* item = new QTreeWidgetItem();
        for (int c = 0; c < columns && c < r.texts.size(); ++c) item->setText(c, r.texts[c]);
        item->setData(0, LIST_IMAGE_ROLE, r.image);
        item->setIcon(0, images_ ? images_->Icon(r.image) : QIcon());
        made.push_back(item);
    }
    items->insertTopLevelItems(row, made);
    return row;
}

bool CListCtrl::DeleteRows(int row, int count) {
    QTreeWidget* items = Items();
    if (!items) return false;
    if (count == 0) return row >= 0 && row <= items->topLevelItemCount();
    return count > 0 && items->model()->removeRows(row, count);
}

int CListCtrl::HitTest(const QPoint& viewportPos) const {
    const QModelIndex index = w_->indexAt(viewportPos);
    return index.isValid() ? index.row() : -1;
}
