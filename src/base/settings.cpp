#include "base/settings.h"

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace qz {
namespace {

bool present(const char* value) {
    return value != nullptr && *value != '\0';
}

// A positive number in the C locale's notation, whatever the user's: "0.5" everywhere.
std::optional<double> positiveNumber(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    char* end = nullptr;
    static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    const double value = ::strtod_l(text, &end, cLocale);
    if (end != text && *end == '\0' && value > 0) {
        return value;
    }
    return std::nullopt;
}

} // namespace

Settings Settings::read(const std::function<const char*(const char* name)>& lookup) {
    Settings settings;
    settings.downloadTimeout =
        positiveNumber(lookup("QZ_DOWNLOAD_TIMEOUT")).value_or(settings.downloadTimeout);
    settings.retryWaitScale =
        positiveNumber(lookup("QZ_TEST_RETRY_WAIT_SCALE")).value_or(settings.retryWaitScale);
    settings.displayPatience =
        positiveNumber(lookup("QZ_TEST_DISPLAY_PATIENCE")).value_or(settings.displayPatience);
    if (const char* caFile = lookup("SSL_CERT_FILE"); present(caFile)) {
        settings.caFile = caFile;
    }
    if (const char* caDirectory = lookup("SSL_CERT_DIR"); present(caDirectory)) {
        settings.caDirectory = caDirectory;
    }
    if (const char* path = lookup("PATH")) {
        settings.path = path;
    }
    settings.display = present(lookup("DISPLAY")) || present(lookup("WAYLAND_DISPLAY"));
    const auto text = [&](const char* name) {
        const char* value = lookup(name);
        return std::string(value != nullptr ? value : "");
    };
    settings.x11Display = text("DISPLAY");
    settings.waylandDisplay = text("WAYLAND_DISPLAY");
    settings.runtimeDirectory = text("XDG_RUNTIME_DIR");
    settings.gdkBackend = text("GDK_BACKEND");
    settings.colour = !present(lookup("NO_COLOR"));
    const char* term = lookup("TERM");
    settings.dumbTerminal = term != nullptr && std::strcmp(term, "dumb") == 0;
    return settings;
}

} // namespace qz
