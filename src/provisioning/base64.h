#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qz {

// Standard base64 with padding, strictly: only the alphabet, a length that is a multiple of four,
// padding only at the end and no stray bits in it. Anything else yields nothing.
std::optional<std::string> decodeBase64(std::string_view text);

} // namespace qz
