#pragma once

// Stand-ins for whole layers, linked into test programs in place of the real ones, so that one
// layer can be tested on its own. Each records how it was called and does what the test says.

#include "bootstrap/message_reporter.h"

#include <functional>
#include <string>
#include <vector>

namespace qz::test {

// The download entry: what the window would have left behind is the test's `act`.
struct FakeDownload {
    int calls = 0;
    std::string destination;
    std::string url;
    bool inCache = true; // what the entry hands back in installAgentInCache
    std::function<bool(const std::string& destination)> act = [](const std::string&) {
        return true;
    };
};
FakeDownload& fakeDownload();

// Sourcing: returns `result` and records what it was given.
struct FakeSourcing {
    int calls = 0;
    std::string scratchDirectory;
    std::string endpointUrl;
    std::string result;
};
FakeSourcing& fakeSourcing();

// The launch: returns `result` and records what it was given.
struct FakeLaunch {
    int calls = 0;
    std::string program;
    std::string commandPrefix;
    std::string bundleDirectory;
    std::vector<std::string> arguments;
    bool result = true;
};
FakeLaunch& fakeLaunch();

} // namespace qz::test
