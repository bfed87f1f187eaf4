#include "process/shell.h"

#include "base/settings.h"
#include "process/termination_forwarding.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace qz {
namespace {

bool isSafeShellChar(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("_@%+=:,./-", c) != nullptr;
}

std::vector<char*> environmentWithout(const std::vector<std::string>& names) {
    std::vector<char*> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const bool dropped = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return std::strncmp(*e, n.c_str(), n.size()) == 0 && (*e)[n.size()] == '=';
        });
        if (!dropped) {
            env.push_back(*e);
        }
    }
    env.push_back(nullptr);
    return env;
}

// The signal mask and ignored signals the process started with, taken before main (and so
// before any thread): what every program we start gets.
struct StartingSignals {
    sigset_t mask;
    sigset_t notIgnored;
};

const StartingSignals startingSignals = [] {
    StartingSignals taken{};
    pthread_sigmask(SIG_SETMASK, nullptr, &taken.mask);
    sigemptyset(&taken.notIgnored);
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction current {};
        // glibc's own signals and SIGKILL/SIGSTOP fail here or are refused by sigaddset.
        if (signal != SIGKILL && signal != SIGSTOP && ::sigaction(signal, nullptr, &current) == 0 &&
            current.sa_handler != SIG_IGN) {
            sigaddset(&taken.notIgnored, signal);
        }
    }
    return taken;
}();

} // namespace

std::string smart_quote(std::string text) {
    // strchr also matches the terminating NUL, so test the NUL byte explicitly as unsafe.
    const bool safe = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return c != '\0' && isSafeShellChar(static_cast<unsigned char>(c));
    });
    if (safe) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"' || c == '$' || c == '`') {
            quoted += '\\';
        }
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string argv2cmdline(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        line += smart_quote(argv[i]);
        line += ' ';
    }
    return line;
}

int call_system(std::string /*program*/, std::string commandLine,
                const std::vector<std::string>& unsetEnvironment) {
    const auto status =
        runCommandLine(std::move(commandLine), unsetEnvironment, Waiting::LeavingSignals);
    // What system() returns when the shell cannot be executed.
    return status ? *status : 127 << 8;
}

Result<int> runCommandLine(std::string commandLine,
                           const std::vector<std::string>& unsetEnvironment, Waiting waiting) {
    const bool foreground = waiting == Waiting::AsTheForeground;
    // As system() does, in the foreground only: the caller ignores SIGINT and SIGQUIT and blocks
    // SIGCHLD while it waits. Otherwise nothing process-wide changes, as this may be a worker
    // thread and the dispositions belong to the main thread.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction oldInt {
    }, oldQuit{};
    sigset_t chld, oldMask;
    std::optional<TerminationForwarding> forwarding;
    if (foreground) {
        sigaction(SIGINT, &ignore, &oldInt);
        sigaction(SIGQUIT, &ignore, &oldQuit);
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        sigprocmask(SIG_BLOCK, &chld, &oldMask);
        forwarding.emplace();
    }

    // The shell gets what the process started with, whatever the calling thread blocks or we
    // catch or ignore meanwhile.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setsigdefault(&attr, &startingSignals.notIgnored);
    posix_spawnattr_setsigmask(&attr, &startingSignals.mask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    // What we set for ourselves only is not theirs either.
    std::vector<std::string> unset = unsetEnvironment;
    const auto& hidden = runSettings().hiddenEnvironment;
    unset.insert(unset.end(), hidden.begin(), hidden.end());
    std::vector<char*> env = environmentWithout(unset);
    char shName[] = "sh";
    char dashC[] = "-c";
    char* args[] = {shName, dashC, commandLine.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", nullptr, &attr, args, env.data());
    posix_spawnattr_destroy(&attr);
    int status = -1;
    if (spawned == 0) {
        if (forwarding) {
            forwarding->forwardTo(pid);
        }
        while (::waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
    }

    if (foreground) {
        forwarding.reset();
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGQUIT, &oldQuit, nullptr);
        sigprocmask(SIG_SETMASK, &oldMask, nullptr);
    }
    if (spawned != 0) {
        errno = spawned;
        return systemFailure("Could not start /bin/sh");
    }
    return status;
}

} // namespace qz
