#include "support/process_runner.h"

#include <glib-unix.h>
#include <glib.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

struct ChildProcess::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    RunResult result;
    bool exited = false; // status known and all output the child itself wrote collected
    bool done = false;   // the collector has finished
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    ~Shared() {
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }
};

namespace {

// Runs in the child between fork and exec, so only async-signal-safe calls.
void resetChild(gpointer) {
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        ::sigaction(sig, &defaults, nullptr); // fails harmlessly for SIGKILL and SIGSTOP
    }
}

guint milliseconds(double seconds) {
    return static_cast<guint>(std::ceil(std::max(0.0, seconds) * 1000));
}

gboolean quitLoop(gpointer loop) {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
}

// Lives on the collecting thread and runs the shared loop until the child has exited and its
// output has ended or drained, or until the owner asks it to stop.
class Collector {
  public:
    Collector(std::shared_ptr<ChildProcess::Shared> shared, GPid pid, int out, int err,
              const RunOptions& options)
        : shared_(std::move(shared)), pid_(pid), fds_{out, err},
          drainSeconds_(options.outputDrainSeconds) {
        for (int i : {0, 1}) {
            g_unix_set_fd_nonblocking(fds_[i], TRUE, nullptr);
            streams_[i] =
                attach(g_unix_fd_source_new(fds_[i], GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR)),
                       G_SOURCE_FUNC(&Collector::onOutput));
        }
        attach(g_child_watch_source_new(pid), G_SOURCE_FUNC(&Collector::onExit));
        if (options.timeoutSeconds > 0) {
            attach(g_timeout_source_new(milliseconds(options.timeoutSeconds)), &onTimeout);
        }
    }

    void run() {
        g_main_loop_run(shared_->loop);
        for (GSource* source : sources_) {
            g_source_destroy(source);
            g_source_unref(source);
        }
        for (int fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        {
            std::lock_guard lock(shared_->mutex);
            shared_->done = true;
        }
        shared_->changed.notify_all();
    }

  private:
    GSource* attach(GSource* source, GSourceFunc callback) {
        g_source_set_callback(source, callback, this, nullptr);
        g_source_attach(source, shared_->context);
        sources_.push_back(source);
        return source;
    }

    // Reads once, or until the pipe is empty; false once the stream has ended.
    bool read(int i, bool untilEmpty) {
        char buffer[65536];
        do {
            const ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            if (n <= 0) {
                g_source_destroy(streams_[i]);
                ::close(fds_[i]);
                fds_[i] = -1;
                return false;
            }
            {
                std::lock_guard lock(shared_->mutex);
                (i == 0 ? shared_->result.out : shared_->result.err).append(buffer, std::size_t(n));
            }
            shared_->changed.notify_all();
        } while (untilEmpty);
        return true;
    }

    void quitWhenFinished() {
        if (exited_ && fds_[0] < 0 && fds_[1] < 0) {
            g_main_loop_quit(shared_->loop);
        }
    }

    static gboolean onOutput(int fd, GIOCondition, gpointer data) {
        auto* self = static_cast<Collector*>(data);
        const bool open = self->read(fd == self->fds_[0] ? 0 : 1, false);
        self->quitWhenFinished();
        return open;
    }

    static void onExit(GPid, int status, gpointer data) {
        auto* self = static_cast<Collector*>(data);
        for (int i : {0, 1}) {
            if (self->fds_[i] >= 0) {
                self->read(i, true); // everything the child itself wrote is in the pipe by now
            }
        }
        {
            std::lock_guard lock(self->shared_->mutex);
            if (WIFEXITED(status)) {
                self->shared_->result.exitStatus = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                self->shared_->result.termSignal = WTERMSIG(status);
            }
            self->shared_->exited = self->exited_ = true;
        }
        self->shared_->changed.notify_all();
        GSource* drain = g_timeout_source_new(milliseconds(self->drainSeconds_));
        g_source_set_callback(drain, &quitLoop, self->shared_->loop, nullptr);
        g_source_attach(drain, self->shared_->context);
        self->sources_.push_back(drain);
        self->quitWhenFinished();
    }

    static gboolean onTimeout(gpointer data) {
        auto* self = static_cast<Collector*>(data);
        if (!self->exited_) {
            {
                std::lock_guard lock(self->shared_->mutex);
                self->shared_->result.timedOut = true;
            }
            ::kill(-self->pid_, SIGKILL);
            ::kill(self->pid_, SIGKILL); // in case it moved to another process group
        }
        return G_SOURCE_REMOVE;
    }

    std::shared_ptr<ChildProcess::Shared> shared_;
    GPid pid_;
    int fds_[2];
    GSource* streams_[2] = {};
    std::vector<GSource*> sources_;
    double drainSeconds_;
    bool exited_ = false;
};

} // namespace

