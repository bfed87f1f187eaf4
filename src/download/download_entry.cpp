#include "download/download_entry.h"

namespace qz {

bool downloadInstallAgentFromQZ(const char* /*destination*/, const char* /*url*/,
                                MessageReporter reporter) {
    reporter("Downloading the install agent is not available in this build.", true);
    return false;
}

} // namespace qz
