#include "base/result.h"

#include <cstdio>
#include <cstdlib>

namespace qz {

Failure systemFailure(Text what) {
    const int error = errno;
    return systemFailure(std::move(what), error);
}

Failure systemFailure(Text what, int error) {
    // Not for the catalogs: in every language the system's reason follows a colon.
    return Failure(Text::format("%s: %s", std::move(what), Text::systemError(error)), error);
}

namespace detail {

void misusedResult(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

} // namespace detail
} // namespace qz
