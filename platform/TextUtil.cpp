#include "platform/TextUtil.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <iconv.h>
#include <arpa/inet.h>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the well-formed UTF-8 sequence at s[0], or 0 when it is malformed.
size_t Utf8SequenceLength(std::string_view s) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80) return 1;
    size_t n;
    unsigned lowest;
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2, lowest = 0x80;
    else if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, lowest = 0x800;
    else if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, lowest = 0x10000;
    else return 0;
    if (s.size() < n) return 0;
    unsigned cp = b0 & (0x7F >> n);
    for (size_t i = 1; i < n; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < lowest || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool IsCp949Lead(unsigned char b) { return b >= 0x81 && b <= 0xFE; }
bool IsCp949Trail(unsigned char b) {
    return (b >= 0x41 && b <= 0x5A) || (b >= 0x61 && b <= 0x7A) || (b >= 0x81 && b <= 0xFE);
}

// Bytes of the CP949 unit at s[pos]: a lead byte and a trail byte form a pair, whether
// or not the pair stands for a character; every other byte stands alone.
size_t Cp949UnitLength(std::string_view s, size_t pos) {
    return IsCp949Lead(static_cast<unsigned char>(s[pos])) && pos + 1 < s.size() &&
                   IsCp949Trail(static_cast<unsigned char>(s[pos + 1]))
               ? 2
               : 1;
}

class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts in, appending to out, up to the first sequence it cannot take (or an
    // incomplete one at the end); taken says how far it got. True when all of it went.
    bool Append(std::string_view in, std::string& out, size_t& taken) {
        char buffer[1024];
        taken = 0;
        for (;;) {
            char* inPtr = const_cast<char*>(in.data() + taken);
            size_t inLeft = in.size() - taken;
            char* outPtr = buffer;
            size_t outLeft = sizeof buffer;
            const size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
            const int err = errno;
            out.append(buffer, static_cast<size_t>(outPtr - buffer));
            taken = static_cast<size_t>(inPtr - in.data());
            if (r != static_cast<size_t>(-1)) return true;
            if (err != E2BIG) {
                iconv(cd_, nullptr, nullptr, nullptr, nullptr);
                return false;
            }
        }
    }

private:
    iconv_t cd_;
};

}  // namespace

bool IsDottedIPv4(std::string_view text) {
    uint32_t ignored;
    return ParseDottedIPv4(text, ignored);
}

bool ParseDottedIPv4(std::string_view text, uint32_t& networkOrder) {
    if (text.empty() || text.size() > 15) return false;
    const DecimalRule octet{0, 255, false, false, 3};
    uint8_t bytes[4];
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        int64_t v;
        if (!ReadDecimal(text, pos, octet, v)) return false;
        bytes[part] = static_cast<uint8_t>(v);
    }
    if (pos != text.size()) return false;
    uint32_t n;
    std::memcpy(&n, bytes, sizeof n);
    networkOrder = n;
    return true;
}

namespace {

// Each byte's decimal digits and a dot, NUL-padded to four characters.
struct OctetText {
    char text[4];
    uint8_t digits;
};

constexpr std::array<OctetText, 256> MakeOctetTexts() {
    std::array<OctetText, 256> texts{};
    for (unsigned v = 0; v < 256; ++v) {
        OctetText& t = texts[v];
        if (v >= 100) t.text[t.digits++] = static_cast<char>('0' + v / 100);
        if (v >= 10) t.text[t.digits++] = static_cast<char>('0' + v / 10 % 10);
        t.text[t.digits++] = static_cast<char>('0' + v % 10);
        t.text[t.digits] = '.';
    }
    return texts;
}

constexpr std::array<OctetText, 256> kOctetTexts = MakeOctetTexts();

}  // namespace

size_t WriteDottedIPv4(const uint8_t bytes[4], char* out) {
    // Four characters at a time, ending at out[15] at most. The final dot becomes the
    // NUL; the bytes after it are zeros or as they were.
    char* p = out;
    for (int i = 0; i < 4; ++i) {
        const OctetText& t = kOctetTexts[bytes[i]];
        std::memcpy(p, t.text, sizeof t.text);
        p += t.digits + 1;
    }
    p[-1] = '\0';
    return static_cast<size_t>(p - 1 - out);
}

size_t WriteIPv6(const uint8_t b[16], char* out) {
    static constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    char* p = out;
    if (std::memcmp(b, kMapped, sizeof kMapped) == 0) {
        std::memcpy(p, "::ffff:", 7);
        return 7 + WriteDottedIPv4(b + 12, p + 7);
    }
    int groups[8];
    for (int i = 0; i < 8; ++i) groups[i] = b[2 * i] << 8 | b[2 * i + 1];
    int best = -1, bestLength = 1;  // a lone zero group is written out, not shortened
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0) ++j;
        if (j - i > bestLength) best = i, bestLength = j - i;
        i = j > i ? j : i + 1;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        if (i == best) {
            *p++ = ':';
            if (i == 0) *p++ = ':';
            i += bestLength - 1;
            continue;
        }
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = groups[i] >> shift & 0xf;
            if (digit != 0 || started || shift == 0) *p++ = kHex[digit], started = true;
        }
        if (i < 7) *p++ = ':';
    }
    *p = '\0';
    return static_cast<size_t>(p - out);
}

