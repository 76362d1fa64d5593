// The change tracker: slot letters, the occupied count, the events and their order.
#include "monitor/CConnectionTracker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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
    Tracker() { tracker.SetOwner(owner); }

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
        for (int i = 0; i < MAX_CONNECTIONS; ++i) {
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
    Tracker t;
    std::vector<ConnectionRecord> table;
    for (int i = 0; i < MAX_CONNECTIONS; ++i) table.push_back(Tcp("10.1.1.1", 1000 + i, 5000));
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
    EXPECT_EQ(t.Pass({r}), (Texts{"C " + std::string(32, '7') + " 1 2"}));
}
