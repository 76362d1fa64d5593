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

// Columns of the connection list: remote end, own end, protocol, TCP state, program.
inline constexpr int CONNECTION_COLUMNS = 5;
inline constexpr int PROGRAM_COLUMN = 4;
// What the program cell shows where the owner cannot be seen, and the tool tip saying why.
inline constexpr const char* HIDDEN_OWNER_TEXT = "?";
inline constexpr const char* HIDDEN_OWNER_TIP = "다른 사용자의 프로그램이거나 읽을 수 없는 프로그램입니다.";

// One row of the connection list: image index and the column texts.
struct ConnectionRow {
    int image = 0;
    std::string columns[CONNECTION_COLUMNS];
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

// One column's text of a record's row: 0 remote end, 1 own end ("addr:port", an IPv6
// address in brackets), 2 protocol, 3 TCP state, 4 the program's name ("?" where the
// owner cannot be seen, its PID where its name could not be read); "" for any other.
std::string ConnectionColumnText(const ConnectionRecord& record, int column, const CPortNameTable& portNames);

// The program cell's tool tip: the PID, or why the owner is not shown; "" for none.
std::string ProgramToolTip(const ConnectionRecord& record);

// The image a record is shown with.
int ConnectionImage(const ConnectionRecord& record);

// The right-click rule: from a row's column 0, the address before the first ':' (at
// most 23 characters are looked at), or the one within brackets. False, with selected
// untouched, for UDP and listening rows and for a text that holds no address.
bool SelectionFromRowText(const std::string& column0, char (&selected)[ADDRESS_TEXT_SIZE]);

// "Closed" .. "DeleteTCB" for indexes 0..11, "" for any other.
const char* TcpStateName(int stateIndex);
