#include "base/settings.h"
#include "platform/system/main_bundle.h"

#include <cstdlib>

namespace qz {

const Settings& runSettings() {
    static const Settings settings = [] {
        Settings made = Settings::read([](const char* name) { return std::getenv(name); });
        made.executablePath = runningExecutablePath();
        if (made.display && std::getenv("GDK_GL") == nullptr &&
            ::setenv("GDK_GL", "disable", 1) == 0) {
            made.hiddenEnvironment.push_back("GDK_GL");
        }
        return made;
    }();
    return settings;
}

} // namespace qz
