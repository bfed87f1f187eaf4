#pragma once

// The response side of a transfer: its header lines as libcurl hands them over, its body as it
// arrives, and the delegate's callbacks queued until the loop delivers them.

#include "base/result.h"
#include "platform/system/blake2b.h"
#include "platform/transfer/destination_file.h"
#include "platform/transfer/url_transfer.h"

#include <cstddef>
#include <cstdint>
#include <curl/curl.h>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qz::platform {

// Header lines.

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// `text` without the blanks, tabs and line ends around it.
std::string_view trimmedText(std::string_view text);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Case-insensitive lookup of the first field of that name; the value trimmed.
std::optional<std::string> headerFieldNamed(const HeaderFields& fields, std::string_view name);

// The empty line that ends a header block, as libcurl hands it to the header callback.
inline bool endsHeaderBlock(std::string_view line) {
    return line == "\r\n" || line == "\n";
}

// The header fields of the last request's response as libcurl has stored them (no 1xx,
// trailers or proxy fields), in the order received, values trimmed.
HeaderFields lastResponseFields(CURL* easy);

// Whether the last request's response, with the status code that libcurl reports for it, is the
// final one: not a 1xx, nor a 3xx with a Location, which libcurl follows (or fails on).
bool isFinalResponse(CURL* easy, long statusCode);

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

    // Keeps the destination's first `offset` bytes as the body's start: counted, and hashed
    // first when hashing. To be called after the setters above.
    Result<> resumeAt(std::uint64_t offset);
    // The body starts again from nothing: the kept part, the count and the digest are dropped.
    void restart();
    // Holds what arrives in memory, and writes nothing, until release().
    void hold() {
        held_ = true;
    }
    // Opens the file, writes what was held, and, if the body has ended meanwhile, finishes it.
    Result<> release();

    // A failure when a response announces more than the maximum length.
    Result<> checkAnnouncedLength(std::int64_t announced);
    // Creates the destination file if it is not there yet.
    Result<> open() {
        openWhenReleased_ = openWhenReleased_ || held_;
        return held_ ? Result<>() : file_.open();
    }
    // Takes the next block; a failure ends the body, and what was written is to be deleted.
    Result<> add(const char* data, std::size_t length);
    Result<> flush() {
        return file_.flush();
    }
    // Writes what is left, closes the file and completes the digest.
    Result<> finish();
    // Closes the file; deletes it when asked to, else first writes what is left, so that a
    // later try can go on from there.
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
    // The first bytes of the body (up to 4) as they arrived from its start; empty for a body
    // resumed past them.
    const std::string& prefix() const {
        return prefix_;
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
    std::string prefix_;
    bool held_ = false;
    std::string heldBytes_;
    bool finishHeld_ = false; // the body ended while held
    bool openWhenReleased_ = false;
};

// The callbacks of a transfer, queued where libcurl reports and delivered later from the main
// loop: one at a time, in order, and none after the final one or after close().
class TransferEvents {
  public:
    explicit TransferEvents(UrlTransferDelegate& delegate) : delegate_(delegate) {}
    ~TransferEvents() {
        *alive_ = false;
    }
    TransferEvents(const TransferEvents&) = delete;
    TransferEvents& operator=(const TransferEvents&) = delete;

    void response(UrlResponse response) {
        queue_.emplace_back(std::move(response));
    }
    // Joins a data event still queued: one delegate call per round of socket activity.
    void data(std::uint64_t length) {
        if (!queue_.empty()) {
            if (auto* pending = std::get_if<Data>(&queue_.back())) {
                pending->length += length;
                return;
            }
        }
        queue_.emplace_back(Data{length});
    }
    void finished();
    void failed(UrlError error);

    // Neither finished nor failed has been queued, and close() was not called.
    bool active() const {
        return state_ == State::Active;
    }
    // The final callback was made, or close() was called.
    bool ended() const {
        return state_ == State::Ended;
    }
    // Drops what is queued; nothing more is delivered.
    void close() {
        state_ = State::Ended;
        queue_.clear();
    }
    // The delegate may destroy this object's owner from its callbacks.
    void deliver();

  private:
    enum class State { Active, Outcome, Ended };
    struct Data {
        std::uint64_t length;
    };
    struct Finished {};
    using Event = std::variant<UrlResponse, Data, Finished, UrlError>;

    UrlTransferDelegate& delegate_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    State state_ = State::Active;
    std::deque<Event> queue_;
    bool delivering_ = false;
};

} // namespace qz::platform
