#include "monitor/CConnectionTracker.h"

#include <cstdio>
#include <cstring>

#include "platform/Messages.h"

namespace {

// The address buffers are compared and printed within their width, so a record
// without a NUL cannot run past them.
bool SameRemoteEnd(const ConnectionRecord& a, const ConnectionRecord& b) {
    return std::strncmp(a.remoteAddress, b.remoteAddress, sizeof a.remoteAddress) == 0 &&
           a.remotePort == b.remotePort;
}

}  // namespace

std::string FormatConnEventText(char letter, const ConnectionRecord& record) {
    char text[80];
    std::snprintf(text, sizeof text, "%c %.*s %d %d", letter, static_cast<int>(sizeof record.remoteAddress),
                  record.remoteAddress, record.remotePort, record.localPort);
    return text;
}

CConnectionTracker::CConnectionTracker() {
    std::memset(letters_, 'e', sizeof letters_);
    std::memset(slots_, 0, sizeof slots_);
}

CConnectionTracker::~CConnectionTracker() = default;

int CConnectionTracker::Update(int count, const ConnectionRecord* records) {
    if (!records) count = 0;
    MarkAll();
    for (int i = 0; i < count; ++i) {
        if (records[i].stateIndex != STATE_ESTABLISHED) continue;
        if (!Confirm(records[i])) AddNew(records[i]);
    }
    Sweep();
    return 1;
}

void CConnectionTracker::MarkAll() {
    int marked = 0;
    for (int i = 0; i < MAX_CONNECTIONS && marked < occupied_; ++i) {
        if (letters_[i] == 'e') continue;
        letters_[i] = 'c';
        ++marked;
    }
}

bool CConnectionTracker::Confirm(const ConnectionRecord& record) {
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
        if (letters_[i] == 'c' && SameRemoteEnd(slots_[i], record)) {
            letters_[i] = 'x';
            return true;
        }
    }
    return false;
}

void CConnectionTracker::AddNew(const ConnectionRecord& record) {
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
        if (letters_[i] != 'e') continue;
        slots_[i] = record;
        letters_[i] = 'n';
        ++occupied_;
        PostConnectEvent(record);
        return;
    }
    // Every slot taken: the connection is found new again once one frees up.
}

void CConnectionTracker::Sweep() {
    for (int i = 0; i < MAX_CONNECTIONS && occupied_ > 0; ++i) {
        switch (letters_[i]) {
            case 'c':
                PostEvent('D', slots_[i]);
                letters_[i] = 'e';
                --occupied_;
                break;
            case 'x':
            case 'n': letters_[i] = 'f'; break;
            default: break;
        }
    }
}

void CConnectionTracker::PostConnectEvent(const ConnectionRecord& record) { PostEvent('C', record); }

void CConnectionTracker::PostEvent(char letter, const ConnectionRecord& record) {
    owner_.PostMessage(WM_CONN_EVENT, 0, FormatConnEventText(letter, record));
}
