#pragma once
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <vector>

class QAbstractItemModel;
class QTreeView;
class QTreeWidget;

inline constexpr unsigned LVS_EX_FULLROWSELECT = 0x20;
// Where a list row keeps its image index, in column 0.
inline constexpr int LIST_IMAGE_ROLE = Qt::UserRole + 1;

// Images cut from one bitmap strip, with one colour taken as transparent.
class CImageList {
public:
    bool Create(const QPixmap& strip, int cx, int grow, const QColor& mask);
    void DeleteImageList() {
        images_.clear();
        icons_.clear();
    }
    int GetImageCount() const { return static_cast<int>(icons_.size()); }
    // Shared by every row that shows it.
    QIcon Icon(int index) const;
    QImage Image(int index) const;

private:
    std::vector<QPixmap> images_;
    std::vector<QIcon> icons_;
};

// One row for CListCtrl::InsertRows: its image and its column texts from column 0 on.
struct ListRow {
    int image = -1;
    QStringList texts;
};

// A report-view list control over a QTreeView, addressed by row and column index.
// Reading, columns, styles and hit tests work on whatever model the view shows; the
// item operations need a list that holds its rows itself (a QTreeWidget) and fail on
// one whose model the program supplies.
class CListCtrl {
public:
    CListCtrl() = default;
    explicit CListCtrl(QTreeView* w) : w_(w) {}
    QTreeView* widget() const { return w_; }
    QAbstractItemModel* model() const;

    void SetExtendedStyle(unsigned style);
    unsigned GetExtendedStyle() const;
    void SetImageList(const CImageList* images) { images_ = images; }
    int InsertColumn(int column, const QString& heading, int width);
    int GetColumnCount() const;
    QString GetColumnHeading(int column) const;
    int InsertItem(int row, const QString& text, int image = -1);
    bool SetItemText(int row, int column, const QString& text);
    bool SetItem(int row, int column, const QString& text, int image);
    QString GetItemText(int row, int column) const;
    int GetItemImage(int row) const;
    int GetItemCount() const;
    bool DeleteAllItems();
    bool DeleteItem(int row);
    // Many rows at once, as one change of the view rather than one per row (a long
    // list would otherwise be laid out again for each). InsertRows returns the
    // position used (the end for a position out of range), or -1 where the list does
    // not hold its rows; DeleteRows is false, and removes nothing, for a range that
    // does not lie within the list.
    int InsertRows(int row, const std::vector<ListRow>& rows);
    bool DeleteRows(int row, int count);
    // Row under a point of the widget's viewport, or -1.
    int HitTest(const QPoint& viewportPos) const;

private:
    QTreeWidget* Items() const;

    QTreeView* w_ = nullptr;
    const CImageList* images_ = nullptr;
};
