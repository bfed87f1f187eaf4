#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

struct Settings;

// Handed from the entry to the controller, which reads them when the application starts.
extern std::string downloadTo;
extern std::string downloadFrom;
extern char** EMPTY_ARGV;
// Handed back: whether the install agent made ready lies in the cache (else the archive at the
// destination is the caller's to unpack).
extern bool installAgentInCache;

// Runs the download application; returns its run status.
int CallNSApplicationMain(int argc, char** argv, const Settings& settings);

// Runs the download window for the install agent archive; true when the cache's install agent
// is complete and current, ready to be started.
bool downloadInstallAgentFromQZ(const char* destination, const char* url, MessageReporter reporter,
                                const Settings& settings);

} // namespace qz
