#pragma once

#include "base/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz {

// What a signature vouches for, from the `key:value` fields of its trusted comment (separated by
// tabs or blanks). Other fields, and words without a colon such as minisign's "hashed", are
// ignored.
struct TrustedComment {
    std::string file;    // the archive's name
    std::string product; // whose install agent it is; empty in signatures that name none
    std::uint64_t version = 0;
    std::uint64_t size = 0; // the archive's length in bytes
    std::optional<std::uint64_t> timestamp;
};

// Needs `file:`, `version:` and `size:`, each once; `product:` at most once; numbers are whole
// and decimal.
Result<TrustedComment> parseTrustedComment(std::string_view text);

} // namespace qz