std::vector<std::string> RunResult::errLines() const {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < err.size(); start = end + 1) {
        end = std::min(err.find('\n', start), err.size());
        lines.push_back(err.substr(start, end - start));
    }
    return lines;
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
    std::unique_ptr<gchar*, decltype(&g_strfreev)> env(g_get_environ(), &g_strfreev);
    for (const std::string& name : options.unsetEnv) {
        env.reset(g_environ_unsetenv(env.release(), name.c_str()));
    }
    for (const std::string& entry : options.setEnv) {
        const auto equals = entry.find('=');
        if (equals == std::string::npos) {
            throw std::invalid_argument("setEnv entry without '=': " + entry);
        }
        env.reset(g_environ_setenv(env.release(), entry.substr(0, equals).c_str(),
                                   entry.c_str() + equals + 1, TRUE));
    }
    int input = -1; // a file rather than a pipe: no writer to keep alive, no SIGPIPE
    if (!options.stdinData.empty()) {
        input = ::memfd_create("stdin", MFD_CLOEXEC);
        const auto size = static_cast<ssize_t>(options.stdinData.size());
        if (input < 0 || ::write(input, options.stdinData.data(), std::size_t(size)) != size ||
            ::lseek(input, 0, SEEK_SET) != 0) {
            throw std::system_error(errno, std::generic_category(), "stdin for " + program);
        }
    }

    GError* error = nullptr;
    int out = -1;
    int err = -1;
    const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    const auto flags = GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH_FROM_ENVP);
    const bool started = g_spawn_async_with_pipes_and_fds(
        cwd, argv.data(), env.get(), flags, &resetChild, nullptr, input, -1, -1, nullptr, nullptr,
        0, &pid_, nullptr, &out, &err, &error);
    if (input >= 0) {
        ::close(input);
    }
    if (!started) {
        const std::string message = error->message;
        const int code = error->code == G_SPAWN_ERROR_ACCES ? EACCES : ENOENT;
        g_error_free(error);
        throw std::system_error(code, std::generic_category(), message);
    }
    ::setpgid(pid_, pid_); // also from here, so signalGroup works even before the child runs
    collector_ = std::thread([shared = shared_, pid = pid_, out, err, options] {
        Collector(shared, pid, out, err, options).run();
    });
}

ChildProcess::~ChildProcess() {
    if (!waitForExit(0)) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        waitForExit(10); // GLib reaps it
    }
    // Also stops collecting output that a leftover grandchild might keep producing.
    GSource* stop = g_idle_source_new();
    g_source_set_priority(stop, G_PRIORITY_HIGH);
    g_source_set_callback(stop, &quitLoop, shared_->loop, nullptr);
    g_source_attach(stop, shared_->context);
    g_source_unref(stop);
    collector_.join();
    if (!shared_->exited) { // only when it did not die from SIGKILL in time
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

void ChildProcess::signal(int sig) {
    std::lock_guard lock(shared_->mutex);
    if (!shared_->exited) {
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
