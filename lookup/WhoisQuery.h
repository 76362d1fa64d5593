#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The texts, bytes and settings of a whois query. Two ways to ask: the web form
// (an HTTP POST to a server named by TOLVARA_WHOIS_SERVER) and, when no form server
// is set, today's whois over TCP port 43 (RFC 3912) with one referral.

inline constexpr const char* kWhoisQueryingText = "조회중입니다. 기다려 주세요...";
inline constexpr const char* kWhoisFailedText = "조회에 실패했습니다.";

// The form reply buffer: its last byte stays for the terminator, so a reply is cut
// at one byte less.
inline constexpr size_t WHOIS_REPLY_SIZE = 5120;
inline constexpr size_t WHOIS_FORM_REPLY_LIMIT = WHOIS_REPLY_SIZE - 1;
// Room for a registry's whole record; a longer answer is cut there.
inline constexpr size_t WHOIS_RECORD_REPLY_LIMIT = 64 * 1024;
inline constexpr size_t WHOIS_RECEIVE_PIECE = 1024;

inline constexpr uint16_t WHOIS_FORM_PORT = 80;
inline constexpr uint16_t WHOIS_PORT = 43;
inline constexpr const char* WHOIS_DEFAULT_ROOT = "whois.iana.org";

struct WhoisEndpoint {
    std::string host;
    uint16_t port = 0;
};

// "HOST" or "HOST:PORT" (an IPv6 literal with a port goes in brackets). False for an
// empty host, blanks inside, or a port outside 1..65535.
bool ParseWhoisEndpoint(std::string_view text, uint16_t defaultPort, WhoisEndpoint& out);

enum class WhoisProtocol { Form, Rfc3912 };

struct WhoisConfig {
    WhoisProtocol protocol = WhoisProtocol::Rfc3912;
    // The form server (a dotted IPv4 address) or the first whois server to ask.
    WhoisEndpoint server{WHOIS_DEFAULT_ROOT, WHOIS_PORT};
    // False when a variable is set but unreadable: every query then fails rather than
    // going to a server nobody chose.
    bool valid = true;
    // How long a connection may take to be made, and each read to bring something.
    int connectTimeoutMs = 10'000;
    int readTimeoutMs = 30'000;
};

// From the two settings' values (null or empty for unset): formServer is
// TOLVARA_WHOIS_SERVER, root is TOLVARA_WHOIS_ROOT.
WhoisConfig WhoisConfigFrom(const char* formServer, const char* root);
WhoisConfig WhoisConfigFromEnvironment();

// The form request, byte for byte; serverAddress goes into the Host line.
std::string FormatWhoisRequest(std::string_view serverAddress, std::string_view address);
// The one line an RFC 3912 server is sent.
std::string WhoisQueryLine(std::string_view address);

// "</html>" or "</HTML>" anywhere in the text; no other spelling ends a page.
bool ContainsEndOfPage(std::string_view text);
// Every line feed as CR LF; a CR LF already there stays as it is.
std::string WithCrLf(std::string_view text);
// The form reply's record: from the first "query:" up to the first "</pre>" after it,
// with CR LF line ends. False when either marker is missing.
bool ExtractWhoisRecord(std::string_view reply, std::string& record);
// The server a "refer:" line names, on port 43. A referral that names another port is
// not followed: a hostile server could aim the query at any service of any host.
bool FindReferral(std::string_view reply, WhoisEndpoint& next);
// A reply holds a record when some line is neither blank nor a comment ('%' or '#').
bool HasWhoisRecord(std::string_view reply);
// Reply bytes as UTF-8: kept when they are UTF-8 (a sequence cut at the end of the
// buffer is dropped), otherwise read as CP949.
std::string DecodeWhoisText(std::string_view bytes);

// What the dialog shows for a finished query's reply (UTF-8, CR LF line ends), or
// nothing when the query failed.
std::optional<std::string> WhoisShownText(WhoisProtocol protocol, std::string_view reply);