std::string FormatIPv6(const uint8_t bytes[16]) {
    char text[48];
    return std::string(text, WriteIPv6(bytes, text));
}

bool ParseIPv6(std::string_view text, uint8_t bytes[16], std::string* zone) {
    const size_t percent = text.find('%');
    const std::string_view address = text.substr(0, percent);
    if (address.empty() || address.size() > 45) return false;
    if (percent != std::string_view::npos) {
        const std::string_view z = text.substr(percent + 1);
        if (z.empty() || z.size() > 15) return false;
        for (char c : z)
            if (c <= ' ' || c > '~' || c == '%' || c == '/' || c == ':') return false;
    }
    char buffer[46];
    std::memcpy(buffer, address.data(), address.size());
    buffer[address.size()] = '\0';
    uint8_t parsed[16];
    if (::inet_pton(AF_INET6, buffer, parsed) != 1) return false;
    std::memcpy(bytes, parsed, sizeof parsed);
    if (zone) *zone = percent == std::string_view::npos ? std::string() : std::string(text.substr(percent + 1));
    return true;
}

bool IsIPv6Text(std::string_view text) {
    uint8_t ignored[16];
    return ParseIPv6(text, ignored, nullptr);
}

std::string FormatDottedIPv4(const uint8_t b[4]) {
    char text[16];
    return std::string(text, WriteDottedIPv4(b, text));
}

std::string FormatDottedIPv4(uint32_t networkOrder) {
    uint8_t b[4];
    std::memcpy(b, &networkOrder, sizeof b);
    return FormatDottedIPv4(b);
}

bool ReadDecimal(std::string_view text, size_t& pos, const DecimalRule& rule, int64_t& value) {
    size_t p = pos;
    bool negative = false;
    if (rule.sign && p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    const size_t first = p;
    // Kept just past the widest bound, so it never overflows however long the digits run.
    const int64_t cap = (rule.max > -rule.min ? rule.max : -rule.min) + 1;
    int64_t magnitude = 0;
    for (; p < text.size() && IsDigit(text[p]); ++p) {
        if (rule.maxDigits > 0 && static_cast<int>(p - first) == rule.maxDigits) return false;
        magnitude = magnitude * 10 + (text[p] - '0');
        if (magnitude > cap) magnitude = cap;
    }
    if (p == first) return false;
    int64_t v = negative ? -magnitude : magnitude;
    if (v < rule.min || v > rule.max) {
        if (!rule.saturate) return false;
        v = v < rule.min ? rule.min : rule.max;
    }
    value = v;
    pos = p;
    return true;
}

int32_t SaturatingAtoi(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r' ||
                                 text[pos] == '\v' || text[pos] == '\f'))
        ++pos;
    int64_t v = 0;
    if (!ReadDecimal(text, pos, DecimalRule{INT32_MIN, INT32_MAX, true, true, 0}, v)) return 0;
    return static_cast<int32_t>(v);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') path += '/';
    path += name;
    return path;
}

std::string Utf8ToCp949(std::string_view utf8) {
    std::string out;
    Iconv cd("CP949", "UTF-8");
    if (!cd.ok()) return out;
    out.reserve(utf8.size() + 4);
    size_t pos = 0;
    for (size_t taken; !cd.Append(utf8.substr(pos), out, taken);) {
        pos += taken;
        if (pos >= utf8.size()) break;
        out += '?';
        const size_t n = Utf8SequenceLength(utf8.substr(pos));
        pos += n ? n : 1;
    }
    return out;
}

std::string Cp949ToUtf8(std::string_view cp949) {
    std::string out;
    Iconv cd("UTF-8", "CP949");
    if (!cd.ok()) return out;
    out.reserve(cp949.size() * 3 / 2 + 4);
    size_t taken = 0;
    if (cd.Append(cp949, out, taken)) return out;
    // Where iconv stops is no place to resume: glibc takes some pairs it cannot map
    // (A2 E8) together with the character after them. So a text that does not convert
    // whole is taken unit by unit, as CP949's byte structure divides it, and each unit
    // that fails costs one replacement character.
    out.clear();
    for (size_t pos = 0; pos < cp949.size(); pos += taken) {
        taken = Cp949UnitLength(cp949, pos);
        const size_t before = out.size();
        if (static_cast<unsigned char>(cp949[pos]) < 0x80) {
            out += cp949[pos];
        } else if (size_t n; !cd.Append(cp949.substr(pos, taken), out, n) || out.size() == before) {
            out.resize(before);
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

size_t Cp949PrefixLength(std::string_view cp949, size_t maxBytes) {
    size_t pos = 0;
    while (pos < cp949.size()) {
        const size_t n = IsCp949Lead(static_cast<unsigned char>(cp949[pos])) && pos + 1 < cp949.size() ? 2 : 1;
        if (pos + n > maxBytes) break;
        pos += n;
    }
    return pos;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t pos = 0; pos < text.size();) {
        const size_t n = Utf8SequenceLength(text.substr(pos));
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

std::string ReplaceInvalidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const size_t n = Utf8SequenceLength(text.substr(pos));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++pos;
        } else {
            out.append(text.substr(pos, n));
            pos += n;
        }
    }
    return out;
}
