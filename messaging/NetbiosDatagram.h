#pragma once
// Messenger messages between computers travel as one NetBIOS datagram (UDP 138) whose
// user data is an SMB mailslot write to \MAILSLOT\MESSNGR; a name is found with a
// broadcast NetBIOS name query (UDP 137). Names here are CP949 bytes, as on the wire.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr uint16_t NETBIOS_NAME_PORT = 137;
inline constexpr uint16_t NETBIOS_DATAGRAM_PORT = 138;

inline constexpr uint8_t NB_DIRECT_UNIQUE = 0x10;     // to one computer
inline constexpr uint8_t NB_DIRECT_GROUP = 0x11;      // to a workgroup
inline constexpr uint8_t NB_SUFFIX_COMPUTER = 0x00;   // workstation, or a workgroup
inline constexpr uint8_t NB_SUFFIX_MESSENGER = 0x03;  // the computer's messenger name

inline constexpr size_t NETBIOS_NAME_MAX = 15;
inline constexpr size_t ENCODED_NAME_SIZE = 34;
inline constexpr std::string_view MESSENGER_MAILSLOT = "\\MAILSLOT\\MESSNGR";

// The name as NetBIOS compares it: ASCII letters upper-cased, double-byte characters
// left whole (their second byte may look like a lower-case letter).
std::string NetbiosUpper(std::string_view name);
// Length byte, 32 letters for the upper-cased name padded to 15 bytes plus the suffix,
// empty scope: 34 bytes. Nothing for an empty name or one over 15 bytes.
std::optional<std::string> EncodeNetbiosName(std::string_view name, uint8_t suffix);
// Reads exactly the 34-byte form with an empty scope at data[pos]; the name comes back
// without its padding.
bool DecodeNetbiosName(std::string_view data, size_t pos, std::string& name, uint8_t& suffix);

// One Messenger datagram, as built or as parsed.
struct MailslotDatagram {
    uint8_t type = NB_DIRECT_UNIQUE;
    uint16_t id = 0;
    uint32_t sourceIp = 0;  // network order
    uint16_t sourcePort = NETBIOS_DATAGRAM_PORT;
    std::string sourceName;  // travels with suffix 0x00
    std::string destinationName;
    uint8_t destinationSuffix = NB_SUFFIX_MESSENGER;
    std::string message;  // the mailslot data, sent as it is
};

// The UDP payload; nothing when a name cannot be encoded or the message would not fit
// the 16-bit lengths.
std::optional<std::string> BuildMessengerDatagram(const MailslotDatagram& datagram);
// A single-fragment direct datagram carrying a mailslot write to \MAILSLOT\MESSNGR with
// every count and offset inside it; nothing for anything else.
std::optional<MailslotDatagram> ParseMessengerDatagram(std::string_view payload);

// A broadcast name query for name<suffix> (50 bytes).
std::optional<std::string> BuildNameQuery(uint16_t transactionId, std::string_view name, uint8_t suffix);

struct NameQueryAnswer {
    uint32_t address = 0;  // network order
    bool group = false;
};
// A positive answer to our query (same transaction and name); nothing for a negative
// answer, another query's answer or a malformed packet.
std::optional<NameQueryAnswer> ParseNameQueryAnswer(std::string_view packet, uint16_t transactionId,
                                                    std::string_view name, uint8_t suffix);
