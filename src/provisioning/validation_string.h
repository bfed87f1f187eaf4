#pragma once

#include <string>

namespace qz {

// Stores the validation string (an ETag) in the cache directory; an empty one is never stored.
void writeValidationString(std::string directory, std::string validationString);

// The stored validation string (its first line); empty when there is none.
std::string readValidationString(std::string directory);

// Whether the stored validation string equals this one; never for an empty one.
bool isCacheValid(std::string directory, std::string validationString);

} // namespace qz
