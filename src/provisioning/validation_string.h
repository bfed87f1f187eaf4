#pragma once

#include <string>

namespace qz {

// Stores the validation string (an ETag) in the cache directory; an empty one is never stored.
void writeValidationString(std::string directory, std::string validationString);

// The stored validation string (its first line); empty when there is none.
std::string readValidationString(std::string directory);

// Whether a server's validation string may be stored and sent back to a server: not empty, no
// control characters (they could add lines to a request) and of a sane length.
bool isUsableValidationString(const std::string& text);

// Whether the stored validation string equals this one; never for an empty one.
bool isCacheValid(std::string directory, std::string validationString);

} // namespace qz
