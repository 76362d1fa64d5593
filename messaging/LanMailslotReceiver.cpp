#include "messaging/LanMailslotReceiver.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

#include "platform/Privileges.h"

namespace {

constexpr int HAND_OVER_WAIT_MS = 1000;

}  // namespace

bool IsForThisComputer(const MailslotDatagram& datagram, const NetbiosNames& names) {
    const std::string to = NetbiosUpper(datagram.destinationName);
    const uint8_t suffix = datagram.destinationSuffix;
    if (suffix != NB_SUFFIX_MESSENGER && suffix != NB_SUFFIX_COMPUTER) return false;
    return (!names.computer.empty() && to == NetbiosUpper(names.computer)) ||
           (!names.workgroup.empty() && to == NetbiosUpper(names.workgroup));
}

CLanMailslotReceiver::CLanMailslotReceiver(int socketFd, int stopFd, std::string mailslot, NetbiosNames names)
    : socketFd_(socketFd), stopFd_(stopFd), mailslot_(std::move(mailslot)), names_(std::move(names)) {}

CLanMailslotReceiver::~CLanMailslotReceiver() {
    const uint64_t one = 1;
    if (thread_.joinable()) {
        (void)!::write(stopFd_, &one, sizeof one);
        thread_.join();
    }
    ::close(socketFd_);
    ::close(stopFd_);
}

void CLanMailslotReceiver::Run() {
    std::vector<char> buffer(65536);
    for (;;) {
        pollfd fds[2] = {{socketFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const ssize_t n = ::recv(socketFd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n <= 0) continue;
        const auto datagram = ParseMessengerDatagram(std::string_view(buffer.data(), static_cast<size_t>(n)));
        if (!datagram || !IsForThisComputer(*datagram, names_)) continue;
        // A mailslot gone or full loses the message, as an overfull one would.
        WriteLocalMailslot(mailslot_, datagram->message, HAND_OVER_WAIT_MS, stopFd_);
    }
}

std::unique_ptr<CLanMailslotReceiver> StartLanMailslotReceiver(const CMessengerMailslot& mailslot,
                                                               const LanReceiverConfig& config, int* bindError) {
    // Port 138 was bound at start, while the process still had the capability for it.
    int socketFd = config.port == NETBIOS_DATAGRAM_PORT ? TakeNetbiosDatagramSocket() : -1;
    if (socketFd < 0) socketFd = BindSharedUdpPort(config.port);
    if (socketFd < 0) {
        if (bindError) *bindError = errno;
        return nullptr;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        ::close(socketFd);
        return nullptr;
    }
    std::unique_ptr<CLanMailslotReceiver> receiver(
        new CLanMailslotReceiver(socketFd, stopFd, mailslot.Name(), ReadNetbiosNames(config.smbConf)));
    try {
        receiver->thread_ = std::thread([r = receiver.get()] { r->Run(); });
    } catch (const std::system_error&) {
        return nullptr;
    }
    return receiver;
}
