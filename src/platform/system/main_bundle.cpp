#include "platform/system/main_bundle.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "base/path.h"
#include "base/regular_file.h"
#include "base/settings.h"
#include "base/translation.h"

namespace qz {

std::string runningExecutablePath() {
    // readlink says nothing of a path cut short, so the buffer grows until the path fits.
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace qz

namespace qz::platform {

MainBundle bundleForExecutable(const std::string& executablePath) {
    const std::string dir = deletingLastPathComponent(executablePath);
    const std::string contents = deletingLastPathComponent(dir);
    const auto baseName = [](const std::string& p) { return p.substr(p.rfind('/') + 1); };
    if (baseName(dir) == "MacOS" && baseName(contents) == "Contents") {
        const std::string bundle = deletingLastPathComponent(contents);
        if (!bundle.empty()) {
            return {bundle, appendPathComponent(contents, "Resources")};
        }
    }
    return {dir, dir};
}

std::optional<MainBundle> mainBundle(const Settings& settings) {
    if (settings.carriesResources) {
        if (settings.carriedResources.empty()) {
            return std::nullopt;
        }
        return MainBundle{settings.carriedResources, settings.carriedResources};
    }
    const std::string& executable = settings.executablePath;
    if (executable.empty()) {
        return std::nullopt;
    }
    return bundleForExecutable(executable);
}

std::string installerTitle(const std::string& resourcePath) {
    constexpr std::size_t LIMIT = 200;
    // Only a regular file: a FIFO in its place would block the run.
    const auto start =
        readRegularFile(appendPathComponent(resourcePath, "installerTitle.txt"), LIMIT + 1);
    if (!start) {
        return {};
    }
    std::string title = start->bytes;
    const auto end = title.find('\n');
    title.resize(std::min(end, title.size()));
    // A longer title would be cut short here; a control character would garble the window's.
    const bool control = std::any_of(title.begin(), title.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (title.size() > LIMIT || control) {
        return {};
    }
    return title;
}

std::string catalogDirectory(const std::string& resources) {
    return appendPathComponent(resources, "locale");
}

namespace {

// Whether every catalog of ours under `catalogs` that is there is a regular file.
bool onlyRegularCatalogs(const std::string& catalogs) {
    DIR* dir = ::opendir(catalogs.c_str());
    if (dir == nullptr) {
        return true;
    }
    bool regular = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string catalog =
            catalogs + "/" + entry->d_name + "/LC_MESSAGES/" + TEXT_DOMAIN + ".mo";
        struct stat st {};
        if (entry->d_name[0] != '.' && ::stat(catalog.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            regular = false;
        }
    }
    ::closedir(dir);
    return regular;
}

} // namespace

void startTranslations(const Settings& settings) {
    // The whole locale, numbers included: nothing we parse depends on it, and what we print for
    // people then follows their conventions.
    std::setlocale(LC_ALL, "");
    bindCatalogs(settings);
    ::bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
}

void bindCatalogs(const Settings& settings) {
    if (const auto bundle = mainBundle(settings)) {
        const std::string catalogs = catalogDirectory(bundle->resourcePath);
        // gettext opens a catalog as it finds it: a FIFO or a device there would block the run.
        // With one, no catalog is used ("/dev/null" holds none) and every text stays English.
        ::bindtextdomain(TEXT_DOMAIN,
                         onlyRegularCatalogs(catalogs) ? catalogs.c_str() : "/dev/null");
    } else if (settings.carriesResources) {
        // Its catalogs are inside it, not beside it: English until they are unpacked.
        ::bindtextdomain(TEXT_DOMAIN, "/dev/null");
    }
}

} // namespace qz::platform
