#pragma once

#include "bootstrap/message_reporter.h"

#include <string>

namespace qz {

struct Settings;

// The download window's entry, which sourcing calls when the bundle carries no archive. The
// program's own run takes it as it is; a test stands in for it.
class DownloadEntry {
  public:
    virtual ~DownloadEntry() = default;
    virtual bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                            MessageReporter reporter, const Settings& settings) = 0;
    // After a download that returned true: whether the agent made ready lies in the cache.
    virtual bool installAgentInCache() const = 0;
};

// The path of the install agent's executable, from the bundle's archive or from the download
// and the per-user cache; empty when no install agent could be had.
std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter reporter, const Settings& settings);
// The same through `download`.
std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter reporter, const Settings& settings,
                               DownloadEntry& download);

// The first entry of `directory` named "InstallAgent_*.zip", as directory/name; empty if none.
std::string findInstallAgentArchive(const std::string& directory);

} // namespace qz
