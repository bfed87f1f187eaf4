#include "support/process_runner.h"

#include <glib-unix.h>
#include <glib.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

struct ChildProcess::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    RunResult result;
    bool exited = false; // status known and all output the child itself wrote collected
    bool done = false;   // nothing more will be collected
    // The rest is used on the collecting thread, which runs `loop` until the child has exited
    // and its output has ended or drained, or until the owner stops it.
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GPid pid = -1;
    int fds[2] = {-1, -1}; // stdout, stderr
    bool ended[2] = {};
    double drainSeconds = 0;

    template <typename Change> void update(Change change) {
        {
            std::lock_guard lock(mutex);
            change();
        }
        changed.notify_all();
    }
    ~Shared() {
        g_main_loop_unref(loop);
        g_main_context_unref(context); // destroys the sources still attached
        for (int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

namespace {

using Shared = ChildProcess::Shared;

// Runs in the child between fork and exec, so only async-signal-safe calls.
// With a terminal (its device path as `data`), the child leads a session of its own whose
// controlling terminal that is; otherwise it leads a process group of its own.
void resetChild(gpointer data) {
    if (data != nullptr) {
        // A session leader opening a terminal makes it its controlling terminal.
        if (::setsid() < 0 || ::open(static_cast<const char*>(data), O_RDWR) < 0) {
            ::_exit(127);
        }
    } else {
        ::setpgid(0, 0);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &defaults, nullptr); // fails harmlessly for SIGKILL and SIGSTOP
    }
}

void attach(Shared* s, GSource* source, GSourceFunc callback, gpointer data) {
    g_source_set_callback(source, callback, data, nullptr);
    g_source_attach(source, s->context);
    g_source_unref(source);
}

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

void quitWhenFinished(Shared* s) {
    if (s->exited && s->ended[0] && s->ended[1]) {
        g_main_loop_quit(s->loop);
    }
}

// > 0: bytes read; 0: the stream has ended; < 0: nothing there yet.
ssize_t readOnce(Shared* s, int i) {
    char buffer[65536];
    const ssize_t n = ::read(s->fds[i], buffer, sizeof buffer);
    if (n > 0) {
        s->update([&] { (i == 0 ? s->result.out : s->result.err).append(buffer, std::size_t(n)); });
    }
    s->ended[i] = s->ended[i] || n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    return n;
}

gboolean onOutput(int fd, GIOCondition, gpointer data) {
    auto* s = static_cast<Shared*>(data);
    const int i = fd == s->fds[0] ? 0 : 1;
    readOnce(s, i);
    quitWhenFinished(s);
    return !s->ended[i];
}

void onExit(GPid, int status, gpointer data) {
    auto* s = static_cast<Shared*>(data);
    for (int i : {0, 1}) {
        while (!s->ended[i] && readOnce(s, i) > 0) { // what the child itself wrote is all there
        }
    }
    s->update([&] {
        s->result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        s->result.termSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        s->exited = true;
    });
    attach(s, g_timeout_source_new(guint(std::max(0.0, s->drainSeconds) * 1000)), &quitLoop,
           s->loop);
    quitWhenFinished(s);
}

gboolean onTimeout(gpointer data) {
    auto* s = static_cast<Shared*>(data);
    if (!s->exited) {
        s->update([&] { s->result.timedOut = true; });
        ::kill(-s->pid, SIGKILL);
        ::kill(s->pid, SIGKILL); // in case it moved to another process group
    }
    return G_SOURCE_REMOVE;
}

} // namespace

std::vector<std::string> RunResult::errLines() const {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < err.size(); start = end + 1) {
        end = std::min(err.find('\n', start), err.size());
        lines.push_back(err.substr(start, end - start));
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
        throw std::system_error(error, std::generic_category(), "pseudo-terminal");
    }
    device_ = name;
}

std::string PseudoTerminal::readAvailable() {
    std::string text;
    char buffer[4096];
    pollfd ready{master_, POLLIN, 0};
    ssize_t n = 0;
    while (::poll(&ready, 1, 0) == 1 && (n = ::read(master_, buffer, sizeof buffer)) > 0) {
        text.append(buffer, std::size_t(n));
    }
    return text;
}

