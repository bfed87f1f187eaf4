#include "bootstrap/translation.h"

#include "bootstrap/printf_conversions.h"

#include <cstdarg>
#include <cstdio>

namespace qz {

const char* _(const char* text) {
    const char* translated = ::dgettext(TEXT_DOMAIN, text);
    return translated == text || sameConversions(text, translated) ? translated : text;
}

std::string formatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(args);
    return text;
}

} // namespace qz
