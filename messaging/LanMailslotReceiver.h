#pragma once
// Messenger messages from the LAN: a thread reads NetBIOS datagrams on UDP 138 and hands
// every mailslot write to \MAILSLOT\MESSNGR for this computer or its workgroup to the
// local mailslot, where it waits like a message written on this computer.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "messaging/ComputerName.h"
#include "messaging/MessengerMailslot.h"
#include "messaging/NetbiosDatagram.h"

struct LanReceiverConfig {
    std::string smbConf = DEFAULT_SMB_CONF;
    uint16_t port = NETBIOS_DATAGRAM_PORT;
};

// Addressed to NAME<03>, NAME<00>, or the workgroup's <00> or <03>, whatever the case.
bool IsForThisComputer(const MailslotDatagram& datagram, const NetbiosNames& names);

class CLanMailslotReceiver {
public:
    // Stops the thread and waits for it; it wakes at once.
    ~CLanMailslotReceiver();
    CLanMailslotReceiver(const CLanMailslotReceiver&) = delete;
    CLanMailslotReceiver& operator=(const CLanMailslotReceiver&) = delete;

    const NetbiosNames& Names() const { return names_; }

private:
    friend std::unique_ptr<CLanMailslotReceiver> StartLanMailslotReceiver(const CMessengerMailslot&,
                                                                          const LanReceiverConfig&, int*);
    CLanMailslotReceiver(int socketFd, int stopFd, std::string mailslot, NetbiosNames names);
    void Run();

    int socketFd_;
    int stopFd_;
    std::string mailslot_;
    NetbiosNames names_;
    std::thread thread_;
};

// Only the copy that holds the mailslot receives, so no message is handed on twice.
// Null when the port cannot be bound, the bind's errno then in *bindError (EACCES
// without the privilege for the port); nothing is reported here.
std::unique_ptr<CLanMailslotReceiver> StartLanMailslotReceiver(const CMessengerMailslot& mailslot,
                                                               const LanReceiverConfig& config = {},
                                                               int* bindError = nullptr);
