#pragma once

#include <optional>
#include <string>

namespace qz::platform {

struct MainBundle {
    std::string bundlePath;
    std::string resourcePath;
};

// The bundle that an executable at this (resolved) path belongs to: `<X>/Contents/MacOS/<name>`
// belongs to `<X>` with resources in `<X>/Contents/Resources`; any other executable's bundle is
// its own directory, which is also its resource directory (a flat installer folder).
MainBundle bundleForExecutable(const std::string& executablePath);

// The running program's bundle, or none when its executable path cannot be read.
std::optional<MainBundle> mainBundle();

// The window title that the installer carries in `installerTitle.txt` of its resources: the
// file's first line when it holds at most 200 bytes and no control characters; empty otherwise.
std::string installerTitle(const std::string& resourcePath);

} // namespace qz::platform
