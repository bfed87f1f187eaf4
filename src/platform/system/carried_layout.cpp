#include "platform/system/carried_layout.h"

#include "base/translation.h"
#include "platform/system/blake2b.h"
#include "platform/system/file_range.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace qz::platform {
namespace {

constexpr std::size_t OFFSET_DIGITS = 20;
constexpr std::size_t DIGEST_DIGITS = 128;
constexpr std::string_view DIGEST_LABEL = " blake2b:";
constexpr std::size_t TRAILER_LENGTH =
    sizeof TRAILER_MAGIC - 1 + 3 * OFFSET_DIGITS + 2 + DIGEST_LABEL.size() + DIGEST_DIGITS;
// The end of central directory record before its comment.
constexpr std::size_t END_RECORD = 22;

Failure incomplete() {
    return Failure{Text::format(N_("it is incomplete"))};
}

Failure altered() {
    return Failure{Text::format(N_("its contents do not match its checksum"))};
}

// A read of the installer's own file: one that ends early is incomplete.
Result<> readPart(int fd, std::uint64_t offset, void* into, std::size_t length) {
    auto read = readAt(fd, offset, into, length);
    if (!read && read.failure().error() == 0) {
        return incomplete();
    }
    if (!read) {
        return systemFailure(Text::format(N_("it cannot be read")), read.failure().error());
    }
    return read;
}

std::uint64_t littleEndian(const unsigned char* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;) {
        value = value << 8 | bytes[i];
    }
    return value;
}

bool hasSignature(const unsigned char* bytes, std::uint32_t signature) {
    return littleEndian(bytes, 4) == signature;
}

// The number that `text` writes in decimal digits, or none.
std::optional<std::uint64_t> decimal(std::string_view text) {
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || value > (UINT64_MAX - 9) / 10) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

} // namespace

Result<CarriedLayout> readCarriedLayout(int fd, std::uint64_t size, std::uint64_t imageLength) {
    // Whatever follows the program must end with our trailer; a cut file has lost it.
    if (size < imageLength + END_RECORD + TRAILER_LENGTH) {
        return incomplete();
    }
    const std::uint64_t endRecord = size - END_RECORD - TRAILER_LENGTH;
    std::array<unsigned char, END_RECORD + TRAILER_LENGTH> tail{};
    if (auto read = readPart(fd, endRecord, tail.data(), tail.size()); !read) {
        return read.failure();
    }
    const std::string_view trailer(reinterpret_cast<const char*>(tail.data()) + END_RECORD,
                                   TRAILER_LENGTH);
    if (!hasSignature(tail.data(), 0x06054b50) ||
        littleEndian(tail.data() + 20, 2) != TRAILER_LENGTH ||
        !trailer.starts_with(TRAILER_MAGIC)) {
        return incomplete();
    }
    CarriedLayout layout;
    layout.size = size;
    std::uint64_t* parts[] = {&layout.resources, &layout.agent, &layout.product};
    std::size_t at = sizeof TRAILER_MAGIC - 1;
    for (std::uint64_t* part : parts) {
        const auto value = decimal(trailer.substr(at, OFFSET_DIGITS));
        const char after = trailer[at + OFFSET_DIGITS];
        if (!value || after != (part == parts[2] ? ' ' : ',')) {
            return altered();
        }
        *part = *value;
        at += OFFSET_DIGITS + 1;
    }
    layout.digest = trailer.substr(TRAILER_LENGTH - DIGEST_DIGITS);
    if (!trailer.substr(at - 1).starts_with(DIGEST_LABEL)) {
        return altered();
    }
    // Never zip64's 0xffffffff here: make-installer carries no zip64 archive.
    layout.centralDirectory = littleEndian(tail.data() + 16, 4);
    if (layout.resources != imageLength || layout.agent < layout.resources ||
        layout.product < layout.agent || layout.centralDirectory < layout.product ||
        layout.centralDirectory > endRecord) {
        return altered();
    }
    return layout;
}

Result<> checkCarriedDigest(int fd, const CarriedLayout& layout) {
    Blake2b512 running;
    const std::uint64_t digestAt = layout.size - DIGEST_DIGITS;
    std::vector<unsigned char> buffer(1 << 20);
    const std::pair<std::uint64_t, std::uint64_t> covered[] = {
        {0, layout.agent}, {layout.centralDirectory, layout.size}};
    for (auto [at, end] : covered) {
        while (at < end) {
            const auto chunk =
                static_cast<std::size_t>(std::min<std::uint64_t>(end - at, buffer.size()));
            if (auto read = readPart(fd, at, buffer.data(), chunk); !read) {
                return read;
            }
            // The digest's digits as they were when it was computed.
            for (std::uint64_t i = std::max(at, digestAt); i < at + chunk; ++i) {
                buffer[i - at] = '0';
            }
            running.update(buffer.data(), chunk);
            at += chunk;
        }
    }
    const auto digest = running.finish();
    if (!digest) {
        return digest.failure();
    }
    std::string hex;
    for (const unsigned char byte : *digest) {
        hex += "0123456789abcdef"[byte >> 4];
        hex += "0123456789abcdef"[byte & 15];
    }
    if (hex != layout.digest) {
        return altered();
    }
    return {};
}

} // namespace qz::platform
