#include "base/text.h"

#include "base/translation.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qz {
namespace {

constexpr auto npos = std::string_view::npos;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The arguments put into the format where its conversions are. An English format is checked
// when compiled; a translation is used only when it takes the same arguments (see _), so each of
// its conversions is a string's, perhaps numbered, perhaps with flags, a width or a precision,
// which printf then applies as it would have. One that takes no argument (%m) is left out.
std::string substitute(std::string_view format, const std::vector<std::string>& arguments) {
    std::string text;
    std::size_t next = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            text += format[i++];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            text += '%';
            i += 2;
            continue;
        }
        // %[n$][flags][width][.precision]s
        std::size_t spec = i + 1;
        std::size_t position = 0;
        while (spec < format.size() && isDigit(format[spec])) {
            position = position * 10 + static_cast<std::size_t>(format[spec++] - '0');
        }
        const bool numbered = position != 0 && spec < format.size() && format[spec] == '$';
        spec = numbered ? spec + 1 : i + 1;
        std::size_t end = spec;
        while (end < format.size() &&
               (isDigit(format[end]) || std::string_view("-+ #'I.").find(format[end]) != npos)) {
            ++end;
        }
        i = end + 1;
        if (end >= format.size() || format[end] != 's') {
            continue;
        }
        const std::size_t at = numbered ? position - 1 : next++;
        if (at >= arguments.size()) {
            continue;
        }
        if (end == spec) {
            text += arguments[at];
            continue;
        }
        const std::string conversion = "%" + std::string(format.substr(spec, end - spec)) + "s";
        const int length = std::snprintf(nullptr, 0, conversion.c_str(), arguments[at].c_str());
        if (length > 0) {
            std::string piece(static_cast<std::size_t>(length) + 1, '\0');
            std::snprintf(piece.data(), piece.size(), conversion.c_str(), arguments[at].c_str());
            text.append(piece, 0, static_cast<std::size_t>(length));
        }
    }
    return text;
}

} // namespace

Text Text::systemError(int error) {
    Text text;
    text.kind_ = Kind::SystemError;
    text.error_ = error;
    return text;
}

std::string Text::english() const {
    return render(false);
}

std::string Text::translated() const {
    return render(true);
}

std::string Text::render(bool translate) const {
    switch (kind_) {
    case Kind::Verbatim:
        return text_;
    case Kind::SystemError: {
        if (translate) {
            return std::strerror(error_);
        }
        static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", nullptr);
        return cLocale != nullptr ? ::strerror_l(error_, cLocale) : std::strerror(error_);
    }
    case Kind::Format:
        break;
    }
    std::vector<std::string> arguments;
    for (const auto& argument : arguments_) {
        arguments.push_back(argument.render(translate));
    }
    return substitute(translate ? _(text_.c_str()) : text_, arguments);
}

} // namespace qz
