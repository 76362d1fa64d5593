#pragma once
// Sending a Messenger message to a computer or workgroup name: "." or this computer's
// own name goes straight into the local mailslot; any other name goes on the LAN as a
// NetBIOS datagram on every broadcast-capable IPv4 interface.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "messaging/ComputerName.h"
#include "messaging/MessengerMailslot.h"
#include "messaging/NetbiosDatagram.h"
#include "platform/ThreadLink.h"

// How one copy of the message went out.
enum class MessengerRoute {
    Local,      // into this computer's mailslot
    Workgroup,  // our workgroup, by broadcast
    Unique,     // the name answered our query: sent to that address
    Group,      // the name is some group: by broadcast
    Broadcast,  // nobody answered: to NAME<03> by broadcast
};

struct MessengerSendConfig {
    std::string localMailslot = LocalMailslotName();
    std::string smbConf = DEFAULT_SMB_CONF;
    uint16_t datagramPort = NETBIOS_DATAGRAM_PORT;
    uint16_t namePort = NETBIOS_NAME_PORT;
    int queryTries = 3;
    int queryWaitMs = 250;
    // Runs on the worker once it is done, with what went out (tests wait on it).
    std::function<void(const std::vector<MessengerRoute>&)> finished;
};

// Sends at once on the calling thread, waiting for name queries (up to 1.5 s per
// interface). The message is formed from this computer's name, the recipient as typed
// and the text, all in CP949. A recipient that is empty or over 15 bytes sends nothing.
std::vector<MessengerRoute> DeliverMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                    const MessengerSendConfig& config = {});
// The same on a worker's link: once it is stopped, a name query's wait ends at once and
// nothing more is sent.
std::vector<MessengerRoute> DeliverMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                    const MessengerSendConfig& config, ThreadLink& link);

// The same on a detached worker; returns at once with the worker's link, for stopping
// it, and reports nothing.
std::shared_ptr<ThreadLink> SendMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                 MessengerSendConfig config = {});
