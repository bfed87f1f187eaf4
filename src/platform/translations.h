#pragma once

#include <string>

namespace qz::platform {

// Where an installer carries its catalogs: "locale" in its resources, laid out
// <language>/LC_MESSAGES/<text domain>.mo. An installer cannot count on catalogs installed on the
// machine, so these are the only ones looked at.
std::string catalogDirectory(const std::string& resources);

// Takes the user's locale from the environment (LANG, LC_*, and LANGUAGE for the language of
// texts) and the catalogs from the running installer's resources (a program without a bundle,
// which fails at once, keeps gettext's default folder), in UTF-8 whatever the locale's character
// set, since GTK and the terminal line take UTF-8. setlocale is not thread-safe: main calls this
// at start, before any other thread runs.
void startTranslations();

} // namespace qz::platform
