#pragma once

namespace qz {

// The download application: one window, one controller, one event loop run. Returns the run's
// status (non-zero when the cache's install agent is ready).
int runDownloadApplication(int argc, char** argv);

// The transfer's connect and idle time-out in seconds: 60, unless QZ_DOWNLOAD_TIMEOUT names a
// positive number (for tests of stalled servers).
double downloadTimeoutInterval();

} // namespace qz
