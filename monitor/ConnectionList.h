#pragma once
#include <string>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "monitor/RowDiff.h"
#include "ports/CPortNameTable.h"

// Small images of the connection list.
inline constexpr int IMAGE_PLAIN = 0;
inline constexpr int IMAGE_PLUG = 1;       // listening TCP, UDP
inline constexpr int IMAGE_LINKED = 2;     // established, time-wait
inline constexpr int IMAGE_GREEN_DOT = 3;  // close-wait

// Whether a freshly read table differs from the one shown: by count, or byte for byte
// over the whole records.
bool TableChanged(int newCount, const ConnectionRecord* newRecs, int shownCount, const ConnectionRecord* shownRecs);

// One row of the connection list: image index and the four column texts (remote end,
// own end, protocol, TCP state).
struct ConnectionRow {
    int image = 0;
    std::string columns[4];
    bool operator==(const ConnectionRow&) const = default;
};

// The changes that turn the shown rows into the wanted rows; every row outside them
// stays as it is. They are the fewest inserted and removed rows while those number at
// most maxEdits; beyond that, one change covers everything between the common head
// and tail, to be rewritten row by row.
std::vector<RowChange> DiffConnectionRows(const std::vector<ConnectionRow>& shown,
                                          const std::vector<ConnectionRow>& wanted, int maxEdits = 1000);

// The same for two tables, record by record over whole records: how the displayed
// table became the one just read.
std::vector<RowChange> DiffConnectionRecords(int shownCount, const ConnectionRecord* shown, int wantedCount,
                                             const ConnectionRecord* wanted, int maxEdits = 1000);

// Whether a record has a row in the display mode: mode 1 leaves out the records
// without a remote end (listening TCP, UDP).
bool ShownInMode(const ConnectionRecord& record, int displayMode);

// The rows for the first count records in table order, in the display mode.
std::vector<ConnectionRow> BuildConnectionRows(int count, const ConnectionRecord* records, int displayMode,
                                               const CPortNameTable& portNames);

// One column's text of a record's row: 0 remote end, 1 own end, 2 protocol, 3 TCP
// state; "" for any other column.
std::string ConnectionColumnText(const ConnectionRecord& record, int column, const CPortNameTable& portNames);

// The image a record is shown with.
int ConnectionImage(const ConnectionRecord& record);

// The right-click rule: from a row's column 0 (at most 23 characters are looked at),
// the address before the first ':'. False, with selected untouched, for UDP and
// listening rows and for a text whose address part is empty or would not fit.
bool SelectionFromRowText(const std::string& column0, char selected[16]);

// "Closed" .. "DeleteTCB" for indexes 0..11, "" for any other.
const char* TcpStateName(int stateIndex);
