#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <unordered_map>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "platform/WindowRef.h"

// Turns successive connection tables into connect and disconnect events for the
// established TCP connections, posted to the owner as WM_CONN_EVENT with the event
// text ("C addr rport lport" / "D addr rport lport") as payload.
//
// Slots behave as a row of `capacity` slots that start empty; they are allocated only
// as far as they have been used. An index from remote end to the slots holding it
// keeps a pass linear in the size of the table.
class CConnectionTracker {
public:
    // capacity: connections tracked at once; MAX_CONNECTIONS, lower only in tests
    // (clamped to 1..MAX_CONNECTIONS).
    explicit CConnectionTracker(int capacity = MAX_CONNECTIONS);
    virtual ~CConnectionTracker();
    CConnectionTracker(const CConnectionTracker&) = delete;
    CConnectionTracker& operator=(const CConnectionTracker&) = delete;

    void SetOwner(WindowRef owner) { owner_ = std::move(owner); }

    // One pass over the first count records; returns 1.
    int Update(int count, const ConnectionRecord* records);

    // Slot letters: 'e' empty, 'f' settled; 'c', 'x', 'n' only during a pass. A slot
    // never used reads 'e' and an all-zero record.
    char SlotLetter(int slot) const;
    const ConnectionRecord& SlotRecord(int slot) const;
    int OccupiedCount() const { return occupied_; }
    // Slots used so far: every slot from here on is empty.
    int SlotsUsed() const { return static_cast<int>(letters_.size()); }

private:
    // The remote address text (within its 32 bytes, up to a NUL) and the remote port;
    // the bytes behind the NUL are zeroed so the key compares as a block.
    struct RemoteEnd {
        char address[sizeof(ConnectionRecord::remoteAddress)];
        int32_t port;
        explicit RemoteEnd(const ConnectionRecord& r);
        bool operator==(const RemoteEnd& o) const;
    };
    struct RemoteEndHash {
        size_t operator()(const RemoteEnd& k) const;
    };
    // The occupied slots with one remote end, ascending. During a pass the first
    // `confirmed` of them are the ones found again: a pass always takes the lowest
    // slot still to be confirmed, so they form a prefix.
    struct Holders {
        std::vector<int> held;
        size_t confirmed = 0;
        size_t mergeFrom = SIZE_MAX;  // slots added this pass start here, until merged
    };

    void MarkAll();
    bool Confirm(const ConnectionRecord& record);
    void AddNew(const ConnectionRecord& record);
    void Sweep();
    void Reindex();
    void PostConnectEvent(const ConnectionRecord& record);
    void PostEvent(char letter, const ConnectionRecord& record);

    WindowRef owner_;
    int capacity_;
    int occupied_ = 0;
    std::vector<char> letters_;
    std::vector<ConnectionRecord> slots_;
    // Empty slots below letters_.size(), lowest on top.
    std::priority_queue<int, std::vector<int>, std::greater<int>> empty_;
    std::unordered_map<RemoteEnd, Holders, RemoteEndHash> byRemote_;
    std::vector<int> added_;  // slots stored in this pass, ascending
};

// The event text for one connection: letter 'C' or 'D', remote address, remote port,
// local port, separated by single spaces.
std::string FormatConnEventText(char letter, const ConnectionRecord& record);