PseudoTerminal::~PseudoTerminal() {
    ::close(master_);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    return ChildProcess(program, args, options).wait();
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const RunOptions& options)
    : shared_(std::make_shared<Shared>()) {
    std::vector<const char*> argv{program.c_str()};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    gchar** env = g_get_environ();
    for (const std::string& name : options.unsetEnv) {
        env = g_environ_unsetenv(env, name.c_str());
    }
    for (const std::string& entry : options.setEnv) {
        const auto equals = std::min(entry.find('='), entry.size());
        const std::string value = entry.substr(std::min(equals + 1, entry.size()));
        env = g_environ_setenv(env, entry.substr(0, equals).c_str(), value.c_str(), TRUE);
    }
    int input = -1; // a file rather than a pipe: nothing to feed, no SIGPIPE
    const auto size = static_cast<ssize_t>(options.stdinData.size());
    if (size > 0 && ((input = ::memfd_create("stdin", MFD_CLOEXEC)) < 0 ||
                     ::write(input, options.stdinData.data(), std::size_t(size)) != size ||
                     ::lseek(input, 0, SEEK_SET) != 0)) {
        throw std::system_error(errno, std::generic_category(), "stdin for " + program);
    }

    GError* error = nullptr;
    const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    const char* terminal =
        options.controllingTerminal.empty() ? nullptr : options.controllingTerminal.c_str();
    gpointer terminalData = const_cast<char*>(terminal);
    std::vector<int> targetFds;
    for (std::size_t i = 0; i < options.passFds.size(); ++i) {
        targetFds.push_back(3 + static_cast<int>(i));
    }
    const bool started = g_spawn_async_with_pipes_and_fds(
        cwd, argv.data(), env,
        GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH_FROM_ENVP), &resetChild,
        terminalData, input, -1, -1, options.passFds.data(), targetFds.data(), targetFds.size(),
        &pid_, nullptr, &shared_->fds[0], &shared_->fds[1], &error);
    g_strfreev(env);
    if (input >= 0) {
        ::close(input);
    }
    if (!started) {
        const std::system_error failure(error->code == G_SPAWN_ERROR_ACCES ? EACCES : ENOENT,
                                        std::generic_category(), error->message);
        g_error_free(error);
        throw failure;
    }
    if (terminal == nullptr) {
        ::setpgid(pid_, pid_); // also from here, so signalGroup works even before the child runs
    }

    Shared* s = shared_.get();
    s->pid = pid_;
    s->drainSeconds = options.outputDrainSeconds;
    for (int fd : s->fds) {
        g_unix_set_fd_nonblocking(fd, TRUE, nullptr);
        const auto events = GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR);
        attach(s, g_unix_fd_source_new(fd, events), G_SOURCE_FUNC(&onOutput), s);
    }
    attach(s, g_child_watch_source_new(pid_), G_SOURCE_FUNC(&onExit), s);
    if (options.timeoutSeconds > 0) {
        attach(s, g_timeout_source_new(guint(options.timeoutSeconds * 1000)), &onTimeout, s);
    }
    collector_ = std::thread([shared = shared_] {
        g_main_loop_run(shared->loop);
        shared->update([&] { shared->done = true; });
    });
}

ChildProcess::~ChildProcess() {
    if (!waitForExit(0)) {
        signalGroup(SIGKILL);
        signal(SIGKILL); // in case it moved to another process group
        waitForExit(10); // and GLib reaps it
    }
    // Also stops collecting output that a leftover grandchild might keep producing.
    GSource* stop = g_idle_source_new();
    g_source_set_priority(stop, G_PRIORITY_HIGH);
    attach(shared_.get(), stop, &quitLoop, shared_->loop);
    collector_.join();
}

void ChildProcess::signal(int sig) {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->exited) { // afterwards GLib has reaped it and the pid may be reused
        ::kill(pid_, sig);
    }
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

bool ChildProcess::waitUntil(double timeoutSeconds, const std::string RunResult::*stream,
                             const std::string& needle) {
    std::unique_lock lock(shared_->mutex);
    const auto found = [&] {
        return stream ? (shared_->result.*stream).find(needle) != std::string::npos
                      : shared_->exited;
    };
    shared_->changed.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                              [&] { return found() || shared_->exited || shared_->done; });
    return found();
}

bool ChildProcess::waitForErr(const std::string& needle, double timeoutSeconds) {
    return waitUntil(timeoutSeconds, &RunResult::err, needle);
}

bool ChildProcess::waitForOut(const std::string& needle, double timeoutSeconds) {
    return waitUntil(timeoutSeconds, &RunResult::out, needle);
}

bool ChildProcess::waitForExit(double timeoutSeconds) {
    return waitUntil(timeoutSeconds, nullptr, {});
}

RunResult ChildProcess::wait() {
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait(lock, [&] { return shared_->done; });
    return shared_->result;
}

} // namespace qz::test
