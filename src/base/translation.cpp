#include "base/translation.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <map>

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

namespace {

enum class Length { None, Char, Short, Long, LongLong, IntMax, Size, PtrDiff, LongDouble };

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A numbered argument, `n$`, at `i`; moves `i` past it. Zero is no position.
std::optional<std::size_t> position(std::string_view text, std::size_t& i) {
    std::size_t j = i;
    std::size_t value = 0;
    while (j < text.size() && isDigit(text[j]) && value < 100000) {
        value = value * 10 + static_cast<std::size_t>(text[j] - '0');
        ++j;
    }
    if (j == i || j >= text.size() || text[j] != '$' || value == 0) {
        return std::nullopt;
    }
    i = j + 1;
    return value;
}

Length lengthAt(std::string_view text, std::size_t& i) {
    const auto next = [&](char c) { return i + 1 < text.size() && text[i + 1] == c; };
    if (i >= text.size()) {
        return Length::None;
    }
    switch (text[i]) {
    case 'h':
        return next('h') ? (i += 2, Length::Char) : (++i, Length::Short);
    case 'l':
        return next('l') ? (i += 2, Length::LongLong) : (++i, Length::Long);
    case 'q':
        return ++i, Length::LongLong;
    case 'j':
        return ++i, Length::IntMax;
    case 'z':
    case 'Z':
        return ++i, Length::Size;
    case 't':
        return ++i, Length::PtrDiff;
    case 'L':
        return ++i, Length::LongDouble;
    default:
        return Length::None;
    }
}

std::optional<PrintfArgument> integerArgument(Length length) {
    switch (length) {
    case Length::None:
    case Length::Char:
    case Length::Short:
        return PrintfArgument::Int; // promoted
    case Length::Long:
        return PrintfArgument::Long;
    case Length::LongLong:
        return PrintfArgument::LongLong;
    case Length::IntMax:
        return PrintfArgument::IntMax;
    case Length::Size:
        return PrintfArgument::Size;
    case Length::PtrDiff:
        return PrintfArgument::PtrDiff;
    case Length::LongDouble:
        return PrintfArgument::LongLong; // glibc reads %Ld as long long
    }
    return std::nullopt;
}

std::optional<PrintfArgument> argumentOf(char conversion, Length length) {
    switch (conversion) {
    case 'd':
    case 'i':
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        return integerArgument(length);
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        if (length == Length::None || length == Length::Long) {
            return PrintfArgument::Double;
        }
        return length == Length::LongDouble ? std::optional(PrintfArgument::LongDouble)
                                            : std::nullopt;
    case 'c':
        return length == Length::None   ? std::optional(PrintfArgument::Char)
               : length == Length::Long ? std::optional(PrintfArgument::WideChar)
                                        : std::nullopt;
    case 'C':
        return length == Length::None ? std::optional(PrintfArgument::WideChar) : std::nullopt;
    case 's':
        return length == Length::None   ? std::optional(PrintfArgument::String)
               : length == Length::Long ? std::optional(PrintfArgument::WideString)
                                        : std::nullopt;
    case 'S':
        return length == Length::None ? std::optional(PrintfArgument::WideString) : std::nullopt;
    case 'p':
        return length == Length::None ? std::optional(PrintfArgument::Pointer) : std::nullopt;
    default:
        return std::nullopt; // %n writes through its argument: never from a catalog
    }
}

} // namespace

std::optional<std::vector<PrintfArgument>> printfArguments(std::string_view format) {
    std::map<std::size_t, PrintfArgument> numbered;
    std::vector<PrintfArgument> unnumbered;
    const auto take = [&](std::optional<std::size_t> at, PrintfArgument type) {
        if (!at) {
            unnumbered.push_back(type);
            return true;
        }
        const auto [slot, added] = numbered.emplace(*at, type);
        return added || slot->second == type;
    };
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (++i < format.size() && format[i] == '%') {
            continue;
        }
        const auto at = position(format, i);
        while (i < format.size() &&
               std::string_view("-+ #0'I").find(format[i]) != std::string_view::npos) {
            ++i;
        }
        // A width or precision of `*` (or `*m$`) takes an int argument of its own.
        for (const bool precision : {false, true}) {
            if (precision) {
                if (i >= format.size() || format[i] != '.') {
                    break;
                }
                ++i;
            }
            if (i < format.size() && format[i] == '*') {
                ++i;
                const auto starAt = position(format, i);
                if (static_cast<bool>(starAt) != static_cast<bool>(at) ||
                    !take(starAt, PrintfArgument::Int)) {
                    return std::nullopt;
                }
            } else {
                while (i < format.size() && isDigit(format[i])) {
                    ++i;
                }
            }
        }
        const Length length = lengthAt(format, i);
        if (i >= format.size()) {
            return std::nullopt;
        }
        if (format[i] == 'm' && length == Length::None) {
            continue; // glibc's strerror(errno): no argument
        }
        const auto type = argumentOf(format[i], length);
        if (!type || !take(at, *type)) {
            return std::nullopt;
        }
    }
    if (numbered.empty()) {
        return unnumbered;
    }
    if (!unnumbered.empty() || numbered.rbegin()->first != numbered.size()) {
        return std::nullopt; // mixed, or an argument left out
    }
    std::vector<PrintfArgument> arguments;
    for (const auto& [at, type] : numbered) {
        arguments.push_back(type);
    }
    return arguments;
}

bool sameConversions(std::string_view original, std::string_view translation) {
    const auto wanted = printfArguments(original);
    return wanted && printfArguments(translation) == wanted;
}

} // namespace qz
