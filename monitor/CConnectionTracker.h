#pragma once
#include <string>

#include "monitor/ConnectionRecord.h"
#include "platform/WindowRef.h"

// Turns successive connection tables into connect and disconnect events for the
// established TCP connections, posted to the owner as WM_CONN_EVENT with the event
// text ("C addr rport lport" / "D addr rport lport") as payload.
class CConnectionTracker {
public:
    CConnectionTracker();
    virtual ~CConnectionTracker();

    void SetOwner(WindowRef owner) { owner_ = std::move(owner); }

    // One pass over the first count records; returns 1.
    int Update(int count, const ConnectionRecord* records);

    // Slot letters: 'e' empty, 'f' settled; 'c', 'x', 'n' only during a pass.
    char SlotLetter(int slot) const { return letters_[slot]; }
    const ConnectionRecord& SlotRecord(int slot) const { return slots_[slot]; }
    int OccupiedCount() const { return occupied_; }

private:
    void MarkAll();
    bool Confirm(const ConnectionRecord& record);
    void AddNew(const ConnectionRecord& record);
    void Sweep();
    void PostConnectEvent(const ConnectionRecord& record);
    void PostEvent(char letter, const ConnectionRecord& record);

    WindowRef owner_;
    int occupied_ = 0;
    char letters_[MAX_CONNECTIONS];
    ConnectionRecord slots_[MAX_CONNECTIONS];
};

// The event text for one connection: letter 'C' or 'D', remote address, remote port,
// local port, separated by single spaces.
std::string FormatConnEventText(char letter, const ConnectionRecord& record);
