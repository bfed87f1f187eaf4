#pragma once

#include "base/result.h"

#include <cstdint>
#include <string>

namespace qz::platform {

// A single-file installer: the bootstrapper's program, then the installer's resources as a ustar
// archive, the install agent archive (when it carries one) and the product archive, which ends
// the file. The product's offsets count from the file's start (as `zip -A` makes them), so the
// whole file reads as the product archive, and the archive's comment is our trailer, of a fixed
// length: TRAILER_MAGIC, where the three parts start (20 decimal digits each, separated by
// commas), " blake2b:" and the file's digest (128 lowercase hexadecimal digits).
inline constexpr char TRAILER_MAGIC[] = "velmor-resources:1 at:";

struct CarriedLayout {
    std::uint64_t resources = 0;        // the resources' ustar archive, up to `agent`
    std::uint64_t agent = 0;            // the install agent archive, up to `product`
    std::uint64_t product = 0;          // the product archive, up to the end
    std::uint64_t centralDirectory = 0; // the product's
    std::uint64_t size = 0;             // the file's
    std::string digest;                 // as the trailer writes it
};

// Where the parts of the file `fd` of `size` bytes lie, after its program image of
// `imageLength` bytes. A failure says, for the user, what is wrong with the file.
Result<CarriedLayout> readCarriedLayout(int fd, std::uint64_t size, std::uint64_t imageLength);

// Whether the file matches its digest: BLAKE2b-512 of all of it but the entries of its two
// archives (from `agent` up to the central directory), whose CRCs unzip checks as it unpacks
// them, with the digest's own digits read as zeros.
Result<> checkCarriedDigest(int fd, const CarriedLayout& layout);

} // namespace qz::platform
