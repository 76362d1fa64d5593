#include "messaging/PeerProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/Messages.h"
#include "platform/TextUtil.h"

namespace {

constexpr std::string_view kStartMarker = "_START_";
constexpr std::string_view kEndMarker = "_END_";
constexpr std::string_view kConfirmPrefix = "_CONFIRM_";
constexpr size_t kReceiveBufferBytes = 2048;
constexpr size_t kMaxBoxTextBytes = 1023;
constexpr auto kHandOverPoll = std::chrono::milliseconds(500);

// Bytes of the UTF-8 character at text[pos]; a malformed byte counts as one.
size_t Utf8CharLength(std::string_view text, size_t pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    const size_t n = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (n == 1 || pos + n > text.size() || !IsValidUtf8(text.substr(pos, n))) return 1;
    return n;
}

// The longest prefix of UTF-8 text whose CP949 form fits maxBytes, ending between
// characters. Measured in CP949 because that is what the box's buffer always held.
std::string FitCp949Length(std::string_view utf8, size_t maxBytes) {
    if (Utf8ToCp949(utf8).size() <= maxBytes) return std::string(utf8);
    size_t used = 0, pos = 0;
    while (pos < utf8.size()) {
        const size_t n = Utf8CharLength(utf8, pos);
        const size_t width = n == 1 ? 1 : Utf8ToCp949(utf8.substr(pos, n)).size();
        if (used + width > maxBytes) break;
        used += width;
        pos += n;
    }
    return std::string(utf8.substr(0, pos));
}

}  // namespace

std::string FormatPeerDatagram(std::string_view utf8Text) {
    std::string text = Utf8ToCp949(utf8Text);
    text.resize(std::min(text.find('\0'), text.size()));
    text.resize(Cp949PrefixLength(text, PEER_MAX_TEXT_BYTES));
    std::string datagram;
    datagram.reserve(kStartMarker.size() + text.size() + kEndMarker.size() + 1);
    datagram.append(kStartMarker).append(text).append(kEndMarker).push_back('\0');
    return datagram;
}

std::optional<std::string> ParsePeerDatagram(std::string_view datagram) {
    const std::string_view s = datagram.substr(0, datagram.find('\0'));
    // The markers must not overlap: "_START_END_" carries no text at all.
    if (s.size() < kStartMarker.size() + kEndMarker.size() || !s.starts_with(kStartMarker) || !s.ends_with(kEndMarker))
        return std::nullopt;
    return Cp949ToUtf8(s.substr(kStartMarker.size(), s.size() - kStartMarker.size() - kEndMarker.size()));
}

bool IsConfirmationText(std::string_view utf8Text) { return utf8Text.starts_with(kConfirmPrefix); }

std::string FormatPeerBoxText(const LocalTime& now, std::string_view address, std::string_view utf8Text) {
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "%d년 %d월 %d일 %02d:%02d:%02d에 ", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    std::string box = stamp;
    box.append(address).append("로부터 수신된 메시지\n\n ").append(utf8Text);
    return FitCp949Length(box, kMaxBoxTextBytes);
}

void SendPeerDatagram(const std::string& address, std::string_view utf8Text, uint16_t port) {
    uint32_t ip = 0;
    if (!ParseDottedIPv4(address, ip)) return;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = ip;
    const std::string datagram = FormatPeerDatagram(utf8Text);
    (void)::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ::close(fd);
}

int PeerReceiverThread(std::shared_ptr<ThreadLink> link, uint16_t port) {
    ThreadLink& shared = *link;
    LinkedSocket s(shared);
    s.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (s.fd() < 0) return -1;
    // The time-out is what lets the loop notice a closed window.
    const timeval timeout{2, 0};
    (void)::setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return -1;
    char buffer[kReceiveBufferBytes];
    while (shared.MayGoOn()) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(s.fd(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) continue;
        std::optional<std::string> text = ParsePeerDatagram(std::string_view(buffer, static_cast<size_t>(n)));
        if (!text) continue;
        std::snprintf(shared.address, sizeof shared.address, "%s", FormatDottedIPv4(from.sin_addr.s_addr).c_str());
        // One message on screen at a time; the next waits in the socket's queue. A window
        // that goes away with its box open never answers, so the wait ends with it.
        if (!shared.HandOver(WM_PEER_MESSAGE, std::move(*text)) || !shared.WaitUntilTakenBack(kHandOverPoll)) break;
    }
    return 0;
}

void HandlePeerMessage(ThreadLink& link, const LocalTime& now, const std::function<void(const std::string& boxText)>& showBox,
                       const std::function<void(const std::string& address, const std::string& text)>& send) {
    if (link.State() != WorkerState::Handed) return;
    const std::string text = link.text ? *link.text : std::string();
    const std::string address(link.address, ::strnlen(link.address, sizeof link.address));
    showBox(FormatPeerBoxText(now, address, text));
    if (!IsConfirmationText(text)) send(address, PEER_CONFIRM_TEXT);
    link.text.reset();
    link.TakeBack();
}
