#include "support/installer_folder.h"

#include "bootstrap/installer_constants.h"
#include "support/files.h"

namespace qz::test {

std::string builtBootstrapper() {
    return QZ_BOOTSTRAPPER_PATH;
}

std::string agentCacheIn(const std::string& home) {
    return home + PATH_SEPARATOR + INSTALL_AGENT_CACHE_SUBDIR;
}

namespace {

// A copy, not a link: the bundle is found from the resolved executable path.
void copyBootstrapper(const std::string& to) {
    writeFile(to, readFile(builtBootstrapper()), 0755);
}

} // namespace

InstallerFolder makeFlatInstaller(const std::string& folder) {
    makeDirectories(folder);
    const std::string executable = folder + "/setup";
    copyBootstrapper(executable);
    return {executable, folder};
}

InstallerFolder makeAppInstaller(const std::string& appPath) {
    makeDirectories(appPath + "/Contents/MacOS");
    makeDirectories(appPath + "/Contents/Resources");
    const std::string executable = appPath + "/Contents/MacOS/setup";
    copyBootstrapper(executable);
    return {executable, appPath + "/Contents/Resources"};
}

std::string recordingAgentScript() {
    return "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > \"$QZ_TEST_RECORD\"\n"
           "echo 'agent ran'\n"
           "exit \"${QZ_TEST_AGENT_STATUS:-0}\"\n";
}

std::string waitingAgentScript() {
    return "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > \"$QZ_TEST_RECORD\"\n"
           "for s in TERM HUP INT; do\n"
           "  trap \"echo got $s >> '$QZ_TEST_RECORD.signals'; exit 3\" $s\n"
           "done\n"
           "echo 'agent started'\n"
           "while :; do sleep 0.1; done\n";
}

std::vector<std::string> recordedArguments(const std::string& recordFile) {
    std::vector<std::string> args;
    if (!pathExists(recordFile)) {
        return args;
    }
    const std::string raw = readFile(recordFile);
    for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos;
         start = end + 1) {
        args.push_back(raw.substr(start, end - start));
    }
    return args;
}

RunOptions userRunOptions(const std::string& root, const std::string& recordFile,
                          const std::vector<std::string>& extraEnv) {
    RunOptions options;
    options.setEnv = {"HOME=" + root + "/home", "TMPDIR=" + root + "/tmp",
                      "QZ_TEST_RECORD=" + recordFile, "QZ_DOWNLOAD_TIMEOUT=5", "LC_ALL=C.UTF-8"};
    options.setEnv.insert(options.setEnv.end(), extraEnv.begin(), extraEnv.end());
    options.unsetEnv = {"LANGUAGE",
                        "QZ_INTERNAL_INSTALL_AGENT_URL",
                        "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__",
                        "DISPLAY",
                        "WAYLAND_DISPLAY",
                        "http_proxy",
                        "HTTP_PROXY",
                        "https_proxy",
                        "HTTPS_PROXY",
                        "all_proxy",
                        "ALL_PROXY",
                        "no_proxy",
                        "NO_PROXY",
                        "SSL_CERT_DIR",
                        "SSL_CERT_FILE"};
    options.workingDirectory = root + "/cwd";
    return options;
}

} // namespace qz::test
