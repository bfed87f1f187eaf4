#include "support/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qz::test {

using Clock = std::chrono::steady_clock;

struct ChildProcess::Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    RunResult result;
    bool exited = false; // status known and all output the child itself wrote collected
    bool done = false;   // collector finished
};

namespace {

[[noreturn]] void throwErrno(const std::string& what, int error = errno) {
    throw std::system_error(error, std::generic_category(), what);
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Both ends close-on-exec and above 2, so the child's dup2 onto 0-2 can never clobber another.
std::pair<int, int> makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throwErrno("pipe2");
    }
    for (int& fd : fds) {
        if (fd <= 2) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            const int error = errno;
            ::close(fd);
            if (moved < 0) {
                throwErrno("fcntl F_DUPFD_CLOEXEC", error);
            }
            fd = moved;
        }
    }
    return {fds[0], fds[1]};
}

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        throwErrno("fcntl O_NONBLOCK");
    }
}

std::string envName(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> childEnvironment(const RunOptions& options) {
    std::vector<std::string> removed = options.unsetEnv;
    for (const std::string& entry : options.setEnv) {
        if (entry.find('=') == std::string::npos) {
            throw std::invalid_argument("setEnv entry without '=': " + entry);
        }
        removed.push_back(envName(entry));
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (std::find(removed.begin(), removed.end(), envName(entry)) == removed.end()) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), options.setEnv.begin(), options.setEnv.end());
    return env;
}

// Done before fork: the child may only make async-signal-safe calls.
std::string resolveProgram(const std::string& program, const std::vector<std::string>& env) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    std::string path = "/usr/local/bin:/usr/bin:/bin";
    for (const std::string& entry : env) {
        if (entry.starts_with("PATH=")) {
            path = entry.substr(5);
        }
    }
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(':', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string dir = end == start ? "." : path.substr(start, end - start);
        const std::string candidate = dir + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return program; // execve fails with ENOENT, reported to the caller
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

struct SpawnFailure {
    int stage; // 0: chdir, 1: exec
    int error;
};

[[noreturn]] void failInChild(int reportFd, int stage) {
    const SpawnFailure failure{stage, errno};
    [[maybe_unused]] const ssize_t ignored = ::write(reportFd, &failure, sizeof failure);
    ::_exit(127);
}

// Marks every descriptor above 2 close-on-exec, so nothing but the pipes reaches the program.
void closeOnExecAbove2(int maxFd) {
#if defined(SYS_close_range) && defined(__linux__)
    constexpr unsigned kCloseRangeCloexec = 1u << 2;
    if (::syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec) == 0) {
        return;
    }
#endif
    for (int fd = 3; fd < maxFd; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && !(flags & FD_CLOEXEC)) {
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

int openPidFd(pid_t pid) {
#if defined(SYS_pidfd_open) && defined(__linux__)
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return fd;
#else
    (void)pid;
    return -1;
#endif
}

int pollTimeoutMs(Clock::time_point now, Clock::time_point until) {
    if (until <= now) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::min<long long>(ms, 60 * 1000));
}

Clock::time_point after(Clock::time_point start, double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(std::max(0.0, seconds)));
}

struct CollectorFds {
    int in = -1;
    int out = -1;
    int err = -1;
    int pid = -1;  // pidfd, -1 when unavailable
    int wake = -1; // readable once the owner wants the collector to stop; owner closes it
};

class Collector {
  public:
    Collector(std::shared_ptr<ChildProcess::Shared> shared, pid_t pid, CollectorFds fds,
              std::string input, std::optional<Clock::time_point> deadline, double drainSeconds)
        : shared_(std::move(shared)), pid_(pid), fds_(fds), input_(std::move(input)),
          deadline_(deadline), drain_seconds_(drainSeconds) {}

    void run() {
        // Writing to a stdin the child closed must give EPIPE here, not kill the test binary.
        sigset_t pipeSet;
        sigemptyset(&pipeSet);
        sigaddset(&pipeSet, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr);

        if (input_.empty()) {
            closeFd(fds_.in);
        }
        try {
            loop();
        } catch (...) {
            // Nothing sensible to report from this thread; the waiters still get woken below.
        }
        closeFd(fds_.in);
        closeFd(fds_.out);
        closeFd(fds_.err);
        closeFd(fds_.pid);
        {
            std::lock_guard lock(shared_->mutex);
            shared_->done = true;
        }
        shared_->changed.notify_all();

        const timespec zero{};
        while (sigtimedwait(&pipeSet, nullptr, &zero) == SIGPIPE) {
        }
    }

