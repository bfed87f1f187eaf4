#include "platform/system/blake2b.h"

#include "base/regular_file.h"

#include "base/translation.h"

#include <cerrno>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {

void Blake2b512::ContextDeleter::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Blake2b512::Blake2b512() : context_(EVP_MD_CTX_new()) {
#if OPENSSL_VERSION_NUMBER < 0x30000000L
    // OpenSSL 1.1, which the release program links in, has no providers to fetch from.
    failed_ = !context_ || EVP_DigestInit_ex(context_.get(), EVP_blake2b512(), nullptr) != 1;
#else
    EVP_MD* md = EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr);
    // The context keeps its own reference to the algorithm.
    failed_ = !context_ || md == nullptr || EVP_DigestInit_ex2(context_.get(), md, nullptr) != 1;
    EVP_MD_free(md);
#endif
}

void Blake2b512::update(const void* data, std::size_t length) {
    if (!failed_ && length > 0 && EVP_DigestUpdate(context_.get(), data, length) != 1) {
        failed_ = true;
    }
}

Result<Blake2b512Digest> Blake2b512::finish() {
    Blake2b512Digest digest{};
    unsigned int size = 0;
    if (failed_ || !context_ || EVP_DigestFinal_ex(context_.get(), digest.data(), &size) != 1 ||
        size != digest.size()) {
        context_.reset();
        return Failure{Text::format(N_("Could not compute the BLAKE2b-512 digest"))};
    }
    context_.reset();
    return digest;
}

Result<FileDigest> hashFile(const std::string& path) {
    Blake2b512 running;
    // Only a regular file, so that a FIFO in its place does not block the run.
    const auto opened = openRegularFile(path);
    if (!opened) {
        return Failure{Text::format(N_("Could not read %s"), path), opened.failure().error()};
    }
    const int fd = *opened;
    std::vector<unsigned char> buffer(256 * 1024);
    FileDigest result;
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            Failure failure = systemFailure(Text::format(N_("Could not read %s"), path));
            ::close(fd);
            return failure;
        }
        if (got == 0) {
            break;
        }
        running.update(buffer.data(), static_cast<std::size_t>(got));
        result.length += static_cast<std::uint64_t>(got);
    }
    ::close(fd);
    auto digest = running.finish();
    if (!digest) {
        return digest.failure();
    }
    result.digest = *digest;
    return result;
}

} // namespace qz::platform
