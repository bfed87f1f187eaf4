#include "platform/transfer/transfer_body.h"

#include "base/translation.h"

namespace qz::platform {

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

Result<> TransferBody::add(const char* data, std::size_t length) {
    if (maximumLength_ && length > *maximumLength_ - length_) {
        tooLong_ = true;
        return Failure{"The server sent more than the " + std::to_string(*maximumLength_) +
                       " bytes expected."};
    }
    if (auto opened = file_.open(); !opened) {
        return opened;
    }
    if (auto written = file_.write(data, length); !written) {
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
    auto written = file_.flush();
    if (written) {
        written = file_.close();
    }
    if (written && hasher_) {
        auto digest = hasher_->finish();
        hasher_.reset();
        if (!digest) {
            return Failure{digest.reason()};
        }
        digest_ = *digest;
    }
    return written;
}

void TransferBody::abandon(bool deleteFile) {
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

} // namespace qz::platform
