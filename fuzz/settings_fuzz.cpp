// The settings file: decoding bytes and reading the file must agree, keep every byte
// that was there and take the defaults for the rest, and the refresh period must
// stay one the timer can run.
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "app/MonitorSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MonitorSettings decoded = DecodeSettings(data, size);
    const auto encoded = EncodeSettings(decoded);
    const auto defaults = EncodeSettings(DefaultSettings());
    const size_t kept = std::min(size, encoded.size());
    FUZZ_CHECK(std::memcmp(encoded.data(), data, kept) == 0);
    FUZZ_CHECK(std::equal(encoded.begin() + kept, encoded.end(), defaults.begin() + kept));

    static MemoryFile file;
    file.Set(data, size);
    MonitorSettings read;
    FUZZ_CHECK(ReadSettingsFile(file.Path(), read));
    FUZZ_CHECK(EncodeSettings(read) == encoded);

    const int period = RefreshPeriodMs(decoded.refreshInterval);
    FUZZ_CHECK(period >= 1000 && period <= MAX_REFRESH_INTERVAL * 1000);
    (void)IgnoreFlagsOf(decoded);
    return 0;
}
