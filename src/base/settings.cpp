#include "base/settings.h"

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace qz {
namespace {

bool present(const char* value) {
    return value != nullptr && *value != '\0';
}

} // namespace

Settings Settings::read(const std::function<const char*(const char* name)>& lookup) {
    Settings settings;
    if (const char* text = lookup("QZ_DOWNLOAD_TIMEOUT")) {
        char* end = nullptr;
        // In the C locale's notation, whatever the user's: "0.5" is half a second everywhere.
        static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
        const double seconds = ::strtod_l(text, &end, cLocale);
        if (end != text && *end == '\0' && seconds > 0) {
            settings.downloadTimeout = seconds;
        }
    }
    if (const char* caFile = lookup("SSL_CERT_FILE"); present(caFile)) {
        settings.caFile = caFile;
    }
    if (const char* caDirectory = lookup("SSL_CERT_DIR"); present(caDirectory)) {
        settings.caDirectory = caDirectory;
    }
    settings.display = present(lookup("DISPLAY")) || present(lookup("WAYLAND_DISPLAY"));
    settings.colour = !present(lookup("NO_COLOR"));
    const char* term = lookup("TERM");
    settings.dumbTerminal = term != nullptr && std::strcmp(term, "dumb") == 0;
    return settings;
}

} // namespace qz
