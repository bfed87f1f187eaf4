#pragma once

#include "bootstrap/message_reporter.h"

namespace qz {

// Runs the download window for the install agent archive; true when the cache's install agent
// is ready to be started.
bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageReporter reporter);

} // namespace qz
