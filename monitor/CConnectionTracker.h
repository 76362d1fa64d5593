#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "monitor/ConnectionRecord.h"
#include "monitor/RowDiff.h"
#include "platform/WindowRef.h"

// Turns successive connection tables into connect and disconnect events for the
// established TCP connections, posted to the owner as WM_CONN_EVENT with the event
// text ("C addr rport lport" / "D addr rport lport") as payload.
//
// Slots behave as a row of `capacity` slots that start empty; they are allocated only
// as far as they have been used. An index from remote end to the slots holding it
// keeps a pass linear in the size of the table, and a pass given the table's changes
// looks at the changed rows alone.
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
    // The same pass, with the same events and slots, for a table that differs from the
    // one of the last pass only within changes (as DiffConnectionRecords gives them):
    // the rows outside them are not looked at. Changes that do not fit the last table
    // make it a whole pass.
    int Update(int count, const ConnectionRecord* records, const std::vector<RowChange>& changes);

    // Slot letters: 'e' empty, 'f' settled; 'c', 'x', 'n' only during a pass. A slot
    // never used reads 'e' and an all-zero record.
    char SlotLetter(int slot) const;
    const ConnectionRecord& SlotRecord(int slot) const;
    int OccupiedCount() const { return occupied_; }
    // Slots used so far: every slot from here on is empty.
    int SlotsUsed() const { return static_cast<int>(letters_.size()); }
    // Remote address texts held: one for each address of a tracked connection.
    size_t AddressesHeld() const { return addresses_.size(); }

private:
    // A remote end: its address text, held once for all the ends that share it (a
    // busy machine keeps tens of thousands of connections to a handful of addresses),
    // and its port.
    struct RemoteEnd {
        uint32_t address;  // the text's id in addresses_
        int32_t port;
        bool operator==(const RemoteEnd&) const = default;
    };
    struct RemoteEndHash {
        size_t operator()(const RemoteEnd& k) const noexcept;
    };
    struct TextHash {
        using is_transparent = void;
        size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
    };
    // An address text in use: its id and how many ends of the index use it.
    struct AddressUse {
        uint32_t id;
        uint32_t ends;
    };
    using Addresses = std::unordered_map<std::string, AddressUse, TextHash, std::equal_to<>>;
    // Slot numbers, the first two in place: nearly every remote end holds one slot.
    class SlotList {
    public:
        SlotList() = default;
        SlotList(SlotList&& other) noexcept { Take(other); }
        SlotList& operator=(SlotList&& other) noexcept;
        ~SlotList() { Free(); }
        int* begin() { return capacity_ > kInPlace ? heap_ : inPlace_; }
        const int* begin() const { return capacity_ > kInPlace ? heap_ : inPlace_; }
        int* end() { return begin() + size_; }
        const int* end() const { return begin() + size_; }
        size_t size() const { return size_; }
        bool empty() const { return size_ == 0; }
        int operator[](size_t i) const { return begin()[i]; }
        void push_back(int slot);
        void Shrink(size_t n) { size_ = n < size_ ? static_cast<uint32_t>(n) : size_; }

    private:
        static constexpr uint32_t kInPlace = 2;
        void Take(SlotList& other);
        void Free() {
            if (capacity_ > kInPlace) delete[] heap_;
        }
        union {
            int inPlace_[kInPlace];
            int* heap_;
        };
        uint32_t size_ = 0;
        uint32_t capacity_ = kInPlace;
    };
    // The occupied slots with one remote end, ascending, and what a pass counts for it.
    struct Holders {
        SlotList held;
        // A whole pass: the first `confirmed` slots are found again (a pass always
        // takes the lowest slot still to be confirmed, so they form a prefix).
        uint32_t confirmed = 0;
        // A pass over changes: its rows that left and came, and where its rows'
        // positions are gathered when the table order decides which rows are new.
        int32_t removed = 0;
        int32_t added = 0;
        int32_t gather = -1;
    };
    using Index = std::unordered_map<RemoteEnd, Holders, RemoteEndHash>;
    using Entry = Index::value_type;  // stays where it is while the index grows

    // The index entry of the record's remote end, made if there is none.
    Entry& EndOf(const ConnectionRecord& record);
    // Erases an entry, and its address text when no other end uses it.
    Index::iterator Forget(Index::iterator end);
    void MarkAll();
    bool Confirm(Holders& holders);
    void AddNew(const ConnectionRecord& record, Entry& end);
    void Sweep();
    void Reindex();
    void MergeAdded();
    void ForgetRows();
    // A pass over changes: the ends whose rows left or came, and the established rows
    // that came, in table order.
    struct Pass {
        std::vector<Entry*> touched;
        std::vector<std::pair<int, Entry*>> came;
    };
    bool ChangesFit(int count, const std::vector<RowChange>& changes) const;
    void Tally(const ConnectionRecord* records, const std::vector<RowChange>& changes, Pass& pass);
    void SpliceRows(int count, const std::vector<RowChange>& changes, const Pass& pass);
    std::vector<int> NewRows(const Pass& pass);
    void DropVanished(const Pass& pass);
    void PostConnectEvent(const ConnectionRecord& record);
    void PostEvent(char letter, const ConnectionRecord& record);

    WindowRef owner_;
    int capacity_;
    int occupied_ = 0;
    std::vector<char> letters_;
    std::vector<ConnectionRecord> slots_;
    // Empty slots below letters_.size(), lowest on top.
    std::priority_queue<int, std::vector<int>, std::greater<int>> empty_;
    Index byRemote_;
    Addresses addresses_;
    std::vector<Addresses::value_type*> addressById_;  // null for an id not in use
    std::vector<uint32_t> freeAddressIds_;
    std::vector<std::pair<int, Entry*>> added_;  // slots stored in this pass, ascending
    // Row by row of the last table, the index entry of an established row's remote end
    // (null for any other row). Kept only while every established row of that table
    // holds a slot: then a row that did not change needs nothing from a pass.
    std::vector<Entry*> rowEnds_;
    std::vector<Entry*> spareRowEnds_;  // the next table's, built beside it
    bool complete_ = true;
};

// The event text for one connection: letter 'C' or 'D', remote address, remote port,
// local port, separated by single spaces.
std::string FormatConnEventText(char letter, const ConnectionRecord& record);
