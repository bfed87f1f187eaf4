#include "platform/translations.h"

#include "bootstrap/translation.h"
#include "platform/main_bundle.h"
#include "platform/path.h"

#include <clocale>

namespace qz::platform {

std::string catalogDirectory(const std::string& resources) {
    return appendPathComponent(resources, "locale");
}

void startTranslations() {
    // The whole locale, numbers included: nothing we parse depends on it, and what we print for
    // people then follows their conventions.
    std::setlocale(LC_ALL, "");
    if (const auto bundle = mainBundle()) {
        ::bindtextdomain(TEXT_DOMAIN, catalogDirectory(bundle->resourcePath).c_str());
    }
    ::bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
}

} // namespace qz::platform
