// The change tracker: slot letters, the occupied count, the events and their order.
#include "monitor/CConnectionTracker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "monitor/ConnectionList.h"
#include "support/TestRecords.h"
#include "platform/Messages.h"

namespace {

ConnectionRecord Tcp(const char* remote, int remotePort, int localPort, int state = STATE_ESTABLISHED) {
    return TcpRecord(remote, remotePort, localPort, state);
}
ConnectionRecord Udp(int localPort) { return UdpRecord(localPort); }

// A tracker whose owner collects the posted event texts.
struct Tracker {
    std::vector<PostedMessage> posted;
    WindowRef owner = WindowRef::Create([this](PostedMessage&& m) { posted.push_back(std::move(m)); });
    CConnectionTracker tracker;
    explicit Tracker(int capacity = MAX_CONNECTIONS) : tracker(capacity) { tracker.SetOwner(owner); }

    // Runs one pass and returns the texts it posted.
    std::vector<std::string> Pass(const std::vector<ConnectionRecord>& table) {
        posted.clear();
        EXPECT_EQ(tracker.Update(static_cast<int>(table.size()), table.data()), 1);
        std::vector<std::string> texts;
        for (const PostedMessage& m : posted) {
            EXPECT_EQ(m.message, WM_CONN_EVENT);
            EXPECT_EQ(m.wParam, 0);
            texts.push_back(m.payload);
        }
        return texts;
    }
    std::string Letters(int n) const {
        std::string s;
        for (int i = 0; i < n; ++i) s += tracker.SlotLetter(i);
        return s;
    }
    // Between passes every slot is 'e' or 'f' and the count is the number of 'f's.
    void ExpectSettled() const {
        int settled = 0;
        for (int i = 0; i <= tracker.SlotsUsed(); ++i) {
            const char c = tracker.SlotLetter(i);
            EXPECT_TRUE(c == 'e' || c == 'f') << "slot " << i << " is " << c;
            if (c == 'f') ++settled;
        }
        EXPECT_EQ(tracker.OccupiedCount(), settled);
    }
};

using Texts = std::vector<std::string>;

}  // namespace

TEST(ConnectionTracker, EventTextsAreLetterAddressRemotePortLocalPort) {
    const ConnectionRecord r = Tcp("10.0.0.5", 80, 1047);
    EXPECT_EQ(FormatConnEventText('C', r), "C 10.0.0.5 80 1047");
    EXPECT_EQ(FormatConnEventText('D', r), "D 10.0.0.5 80 1047");
    Tracker t;
    EXPECT_EQ(t.Pass({r}), (Texts{"C 10.0.0.5 80 1047"}));
    EXPECT_EQ(t.Pass({}), (Texts{"D 10.0.0.5 80 1047"}));
}

TEST(ConnectionTracker, FirstPassAnnouncesEveryEstablishedConnectionOnly) {
    Tracker t;
    const Texts texts = t.Pass({Tcp("0.0.0.0", 0, 80, STATE_LISTEN), Tcp("1.1.1.1", 21, 1000), Udp(53),
                                Tcp("2.2.2.2", 22, 1001), Tcp("4.4.4.4", 25, 1003, STATE_SYN_SENT),
                                Tcp("3.3.3.3", 23, 1002)});
    EXPECT_EQ(texts, (Texts{"C 1.1.1.1 21 1000", "C 2.2.2.2 22 1001", "C 3.3.3.3 23 1002"}));
    EXPECT_EQ(t.Letters(4), "fffe");
    EXPECT_EQ(t.tracker.OccupiedCount(), 3);
    t.ExpectSettled();
}

TEST(ConnectionTracker, SameTableAgainPostsNothing) {
    Tracker t;
    const std::vector<ConnectionRecord> table{Tcp("1.1.1.1", 21, 1000), Tcp("2.2.2.2", 22, 1001)};
    t.Pass(table);
    EXPECT_TRUE(t.Pass(table).empty());
    EXPECT_EQ(t.Letters(3), "ffe");
    t.ExpectSettled();
}

