#include "lookup/WhoisQuery.h"

#include <cstdlib>

#include "platform/TextUtil.h"

namespace {

std::string_view Trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

bool ReadPort(std::string_view digits, uint16_t& port) {
    size_t pos = 0;
    int64_t value = 0;
    if (!ReadDecimal(digits, pos, DecimalRule{1, 65535, false, false, 5}, value) || pos != digits.size())
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

template <class Fn>
void ForEachLine(std::string_view text, Fn fn) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (!fn(text.substr(0, end))) return;
        if (end == std::string_view::npos) return;
        text.remove_prefix(end + 1);
    }
}

}  // namespace

bool ParseWhoisEndpoint(std::string_view text, uint16_t defaultPort, WhoisEndpoint& out) {
    text = Trim(text);
    if (text.empty() || text.find_first_of(" \t\r\n") != std::string_view::npos) return false;
    std::string_view host = text;
    uint16_t port = defaultPort;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return false;
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ReadPort(rest.substr(1), port))) return false;
    } else if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
        // More than one colon is an IPv6 literal without a port.
        if (text.find(':', colon + 1) == std::string_view::npos) {
            host = text.substr(0, colon);
            if (!ReadPort(text.substr(colon + 1), port)) return false;
        }
    }
    if (host.empty()) return false;
    out.host = std::string(host);
    out.port = port;
    return true;
}

WhoisConfig WhoisConfigFrom(const char* formServer, const char* root) {
    WhoisConfig config;
    if (formServer && *formServer) {
        config.protocol = WhoisProtocol::Form;
        // The Host line carries the address, so it must be one, not a name.
        config.valid = ParseWhoisEndpoint(formServer, WHOIS_FORM_PORT, config.server) &&
                       IsDottedIPv4(config.server.host);
        return config;
    }
    config.protocol = WhoisProtocol::Rfc3912;
    if (root && *root) config.valid = ParseWhoisEndpoint(root, WHOIS_PORT, config.server);
    return config;
}

WhoisConfig WhoisConfigFromEnvironment() {
    return WhoisConfigFrom(std::getenv("TOLVARA_WHOIS_SERVER"), std::getenv("TOLVARA_WHOIS_ROOT"));
}

std::string FormatWhoisRequest(std::string_view serverAddress, std::string_view address) {
    const std::string body = "WHOISTYPE=&VALUE=" + std::string(address);
    std::string request;
    request += "POST /cgi-bin/newwhois.cgi HTTP/1.1\n";
    request += "Accept: */*\n";
    request += "Accept-Language: ko\n";
    request += "Content-Type: application/x-www-form-urlencoded\n";
    request += "Accept-Encoding: gzip, deflate\n";
    request += "User-Agent: Mozilla/4.0 (compatible; MSIE 5.0; Windows 98; DigExt)\n";
    request += "Host: " + std::string(serverAddress) + "\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\n";
    request += "Connection: Keep-Alive\n";
    request += "\n";
    request += body;
    return request;
}

std::string WhoisQueryLine(std::string_view address) { return std::string(address) + "\r\n"; }

bool ContainsEndOfPage(std::string_view text) {
    return text.find("</html>") != std::string_view::npos || text.find("</HTML>") != std::string_view::npos;
}

std::string WithCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

bool ExtractWhoisRecord(std::string_view reply, std::string& record) {
    static constexpr std::string_view kStart = "query:";
    const size_t start = reply.find(kStart);
    if (start == std::string_view::npos) return false;
    // A "</pre>" ahead of the record belongs to something else on the page.
    const size_t end = reply.find("</pre>", start + kStart.size());
    if (end == std::string_view::npos) return false;
    record = WithCrLf(reply.substr(start, end - start));
    return true;
}

bool FindReferral(std::string_view reply, WhoisEndpoint& next) {
    bool found = false;
    ForEachLine(reply, [&](std::string_view line) {
        line = Trim(line);
        if (!StartsWithNoCase(line, "refer:")) return true;
        std::string_view value = Trim(line.substr(6));
        value = value.substr(0, value.find_first_of(" \t"));
        if (StartsWithNoCase(value, "whois://")) value.remove_prefix(8);
        if (!value.empty() && value.back() == '/') value.remove_suffix(1);
        found = ParseWhoisEndpoint(value, WHOIS_PORT, next) && next.port == WHOIS_PORT;
        return false;
    });
    return found;
}

bool HasWhoisRecord(std::string_view reply) {
    bool found = false;
    ForEachLine(reply, [&](std::string_view line) {
        line = Trim(line);
        found = !line.empty() && line.front() != '%' && line.front() != '#';
        return !found;
    });
    return found;
}

std::string DecodeWhoisText(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    // A full buffer may end inside a character: drop a lead byte and what followed it.
    for (size_t cut = 1; cut <= 3 && cut <= bytes.size(); ++cut) {
        const auto lead = static_cast<unsigned char>(bytes[bytes.size() - cut]);
        if ((lead & 0xC0) == 0x80) continue;
        if (lead >= 0xC2 && lead <= 0xF4 && IsValidUtf8(bytes.substr(0, bytes.size() - cut)))
            return std::string(bytes.substr(0, bytes.size() - cut));
        break;
    }
    return Cp949ToUtf8(bytes);
}

std::optional<std::string> WhoisShownText(WhoisProtocol protocol, std::string_view reply) {
    if (protocol == WhoisProtocol::Form) {
        std::string record;
        if (!ExtractWhoisRecord(reply, record)) return std::nullopt;
        return DecodeWhoisText(record);
    }
    if (!HasWhoisRecord(reply)) return std::nullopt;
    return WithCrLf(DecodeWhoisText(reply));
}
