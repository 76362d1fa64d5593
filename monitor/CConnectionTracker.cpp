#include "monitor/CConnectionTracker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/Messages.h"

std::string FormatConnEventText(char letter, const ConnectionRecord& record) {
    // The address is printed within its width, so a record without a NUL cannot run
    // past it.
    char text[32 + ADDRESS_TEXT_SIZE];
    std::snprintf(text, sizeof text, "%c %.*s %d %d", letter, static_cast<int>(sizeof record.remoteAddress),
                  record.remoteAddress, record.remotePort, record.localPort);
    return text;
}

size_t CConnectionTracker::RemoteEndHash::operator()(const RemoteEnd& k) const noexcept {
    const uint64_t key = uint64_t{k.address} << 32 | static_cast<uint32_t>(k.port);
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 16);
}

CConnectionTracker::SlotList& CConnectionTracker::SlotList::operator=(SlotList&& other) noexcept {
    if (this != &other) {
        Free();
        Take(other);
    }
    return *this;
}

void CConnectionTracker::SlotList::Take(SlotList& other) {
    size_ = other.size_;
    capacity_ = other.capacity_;
    if (capacity_ > kInPlace) {
        heap_ = other.heap_;
    } else {
        std::copy(other.inPlace_, other.inPlace_ + size_, inPlace_);
    }
    other.size_ = 0;
    other.capacity_ = kInPlace;
}

void CConnectionTracker::SlotList::push_back(int slot) {
    if (size_ == capacity_) {
        int* grown = new int[capacity_ * 2];
        std::copy(begin(), end(), grown);
        Free();
        heap_ = grown;
        capacity_ *= 2;
    }
    begin()[size_++] = slot;
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
    if (!records || count < 0) count = 0;
    MarkAll();
    rowEnds_.assign(static_cast<size_t>(count), nullptr);
    complete_ = true;
    for (int i = 0; i < count; ++i) {
        if (records[i].stateIndex != STATE_ESTABLISHED) continue;
        Entry& end = EndOf(records[i]);
        rowEnds_[static_cast<size_t>(i)] = &end;
        if (!Confirm(end.second)) AddNew(records[i], end);
    }
    Sweep();
    Reindex();
    return 1;
}

int CConnectionTracker::Update(int count, const ConnectionRecord* records, const std::vector<RowChange>& changes) {
    if (!records || count < 0) count = 0;
    if (!complete_ || !ChangesFit(count, changes)) return Update(count, records);
    Pass pass;
    Tally(records, changes, pass);
    SpliceRows(count, changes, pass);
    for (int q : NewRows(pass)) AddNew(records[q], *rowEnds_[static_cast<size_t>(q)]);
    DropVanished(pass);
    for (const auto& [slot, e] : added_) letters_[static_cast<size_t>(slot)] = 'f';
    for (Entry* e : pass.touched) e->second = Holders{std::move(e->second.held)};
    MergeAdded();
    for (Entry* e : pass.touched) {
        if (e->second.held.empty()) Forget(byRemote_.find(e->first));
    }
    if (!complete_) ForgetRows();
    return 1;
}

void CConnectionTracker::Tally(const ConnectionRecord* records, const std::vector<RowChange>& changes, Pass& pass) {
    auto touch = [&](Entry& e) {
        if (e.second.removed == 0 && e.second.added == 0) pass.touched.push_back(&e);
    };
    for (const RowChange& c : changes) {
        for (int p = c.shownFirst; p < c.shownFirst + c.shownCount; ++p) {
            if (Entry* e = rowEnds_[static_cast<size_t>(p)]) {
                touch(*e);
                ++e->second.removed;
            }
        }
        for (int q = c.wantedFirst; q < c.wantedFirst + c.wantedCount; ++q) {
            if (records[q].stateIndex != STATE_ESTABLISHED) continue;
            Entry& e = EndOf(records[q]);
            touch(e);
            ++e.second.added;
            pass.came.push_back({q, &e});
        }
    }
}

