#pragma once
// Texts that users read, in their language: gettext with a text domain of our own. Without a
// catalog for the user's language, and in the C, POSIX and English locales, every text is the
// English original, unchanged.

#include <libintl.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// The catalogs' name: <resources>/locale/<language>/LC_MESSAGES/velmor-bootstrapper.mo.
inline constexpr char TEXT_DOMAIN[] = "velmor-bootstrapper";

// The text in the user's language. A format stays a format, so the compiler checks what fills
// it in against the English original; a translation that takes other arguments than the
// original (a catalog is not ours to trust) is not used: the original is.
__attribute__((format_arg(1))) const char* _(const char* text);

// Marks a text for the catalogs where it is defined; it is translated where it is shown.
constexpr const char* N_(const char* text) {
    return text;
}

// printf into a string; for a translated format, with the arguments in the order it names them.
__attribute__((format(printf, 1, 2))) std::string formatText(const char* format, ...);

// What a printf format takes: the type of each argument, in the order of the arguments. A catalog
// is input we do not control, so a translated format is used only when it takes the same.

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
