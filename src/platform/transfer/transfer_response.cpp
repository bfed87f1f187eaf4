#include "platform/transfer/transfer_response.h"

#include "base/translation.h"

#include <algorithm>
#include <fcntl.h>
#include <type_traits>
#include <unistd.h>

namespace qz::platform {
namespace {

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowered(x) == lowered(y);
           });
}

// Headers of the response itself, as opposed to 1xx, trailers, CONNECT or pseudo headers.
constexpr unsigned RESPONSE_HEADERS = CURLH_HEADER;
constexpr int LAST_REQUEST = -1;

} // namespace

std::string_view trimmedText(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::optional<std::string> headerFieldNamed(const HeaderFields& fields, std::string_view name) {
    for (const auto& [fieldName, value] : fields) {
        if (equalsIgnoringCase(trimmedText(fieldName), trimmedText(name))) {
            return std::string(trimmedText(value));
        }
    }
    return std::nullopt;
}

HeaderFields lastResponseFields(CURL* easy) {
    HeaderFields fields;
    for (curl_header* field = nullptr;
         (field = curl_easy_nextheader(easy, RESPONSE_HEADERS, LAST_REQUEST, field)) != nullptr;) {
        // libcurl leaves a value made only of blanks with its line end.
        fields.emplace_back(trimmedText(field->name), trimmedText(field->value));
    }
    return fields;
}

bool isFinalResponse(CURL* easy, long statusCode) {
    curl_header* location = nullptr;
    const bool redirects = statusCode / 100 == 3 &&
                           curl_easy_header(easy, "Location", 0, RESPONSE_HEADERS, LAST_REQUEST,
                                            &location) == CURLHE_OK &&
                           !trimmedText(location->value).empty();
    return statusCode >= 200 && !redirects;
}

void TransferBody::setHashes(bool hashes) {
    hasher_.reset();
    if (hashes) {
        hasher_.emplace();
    }
}

Result<> TransferBody::checkAnnouncedLength(std::int64_t announced) {
    if (maximumLength_ && announced > 0 &&
        static_cast<std::uint64_t>(announced) > *maximumLength_) {
        tooLong_ = true;
        return Failure{"The server announced " + std::to_string(announced) +
                       " bytes, more than the " + std::to_string(*maximumLength_) +
                       " bytes expected."};
    }
    return {};
}

Result<> TransferBody::resumeAt(std::uint64_t offset) {
    if (hasher_) {
        // The kept part is hashed first, so that the digest is of the whole file.
        const int fd = ::open(file_.path().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return systemFailure("Could not read the file " + file_.path());
        }
        std::string buffer(256 * 1024, '\0');
        std::uint64_t left = offset;
        while (left > 0) {
            const ssize_t got =
                ::read(fd, buffer.data(), std::min<std::uint64_t>(left, buffer.size()));
            if (got <= 0) {
                const Failure failure = systemFailure("Could not read the file " + file_.path());
                ::close(fd);
                return failure;
            }
            hasher_->update(buffer.data(), static_cast<std::size_t>(got));
            left -= static_cast<std::uint64_t>(got);
        }
        ::close(fd);
    }
    length_ = offset;
    file_.setStartOffset(offset);
    return {};
}

void TransferBody::restart() {
    length_ = 0;
    file_.setStartOffset(0);
    setHashes(hasher_.has_value());
    prefix_.clear();
    kept_.clear();
}

Result<> TransferBody::release() {
    held_ = false;
    const std::string held = std::move(heldBytes_);
    heldBytes_.clear();
    if (!openWhenReleased_) {
        return {}; // nothing for the file, as for a 304
    }
    if (auto opened = file_.open(); !opened) {
        return opened;
    }
    if (auto written = file_.write(held.data(), held.size()); !written) {
        return written;
    }
    if (!finishHeld_) {
        return {};
    }
    if (auto flushed = file_.flush(); !flushed) {
        return flushed;
    }
    return file_.close();
}

Result<> TransferBody::add(const char* data, std::size_t length) {
    if (maximumLength_ && length > *maximumLength_ - length_) {
        tooLong_ = true;
        return Failure{"The server sent more than the " + std::to_string(*maximumLength_) +
                       " bytes expected."};
    }
    if (prefix_.size() == length_ && prefix_.size() < 4) {
        prefix_.append(data, std::min<std::size_t>(length, 4 - prefix_.size()));
    }
    if (held_) {
        heldBytes_.append(data, length);
        openWhenReleased_ = true;
    } else if (auto opened = file_.open(); !opened) {
        return opened;
    } else if (auto written = file_.write(data, length); !written) {
        return written;
    }
    if (hasher_) {
        hasher_->update(data, length);
    }
    if (keeps_) {
        kept_.append(data, length);
    }
    length_ += length;
    return {};
}

Result<> TransferBody::finish() {
    finishHeld_ = held_;
    auto written = held_ ? Result<>() : file_.flush();
    if (written && !held_) {
        written = file_.close();
    }
    if (written && hasher_) {
        auto digest = hasher_->finish();
        hasher_.reset();
        if (!digest) {
            return digest.failure();
        }
        digest_ = *digest;
    }
    return written;
}

void TransferBody::abandon(bool deleteFile) {
    if (held_ && !deleteFile) {
        finishHeld_ = true; // release() still writes what arrived, for a later try
        return;
    }
    heldBytes_.clear();
    if (!deleteFile) {
        file_.flush().ignore("a later try goes on from what reached the file");
    }
    file_.close().ignore("the transfer fails for its own reason, whatever closing says");
    if (deleteFile) {
        file_.remove();
    }
}

Result<Blake2b512Digest> TransferBody::digest() const {
    if (!digest_) {
        return Failure{Text::format(N_("The body of the transfer was not hashed to its end"))};
    }
    return *digest_;
}

void TransferEvents::finished() {
    queue_.emplace_back(Finished{});
    state_ = State::Outcome;
}

void TransferEvents::failed(UrlError error) {
    queue_.emplace_back(std::move(error));
    state_ = State::Outcome;
}

void TransferEvents::deliver() {
    // A delegate running a nested main loop lets more events queue; the outer call delivers them.
    if (delivering_) {
        return;
    }
    delivering_ = true;
    const std::shared_ptr<bool> alive = alive_;
    while (!queue_.empty() && state_ != State::Ended) {
        Event event = std::move(queue_.front());
        queue_.pop_front();
        if (std::holds_alternative<Finished>(event) || std::holds_alternative<UrlError>(event)) {
            state_ = State::Ended;
        }
        std::visit(
            [this](auto& item) {
                using Item = std::decay_t<decltype(item)>;
                if constexpr (std::is_same_v<Item, UrlResponse>) {
                    delegate_.transferDidReceiveResponse(item);
                } else if constexpr (std::is_same_v<Item, Data>) {
                    delegate_.transferDidReceiveData(item.length);
                } else if constexpr (std::is_same_v<Item, Finished>) {
                    delegate_.transferDidFinish();
                } else {
                    delegate_.transferDidFail(item);
                }
            },
            event);
        if (!*alive) {
            return; // the delegate destroyed the transfer
        }
    }
    delivering_ = false;
}

} // namespace qz::platform