void CConnectionTracker::SpliceRows(int count, const std::vector<RowChange>& changes, const Pass& pass) {
    // The unchanged rows keep their entries.
    std::vector<Entry*>& rows = spareRowEnds_;
    rows.clear();
    rows.reserve(static_cast<size_t>(count));
    size_t from = 0, next = 0;
    for (const RowChange& c : changes) {
        rows.insert(rows.end(), rowEnds_.begin() + static_cast<std::ptrdiff_t>(from),
                    rowEnds_.begin() + c.shownFirst);
        for (int q = c.wantedFirst; q < c.wantedFirst + c.wantedCount; ++q)
            rows.push_back(next < pass.came.size() && pass.came[next].first == q ? pass.came[next++].second : nullptr);
        from = static_cast<size_t>(c.shownFirst + c.shownCount);
    }
    rows.insert(rows.end(), rowEnds_.begin() + static_cast<std::ptrdiff_t>(from), rowEnds_.end());
    rowEnds_.swap(rows);
}

std::vector<int> CConnectionTracker::NewRows(const Pass& pass) {
    // A whole pass confirms an end's first rows in table order, as many as it holds
    // slots, and finds the rest new. Where only new rows of an end are left, they are
    // those rows; where old ones stay, the table order among all its rows decides.
    std::vector<std::vector<int>> gathered;
    for (Entry* e : pass.touched) {
        Holders& h = e->second;
        if (h.added > h.removed && static_cast<int>(h.held.size()) != h.removed) {
            h.gather = static_cast<int32_t>(gathered.size());
            gathered.emplace_back();
        }
    }
    std::vector<int> found;
    for (const auto& [q, e] : pass.came) {
        Holders& h = e->second;
        if (h.gather < 0 && h.added > h.removed && h.confirmed++ >= h.held.size()) found.push_back(q);
    }
    if (gathered.empty()) return found;
    for (size_t p = 0; p < rowEnds_.size(); ++p) {
        const Entry* e = rowEnds_[p];
        if (e && e->second.gather >= 0) gathered[static_cast<size_t>(e->second.gather)].push_back(static_cast<int>(p));
    }
    for (Entry* e : pass.touched) {
        const Holders& h = e->second;
        if (h.gather < 0) continue;
        const std::vector<int>& positions = gathered[static_cast<size_t>(h.gather)];
        found.insert(found.end(), positions.begin() + static_cast<std::ptrdiff_t>(h.held.size()), positions.end());
    }
    std::sort(found.begin(), found.end());
    return found;
}

void CConnectionTracker::DropVanished(const Pass& pass) {
    // An end with fewer rows than slots loses its highest slots, in slot order.
    std::vector<int> gone;
    for (Entry* e : pass.touched) {
        Holders& h = e->second;
        if (h.added >= h.removed) continue;
        const auto keep = static_cast<std::ptrdiff_t>(h.held.size()) - (h.removed - h.added);
        gone.insert(gone.end(), h.held.begin() + keep, h.held.end());
        h.held.Shrink(static_cast<size_t>(keep));
    }
    std::sort(gone.begin(), gone.end());
    for (int slot : gone) {
        PostEvent('D', slots_[static_cast<size_t>(slot)]);
        letters_[static_cast<size_t>(slot)] = 'e';
        empty_.push(slot);
        --occupied_;
    }
}

bool CConnectionTracker::ChangesFit(int count, const std::vector<RowChange>& changes) const {
    const int last = static_cast<int>(rowEnds_.size());
    int shownEnd = 0, wantedEnd = 0;
    for (const RowChange& c : changes) {
        if (c.shownCount < 0 || c.wantedCount < 0 || c.shownFirst < shownEnd || c.wantedFirst < wantedEnd ||
            c.shownFirst - shownEnd != c.wantedFirst - wantedEnd)
            return false;
        shownEnd = c.shownFirst + c.shownCount;
        wantedEnd = c.wantedFirst + c.wantedCount;
        if (shownEnd > last || wantedEnd > count) return false;
    }
    return last - shownEnd == count - wantedEnd;
}

