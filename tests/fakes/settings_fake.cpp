#include "fakes/fakes.h"

namespace qz {

const Settings& runSettings() {
    return test::fakeRunSettings();
}

Settings& test::fakeRunSettings() {
    static Settings settings;
    return settings;
}

} // namespace qz
