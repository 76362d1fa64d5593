#include "messaging/NetbiosDatagram.h"

#include <cstring>

namespace {

constexpr size_t DATAGRAM_HEADER_SIZE = 14;
constexpr size_t SMB_OFFSET = DATAGRAM_HEADER_SIZE + 2 * ENCODED_NAME_SIZE;  // 82
constexpr size_t SMB_HEADER_SIZE = 32;
constexpr uint8_t SMB_COM_TRANSACTION = 0x25;
constexpr uint8_t MAILSLOT_WORDS = 17;  // 14 fixed words and 3 setup words
constexpr size_t MAILSLOT_DATA_OFFSET = SMB_HEADER_SIZE + 1 + 2 * MAILSLOT_WORDS + 2 + MESSENGER_MAILSLOT.size() + 1;
constexpr uint16_t MAILSLOT_WRITE = 1;
constexpr uint16_t MAILSLOT_CLASS_UNRELIABLE = 2;
constexpr uint32_t MAILSLOT_TIMEOUT_MS = 1000;

constexpr uint8_t FLAG_MORE = 0x01;
constexpr uint8_t FLAG_FIRST = 0x02;

constexpr uint16_t NAME_QUERY_FLAGS = 0x0110;  // query, recursion desired, broadcast
constexpr uint16_t RR_TYPE_NB = 0x0020;
constexpr uint16_t RR_CLASS_IN = 0x0001;
constexpr uint16_t NB_FLAG_GROUP = 0x8000;

void Put8(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }
void PutBE16(std::string& out, unsigned value) {
    Put8(out, value >> 8);
    Put8(out, value);
}
void PutLE16(std::string& out, unsigned value) {
    Put8(out, value);
    Put8(out, value >> 8);
}
void PutLE32(std::string& out, uint32_t value) {
    PutLE16(out, value & 0xFFFF);
    PutLE16(out, value >> 16);
}

uint8_t Get8(std::string_view data, size_t pos) { return static_cast<uint8_t>(data[pos]); }
uint16_t GetBE16(std::string_view data, size_t pos) {
    return static_cast<uint16_t>(Get8(data, pos) << 8 | Get8(data, pos + 1));
}
uint16_t GetLE16(std::string_view data, size_t pos) {
    return static_cast<uint16_t>(Get8(data, pos) | Get8(data, pos + 1) << 8);
}

bool IsLeadByte(uint8_t b) { return b >= 0x81 && b <= 0xFE; }

bool SameNetbiosName(std::string_view a, std::string_view b) { return NetbiosUpper(a) == NetbiosUpper(b); }

// A name in an answer may be written out or point at one written earlier.
bool ReadAnswerName(std::string_view packet, size_t& pos, std::string& name, uint8_t& suffix) {
    if (pos >= packet.size()) return false;
    if ((Get8(packet, pos) & 0xC0) == 0xC0) {
        if (pos + 2 > packet.size()) return false;
        const size_t target = GetBE16(packet, pos) & 0x3FFF;
        pos += 2;
        return DecodeNetbiosName(packet, target, name, suffix);
    }
    if (!DecodeNetbiosName(packet, pos, name, suffix)) return false;
    pos += ENCODED_NAME_SIZE;
    return true;
}

}  // namespace

std::string NetbiosUpper(std::string_view name) {
    std::string out(name);
    for (size_t i = 0; i < out.size(); ++i) {
        const uint8_t b = static_cast<uint8_t>(out[i]);
        if (IsLeadByte(b) && i + 1 < out.size())
            ++i;
        else if (b >= 'a' && b <= 'z')
            out[i] = static_cast<char>(b - 'a' + 'A');
    }
    return out;
}

std::optional<std::string> EncodeNetbiosName(std::string_view name, uint8_t suffix) {
    if (name.empty() || name.size() > NETBIOS_NAME_MAX) return std::nullopt;
    std::string raw = NetbiosUpper(name);
    raw.resize(NETBIOS_NAME_MAX, ' ');
    raw.push_back(static_cast<char>(suffix));
    std::string out;
    out.reserve(ENCODED_NAME_SIZE);
    Put8(out, 0x20);
    for (char c : raw) {
        const uint8_t b = static_cast<uint8_t>(c);
        Put8(out, 'A' + (b >> 4));
        Put8(out, 'A' + (b & 0x0F));
    }
    Put8(out, 0);
    return out;
}

