#pragma once

// Catalogs for tests: the German and French ones the build makes, and one that marks every text
// ⟦so⟧, to find a text users read that is not translated.

#include "support/env_guard.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qz::test {

// The language of the marking catalog (LANGUAGE=en@pseudo, with a locale that is not C).
inline const std::string MARKING_LANGUAGE = "en@pseudo";

// Folders laid out <language>/LC_MESSAGES/<domain>.mo: the build's catalogs, the marking one.
std::string builtCatalogs();
std::string markingCatalogs();

// Puts the catalogs of `catalogs` where an installer with these resources carries them.
void installCatalogs(const std::string& catalogs, const std::string& resources);

// A catalog of `language` in the folder `catalogs` (laid out as builtCatalogs()), compiled
// unchecked from `entries` (msgid, msgstr), as a careless translator's msgfmt would.
void writeCatalog(const std::string& catalogs, const std::string& language,
                  const std::vector<std::pair<std::string, std::string>>& entries);

// Whether a line of standard error is the system log's: time stamp, program[pid], text.
bool isLogLine(const std::string& line);

// The lines of a program's standard error that hold a letter outside ⟦⟧, leaving out the system
// log's lines and the `ignore`d ones that another program wrote.
std::vector<std::string> unmarkedLines(const std::string& err,
                                       const std::vector<std::string>& ignore = {});

// Whether this machine has the locale, e.g. "de_DE.UTF-8" (scripts/setup-debian.sh makes it).
bool localeAvailable(const std::string& name);

// This process in a locale with the catalogs of `catalogs` bound and LANGUAGE set, until
// destroyed; then back in the C locale, as a test program starts.
class ProcessLanguage {
  public:
    ProcessLanguage(const std::string& locale, std::optional<std::string> language,
                    const std::string& catalogs);
    ~ProcessLanguage();
    ProcessLanguage(const ProcessLanguage&) = delete;
    ProcessLanguage& operator=(const ProcessLanguage&) = delete;

    // Whether the locale could be set.
    bool active() const {
        return active_;
    }

  private:
    EnvGuard language_;
    bool active_ = false;
};

} // namespace qz::test
