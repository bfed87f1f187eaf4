#pragma once
// A text for people that stays in English until it is shown: the system log takes it in English,
// the screen in the user's language. So a failure can be told both ways, wherever it is told.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace qz {

// The number of arguments that an English format of ours takes: its conversions are all `%s`, or
// all numbered (`%1$s`), since the arguments are strings already. Any other format throws, which
// in a constant expression makes the program fail to compile.
consteval std::size_t stringFormatArguments(const char* format) {
    std::size_t unnumbered = 0;
    std::size_t highest = 0;
    for (const char* at = format; *at != '\0'; ++at) {
        if (*at != '%') {
            continue;
        }
        if (*++at == '%') {
            continue;
        }
        std::size_t position = 0;
        for (; *at >= '0' && *at <= '9'; ++at) {
            position = position * 10 + static_cast<std::size_t>(*at - '0');
        }
        if (position != 0 && *at == '$') {
            ++at;
            highest = position > highest ? position : highest;
        } else if (position != 0) {
            throw "a width: the arguments are shown whole";
        } else {
            ++unnumbered;
        }
        if (*at != 's') {
            throw "a conversion other than %s: turn the argument into a string first";
        }
    }
    if (unnumbered != 0 && highest != 0) {
        throw "numbered and unnumbered conversions mixed";
    }
    return unnumbered + highest;
}

// An English format, marked with N_ for the catalogs, that takes `Count` string arguments.
template <std::size_t Count> struct TextFormat {
    consteval TextFormat(const char* format) : english(format) {
        if (stringFormatArguments(format) != Count) {
            throw "the format takes another number of arguments";
        }
    }
    const char* english;
};

class Text {
  public:
    Text() = default;
    // Shown as it stands in every language: a path, a number, the words of another program.
    Text(std::string verbatim) : text_(std::move(verbatim)) {}
    Text(const char* verbatim) : text_(verbatim) {}

    // An English format marked with N_ and its arguments, each a Text of its own: where the text
    // is shown, the format and the arguments are put into the user's language, each by itself.
    template <class... Arguments>
    static Text format(TextFormat<sizeof...(Arguments)> english, Arguments&&... arguments) {
        Text text;
        text.kind_ = Kind::Format;
        text.text_ = english.english;
        (text.arguments_.emplace_back(Text(std::forward<Arguments>(arguments))), ...);
        return text;
    }

    // What the system says of the error number `error` (errno).
    static Text systemError(int error);

    // For the log: in English, the system's words too.
    std::string english() const;
    // Where it is shown: in the user's language as far as the catalogs and the system have it.
    std::string translated() const;

  private:
    enum class Kind : unsigned char { Verbatim, Format, SystemError };

    std::string render(bool translate) const;

    Kind kind_ = Kind::Verbatim;
    std::string text_; // as it stands, or the English format
    std::vector<Text> arguments_;
    int error_ = 0;
};

} // namespace qz