bool DecodeNetbiosName(std::string_view data, size_t pos, std::string& name, uint8_t& suffix) {
    if (pos > data.size() || data.size() - pos < ENCODED_NAME_SIZE) return false;
    if (Get8(data, pos) != 0x20 || Get8(data, pos + ENCODED_NAME_SIZE - 1) != 0) return false;
    std::string raw;
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t hi = Get8(data, pos + 1 + 2 * i), lo = Get8(data, pos + 2 + 2 * i);
        if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return false;
        raw.push_back(static_cast<char>((hi - 'A') << 4 | (lo - 'A')));
    }
    suffix = static_cast<uint8_t>(raw[15]);
    raw.resize(NETBIOS_NAME_MAX);
    raw.erase(raw.find_last_not_of(' ') + 1);
    name = std::move(raw);
    return true;
}

std::optional<std::string> BuildMessengerDatagram(const MailslotDatagram& d) {
    const auto source = EncodeNetbiosName(d.sourceName, NB_SUFFIX_COMPUTER);
    const auto destination = EncodeNetbiosName(d.destinationName, d.destinationSuffix);
    if (!source || !destination) return std::nullopt;
    const size_t n = d.message.size();
    const size_t datagramLength = 2 * ENCODED_NAME_SIZE + MAILSLOT_DATA_OFFSET + n;
    if (datagramLength > 0xFFFF) return std::nullopt;

    std::string out;
    out.reserve(SMB_OFFSET + MAILSLOT_DATA_OFFSET + n);
    Put8(out, d.type);
    Put8(out, FLAG_FIRST);
    PutBE16(out, d.id);
    out.append(reinterpret_cast<const char*>(&d.sourceIp), 4);  // already in network order
    PutBE16(out, d.sourcePort);
    PutBE16(out, static_cast<unsigned>(datagramLength));
    PutBE16(out, 0);
    out += *source;
    out += *destination;

    out.append("\xFFSMB", 4);
    Put8(out, SMB_COM_TRANSACTION);
    out.append(27, '\0');
    Put8(out, MAILSLOT_WORDS);
    PutLE16(out, 0);                         // total parameter count
    PutLE16(out, static_cast<unsigned>(n));  // total data count
    out.append(8, '\0');                     // max counts, reserved, flags
    PutLE32(out, MAILSLOT_TIMEOUT_MS);
    PutLE16(out, 0);                         // reserved
    PutLE16(out, 0);                         // parameter count
    PutLE16(out, 0);                         // parameter offset
    PutLE16(out, static_cast<unsigned>(n));  // data count
    PutLE16(out, MAILSLOT_DATA_OFFSET);
    Put8(out, 3);  // setup count
    Put8(out, 0);
    PutLE16(out, MAILSLOT_WRITE);
    PutLE16(out, 0);  // priority
    PutLE16(out, MAILSLOT_CLASS_UNRELIABLE);
    PutLE16(out, static_cast<unsigned>(MESSENGER_MAILSLOT.size() + 1 + n));
    out += MESSENGER_MAILSLOT;
    Put8(out, 0);
    out += d.message;
    return out;
}

