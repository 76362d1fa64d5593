#include "messaging/MessengerSender.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <system_error>
#include <thread>

#include "messaging/MessengerMessage.h"
#include "platform/TextUtil.h"

namespace {

constexpr int LOCAL_WRITE_WAIT_MS = 1000;

std::atomic<uint16_t> nextId{static_cast<uint16_t>(::getpid() * 31)};

struct Interface {
    uint32_t address = 0;    // network order
    uint32_t broadcast = 0;  // network order
};

std::vector<Interface> BroadcastInterfaces() {
    std::vector<Interface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_broadaddr) continue;
        if (!(i->ifa_flags & IFF_UP) || !(i->ifa_flags & IFF_BROADCAST) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        out.push_back({reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr,
                       reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr});
    }
    ::freeifaddrs(list);
    return out;
}

// The worker's socket, attached to its link, so a stop ends a name query's wait at once.
class UdpSender {
public:
    explicit UdpSender(ThreadLink& link) : link_(link), socket_(link) {
        socket_.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        fd_ = socket_.fd();
        if (fd_ < 0) return;
        const int on = 1;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        socklen_t length = sizeof any;
        // Bound first, so the datagram header can name the port its answers come to.
        if (::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
            ::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
            socket_.Reset();
            fd_ = -1;
            return;
        }
        port_ = ntohs(any.sin_port);
    }

    bool ok() const { return fd_ >= 0 && !link_.StopRequested(); }
    uint16_t port() const { return port_; }

    bool SendTo(std::string_view payload, uint32_t address, uint16_t port) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(port);
        return ::sendto(fd_, payload.data(), payload.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to),
                        sizeof to) == static_cast<ssize_t>(payload.size());
    }

    // Broadcasts the query up to `tries` times, waiting waitMs after each for a positive
    // answer. B nodes never answer in the negative, so silence means "no such name".
    std::optional<NameQueryAnswer> Query(std::string_view name, uint8_t suffix, uint32_t broadcast,
                                         const MessengerSendConfig& config) const {
        const uint16_t id = nextId++;
        const auto query = BuildNameQuery(id, name, suffix);
        if (!query) return std::nullopt;
        for (int attempt = 0; attempt < config.queryTries; ++attempt) {
            if (!SendTo(*query, broadcast, config.namePort)) return std::nullopt;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(config.queryWaitMs);
            while (!link_.StopRequested()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                pollfd p{fd_, POLLIN, 0};
                const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
                if (ready < 0 && errno != EINTR) return std::nullopt;
                if (ready <= 0) continue;
                char buffer[576];
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n =
                    ::recvfrom(fd_, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
                if (n <= 0) continue;
                auto answer = ParseNameQueryAnswer(std::string_view(buffer, static_cast<size_t>(n)), id, name, suffix);
                if (!answer) continue;
                if (answer->address == 0) answer->address = from.sin_addr.s_addr;
                return answer;
            }
        }
        return std::nullopt;
    }

private:
    const ThreadLink& link_;
    LinkedSocket socket_;
    int fd_ = -1;
    uint16_t port_ = 0;
};

bool SameName(std::string_view a, std::string_view b) { return NetbiosUpper(a) == NetbiosUpper(b); }

}  // namespace

std::vector<MessengerRoute> DeliverMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                    const MessengerSendConfig& config) {
    ThreadLink link;
    return DeliverMessengerMessage(recipient, utf8Text, config, link);
}

std::vector<MessengerRoute> DeliverMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                    const MessengerSendConfig& config, ThreadLink& link) {
    std::vector<MessengerRoute> routes;
    const NetbiosNames names = ReadNetbiosNames(config.smbConf);
    const std::string to = Utf8ToCp949(recipient);
    const std::string message = FormMessengerMessage(names.computer, to, Utf8ToCp949(utf8Text));

    if (to == "." || (!names.computer.empty() && SameName(to, names.computer))) {
        if (WriteLocalMailslot(config.localMailslot, message, LOCAL_WRITE_WAIT_MS))
            routes.push_back(MessengerRoute::Local);
        return routes;
    }
    if (!EncodeNetbiosName(to, NB_SUFFIX_MESSENGER) || !EncodeNetbiosName(names.computer, NB_SUFFIX_COMPUTER))
        return routes;
    UdpSender udp(link);
    if (!udp.ok()) return routes;

    MailslotDatagram datagram;
    datagram.sourcePort = udp.port();
    datagram.sourceName = names.computer;
    datagram.destinationName = to;
    datagram.message = message;
    const auto send = [&](uint8_t type, uint8_t suffix, uint32_t address, MessengerRoute route) {
        datagram.type = type;
        datagram.destinationSuffix = suffix;
        datagram.id = nextId++;
        const auto payload = BuildMessengerDatagram(datagram);
        if (payload && udp.SendTo(*payload, address, config.datagramPort)) routes.push_back(route);
    };

    const bool workgroup = SameName(to, names.workgroup);
    for (const Interface& iface : BroadcastInterfaces()) {
        if (!udp.ok()) break;
        datagram.sourceIp = iface.address;
        if (workgroup) {
            send(NB_DIRECT_GROUP, NB_SUFFIX_COMPUTER, iface.broadcast, MessengerRoute::Workgroup);
            continue;
        }
        const auto messenger = udp.Query(to, NB_SUFFIX_MESSENGER, iface.broadcast, config);
        if (messenger && !messenger->group) {
            send(NB_DIRECT_UNIQUE, NB_SUFFIX_MESSENGER, messenger->address, MessengerRoute::Unique);
            break;  // that computer has it; other networks need no copy
        }
        const auto computer = udp.Query(to, NB_SUFFIX_COMPUTER, iface.broadcast, config);
        if (computer && computer->group)
            send(NB_DIRECT_GROUP, NB_SUFFIX_COMPUTER, iface.broadcast, MessengerRoute::Group);
        else
            send(NB_DIRECT_UNIQUE, NB_SUFFIX_MESSENGER, iface.broadcast, MessengerRoute::Broadcast);
    }
    return routes;
}

std::shared_ptr<ThreadLink> SendMessengerMessage(const std::string& recipient, std::string_view utf8Text,
                                                 MessengerSendConfig config) {
    auto link = std::make_shared<ThreadLink>();
    try {
        std::thread([link, recipient, text = std::string(utf8Text), config = std::move(config)] {
            const auto routes = DeliverMessengerMessage(recipient, text, config, *link);
            if (config.finished) config.finished(routes);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the message is lost, as a send that cannot open is.
    }
    return link;
}
