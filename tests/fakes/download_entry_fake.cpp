#include "download/download_entry.h"

#include "fakes/fakes.h"

namespace qz {

std::string downloadTo;
std::string downloadFrom;
char** EMPTY_ARGV = nullptr;
bool installAgentInCache = false;

int CallNSApplicationMain(int /*argc*/, char** /*argv*/, const Settings& /*settings*/) {
    return 0;
}

bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageReporter /*reporter*/, const Settings& /*settings*/) {
    auto& fake = test::fakeDownload();
    ++fake.calls;
    fake.destination = destination;
    fake.url = url;
    installAgentInCache = fake.inCache;
    return fake.act(destination);
}

test::FakeDownload& test::fakeDownload() {
    static FakeDownload fake;
    return fake;
}

} // namespace qz
