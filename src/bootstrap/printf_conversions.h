#pragma once

// What a printf format takes: the type of each argument, in the order of the arguments. A catalog
// is input we do not control, so a translated format is used only when it takes the same.

#include <optional>
#include <string_view>
#include <vector>

namespace qz {

// The argument types printf reads with va_arg; two formats that agree on these read the same
// arguments the same way.
enum class PrintfArgument {
    Int,
    Long,
    LongLong,
    IntMax,
    Size,
    PtrDiff,
    Char,
    WideChar,
    Double,
    LongDouble,
    String,
    WideString,
    Pointer,
};

// The arguments `format` takes, by position; none for a format printf cannot read safely: an
// unknown or cut-off conversion, %n, numbered and unnumbered conversions mixed, a numbered
// argument left out or taken as two types.
std::optional<std::vector<PrintfArgument>> printfArguments(std::string_view format);

// Whether `translation` takes the same arguments as `original`, a format that printf can read.
bool sameConversions(std::string_view original, std::string_view translation);

} // namespace qz
