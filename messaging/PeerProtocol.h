#pragma once
// The program's own message protocol between running copies: one UDP datagram per
// message, "_START_" text "_END_" and a NUL, the text in CP949 on the wire and UTF-8
// everywhere else. The receiver is a worker thread that hands each message to its
// window through a ThreadLink and waits until the window has shown and confirmed it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/PeerConstants.h"  // PEER_MESSAGE_PORT, shared with the port-name table
#include "platform/LocalTime.h"
#include "platform/ThreadLink.h"

inline constexpr const char* PEER_CONFIRM_TEXT = "_CONFIRM_ 메시지 수신 확인";
inline constexpr const char* PEER_BOX_TITLE = "Tolvara 메시지 서비스";

// Longest text in CP949 bytes that fits the 1,024-byte datagram with its markers and NUL.
inline constexpr size_t PEER_MAX_TEXT_BYTES = 1011;

// Every byte to send, the NUL included. A longer text is cut at a character boundary
// inside the markers, and a NUL in the text ends it, so the datagram always stays one
// that receivers accept.
std::string FormatPeerDatagram(std::string_view utf8Text);
// The UTF-8 text of a received datagram, or nothing when it is not one of ours. The
// datagram counts up to its first NUL; bytes that are not CP949 become U+FFFD.
std::optional<std::string> ParsePeerDatagram(std::string_view datagram);
// Confirmations are never confirmed, or two copies would answer each other forever.
bool IsConfirmationText(std::string_view utf8Text);
// The received-message box text, at most 1,023 bytes in CP949, cut between characters.
std::string FormatPeerBoxText(const LocalTime& now, std::string_view address, std::string_view utf8Text);

// Sends one message datagram from an unbound socket. Failures, and an address that is
// not dotted IPv4, send nothing and say nothing.
void SendPeerDatagram(const std::string& address, std::string_view utf8Text, uint16_t port = PEER_MESSAGE_PORT);

// The receiver thread's routine. Returns -1 at once when the port cannot be bound, and 0
// once the window is gone (noticed within one 2 s receive time-out) or has stopped the
// link (at once: the socket is attached to it). Between those it touches nothing but
// the link, handing each message over in it.
int PeerReceiverThread(std::shared_ptr<ThreadLink> link, uint16_t port = PEER_MESSAGE_PORT);

// The window's side of one handed-over message: shows the box text through showBox
// (which returns once the user has closed the box), confirms to the sender through
// send unless the text is itself a confirmation, then frees the text and takes the
// link back, last, so the receiver goes on. Does nothing unless a message is handed.
void HandlePeerMessage(ThreadLink& link, const LocalTime& now, const std::function<void(const std::string& boxText)>& showBox,
                       const std::function<void(const std::string& address, const std::string& text)>& send);
