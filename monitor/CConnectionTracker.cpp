#include "monitor/CConnectionTracker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/Messages.h"

std::string FormatConnEventText(char letter, const ConnectionRecord& record) {
    // The address is printed within its width, so a record without a NUL cannot run
    // past it.
    char text[80];
    std::snprintf(text, sizeof text, "%c %.*s %d %d", letter, static_cast<int>(sizeof record.remoteAddress),
                  record.remoteAddress, record.remotePort, record.localPort);
    return text;
}

CConnectionTracker::RemoteEnd::RemoteEnd(const ConnectionRecord& r) : port(r.remotePort) {
    // Equal keys exactly when strncmp over the buffer's width says the texts are equal.
    const size_t n = strnlen(r.remoteAddress, sizeof address);
    std::memcpy(address, r.remoteAddress, n);
    std::memset(address + n, 0, sizeof address - n);
}

bool CConnectionTracker::RemoteEnd::operator==(const RemoteEnd& o) const {
    return port == o.port && std::memcmp(address, o.address, sizeof address) == 0;
}

size_t CConnectionTracker::RemoteEndHash::operator()(const RemoteEnd& k) const {
    const size_t h = std::hash<std::string_view>()(std::string_view(k.address, strnlen(k.address, sizeof k.address)));
    return h ^ (static_cast<size_t>(static_cast<uint32_t>(k.port)) * 0x9E3779B97F4A7C15ull);
}

CConnectionTracker::CConnectionTracker(int capacity) : capacity_(std::clamp(capacity, 1, MAX_CONNECTIONS)) {}

CConnectionTracker::~CConnectionTracker() = default;

char CConnectionTracker::SlotLetter(int slot) const {
    return slot >= 0 && slot < SlotsUsed() ? letters_[static_cast<size_t>(slot)] : 'e';
}

const ConnectionRecord& CConnectionTracker::SlotRecord(int slot) const {
    static const ConnectionRecord kNone{};
    return slot >= 0 && slot < SlotsUsed() ? slots_[static_cast<size_t>(slot)] : kNone;
}

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
    if (occupied_ == 0) return;
    for (char& letter : letters_)
        if (letter != 'e') letter = 'c';
}

bool CConnectionTracker::Confirm(const ConnectionRecord& record) {
    auto it = byRemote_.find(RemoteEnd(record));
    if (it == byRemote_.end()) return false;
    Holders& h = it->second;
    // Slots stored in this pass are not in the index yet, so every slot past the
    // confirmed prefix is still 'c'.
    if (h.confirmed == h.held.size()) return false;
    letters_[static_cast<size_t>(h.held[h.confirmed++])] = 'x';
    return true;
}

void CConnectionTracker::AddNew(const ConnectionRecord& record) {
    int slot;
    if (!empty_.empty()) {
        slot = empty_.top();
        empty_.pop();
    } else if (SlotsUsed() < capacity_) {
        slot = SlotsUsed();
        letters_.push_back('e');
        slots_.emplace_back();
    } else {
        return;  // every slot taken: the connection is found new again once one frees up
    }
    slots_[static_cast<size_t>(slot)] = record;
    letters_[static_cast<size_t>(slot)] = 'n';
    ++occupied_;
    added_.push_back(slot);
    PostConnectEvent(record);
}

void CConnectionTracker::Sweep() {
    for (size_t i = 0; i < letters_.size() && occupied_ > 0; ++i) {
        switch (letters_[i]) {
            case 'c':
                PostEvent('D', slots_[i]);
                letters_[i] = 'e';
                empty_.push(static_cast<int>(i));
                --occupied_;
                break;
            case 'x':
            case 'n': letters_[i] = 'f'; break;
            default: break;
        }
    }
    Reindex();
}

void CConnectionTracker::Reindex() {
    // The slots not confirmed were emptied by the sweep: drop them.
    for (auto it = byRemote_.begin(); it != byRemote_.end();) {
        Holders& h = it->second;
        h.held.resize(h.confirmed);
        h.confirmed = 0;
        if (h.held.empty())
            it = byRemote_.erase(it);
        else
            ++it;
    }
    // The new slots are ascending among themselves but may lie below older ones.
    std::vector<Holders*> grown;
    for (int slot : added_) {
        Holders& h = byRemote_[RemoteEnd(slots_[static_cast<size_t>(slot)])];
        if (h.mergeFrom == SIZE_MAX) {
            h.mergeFrom = h.held.size();
            grown.push_back(&h);
        }
        h.held.push_back(slot);
    }
    for (Holders* h : grown) {
        std::inplace_merge(h->held.begin(), h->held.begin() + static_cast<std::ptrdiff_t>(h->mergeFrom),
                           h->held.end());
        h->mergeFrom = SIZE_MAX;
    }
    added_.clear();
}

void CConnectionTracker::PostConnectEvent(const ConnectionRecord& record) { PostEvent('C', record); }

void CConnectionTracker::PostEvent(char letter, const ConnectionRecord& record) {
    owner_.PostMessage(WM_CONN_EVENT, 0, FormatConnEventText(letter, record));
}
