#include "platform/system/child_processes.h"

#include "platform/system/abrupt_ending.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace qz::platform {
namespace {

// The signal mask and ignored signals the process started with, taken before main (and so
// before any thread, and before anything here changed them): what every program we start gets.
struct StartingSignals {
    sigset_t mask;
    sigset_t notIgnored;
};

const StartingSignals startingSignals = [] {
    StartingSignals taken{};
    ::pthread_sigmask(SIG_SETMASK, nullptr, &taken.mask);
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

// Shared with the handlers, which may run on any thread: lock-free atomics are signal-safe and,
// unlike volatile, also ordered between threads.
std::atomic<int> loopPipe{-1};
std::atomic<int> firstPassedOn{0};
std::atomic<int> firstInterrupt{0};
// Set on the main thread before the program that is to hold it starts; read there too.
std::string lockForStartedPrograms;
int ourLockDescriptor = -1;
std::atomic<pid_t> foregroundChild{0};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free);

extern "C" void writeToLoop(int signal) {
    const int saved = errno;
    const int fd = loopPipe.load();
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = saved;
}

extern "C" void passOn(int signal) {
    const int saved = errno;
    int none = 0;
    firstPassedOn.compare_exchange_strong(none, signal);
    const pid_t target = foregroundChild.load();
    if (target > 0) {
        ::kill(target, signal);
    }
    errno = saved;
}

extern "C" void noteInterrupt(int signal) {
    int none = 0;
    firstInterrupt.compare_exchange_strong(none, signal);
}

struct sigaction handledBy(void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    return action;
}

// Waiting as system() does, for the life of the object (see Waiting::AsTheForeground and
// Waiting::AsSystem).
class Foreground {
  public:
    explicit Foreground(Waiting waiting) : waiting_(waiting) {
        // Recorded rather than ignored: the run then knows that the user stopped the program.
        // A signal ignored from the start stays so.
        const struct sigaction interrupt = waiting == Waiting::AsSystem
                                               ? handledBy(noteInterrupt, SA_RESTART)
                                               : handledBy(SIG_IGN, 0);
        for (const auto& [signal, old] : {std::pair{SIGINT, &oldInt_}, {SIGQUIT, &oldQuit_}}) {
            ::sigaction(signal, nullptr, old);
            if (old->sa_handler != SIG_IGN) {
                ::sigaction(signal, &interrupt, nullptr);
            }
        }
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        ::pthread_sigmask(SIG_BLOCK, &chld, &oldMask_);
        if (waiting == Waiting::AsSystem) {
            return;
        }
        const struct sigaction forward = handledBy(passOn, SA_RESTART);
        for (std::size_t i = 0; i < std::size(kPassedOn); ++i) {
            if (::sigaction(kPassedOn[i], nullptr, &oldPassedOn_[i]) != 0 ||
                oldPassedOn_[i].sa_handler == SIG_IGN) {
                continue;
            }
            passingOn_[i] = ::sigaction(kPassedOn[i], &forward, nullptr) == 0;
        }
    }
    ~Foreground() {
        foregroundChild.store(0);
        for (std::size_t i = 0; i < std::size(kPassedOn); ++i) {
            if (passingOn_[i]) {
                ::sigaction(kPassedOn[i], &oldPassedOn_[i], nullptr);
            }
        }
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGQUIT, &oldQuit_, nullptr);
        ::pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    }
    Foreground(const Foreground&) = delete;
    Foreground& operator=(const Foreground&) = delete;

    void started(pid_t child) {
        if (waiting_ == Waiting::AsSystem) {
            return; // nothing is passed on
        }
        foregroundChild.store(child);
        // A signal may have come before the child was known; a second kill is harmless.
        if (const int signal = firstPassedOn.load()) {
            ::kill(child, signal);
        }
    }

  private:
    static constexpr int kPassedOn[] = {SIGTERM, SIGHUP};
    Waiting waiting_;
    struct sigaction oldInt_ {};
    struct sigaction oldQuit_ {};
    sigset_t oldMask_{};
    struct sigaction oldPassedOn_[2]{};
    bool passingOn_[2]{};
};

// The child's wait status once it has ended, or -1. Where the system has pidfds (Linux 5.3 on),
// the end is awaited in poll first: ThreadSanitizer holds signals back from a thread blocked in
// waitpid, which would pass SIGTERM on only once the child had ended by itself.
int waitFor(pid_t child) {
#ifdef SYS_pidfd_open
    if (const auto pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0)); pidfd >= 0) {
        pollfd ended{pidfd, POLLIN, 0};
        while (::poll(&ended, 1, -1) < 0 && errno == EINTR) {
        }
        ::close(pidfd);
    }
#endif
    int status = -1;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
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

// Starts /bin/sh with `args` as posix_spawn would (the signals as the process started with them),
// after taking a shared lock on `lockPath` in the child's own process; an error number when it
// could not start, exec's included.
int spawnHoldingLock(const std::string& lockPath, int ourLock, char* const args[],
                     char* const env[], pid_t& pid) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return errno;
    }
    pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return error;
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec: other threads may hold locks.
        struct sigaction byDefault {};
        byDefault.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal) {
            if (sigismember(&startingSignals.notIgnored, signal) == 1) {
                ::sigaction(signal, &byDefault, nullptr);
            }
        }
        ::sigprocmask(SIG_SETMASK, &startingSignals.mask, nullptr);
        // A process-associated lock goes when its process closes any descriptor of the file, as
        // exec would close ours; this one is not close-on-exec for the same reason. What the
        // program starts inherits the descriptor, never the lock.
        if (ourLock >= 0) {
            ::close(ourLock);
        }
        const int lock = ::open(lockPath.c_str(), O_RDWR | O_NOFOLLOW);
        if (lock >= 0) {
            struct flock shared {};
            shared.l_type = F_RDLCK;
            shared.l_whence = SEEK_SET;
            ::fcntl(lock, F_SETLK, &shared);
        }
        ::execve("/bin/sh", args, env);
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        ::waitpid(pid, nullptr, 0);
        return error;
    }
    return 0;
}

} // namespace

