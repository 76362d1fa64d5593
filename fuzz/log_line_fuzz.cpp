// A daily log line: what is read back must format into the very same line when it was
// UTF-8, and its CSV record must split into the seven fields it was made of.
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "log/AccessLog.h"
#include "log/HistoryExport.h"
#include "monitor/ConnectionHistory.h"
#include "platform/TextUtil.h"

namespace {

std::string Back(const LogLine& l) {
    const LocalTime& t = l.stamp;
    char stamp[96];
    if (l.remoteAddress.empty()) {
        std::snprintf(stamp, sizeof stamp, "%d.%02d.%02d %02d:%02d:%02d - ", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        const std::string text = l.event == EVENT_LOG_START ? LOG_START_MARK
                                 : l.event == EVENT_LOG_END ? LOG_END_MARK
                                                            : l.event;
        return stamp + text;
    }
    std::snprintf(stamp, sizeof stamp, "%d년 %d월 %d일 %02d:%02d:%02d - ", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    const std::string word = l.event == EVENT_CONNECT      ? EVENT_WORD_CONNECT
                             : l.event == EVENT_DISCONNECT ? EVENT_WORD_DISCONNECT
                                                           : l.event;
    return stamp + word + " " + l.remoteAddress + " : " + l.remoteService + " - " + l.localService;
}

// RFC 4180 fields of one record that ends with CR LF.
std::vector<std::string> CsvFields(std::string_view record) {
    FUZZ_CHECK(record.size() >= 2 && record.substr(record.size() - 2) == "\r\n");
    record.remove_suffix(2);
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (quoted && c == '"' && i + 1 < record.size() && record[i + 1] == '"') fields.back() += record[i++];
        else if (c == '"') quoted = !quoted;
        else if (c == ',' && !quoted) fields.emplace_back();
        else fields.back() += c;
    }
    FUZZ_CHECK(!quoted);
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    LogLine parsed;
    if (ParseLogLine(line, parsed) != LineProblem::None) return 0;
    if (IsValidUtf8(line)) FUZZ_CHECK(Back(parsed) == line);

    HistoryRecord r;
    r.time = LocalTimeStamper().Iso8601(parsed.stamp);
    r.event = parsed.event;
    r.remoteAddress = parsed.remoteAddress;
    r.remoteService = parsed.remoteService;
    r.localService = parsed.localService;
    const std::vector<std::string> fields = CsvFields(CsvRecord(r));
    const std::vector<std::string> expected = {r.time, r.event, r.remoteAddress, "", r.remoteService, "", r.localService};
    FUZZ_CHECK(fields == expected);

    const std::string json = JsonRecord(r);
    FUZZ_CHECK(IsValidUtf8(json) && json.back() == '\n');
    for (size_t i = 0; i + 1 < json.size(); ++i) FUZZ_CHECK(static_cast<unsigned char>(json[i]) >= 0x20);
    return 0;
}
