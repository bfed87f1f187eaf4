#include "platform/transfer/transfer_request.h"

#include "base/translation.h"
#include "platform/transfer/transfer_response.h"
#include "platform/transfer/url_text.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <sys/stat.h>

namespace qz::platform {
namespace {

// Bundle files first: one file holds the whole store, and not every distribution keeps the
// hashed names a directory needs. Debian's comes first as it is the most common.
constexpr std::array<std::string_view, 6> kBundleFiles = {
    "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Arch, Gentoo
    "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL, CentOS
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // what the RHEL link points to
    "/var/lib/ca-certificates/ca-bundle.pem",            // openSUSE, SLES
    "/etc/ssl/ca-bundle.pem",                            // older openSUSE
    "/etc/ssl/cert.pem",                                 // Alpine, Arch, Void and others
};
constexpr std::array<std::string_view, 3> kDirectories = {
    "/etc/ssl/certs",
    "/etc/pki/tls/certs",
    "/var/lib/ca-certificates/pem",
};

template <std::size_t N> std::string listed(const std::array<std::string_view, N>& paths) {
    std::string text;
    for (const auto path : paths) {
        text += (text.empty() ? "" : ", ") + std::string(path);
    }
    return text;
}

constexpr long kReceiveBufferSize = 256 * 1024;
constexpr long kMaxRedirects = 10;

// Whether the URL that libcurl refused to fetch, the first or a redirect's, is an https one.
bool refusedHttps(CURL* easy) {
    char* url = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &url) != CURLE_OK || url == nullptr) {
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
    }
    return url != nullptr && startsWithIgnoringCase(trimmedText(url), "https:");
}

} // namespace

PathKind pathKindOnDisk(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return PathKind::Missing;
    }
    return S_ISREG(st.st_mode)   ? PathKind::File
           : S_ISDIR(st.st_mode) ? PathKind::Directory
                                 : PathKind::Missing;
}

Result<CaCertificates> findCaCertificates(const std::string& caFile, const std::string& caDirectory,
                                          const PathProbe& probe) {
    if (!caFile.empty() || !caDirectory.empty()) {
        return CaCertificates{caFile, caDirectory};
    }
    for (const auto path : kBundleFiles) {
        if (probe(std::string(path)) == PathKind::File) {
            return CaCertificates{std::string(path), {}};
        }
    }
    for (const auto path : kDirectories) {
        if (probe(std::string(path)) == PathKind::Directory) {
            return CaCertificates{{}, std::string(path)};
        }
    }
    return Failure{noCaCertificatesReason()};
}

Text noCaCertificatesReason() {
    // TRANSLATORS: the first %s lists files, the second directories.
    return Text::format(
        N_("No CA certificates were found to verify the server with: SSL_CERT_FILE and "
           "SSL_CERT_DIR are not set, and none of these exists: the files %s; the directories %s."),
        listed(kBundleFiles), listed(kDirectories));
}

CurlHeaderList setRequestOptions(CURL* easy, const UrlRequest& request, long connectTimeoutMs,
                                 char (&errorBuffer)[CURL_ERROR_SIZE]) {
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    // A proxy's answer to CONNECT is not a response of the server.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Redirects from an https URL may only go to https; a later downgrade is caught per response.
    const bool secure = startsWithIgnoringCase(trimmedText(request.url), "https:");
    // Without certificates to check a server with, https is not allowed at all, redirects
    // included: such a transfer fails before it connects, and describeCurlResult says why.
    const auto trusted = findCaCertificates(request.caFile, request.caDirectory, pathKindOnDisk);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, trusted ? "http,https" : "http");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR,
                     secure ? "https" : (trusted ? "http,https" : "http"));
#else
    const long web = trusted ? CURLPROTO_HTTP | CURLPROTO_HTTPS : CURLPROTO_HTTP;
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS, web);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS,
                     secure ? static_cast<long>(CURLPROTO_HTTPS) : web);