// An address text is held once for its connections, and let go with the last of
// them, in a whole pass and in one over the table's changes.
TEST(ConnectionTracker, LetsGoOfAnAddressWithItsLastConnection) {
    Tracker t;
    const std::vector<ConnectionRecord> three{Tcp("1.1.1.1", 21, 1000), Tcp("1.1.1.1", 22, 1001),
                                              Tcp("2.2.2.2", 22, 1002)};
    t.Pass(three);
    EXPECT_EQ(t.tracker.AddressesHeld(), 2u);
    const std::vector<ConnectionRecord> one{three[1]};
    t.Pass(one);
    EXPECT_EQ(t.tracker.AddressesHeld(), 1u);
    const auto changes = DiffConnectionRecords(1, one.data(), 0, nullptr);
    t.tracker.Update(0, one.data(), changes);
    EXPECT_EQ(t.tracker.AddressesHeld(), 0u);
    EXPECT_EQ(t.tracker.OccupiedCount(), 0);
}

TEST(ConnectionTracker, LeavingEstablishedIsADisconnect) {
    for (int state : {STATE_TIME_WAIT, STATE_CLOSE_WAIT, STATE_FIN_WAIT1}) {
        Tracker t;
        t.Pass({Tcp("1.1.1.1", 21, 1000), Tcp("2.2.2.2", 22, 1001)});
        EXPECT_EQ(t.Pass({Tcp("1.1.1.1", 21, 1000, state), Tcp("2.2.2.2", 22, 1001)}),
                  (Texts{"D 1.1.1.1 21 1000"}));
        EXPECT_EQ(t.Letters(2), "ef");
        EXPECT_EQ(t.tracker.OccupiedCount(), 1);
    }
}

TEST(ConnectionTracker, SynSentIsAnnouncedOnceEstablished) {
    Tracker t;
    EXPECT_TRUE(t.Pass({Tcp("5.5.5.5", 443, 2000, STATE_SYN_SENT)}).empty());
    EXPECT_EQ(t.tracker.OccupiedCount(), 0);
    EXPECT_EQ(t.Pass({Tcp("5.5.5.5", 443, 2000)}), (Texts{"C 5.5.5.5 443 2000"}));
}

TEST(ConnectionTracker, ConnectsInTableOrderThenDisconnectsInSlotOrder) {
    Tracker t;
    t.Pass({Tcp("1.1.1.1", 1, 11), Tcp("2.2.2.2", 2, 12), Tcp("3.3.3.3", 3, 13)});
    // Slots 0 and 2 go, two new ones come; the freed slot 0 is reused only next pass.
    const Texts texts = t.Pass({Tcp("9.9.9.9", 9, 19), Tcp("2.2.2.2", 2, 12), Tcp("8.8.8.8", 8, 18)});
    EXPECT_EQ(texts, (Texts{"C 9.9.9.9 9 19", "C 8.8.8.8 8 18", "D 1.1.1.1 1 11", "D 3.3.3.3 3 13"}));
    EXPECT_EQ(t.Letters(6), "efeffe");
    EXPECT_EQ(t.tracker.SlotRecord(3).remotePort, 9);
    EXPECT_EQ(t.tracker.SlotRecord(4).remotePort, 8);
    t.ExpectSettled();
    EXPECT_EQ(t.Pass({Tcp("7.7.7.7", 7, 17), Tcp("2.2.2.2", 2, 12), Tcp("9.9.9.9", 9, 19), Tcp("8.8.8.8", 8, 18)}),
              (Texts{"C 7.7.7.7 7 17"}));
    EXPECT_EQ(t.Letters(6), "ffeffe");
    EXPECT_EQ(t.tracker.SlotRecord(0).remotePort, 7);
}

TEST(ConnectionTracker, SameRemoteEndTwiceMatchesTheLowerSlotFirst) {
    Tracker t;
    t.Pass({Tcp("6.6.6.6", 80, 3000), Tcp("6.6.6.6", 80, 3001)});
    EXPECT_EQ(t.tracker.OccupiedCount(), 2);
    // The connection from 3000 closes; the one from 3001 takes slot 0, so the event
    // names the port stored in slot 1.
    EXPECT_EQ(t.Pass({Tcp("6.6.6.6", 80, 3001)}), (Texts{"D 6.6.6.6 80 3001"}));
    EXPECT_EQ(t.Letters(2), "fe");
    EXPECT_EQ(t.tracker.SlotRecord(0).localPort, 3000);
}