CConnectionTracker::Entry& CConnectionTracker::EndOf(const ConnectionRecord& record) {
    // Ends are equal exactly when strncmp over the field's width says the texts are.
    const std::string_view text(record.remoteAddress, strnlen(record.remoteAddress, sizeof record.remoteAddress));
    auto address = addresses_.find(text);
    if (address == addresses_.end()) {
        uint32_t id = static_cast<uint32_t>(addressById_.size());
        if (freeAddressIds_.empty()) {
            addressById_.push_back(nullptr);
        } else {
            id = freeAddressIds_.back();
            freeAddressIds_.pop_back();
        }
        address = addresses_.emplace(std::string(text), AddressUse{id, 0}).first;
        addressById_[id] = &*address;
    }
    auto [end, added] = byRemote_.try_emplace(RemoteEnd{address->second.id, record.remotePort});
    if (added) ++address->second.ends;
    return *end;
}

CConnectionTracker::Index::iterator CConnectionTracker::Forget(Index::iterator end) {
    const uint32_t id = end->first.address;
    Addresses::value_type* address = addressById_[id];
    if (--address->second.ends == 0) {
        addresses_.erase(addresses_.find(address->first));
        addressById_[id] = nullptr;
        freeAddressIds_.push_back(id);
    }
    return byRemote_.erase(end);
}

void CConnectionTracker::MarkAll() {
    if (occupied_ == 0) return;
    for (char& letter : letters_)
        if (letter != 'e') letter = 'c';
}

bool CConnectionTracker::Confirm(Holders& h) {
    // Slots stored in this pass are not among the held ones yet, so every slot past
    // the confirmed prefix is still 'c'.
    if (h.confirmed == h.held.size()) return false;
    letters_[static_cast<size_t>(h.held[h.confirmed++])] = 'x';
    return true;
}

void CConnectionTracker::AddNew(const ConnectionRecord& record, Entry& end) {
    int slot;
    if (!empty_.empty()) {
        slot = empty_.top();
        empty_.pop();
    } else if (SlotsUsed() < capacity_) {
        slot = SlotsUsed();
        letters_.push_back('e');
        slots_.emplace_back();
    } else {
        complete_ = false;  // the connection is found new again once a slot frees up
        return;
    }
    slots_[static_cast<size_t>(slot)] = record;
    letters_[static_cast<size_t>(slot)] = 'n';
    ++occupied_;
    added_.push_back({slot, &end});
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
}

void CConnectionTracker::Reindex() {
    // The slots not confirmed were emptied by the sweep.
    for (Entry& e : byRemote_) {
        e.second.held.Shrink(e.second.confirmed);
        e.second.confirmed = 0;
    }
    MergeAdded();
    for (auto it = byRemote_.begin(); it != byRemote_.end();)
        it = it->second.held.empty() ? Forget(it) : std::next(it);
    if (!complete_) ForgetRows();
}

void CConnectionTracker::MergeAdded() {
    // The new slots are ascending among themselves but may lie below older ones.
    for (const auto& [slot, e] : added_) {
        e->second.held.push_back(slot);
        ++e->second.added;
    }
    for (const auto& [slot, e] : added_) {
        Holders& h = e->second;
        if (h.added == 0) continue;
        std::inplace_merge(h.held.begin(), h.held.end() - h.added, h.held.end());
        h.added = 0;
    }
    added_.clear();
}

void CConnectionTracker::ForgetRows() {
    // Entries of rows without a slot may be gone: the next pass is a whole one.
    rowEnds_.clear();
    rowEnds_.shrink_to_fit();
    spareRowEnds_.clear();
    spareRowEnds_.shrink_to_fit();
}

void CConnectionTracker::PostConnectEvent(const ConnectionRecord& record) { PostEvent('C', record); }

void CConnectionTracker::PostEvent(char letter, const ConnectionRecord& record) {
    owner_.PostMessage(WM_CONN_EVENT, 0, FormatConnEventText(letter, record));
}