std::optional<MailslotDatagram> ParseMessengerDatagram(std::string_view payload) {
    if (payload.size() < DATAGRAM_HEADER_SIZE) return std::nullopt;
    MailslotDatagram d;
    d.type = Get8(payload, 0);
    if (d.type != NB_DIRECT_UNIQUE && d.type != NB_DIRECT_GROUP) return std::nullopt;
    const uint8_t flags = Get8(payload, 1);
    if (!(flags & FLAG_FIRST) || (flags & FLAG_MORE) || GetBE16(payload, 12) != 0) return std::nullopt;
    const size_t end = DATAGRAM_HEADER_SIZE + GetBE16(payload, 10);
    if (end > payload.size()) return std::nullopt;
    payload = payload.substr(0, end);
    d.id = GetBE16(payload, 2);
    std::memcpy(&d.sourceIp, payload.data() + 4, 4);
    d.sourcePort = GetBE16(payload, 8);

    uint8_t sourceSuffix = 0;
    if (!DecodeNetbiosName(payload, DATAGRAM_HEADER_SIZE, d.sourceName, sourceSuffix) ||
        !DecodeNetbiosName(payload, DATAGRAM_HEADER_SIZE + ENCODED_NAME_SIZE, d.destinationName, d.destinationSuffix))
        return std::nullopt;

    if (payload.size() < SMB_OFFSET) return std::nullopt;
    const std::string_view smb = payload.substr(SMB_OFFSET);
    if (smb.size() < SMB_HEADER_SIZE + 1 || smb.substr(0, 4) != std::string_view("\xFFSMB", 4) ||
        Get8(smb, 4) != SMB_COM_TRANSACTION)
        return std::nullopt;
    const size_t words = Get8(smb, SMB_HEADER_SIZE);
    const size_t byteCountAt = SMB_HEADER_SIZE + 1 + 2 * words;
    if (words < 14 || byteCountAt + 2 > smb.size()) return std::nullopt;
    const size_t setupCount = Get8(smb, 59);
    if (setupCount < 1 || words != 14 + setupCount || GetLE16(smb, 61) != MAILSLOT_WRITE) return std::nullopt;

    const size_t totalParams = GetLE16(smb, 33), totalData = GetLE16(smb, 35);
    const size_t paramCount = GetLE16(smb, 51), paramOffset = GetLE16(smb, 53);
    const size_t dataCount = GetLE16(smb, 55), dataOffset = GetLE16(smb, 57);
    // A transaction split over several requests never completes from one datagram.
    if (paramCount != totalParams || dataCount != totalData) return std::nullopt;
    if (paramOffset + paramCount > smb.size() || dataOffset + dataCount > smb.size()) return std::nullopt;

    const size_t bytesAt = byteCountAt + 2;
    const size_t byteCount = GetLE16(smb, byteCountAt);
    if (bytesAt + byteCount > smb.size()) return std::nullopt;
    const std::string_view bytes = smb.substr(bytesAt, byteCount);
    const size_t nameEnd = bytes.find('\0');
    if (nameEnd == std::string_view::npos || !SameNetbiosName(bytes.substr(0, nameEnd), MESSENGER_MAILSLOT))
        return std::nullopt;

    d.message = std::string(smb.substr(dataOffset, dataCount));
    return d;
}

std::optional<std::string> BuildNameQuery(uint16_t transactionId, std::string_view name, uint8_t suffix) {
    const auto encoded = EncodeNetbiosName(name, suffix);
    if (!encoded) return std::nullopt;
    std::string out;
    PutBE16(out, transactionId);
    PutBE16(out, NAME_QUERY_FLAGS);
    PutBE16(out, 1);  // one question, no records
    PutBE16(out, 0);
    PutBE16(out, 0);
    PutBE16(out, 0);
    out += *encoded;
    PutBE16(out, RR_TYPE_NB);
    PutBE16(out, RR_CLASS_IN);
    return out;
}

std::optional<NameQueryAnswer> ParseNameQueryAnswer(std::string_view packet, uint16_t transactionId,
                                                    std::string_view name, uint8_t suffix) {
    if (packet.size() < 12 || GetBE16(packet, 0) != transactionId) return std::nullopt;
    const uint16_t flags = GetBE16(packet, 2);
    const bool response = flags & 0x8000;
    const unsigned opcode = (flags >> 11) & 0x0F, rcode = flags & 0x0F;
    if (!response || opcode != 0 || rcode != 0) return std::nullopt;
    const unsigned questions = GetBE16(packet, 4), answers = GetBE16(packet, 6);
    if (answers < 1) return std::nullopt;

    size_t pos = 12;
    std::string readName;
    uint8_t readSuffix = 0;
    for (unsigned i = 0; i < questions; ++i) {
        if (!ReadAnswerName(packet, pos, readName, readSuffix) || pos + 4 > packet.size()) return std::nullopt;
        pos += 4;
    }
    if (!ReadAnswerName(packet, pos, readName, readSuffix)) return std::nullopt;
    if (readSuffix != suffix || !SameNetbiosName(readName, name)) return std::nullopt;
    if (pos + 10 > packet.size()) return std::nullopt;
    const uint16_t type = GetBE16(packet, pos), rrClass = GetBE16(packet, pos + 2);
    const size_t rdLength = GetBE16(packet, pos + 8);
    pos += 10;
    if (type != RR_TYPE_NB || rrClass != RR_CLASS_IN || rdLength < 6 || pos + rdLength > packet.size())
        return std::nullopt;
    NameQueryAnswer answer;
    answer.group = GetBE16(packet, pos) & NB_FLAG_GROUP;
    std::memcpy(&answer.address, packet.data() + pos + 2, 4);
    return answer;
}
