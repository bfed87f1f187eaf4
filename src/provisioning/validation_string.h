#pragma once

#include <string>

namespace qz {

// Stores the validation string (an ETag) in the cache directory; an empty one is never stored.
void writeValidationString(std::string directory, std::string validationString);

// Whether the stored validation string equals this one; never for an empty one.
bool isCacheValid(std::string directory, std::string validationString);

} // namespace qz
