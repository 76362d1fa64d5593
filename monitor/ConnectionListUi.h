#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <vector>

#include "monitor/ConnectionList.h"
#include "platform/ListViewUi.h"

// The connection list's rows over the table they are shown from, which the model keeps:
// each row is the index of its record. Its texts and image are made from the record
// when the view asks, for the rows the view draws, so a change costs only the rows it
// touches. DisplayRole texts are plain text.
class ConnectionListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    ConnectionListModel(const CPortNameTable& portNames, const CImageList& images, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                       int role = Qt::EditRole) override;
    bool insertColumns(int column, int count, const QModelIndex& parent = {}) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // The rows for the first count records in the display mode, every row drawn again
    // (the port names may have changed). Rows whose record stays keep their place. The
    // records become the model's table (records may be that table itself).
    void Show(int count, const ConnectionRecord* records, int displayMode);
    // After the model's table (was) became `now`, differing only within changes
    // (DiffConnectionRecords): only the rows of changed records are touched, and a
    // record changed in place keeps its row, and with it selection and scroll. `now`
    // becomes the model's table.
    void ApplyTableChanges(int wasCount, const ConnectionRecord* was, int nowCount, const ConnectionRecord* now,
                           const std::vector<RowChange>& changes, int displayMode);

    // The table the rows are shown from, every record of it whatever the mode.
    const std::vector<ConnectionRecord>& Table() const { return table_; }
    const ConnectionRecord& Record(int row) const;

private:
    void Replace(int at, int shownCount, const int* wanted, int wantedCount);
    void Shift(int from, int to, int by);
    void Adopt(int count, const ConnectionRecord* records);

    const CPortNameTable& portNames_;
    const CImageList& images_;
    QStringList headings_;
    std::vector<ConnectionRecord> table_;
    std::vector<int> rows_;  // the record of each row, an index into the table
    // While the rows change over to a new table: the rows before settled_ point into it.
    const ConnectionRecord* incoming_ = nullptr;
    int settled_ = 0;
    int mode_ = 0;         // the display mode the rows were chosen by
    int sourceCount_ = 0;  // how many records of the table they show
};

// Brings the list to the wanted rows in place, as DiffConnectionRows lays out:
// rows outside its changes are not touched, and within them a row keeps its item and
// gets only the texts and image that differ, so selection and scroll position stay
// where the rows stay. The result, row for row, is what a rebuild would show.
// shown is what the list holds (a list of another length is rebuilt) and becomes
// wanted. For a list that holds its rows itself.
void UpdateConnectionList(CListCtrl& list, std::vector<ConnectionRow>& shown, std::vector<ConnectionRow> wanted);
