#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <vector>

#include "monitor/ConnectionList.h"
#include "platform/ListViewUi.h"

// The connection list's rows: a copy of each record shown, in table order. Its texts
// and image are made from it when the view asks, for the rows the view draws, so a
// change costs only the rows it touches, and a row costs its record alone.
// DisplayRole texts are plain text.
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
    // (the port names may have changed). Rows whose record stays keep their place.
    void Show(int count, const ConnectionRecord* records, int displayMode);
    // After the table these rows were shown from became `now`, differing only within
    // changes (DiffConnectionRecords): only the rows of changed records are touched,
    // and a record changed in place keeps its row, and with it selection and scroll.
    void ApplyTableChanges(int wasCount, const ConnectionRecord* was, int nowCount, const ConnectionRecord* now,
                           const std::vector<RowChange>& changes, int displayMode);

    const ConnectionRecord& Record(int row) const { return rows_[static_cast<size_t>(row)]; }

private:
    void Replace(int at, int shownCount, const ConnectionRecord* wanted, int wantedCount);

    const CPortNameTable& portNames_;
    const CImageList& images_;
    QStringList headings_;
    std::vector<ConnectionRecord> rows_;
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