TEST(ConnectionTracker, ReplacementFromAnotherLocalPortIsSilent) {
    Tracker t;
    t.Pass({Tcp("6.6.6.6", 80, 3000)});
    EXPECT_TRUE(t.Pass({Tcp("6.6.6.6", 80, 4000)}).empty());
    EXPECT_EQ(t.tracker.SlotRecord(0).localPort, 3000);
    EXPECT_EQ(t.Pass({}), (Texts{"D 6.6.6.6 80 3000"}));
}

TEST(ConnectionTracker, TableWithoutEstablishedEmptiesEverySlot) {
    Tracker t;
    t.Pass({Tcp("1.1.1.1", 1, 11), Tcp("2.2.2.2", 2, 12), Tcp("3.3.3.3", 3, 13)});
    EXPECT_EQ(t.Pass({Udp(53), Tcp("0.0.0.0", 0, 80, STATE_LISTEN)}),
              (Texts{"D 1.1.1.1 1 11", "D 2.2.2.2 2 12", "D 3.3.3.3 3 13"}));
    EXPECT_EQ(t.tracker.OccupiedCount(), 0);
    t.ExpectSettled();
}

TEST(ConnectionTracker, RemoteAddressMustMatchExactly) {
    Tracker t;
    t.Pass({Tcp("10.0.0.1", 80, 1)});
    EXPECT_EQ(t.Pass({Tcp("10.0.0.10", 80, 1)}), (Texts{"C 10.0.0.10 80 1", "D 10.0.0.1 80 1"}));
    EXPECT_EQ(t.Pass({Tcp("10.0.0.10", 81, 1)}), (Texts{"C 10.0.0.10 81 1", "D 10.0.0.10 80 1"}));
}

TEST(ConnectionTracker, FullSlotsAnnounceTheNewcomerOnceOneIsFree) {
    Tracker t(100);
    std::vector<ConnectionRecord> table;
    for (int i = 0; i < 100; ++i) table.push_back(Tcp("10.1.1.1", 1000 + i, 5000));
    EXPECT_EQ(t.Pass(table).size(), 100u);
    EXPECT_EQ(t.tracker.OccupiedCount(), 100);

    table.push_back(Tcp("10.2.2.2", 99, 6000));
    EXPECT_TRUE(t.Pass(table).empty());
    EXPECT_EQ(t.tracker.OccupiedCount(), 100);

    // Slot 5's connection goes; its slot frees only in the sweep, after the newcomer
    // found no room.
    table.erase(table.begin() + 5);
    EXPECT_EQ(t.Pass(table), (Texts{"D 10.1.1.1 1005 5000"}));
    EXPECT_EQ(t.Pass(table), (Texts{"C 10.2.2.2 99 6000"}));
    EXPECT_EQ(t.tracker.SlotRecord(5).remotePort, 99);
    EXPECT_EQ(t.tracker.OccupiedCount(), 100);
    t.ExpectSettled();
}

TEST(ConnectionTracker, GoneOrMissingOwnerDropsEventsButKeepsState) {
    Tracker t;
    t.owner.Invalidate();
    EXPECT_TRUE(t.Pass({Tcp("1.1.1.1", 1, 11)}).empty());
    EXPECT_EQ(t.tracker.OccupiedCount(), 1);

    CConnectionTracker ownerless;
    const ConnectionRecord r = Tcp("1.1.1.1", 1, 11);
    ownerless.Update(1, &r);
    EXPECT_EQ(ownerless.OccupiedCount(), 1);
    ownerless.Update(0, nullptr);
    EXPECT_EQ(ownerless.OccupiedCount(), 0);
}

TEST(ConnectionTracker, UnterminatedAddressStaysWithinItsBuffer) {
    Tracker t;
    ConnectionRecord r = Tcp("x", 1, 2);
    std::memset(r.remoteAddress, '7', sizeof r.remoteAddress);
    EXPECT_EQ(t.Pass({r}), (Texts{"C " + std::string(sizeof r.remoteAddress, '7') + " 1 2"}));
}

