#pragma once

#include "base/result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace qz::platform {

using Blake2b512Digest = std::array<unsigned char, 64>;

// BLAKE2b-512 of a stream of bytes fed piece by piece, so a download can be hashed as it arrives.
// A failure of libcrypto (at the start or on the way) shows in finish().
class Blake2b512 {
  public:
    Blake2b512();

    void update(const void* data, std::size_t length);
    // The digest of everything fed so far; the hasher is spent afterwards.
    Result<Blake2b512Digest> finish();

  private:
    struct ContextDeleter {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextDeleter> context_;
    bool failed_ = false;
};

struct FileDigest {
    Blake2b512Digest digest{};
    std::uint64_t length = 0;
};

// The BLAKE2b-512 digest and the length of the file at `path`, read once.
Result<FileDigest> hashFile(const std::string& path);

} // namespace qz::platform