  private:
    void loop() {
        std::optional<Clock::time_point> drainUntil;
        for (;;) {
            const bool exited = drainUntil.has_value();
            if (exited && fds_.out < 0 && fds_.err < 0) {
                return;
            }
            const auto now = Clock::now();
            if (exited && now >= *drainUntil) {
                return;
            }
            if (!exited && deadline_ && now >= *deadline_) {
                killOnTimeout();
            }

            int timeout = -1;
            if (exited) {
                timeout = pollTimeoutMs(now, *drainUntil);
            } else {
                if (deadline_) {
                    timeout = pollTimeoutMs(now, *deadline_);
                }
                if (fds_.pid < 0) {
                    timeout = timeout < 0 ? 10 : std::min(timeout, 10); // no pidfd: check often
                }
            }

            pollfd pfds[5];
            nfds_t count = 0;
            const auto add = [&](int fd, short events) {
                pfds[count] = pollfd{fd, events, 0};
                return fd >= 0 ? static_cast<int>(count++) : -1;
            };
            const int inIndex = add(fds_.in, POLLOUT);
            const int outIndex = add(fds_.out, POLLIN);
            const int errIndex = add(fds_.err, POLLIN);
            const int pidIndex = exited ? -1 : add(fds_.pid, POLLIN);
            const int wakeIndex = add(fds_.wake, POLLIN);

            if (::poll(pfds, count, timeout) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwErrno("poll");
            }
            const auto ready = [&](int index) { return index >= 0 && pfds[index].revents != 0; };
            if (ready(wakeIndex)) {
                return;
            }
            if (ready(inIndex)) {
                writeInput();
            }
            if (ready(outIndex)) {
                readOnce(fds_.out, &RunResult::out);
            }
            if (ready(errIndex)) {
                readOnce(fds_.err, &RunResult::err);
            }
            if (!exited && (ready(pidIndex) || fds_.pid < 0) && checkExited()) {
                drainUntil = after(Clock::now(), drain_seconds_);
            }
        }
    }

    void killOnTimeout() {
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->result.timedOut) {
                return;
            }
            shared_->result.timedOut = true;
        }
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL); // in case it moved to another process group
        deadline_.reset();
    }

    void writeInput() {
        while (input_pos_ < input_.size()) {
            const ssize_t n =
                ::write(fds_.in, input_.data() + input_pos_, input_.size() - input_pos_);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return;
                }
                break; // EPIPE: the child does not want the rest
            }
            input_pos_ += static_cast<std::size_t>(n);
        }
        closeFd(fds_.in);
    }

    // Returns false at end of file.
    bool readOnce(int& fd, std::string RunResult::*stream) {
        char buffer[65536];
        ssize_t n;
        do {
            n = ::read(fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (n <= 0) {
            closeFd(fd);
            return false;
        }
        {
            std::lock_guard lock(shared_->mutex);
            (shared_->result.*stream).append(buffer, static_cast<std::size_t>(n));
        }
        shared_->changed.notify_all();
        return true;
    }

    void drainAvailable(int& fd, std::string RunResult::*stream) {
        while (fd >= 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || p.revents == 0 || !readOnce(fd, stream)) {
                return;
            }
        }
    }

    // Looks at the status without reaping, so the pid stays reserved for signal().
    bool checkExited() {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == EINTR) {
                return false;
            }
            info.si_pid = pid_; // ECHILD (SIGCHLD ignored?): it is gone, status unknown
            info.si_code = 0;
        }
        if (info.si_pid == 0) {
            return false;
        }
        // Everything the child itself wrote is in the pipes by now.
        drainAvailable(fds_.out, &RunResult::out);
        drainAvailable(fds_.err, &RunResult::err);
        closeFd(fds_.in);
        {
            std::lock_guard lock(shared_->mutex);
            if (info.si_code == CLD_EXITED) {
                shared_->result.exitStatus = info.si_status;
            } else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED) {
                shared_->result.termSignal = info.si_status;
            }
            shared_->exited = true;
        }
        shared_->changed.notify_all();
        return true;
    }

    std::shared_ptr<ChildProcess::Shared> shared_;
    pid_t pid_;
    CollectorFds fds_;
    std::string input_;
    std::size_t input_pos_ = 0;
    std::optional<Clock::time_point> deadline_;
    double drain_seconds_;
};

} // namespace

