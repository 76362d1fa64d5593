// A whois reply, from a form server or an RFC 3912 server, and the server names that
// come from replies and settings: what is shown is UTF-8 with CR LF line ends, and a
// server taken from a reply is one we can connect to.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "lookup/WhoisQuery.h"
#include "platform/TextUtil.h"

namespace {

bool EveryLineFeedAfterCr(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    return true;
}

void CheckEndpoint(const WhoisEndpoint& e) {
    FUZZ_CHECK(!e.host.empty() && e.port != 0);
    FUZZ_CHECK(e.host.find_first_of(" \t\r\n") == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view reply(reinterpret_cast<const char*>(data), size);
    (void)ContainsEndOfPage(reply);
    FUZZ_CHECK(EveryLineFeedAfterCr(WithCrLf(reply)));

    std::string record;
    if (ExtractWhoisRecord(reply, record)) {
        FUZZ_CHECK(record.starts_with("query:"));
        FUZZ_CHECK(EveryLineFeedAfterCr(record));
    }
    WhoisEndpoint next;
    if (FindReferral(reply, next)) CheckEndpoint(next);
    FUZZ_CHECK(IsValidUtf8(DecodeWhoisText(reply)));

    for (WhoisProtocol protocol : {WhoisProtocol::Form, WhoisProtocol::Rfc3912}) {
        const auto shown = WhoisShownText(protocol, reply);
        if (!shown) continue;
        FUZZ_CHECK(IsValidUtf8(*shown));
        FUZZ_CHECK(EveryLineFeedAfterCr(*shown));
    }

    // The two settings come from the environment as C strings.
    const std::string setting(reply.substr(0, reply.find('\0')));
    WhoisEndpoint endpoint;
    if (ParseWhoisEndpoint(setting, WHOIS_PORT, endpoint)) CheckEndpoint(endpoint);
    const WhoisConfig form = WhoisConfigFrom(setting.c_str(), nullptr);
    if (form.valid && !setting.empty()) FUZZ_CHECK(IsDottedIPv4(form.server.host) && form.server.port != 0);
    const WhoisConfig root = WhoisConfigFrom(nullptr, setting.c_str());
    if (root.valid) CheckEndpoint(root.server);
    return 0;
}
