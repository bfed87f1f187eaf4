#pragma once

#include "bootstrap/result.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qz {

// Beside the validation string: the version that the signature of the cached install agent
// vouched for, the floor for the next signed download.
inline const std::string AGENT_VERSION_FILE = ".version";

// Stores the version in the cache directory, owner-only; a record cut short is removed.
Result<> writeAgentVersion(const std::string& directory, std::uint64_t version);

// The stored version; none when there is no record or it is not a whole number.
std::optional<std::uint64_t> readAgentVersion(const std::string& directory);

// Removes the record; no record is no failure.
Result<> removeAgentVersion(const std::string& directory);

} // namespace qz
