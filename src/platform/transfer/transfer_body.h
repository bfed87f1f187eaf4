#pragma once

#include "base/result.h"
#include "platform/system/blake2b.h"
#include "platform/transfer/destination_file.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qz::platform {

// The body of a transfer as it arrives: written to the destination file, counted, and when asked
// for, held to a maximum length, hashed (BLAKE2b-512) and kept in memory.
class TransferBody {
  public:
    void setDestination(std::string path, bool allowOverwrite) {
        file_.setPath(std::move(path), allowOverwrite);
    }
    void setMaximumLength(std::uint64_t bytes) {
        maximumLength_ = bytes;
    }
    void setHashes(bool hashes);
    void setKeeps(bool keeps) {
        keeps_ = keeps;
    }

    // A failure when a response announces more than the maximum length.
    Result<> checkAnnouncedLength(std::int64_t announced);
    // Creates the destination file if it is not there yet.
    Result<> open() {
        return file_.open();
    }
    // Takes the next block; a failure ends the body, and what was written is to be deleted.
    Result<> add(const char* data, std::size_t length);
    Result<> flush() {
        return file_.flush();
    }
    // Writes what is left, closes the file and completes the digest.
    Result<> finish();
    // Closes the file without writing what is left; deletes it when asked to.
    void abandon(bool deleteFile);

    std::uint64_t length() const {
        return length_;
    }
    // Whether the body was, or was announced to be, longer than the maximum.
    bool tooLong() const {
        return tooLong_;
    }
    Result<Blake2b512Digest> digest() const;
    const std::string& kept() const {
        return kept_;
    }

  private:
    DestinationFile file_;
    std::optional<std::uint64_t> maximumLength_;
    std::optional<Blake2b512> hasher_;
    std::optional<Blake2b512Digest> digest_;
    bool keeps_ = false;
    std::string kept_;
    std::uint64_t length_ = 0;
    bool tooLong_ = false;
};

} // namespace qz::platform