void holdSharedInStartedPrograms(const std::string& lockPath, int ours) {
    lockForStartedPrograms = lockPath;
    ourLockDescriptor = ours;
}

CaughtSignals::CaughtSignals() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == 0) {
        loopPipe.store(pipe_[1]);
    }
    if (pipe_[0] >= 0 && ::pipe2(stopWatching_, O_CLOEXEC) == 0) {
        const SignalsBlocked blocked; // the watchdog takes no signal away from the main thread
        watchdog_ = std::thread([this] { watch(); });
    }
}

void CaughtSignals::watch() {
    using Clock = std::chrono::steady_clock;
    // Since when signals have waited in the pipe with the loop taking none.
    std::optional<Clock::time_point> waiting;
    unsigned takenThen = taken_.load();
    for (;;) {
        pollfd fds[2] = {{stopWatching_[0], POLLIN, 0}, {pipe_[0], POLLIN, 0}};
        if (::poll(fds, 1, 250) != 0 && (fds[0].revents != 0 || errno != EINTR)) {
            return; // told to stop
        }
        const bool unread = ::poll(&fds[1], 1, 0) == 1;
        const unsigned taken = taken_.load();
        if (!unread || taken != takenThen) {
            waiting.reset();
            takenThen = taken;
        }
        if (unread && !waiting) {
            waiting = Clock::now();
        }
        if (waiting && Clock::now() - *waiting > std::chrono::seconds(2)) {
            endAbruptly();
        }
    }
}

CaughtSignals::~CaughtSignals() {
    if (watchdog_.joinable()) {
        ::close(stopWatching_[1]);
        watchdog_.join();
        ::close(stopWatching_[0]);
    }
    for (const auto& [signal, previous] : previous_) {
        ::sigaction(signal, &previous, nullptr);
    }
    int ours = pipe_[1];
    loopPipe.compare_exchange_strong(ours, -1);
    for (int& fd : pipe_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool CaughtSignals::catchSignal(int signal) {
    if (pipe_[0] < 0) {
        return false;
    }
    if (previous_.find(signal) != previous_.end()) {
        return true;
    }
    const struct sigaction action = handledBy(writeToLoop, SA_RESTART);
    struct sigaction previous {};
    if (::sigaction(signal, &action, &previous) != 0) {
        return false;
    }
    previous_[signal] = previous;
    return true;
}

void CaughtSignals::release(int signal) {
    if (const auto it = previous_.find(signal); it != previous_.end()) {
        ::sigaction(signal, &it->second, nullptr);
        previous_.erase(it);
    }
}

std::vector<int> CaughtSignals::take() {
    ++taken_;
    std::vector<int> signals;
    unsigned char buffer[64];
    ssize_t got = 0;
    while ((got = ::read(pipe_[0], buffer, sizeof buffer)) > 0 || (got < 0 && errno == EINTR)) {
        signals.insert(signals.end(), buffer, buffer + std::max<ssize_t>(got, 0));
    }
    return signals;
}

bool signalIgnored(int signal) {
    struct sigaction current {};
    return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

SignalsBlocked::SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous_);
}

SignalsBlocked::~SignalsBlocked() {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

Result<int> runThroughShell(std::string commandLine,
                            const std::vector<std::string>& unsetEnvironment, Waiting waiting) {
    // Only the foreground changes anything process-wide: this may be a worker thread, which
    // waits as system() does only where no loop hears the signals.
    std::optional<Foreground> foreground;
    if (waiting == Waiting::AsTheForeground ||
        (waiting == Waiting::AsSystem && loopPipe.load() < 0)) {
        foreground.emplace(waiting);
    }

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setsigdefault(&attr, &startingSignals.notIgnored);
    posix_spawnattr_setsigmask(&attr, &startingSignals.mask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> env = environmentWithout(unsetEnvironment);
    char shName[] = "sh";
    char dashC[] = "-c";
    char* args[] = {shName, dashC, commandLine.data(), nullptr};
    pid_t pid = -1;
    const int spawned =
        lockForStartedPrograms.empty()
            ? ::posix_spawn(&pid, "/bin/sh", nullptr, &attr, args, env.data())
            : spawnHoldingLock(lockForStartedPrograms, ourLockDescriptor, args, env.data(), pid);
    posix_spawnattr_destroy(&attr);
    int status = -1;
    if (spawned == 0) {
        if (foreground) {
            foreground->started(pid);
        }
        status = waitFor(pid);
    }
    foreground.reset();
    if (spawned != 0) {
        errno = spawned;
        return systemFailure("Could not start /bin/sh");
    }
    return status;
}

int passedOnSignal() {
    return firstPassedOn.load();
}

int interruptingSignal() {
    return firstInterrupt.load();
}

void endAsThePassedOnSignalDoes() {
    const int signal = passedOnSignal();
    if (signal == 0) {
        return;
    }
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
}

} // namespace qz::platform
