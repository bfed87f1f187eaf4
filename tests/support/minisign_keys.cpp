#include "support/minisign_keys.h"

#include "support/files.h"
#include "support/subprocess.h"

#include <stdexcept>
#include <vector>

namespace qz::test {
namespace {

void runMinisign(const std::vector<std::string>& args) {
    const RunResult result = runProgram("minisign", args);
    if (result.exitStatus != 0) {
        throw std::runtime_error("minisign failed: " + result.err);
    }
}

} // namespace

MinisignKeys makeMinisignKeys(const std::string& directory, const std::string& name) {
    MinisignKeys keys{directory + "/" + name + ".pub", directory + "/" + name + ".key"};
    runMinisign({"-G", "-W", "-f", "-p", keys.publicKey, "-s", keys.secretKey});
    return keys;
}

void minisignSign(const MinisignKeys& keys, const std::string& file,
                  const std::string& trustedComment, bool legacy) {
    std::vector<std::string> args = {"-S", "-s", keys.secretKey, "-m", file, "-t", trustedComment};
    if (legacy) {
        args.push_back("-l");
    }
    runMinisign(args);
}

std::string releaseComment(const std::string& name, std::uint64_t version, std::uint64_t size) {
    return "timestamp:1700000000\tfile:" + name + "\tversion:" + std::to_string(version) +
           "\tsize:" + std::to_string(size);
}

std::string withLine(const std::string& text, int number, const std::string& line) {
    auto lines = linesOf(text);
    lines.at(static_cast<std::size_t>(number - 1)) = line;
    std::string joined;
    for (const auto& l : lines) {
        joined += l + "\n";
    }
    return joined;
}

std::string lineOf(const std::string& text, int number) {
    return linesOf(text).at(static_cast<std::size_t>(number - 1));
}

} // namespace qz::test