#endif
    if (trusted) {
        // Exactly what was chosen: nothing that libcurl has built in is added to it.
        const char* file = trusted->file.empty() ? nullptr : trusted->file.c_str();
        const char* directory = trusted->directory.empty() ? nullptr : trusted->directory.c_str();
        curl_easy_setopt(easy, CURLOPT_CAINFO, file);
        curl_easy_setopt(easy, CURLOPT_CAPATH, directory);
        // An https proxy is checked against the same.
        curl_easy_setopt(easy, CURLOPT_PROXY_CAINFO, file);
        curl_easy_setopt(easy, CURLOPT_PROXY_CAPATH, directory);
    }
    if (connectTimeoutMs > 0) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, connectTimeoutMs);
    }
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    // So that the servers' operators see which program and version asks.
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "velmor-bootstrapper/" QZ_VERSION);
    CurlHeaderList headers;
    for (const auto& [name, value] : request.extraHeaders) {
        // "Name;" is libcurl's way to send a header with an empty value.
        const std::string header = value.empty() ? name + ";" : name + ": " + value;
        headers.reset(curl_slist_append(headers.release(), header.c_str()));
    }
    if (headers) {
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    }
    return headers;
}

FailureKind failureKindOf(CURLcode result, long httpStatus) {
    switch (result) {
    case CURLE_OK:
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_AGAIN:
        return FailureKind::Transient;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_CRL_BADFILE:
        return FailureKind::NotTrusted;
    case CURLE_WRITE_ERROR:
    case CURLE_OUT_OF_MEMORY:
        return FailureKind::Local;
    case CURLE_ABORTED_BY_CALLBACK:
        return FailureKind::Cancelled;
    default:
        return FailureKind::Refused;
    }
    switch (httpStatus) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
        return FailureKind::Transient;
    default:
        return FailureKind::Refused;
    }
}

std::optional<double> retryAfterSeconds(const std::string& value, std::time_t now) {
    const std::string_view text = trimmedText(value);
    if (text.empty()) {
        return std::nullopt;
    }
    if (text.find_first_not_of("0123456789") == std::string_view::npos) {
        return text.size() > 9 ? 1e9 : std::stod(std::string(text));
    }
    const std::time_t when = curl_getdate(std::string(text).c_str(), nullptr);
    if (when == -1) {
        return std::nullopt;
    }
    return std::max(0.0, std::difftime(when, now));
}

Text describeCurlResult(CURL* easy, CURLcode result, const char* errorBuffer) {
    if (result == CURLE_OPERATION_TIMEDOUT) {
        return Text::format(N_("The request timed out."));
    }
    if (result == CURLE_UNSUPPORTED_PROTOCOL && refusedHttps(easy)) {
        // Only setRequestOptions refuses https: when no certificates were found.
        return noCaCertificatesReason();
    }
    std::string description = curl_easy_strerror(result);
    const std::string_view detail = trimmedText(errorBuffer);
    // libcurl's detail often ends in its general reason: then the detail alone.
    if (detail.find(description) != std::string_view::npos) {
        description = detail;
    } else if (!detail.empty()) {
        description += " (" + std::string(detail) + ")";
    }
    // Only libcurl's words can quote a URL, such as a redirect's.
    Text said(maskUrlPasswordsInText(description));
    long redirects = 0;
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &redirects);
    if (result == CURLE_UNSUPPORTED_PROTOCOL && redirects > 0) {
        // TRANSLATORS: %s is libcurl's reason, which stays in English.
        return Text::format(N_("The server redirected to a location that is not allowed: %s"),
                            std::move(said));
    }
    return said;
}

std::string effectiveUrl(CURL* easy, const std::string& requested) {
    char* url = nullptr;
    if (easy != nullptr && curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK &&
        url != nullptr && *url != '\0') {
        return url;
    }
    return requested;
}

} // namespace qz::platform