TEST(ConnectionTracker, TracksAsManyConnectionsAsTheTableCanHold) {
    Tracker t;
    std::vector<ConnectionRecord> table;
    char address[16];
    for (int i = 0; i < MAX_CONNECTIONS; ++i) {
        std::snprintf(address, sizeof address, "10.0.%d.%d", (i >> 8) & 255, i & 255);
        table.push_back(Tcp(address, 443, 1024 + i % 60000));
    }
    EXPECT_EQ(t.Pass(table).size(), static_cast<size_t>(MAX_CONNECTIONS));
    // The bound holds: one more is announced only once a slot has come free.
    table.push_back(Tcp("172.16.0.1", 22, 2222));
    EXPECT_TRUE(t.Pass(table).empty());
    table.erase(table.begin());
    EXPECT_EQ(t.Pass(table), (Texts{"D 10.0.0.0 443 1024"}));
    EXPECT_EQ(t.Pass(table), (Texts{"C 172.16.0.1 22 2222"}));
    EXPECT_EQ(t.tracker.SlotRecord(0).remotePort, 22);
}

namespace {

// The tracker as it was before it had an index, every confirmation a scan of the
// slots: the model the indexed one must match event for event and slot for slot.
template <int Capacity>
struct ScanningTracker {
    std::vector<std::string> events;
    int occupied = 0;
    char letters[Capacity];
    ConnectionRecord slots[Capacity] = {};

    ScanningTracker() { std::memset(letters, 'e', sizeof letters); }
    void Update(const std::vector<ConnectionRecord>& table) {
        int marked = 0;
        for (int i = 0; i < Capacity && marked < occupied; ++i)
            if (letters[i] != 'e') letters[i] = 'c', ++marked;
        for (const ConnectionRecord& r : table)
            if (r.stateIndex == STATE_ESTABLISHED && !Confirm(r)) AddNew(r);
        for (int i = 0; i < Capacity && occupied > 0; ++i) {
            if (letters[i] == 'c') {
                events.push_back(FormatConnEventText('D', slots[i]));
                letters[i] = 'e';
                --occupied;
            } else if (letters[i] == 'x' || letters[i] == 'n') {
                letters[i] = 'f';
            }
        }
    }
    bool Confirm(const ConnectionRecord& r) {
        for (int i = 0; i < Capacity; ++i) {
            if (letters[i] == 'c' && std::strncmp(slots[i].remoteAddress, r.remoteAddress, sizeof r.remoteAddress) == 0 &&
                slots[i].remotePort == r.remotePort)
                return letters[i] = 'x', true;
        }
        return false;
    }
    void AddNew(const ConnectionRecord& r) {
        for (int i = 0; i < Capacity; ++i) {
            if (letters[i] != 'e') continue;
            slots[i] = r;
            letters[i] = 'n';
            ++occupied;
            events.push_back(FormatConnEventText('C', r));
            return;
        }
    }
};

// Up to 100 rows from few remote ends, so ends repeat, slots are reused and (at a
// small capacity) run full; each table keeps, drops, re-states, re-ports, adds and at
// times reorders or empties the rows of the last one.
template <int Capacity>
void RunSideBySide(unsigned seed) {
    SCOPED_TRACE("seed " + std::to_string(seed) + ", capacity " + std::to_string(Capacity));
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    static const char* const kAddresses[] = {"10.0.0.1", "10.0.0.10", "10.0.0.2", "192.168.7.7", "0.0.0.0"};
    ScanningTracker<Capacity> model;
    Tracker indexed(Capacity);
    std::vector<ConnectionRecord> table;
    for (int pass = 0; pass < 200; ++pass) {
        std::vector<ConnectionRecord> next;
        for (ConnectionRecord r : table) {
            const int roll = pick(100);
            if (roll < 15) continue;
            if (roll < 25) r.stateIndex = pick(4) ? STATE_ESTABLISHED : pick(12);
            else if (roll < 30) r.localPort = 1000 + pick(8);
            next.push_back(r);
        }
        for (int i = pick(25); i > 0 && next.size() < 100; --i) {
            const ConnectionRecord r = pick(10) ? Tcp(kAddresses[pick(5)], 20 + pick(4), 1000 + pick(8),
                                                      pick(5) ? STATE_ESTABLISHED : pick(12))
                                                : Udp(pick(1000));
            next.insert(next.begin() + pick(static_cast<int>(next.size()) + 1), r);
        }
        if (pick(10) == 0) std::shuffle(next.begin(), next.end(), rng);
        if (pick(40) == 0) next.clear();
        table = next;

        model.events.clear();
        model.Update(table);
        ASSERT_EQ(indexed.Pass(table), model.events) << "pass " << pass;
        ASSERT_EQ(indexed.tracker.OccupiedCount(), model.occupied) << "pass " << pass;
        for (int i = 0; i <= Capacity; ++i) {
            const char letter = i < Capacity ? model.letters[i] : 'e';
            ASSERT_EQ(indexed.tracker.SlotLetter(i), letter) << "pass " << pass << " slot " << i;
            if (letter != 'e') {
                ASSERT_EQ(std::memcmp(&indexed.tracker.SlotRecord(i), &model.slots[i], sizeof(ConnectionRecord)), 0)
                    << "pass " << pass << " slot " << i;
            }
        }
    }
}

}  // namespace

