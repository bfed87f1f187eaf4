#include "provisioning/endpoint_url_file.h"

#include "support/files.h"
#include "support/message_capture.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qz {
namespace {

TEST(EndpointUrlFile, TheFirstLineAsItStands) {
    test::ScratchDir dir;
    const std::pair<std::string, std::string> cases[] = {
        {"http://h/a.zip\nsecond\n", "http://h/a.zip"},
        {"http://h/a.zip", "http://h/a.zip"},
        {"http://h/a.zip\r\n", "http://h/a.zip\r"},
        {"  http://h/a.zip \t\n", "  http://h/a.zip \t"},
        {"\nhttp://h/a.zip", ""},
        {"", ""},
    };
    test::capturedMessages().clear();
    for (const auto& [content, expected] : cases) {
        test::writeFile(dir / "installAgentURL.txt", content);
        EXPECT_EQ(readEndpointUrlFile(dir / "installAgentURL.txt", test::captureMessage), expected);
    }
    EXPECT_EQ(readEndpointUrlFile(dir / "missing.txt", test::captureMessage), "");
    EXPECT_TRUE(test::capturedMessages().empty());
}

TEST(EndpointUrlFile, AFileThatCannotBeOpenedIsReportedOnce) {
    // A socket exists but cannot be opened, even by root.
    test::ScratchDir dir;
    const std::string path = dir / "installAgentURL.txt";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    test::capturedMessages().clear();
    EXPECT_EQ(readEndpointUrlFile(dir / "installAgentURL.txt", test::captureMessage), "");
    EXPECT_EQ(test::capturedTexts(),
              std::vector<std::string>{"Failed to open install agent URL file"});
    ::close(fd);
}

} // namespace
} // namespace qz
