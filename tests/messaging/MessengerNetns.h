#pragma once
// PC1 (10.77.0.1) and PC2 (10.77.0.2) of WORKGROUP: namespaces of the test's own on a veth
// pair, named by smb.conf files of its own.
#include <poll.h>

#include <memory>
#include <string>
#include <vector>

#include "messaging/LanMailslotReceiver.h"
#include "messaging/MessengerSender.h"
#include "support/NetNamespace.h"
#include "support/TestSupport.h"

struct TwoComputers {
    TempDir dir;
    TestNetns ns[2] = {TestNetns("pc1"), TestNetns("pc2")};
    const std::string mailslot = "tolvara-test-messngr";  // our namespaces: no clash
    TwoComputers() {
        LinkVeth(ns[0], "10.77.0.1/24", ns[1], "10.77.0.2/24");
        for (int pc : {1, 2})
            WriteWholeFile(Conf(pc), "[global]\nnetbios name = PC" + std::to_string(pc) + "\nworkgroup = WORKGROUP\n");
    }
    std::string Conf(int pc) const { return dir.file("smb" + std::to_string(pc) + ".conf"); }
    MessengerSendConfig Config(int pc, int queryWaitMs = 250) const {
        MessengerSendConfig config;
        config.localMailslot = mailslot, config.smbConf = Conf(pc), config.queryWaitMs = queryWaitMs;
        return config;
    }
    // The computer's mailslot, with its LAN receiver in the second member.
    std::pair<std::unique_ptr<CMessengerMailslot>, std::unique_ptr<CLanMailslotReceiver>> Listen(int pc) const {
        std::pair<std::unique_ptr<CMessengerMailslot>, std::unique_ptr<CLanMailslotReceiver>> l;
        ns[pc - 1].Run([&] {
            l.first = CMessengerMailslot::Create(mailslot);
            l.second = StartLanMailslotReceiver(*l.first, LanReceiverConfig{Conf(pc), NETBIOS_DATAGRAM_PORT});
        });
        return l;
    }
    std::vector<MessengerRoute> Send(int from, const std::string& to, const std::string& text,
                                     int queryWaitMs = 250) const {
        std::vector<MessengerRoute> routes;
        ns[from - 1].Run([&] { routes = DeliverMessengerMessage(to, text, Config(from, queryWaitMs)); });
        return routes;
    }
};

// The next message to reach the mailslot within about ms, or "<nothing>".
inline std::string NextMessage(CMessengerMailslot& slot, int ms) {
    std::string message;
    for (pollfd p{slot.Fd(), POLLIN, 0}; !slot.ReadNext(message); ms -= 50)
        if (ms <= 0 || ::poll(&p, 1, 50) < 0) return "<nothing>";
    return message;
}
