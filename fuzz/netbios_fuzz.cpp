// NetBIOS datagrams and name-query answers as they arrive on ports 138 and 137. A
// parsed Messenger datagram, built again, must parse to the same message.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "messaging/NetbiosDatagram.h"

namespace {

void CheckMessenger(std::string_view payload) {
    const auto parsed = ParseMessengerDatagram(payload);
    if (!parsed) return;
    FUZZ_CHECK(parsed->sourceName.size() <= NETBIOS_NAME_MAX && parsed->destinationName.size() <= NETBIOS_NAME_MAX);
    FUZZ_CHECK(parsed->message.size() <= payload.size());
    const auto rebuilt = BuildMessengerDatagram(*parsed);
    if (!rebuilt) {
        FUZZ_CHECK(parsed->sourceName.empty() || parsed->destinationName.empty());
        return;
    }
    const auto again = ParseMessengerDatagram(*rebuilt);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->type == parsed->type && again->id == parsed->id && again->sourceIp == parsed->sourceIp &&
               again->sourcePort == parsed->sourcePort);
    FUZZ_CHECK(again->sourceName == NetbiosUpper(parsed->sourceName));
    FUZZ_CHECK(again->destinationName == NetbiosUpper(parsed->destinationName));
    FUZZ_CHECK(again->destinationSuffix == parsed->destinationSuffix);
    FUZZ_CHECK(again->message == parsed->message);
}

// Asks for the name the packet's own question carries, under its own transaction id,
// so that answers which match are within reach.
void CheckNameAnswer(std::string_view packet) {
    const uint16_t id = packet.size() >= 2 ? static_cast<uint16_t>(static_cast<uint8_t>(packet[0]) << 8 |
                                                                   static_cast<uint8_t>(packet[1]))
                                           : 0;
    std::string name = "WORKGROUP";
    uint8_t suffix = NB_SUFFIX_MESSENGER;
    (void)DecodeNetbiosName(packet, 12, name, suffix);
    (void)ParseNameQueryAnswer(packet, id, name, suffix);
}

// Names typed by the user or read from smb.conf: encoding then decoding gives the name
// as NetBIOS compares it.
void CheckNameRoundTrip(std::string_view name) {
    const auto encoded = EncodeNetbiosName(name, NB_SUFFIX_COMPUTER);
    if (!encoded) return;
    FUZZ_CHECK(encoded->size() == ENCODED_NAME_SIZE);
    std::string decoded;
    uint8_t suffix = 0xFF;
    FUZZ_CHECK(DecodeNetbiosName(*encoded, 0, decoded, suffix) && suffix == NB_SUFFIX_COMPUTER);
    std::string upper = NetbiosUpper(name);
    upper.erase(upper.find_last_not_of(' ') + 1);
    FUZZ_CHECK(decoded == upper);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckMessenger(bytes);
    CheckNameAnswer(bytes);
    CheckNameRoundTrip(bytes.substr(0, 16));
    return 0;
}