TEST(ConnectionTracker, IndexedTrackerAgreesWithTheSlotScanOnRandomTables) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
        RunSideBySide<100>(seed);
        RunSideBySide<12>(seed + 1000);  // slots run full and free up again
    }
}

// A pass given the table's changes must be the whole pass: same events in the same
// order, same letters and stored records. Tables draw on few remote ends, so an end's
// rows come and go around rows of it that stay; slots run full at the small capacity;
// some changes are cut short to one covering the middle, and some do not fit the last
// table at all.
TEST(ConnectionTracker, APassOverTheChangesIsTheWholePass) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        for (int capacity : {100, 9}) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", capacity " + std::to_string(capacity));
            std::mt19937 rng(seed);
            auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
            static const char* const kAddresses[] = {"10.0.0.1", "10.0.0.2", "127.0.0.1"};
            Tracker whole(capacity), changed(capacity);
            std::vector<ConnectionRecord> table;
            for (int pass = 0; pass < 150; ++pass) {
                std::vector<ConnectionRecord> next;
                for (ConnectionRecord r : table) {
                    const int roll = pick(100);
                    if (roll < 12) continue;
                    if (roll < 20) r.stateIndex = pick(3) ? STATE_ESTABLISHED : STATE_TIME_WAIT;
                    next.push_back(r);
                }
                for (int i = pick(12); i > 0 && next.size() < 80; --i) {
                    const ConnectionRecord r = pick(8) ? Tcp(kAddresses[pick(3)], 20 + pick(3), 1000 + pick(50),
                                                             pick(6) ? STATE_ESTABLISHED : STATE_SYN_SENT)
                                                       : Udp(pick(100));
                    next.insert(next.begin() + pick(static_cast<int>(next.size()) + 1), r);
                }
                if (pick(30) == 0) std::shuffle(next.begin(), next.end(), rng);
                std::vector<RowChange> changes =
                    DiffConnectionRecords(static_cast<int>(table.size()), table.data(), static_cast<int>(next.size()),
                                          next.data(), pick(4) ? 1000 : 3);
                if (pick(25) == 0 && !changes.empty()) changes.back().wantedCount += 1;  // does not fit
                table = next;

                const Texts expected = whole.Pass(table);
                changed.posted.clear();
                EXPECT_EQ(changed.tracker.Update(static_cast<int>(table.size()), table.data(), changes), 1);
                Texts got;
                for (const PostedMessage& m : changed.posted) got.push_back(m.payload);
                ASSERT_EQ(got, expected) << "pass " << pass;
                ASSERT_EQ(changed.tracker.OccupiedCount(), whole.tracker.OccupiedCount()) << "pass " << pass;
                ASSERT_EQ(changed.tracker.SlotsUsed(), whole.tracker.SlotsUsed()) << "pass " << pass;
                for (int i = 0; i < whole.tracker.SlotsUsed(); ++i) {
                    ASSERT_EQ(changed.tracker.SlotLetter(i), whole.tracker.SlotLetter(i))
                        << "pass " << pass << " slot " << i;
                    ASSERT_EQ(std::memcmp(&changed.tracker.SlotRecord(i), &whole.tracker.SlotRecord(i),
                                          sizeof(ConnectionRecord)), 0)
                        << "pass " << pass << " slot " << i;
                }
            }
        }
    }
}
