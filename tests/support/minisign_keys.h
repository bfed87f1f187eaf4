#pragma once

// Real minisign key pairs and signatures for tests, made by the minisign program. Failures throw
// std::runtime_error.

#include <cstdint>
#include <string>

namespace qz::test {

struct MinisignKeys {
    std::string publicKey; // the file's path
    std::string secretKey;
};

// A key pair without a password, as `<directory>/<name>.pub` and `<directory>/<name>.key`.
MinisignKeys makeMinisignKeys(const std::string& directory, const std::string& name = "key");

// Signs `file` into `file`.minisig with this trusted comment; `legacy` makes minisign's old
// signature over the whole file.
void minisignSign(const MinisignKeys& keys, const std::string& file,
                  const std::string& trustedComment, bool legacy = false);

// The trusted comment of a release: the file's name, its version and its size.
std::string releaseComment(const std::string& name, std::uint64_t version, std::uint64_t size);

// A signature text with its line `number` (from 1) replaced.
std::string withLine(const std::string& text, int number, const std::string& line);
std::string lineOf(const std::string& text, int number);

} // namespace qz::test
