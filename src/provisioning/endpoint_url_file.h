#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

// The first line of the endpoint URL file, as it stands; empty when there is none.
std::string readEndpointUrlFile(std::string path, MessageReporter reporter);

} // namespace qz
