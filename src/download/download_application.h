#pragma once

namespace qz {

struct Settings;

// The download application: one window, one controller, one event loop run. Returns the run's
// status (non-zero when the cache's install agent is ready).
int runDownloadApplication(int argc, char** argv, const Settings& settings);

} // namespace qz
