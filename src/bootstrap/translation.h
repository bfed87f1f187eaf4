#pragma once

// Texts that users read, in their language: gettext with a text domain of our own. Without a
// catalog for the user's language, and in the C, POSIX and English locales, every text is the
// English original, unchanged.

#include <libintl.h>
#include <string>

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

} // namespace qz
