#pragma once

#include <optional>
#include <string>

namespace qz {
struct Settings;
} // namespace qz

namespace qz::platform {

struct MainBundle {
    std::string bundlePath;
    std::string resourcePath;
};

// The bundle that an executable at this (resolved) path belongs to: `<X>/Contents/MacOS/<name>`
// belongs to `<X>` with resources in `<X>/Contents/Resources`; any other executable's bundle is
// its own directory, which is also its resource directory (a flat installer folder).
MainBundle bundleForExecutable(const std::string& executablePath);

// The running program's bundle, from the settings' executable path; none when that could not be
// read. A program that carries its resources inside itself has the folder they were unpacked
// into, and none before.
std::optional<MainBundle> mainBundle(const Settings& settings);

// The window title that the installer carries in `installerTitle.txt` of its resources: the
// file's first line when it holds at most 200 bytes and no control characters; empty otherwise.
std::string installerTitle(const std::string& resourcePath);

} // namespace qz::platform

namespace qz {

// The running program's path as /proc/self/exe names it (symbolic links already resolved by the
// system), whatever its length; empty when it cannot be read.
std::string runningExecutablePath();

} // namespace qz

namespace qz::platform {

// Where an installer carries its catalogs: "locale" in its resources, laid out
// <language>/LC_MESSAGES/<text domain>.mo. An installer cannot count on catalogs installed on the
// machine, so these are the only ones looked at.
std::string catalogDirectory(const std::string& resources);

// Takes the user's locale from the environment (LANG, LC_*, and LANGUAGE for the language of
// texts) and the catalogs from the running installer's resources (a program without a bundle,
// which fails at once, keeps gettext's default folder), in UTF-8 whatever the locale's character
// set, since GTK and the terminal line take UTF-8. setlocale is not thread-safe: main calls this
// at start, before any other thread runs.
void startTranslations(const Settings& settings);

// Takes the catalogs from the resources of the settings' bundle; again once a program that carries
// them inside itself has unpacked them. Before any other thread runs.
void bindCatalogs(const Settings& settings);

} // namespace qz::platform
