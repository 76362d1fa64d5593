#include "platform/Privileges.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

constexpr uint16_t kNetbiosDatagramPort = 138;
// More than a raw socket's default receive buffer can hold.
constexpr int kMaxQueuedDatagrams = 4096;

std::atomic<int> keptDatagramSocket{-1};
std::atomic<int> keptIcmpSocket{-1};

using CapabilitySets = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

bool ReadCapabilities(CapabilitySets& sets) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, sets) == 0;
}

// The kernel's capability numbers: PR_CAPBSET_READ fails past the last one.
bool KnownCapability(int cap) { return ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; }

void DropCapabilities() {
    CapabilitySets sets{};
    // Only a process started as root may empty its bounding set; then the programs it
    // starts (the log viewer) gain nothing from being root either.
    if (ReadCapabilities(sets) && (sets[CAP_SETPCAP / 32].effective & (1u << (CAP_SETPCAP % 32))))
        for (int cap = 0; KnownCapability(cap); ++cap) (void)::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    CapabilitySets none{};
    (void)::syscall(SYS_capset, &header, none);
}

bool HoldsNoCapability() {
    CapabilitySets sets{};
    if (!ReadCapabilities(sets)) return false;
    for (const auto& s : sets)
        if (s.effective || s.permitted || s.inheritable) return false;
    for (int cap = 0; KnownCapability(cap); ++cap)
        if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_IS_SET, cap, 0, 0) > 0) return false;
    return true;
}

int NewRawIcmpSocket() { return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP); }

int OpenKeptIcmpSocket() {
    const int fd = NewRawIcmpSocket();
    if (fd < 0) return -1;
    // Our own echo requests never queue up between pings.
    const icmp_filter filter{1u << ICMP_ECHO};
    if (::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter) == 0) return fd;
    ::close(fd);
    return -1;
}

void CloseKept(std::atomic<int>& kept) {
    const int fd = kept.exchange(-1);
    if (fd >= 0) ::close(fd);
}

}  // namespace

bool OpenPrivilegedSocketsAndDropCapabilities() {
    keptDatagramSocket = BindSharedUdpPort(kNetbiosDatagramPort);
    keptIcmpSocket = OpenKeptIcmpSocket();
    // Without capabilities the process could be traced by any other process of its user,
    // which could then take the sockets.
    if (keptDatagramSocket >= 0 || keptIcmpSocket >= 0) (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    DropCapabilities();
    if (HoldsNoCapability()) return true;
    CloseKept(keptDatagramSocket);
    CloseKept(keptIcmpSocket);
    std::fputs("tolvara: cannot give up its capabilities, so it does not start\n", stderr);
    return false;
}

int BindSharedUdpPort(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        const int error = errno;  // EACCES tells the caller a privilege is missing
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int TakeNetbiosDatagramSocket() { return keptDatagramSocket.exchange(-1); }

void ReleaseNetbiosDatagramSocket() { CloseKept(keptDatagramSocket); }

bool IcmpEchoAllowed() {
    if (keptIcmpSocket.load() >= 0) return true;
    for (const int type : {SOCK_RAW, SOCK_DGRAM}) {
        const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        if (errno != EPERM && errno != EACCES) return true;
    }
    return false;
}

int OpenRawIcmpSocket() {
    const int kept = keptIcmpSocket.load();
    if (kept < 0) return NewRawIcmpSocket();
    const int fd = ::fcntl(kept, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The kept socket has queued every ICMP message since the last ping; none of them
    // answers the ping about to be sent.
    char byte;
    for (int i = 0; i < kMaxQueuedDatagrams && ::recv(fd, &byte, 1, MSG_DONTWAIT) >= 0; ++i) {}
    return fd;
}