std::vector<std::string> RunResult::errLines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        if (end == std::string::npos) {
            end = err.size();
        }
        lines.push_back(err.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        const int error = errno;
        if (master_ >= 0) {
            ::close(master_);
        }
        throwErrno("pseudo-terminal", error);
    }
    device_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    ::close(master_);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    ChildProcess child(program, args, options);
    return child.wait();
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const RunOptions& options)
    : shared_(std::make_shared<Shared>()) {
    const auto start = Clock::now();

    std::vector<std::string> argvStrings{program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = childEnvironment(options);
    const std::string executable = resolveProgram(program, envStrings);
    std::vector<char*> argv = pointers(argvStrings);
    std::vector<char*> envp = pointers(envStrings);
    const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    const char* terminal =
        options.controllingTerminal.empty() ? nullptr : options.controllingTerminal.c_str();

    rlimit limit{};
    int maxFd = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        maxFd = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
    }

    auto [inRead, inWrite] = makePipe();
    auto [outRead, outWrite] = makePipe();
    auto [errRead, errWrite] = makePipe();
    auto [reportRead, reportWrite] = makePipe();
    auto [wakeRead, wakeWrite] = makePipe();
    int parentFds[] = {inWrite, outRead, errRead, reportRead, wakeRead, wakeWrite};
    int childFds[] = {inRead, outWrite, errWrite, reportWrite};
    const auto closeAll = [&] {
        for (int& fd : parentFds) {
            closeFd(fd);
        }
        for (int& fd : childFds) {
            closeFd(fd);
        }
    };

    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        closeAll();
        throwErrno("fork", error);
    }
    if (pid == 0) {
        if (terminal != nullptr) {
            // A session leader opening a terminal makes it its controlling terminal.
            const int fd = ::setsid() < 0 ? -1 : ::open(terminal, O_RDWR);
            if (fd < 0) {
                failInChild(reportWrite, 1);
            }
            ::close(fd);
        } else {
            ::setpgid(0, 0);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) {
            ::sigaction(sig, &dfl, nullptr); // fails harmlessly for SIGKILL, SIGSTOP
        }
        if (::dup2(inRead, 0) < 0 || ::dup2(outWrite, 1) < 0 || ::dup2(errWrite, 2) < 0) {
            failInChild(reportWrite, 1);
        }
        if (cwd != nullptr && ::chdir(cwd) != 0) {
            failInChild(reportWrite, 0);
        }
        closeOnExecAbove2(maxFd);
        ::execve(executable.c_str(), argv.data(), envp.data());
        failInChild(reportWrite, 1);
    }

    pid_ = pid;
    if (terminal == nullptr) {
        ::setpgid(pid, pid); // also from here, so signalGroup works even before the child runs
    }
    for (int& fd : childFds) {
        closeFd(fd);
    }

    SpawnFailure failure{};
    std::size_t got = 0;
    while (got < sizeof failure) {
        const ssize_t n =
            ::read(reportRead, reinterpret_cast<char*>(&failure) + got, sizeof failure - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    closeFd(parentFds[3]);
    if (got > 0) {
        ::waitpid(pid, nullptr, 0);
        closeAll();
        throwErrno(failure.stage == 0 ? "chdir " + options.workingDirectory : "exec " + program,
                   failure.error);
    }

    try {
        setNonBlocking(inWrite);
        setNonBlocking(outRead);
        setNonBlocking(errRead);
        CollectorFds fds{inWrite, outRead, errRead, openPidFd(pid), wakeRead};
        std::optional<Clock::time_point> deadline;
        if (options.timeoutSeconds > 0) {
            deadline = after(start, options.timeoutSeconds);
        }
        auto collector = std::make_shared<Collector>(shared_, pid, fds, options.stdinData, deadline,
                                                     options.outputDrainSeconds);
        collector_ = std::thread([collector] { collector->run(); });
        // The collector owns these from here on.
        parentFds[0] = parentFds[1] = parentFds[2] = -1;
    } catch (...) {
        ::kill(-pid, SIGKILL);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        closeAll();
        throw;
    }
    wake_read_fd_ = parentFds[4];
    wake_fd_ = parentFds[5];
}

ChildProcess::~ChildProcess() {
    bool exited;
    {
        std::lock_guard lock(shared_->mutex);
        exited = shared_->exited;
    }
    if (!exited) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
    }
    // Stop collecting output that a leftover grandchild might keep producing. The read end is
    // still open, so this cannot raise SIGPIPE.
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_fd_, &byte, 1);
    if (collector_.joinable()) {
        collector_.join();
    }
    ::close(wake_fd_);
    ::close(wake_read_fd_);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void ChildProcess::signal(int sig) {
    ::kill(pid_, sig);
}

void ChildProcess::signalGroup(int sig) {
    ::kill(-pid_, sig);
}

std::string ChildProcess::errSoFar() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->result.err;
}

std::string ChildProcess::outSoFar() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->result.out;
}

bool ChildProcess::waitFor(std::string RunResult::*stream, const std::string& needle,
                           double timeoutSeconds) {
    std::unique_lock lock(shared_->mutex);
    const auto contains = [&] {
        return (shared_->result.*stream).find(needle) != std::string::npos;
    };
    shared_->changed.wait_until(lock, after(Clock::now(), timeoutSeconds),
                                [&] { return contains() || shared_->exited || shared_->done; });
    return contains();
}

bool ChildProcess::waitForErr(const std::string& needle, double timeoutSeconds) {
    return waitFor(&RunResult::err, needle, timeoutSeconds);
}

bool ChildProcess::waitForOut(const std::string& needle, double timeoutSeconds) {
    return waitFor(&RunResult::out, needle, timeoutSeconds);
}

RunResult ChildProcess::wait() {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->done; });
    return shared_->result;
}

} // namespace qz::test
