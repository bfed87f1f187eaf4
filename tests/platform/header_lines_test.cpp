#include "platform/header_lines.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

using Line = HeaderLines::Line;

// Feeds the lines and returns what each one was taken for.
std::vector<Line> feed(HeaderLines& lines, const std::vector<std::string>& text) {
    std::vector<Line> kinds;
    for (const auto& line : text) {
        kinds.push_back(lines.add(line));
    }
    return kinds;
}

TEST(HeaderLines, ABlockHasTrimmedFieldsWithFoldedLinesJoined) {
    HeaderLines lines;
    const auto kinds = feed(lines, {"HTTP/1.1 200 OK\r\n", "ETag:  \"v1\" \r\n",
                                    "X-Long: first\r\n", " \tsecond\r\n", "\tthird\r\n",
                                    "not a field\r\n", "  \r\n", "Content-Length:4\n", "\r\n"});
    EXPECT_EQ(kinds, (std::vector<Line>{Line::StatusLine, Line::Other, Line::Other, Line::Other,
                                        Line::Other, Line::Other, Line::Other, Line::Other,
                                        Line::EndOfBlock}));
    EXPECT_EQ(lines.fields(),
              (HeaderFields{
                  {"ETag", "\"v1\""}, {"X-Long", "first second third"}, {"Content-Length", "4"}}));
    EXPECT_EQ(lines.takeFields().size(), 3u);
    EXPECT_TRUE(lines.fields().empty());
}

TEST(HeaderLines, EachStatusLineStartsANewBlock) {
    HeaderLines lines;
    feed(lines, {"HTTP/1.1 100 Continue\r\n", "X-Interim: 1\r\n", "\r\n", "http/1.1 302 Found\r\n",
                 "Location: /next\r\n", "\r\n", "HTTP/2 200\r\n", "ETag: \"final\"\r\n"});
    EXPECT_EQ(lines.fields(), (HeaderFields{{"ETag", "\"final\""}}));
    EXPECT_EQ(lines.add("\n"), Line::EndOfBlock);
}

TEST(HeaderLines, FieldsAreFoundByNameWhateverTheCase) {
    const HeaderFields fields = {{"ETag", "\"a\""}, {"etag", "\"b\""}, {"Empty", ""}};
    EXPECT_EQ(headerFieldNamed(fields, "etag"), "\"a\"");
    EXPECT_EQ(headerFieldNamed(fields, "ETAG"), "\"a\"");
    EXPECT_EQ(headerFieldNamed(fields, " ETag "), "\"a\"");
    EXPECT_EQ(headerFieldNamed(fields, "empty"), "");
    EXPECT_EQ(headerFieldNamed(fields, "ETa"), std::nullopt);
    EXPECT_EQ(headerFieldNamed({}, "ETag"), std::nullopt);
}

TEST(HeaderLines, OnlyTheBlockThatLibcurlDoesNotGoPastIsFinal) {
    struct Case {
        long status;
        std::vector<std::string> fields;
        bool final;
    };
    const Case cases[] = {
        {100, {}, false},
        {103, {"Link: </a.css>\r\n"}, false},
        {200, {}, true},
        {204, {"Location: /x\r\n"}, true},
        {301, {"Location: https://elsewhere/x\r\n"}, false},
        {302, {"location:/x\r\n"}, false},
        {304, {"ETag: \"v1\"\r\n"}, true},
        {304, {"Location: /x\r\n"}, false}, // libcurl follows it
        {302, {}, true},
        {302, {"Location:   \r\n"}, true}, // an empty Location is not followed
        {404, {}, true},
        {0, {}, false},
    };
    for (const auto& [status, fields, final] : cases) {
        HeaderLines lines;
        lines.add("HTTP/1.1 " + std::to_string(status) + " Reason\r\n");
        feed(lines, fields);
        ASSERT_EQ(lines.add("\r\n"), Line::EndOfBlock);
        EXPECT_EQ(lines.endsFinalResponse(status), final) << status;
    }
}

} // namespace
} // namespace qz::platform
