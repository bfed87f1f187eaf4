#include "base/text.h"

#include "base/translation.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace qz {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The arguments put into the format where its conversions are. An English format is checked
// when compiled; a translation is used only when it takes the same arguments (see _), so every
// conversion is a string's, perhaps numbered, perhaps with flags, a width or a precision, which
// printf then applies as it would have.
std::string substitute(std::string_view format, const std::vector<std::string>& arguments) {
    std::string text;
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            text += format[i];
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            text += '%';
            ++i;
            continue;
        }
        std::size_t at = next++;
        std::size_t j = i + 1;
        std::size_t position = 0;
        while (j < format.size() && isDigit(format[j])) {
            position = position * 10 + static_cast<std::size_t>(format[j++] - '0');
        }
        const bool numbered = position != 0 && j < format.size() && format[j] == '$';
        if (numbered) {
            at = position - 1;
            i = j;
        }
        const std::size_t end = format.find('s', i + 1);
        if (end == std::string_view::npos) {
            break;
        }
        const std::string spec = "%" + std::string(format.substr(i + 1, end - i - 1)) + "s";
        if (at < arguments.size() && spec == "%s") {
            text += arguments[at];
        } else if (at < arguments.size()) {
            const int length = std::snprintf(nullptr, 0, spec.c_str(), arguments[at].c_str());
            if (length > 0) {
                std::string piece(static_cast<std::size_t>(length) + 1, '\0');
                std::snprintf(piece.data(), piece.size(), spec.c_str(), arguments[at].c_str());
                text.append(piece, 0, static_cast<std::size_t>(length));
            }
        }
        i = end;
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
