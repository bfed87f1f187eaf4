#include "support/subprocess.h"

#include "support/files.h"
#include "support/main_context.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace qz::test {
namespace {

constexpr double FOREVER = 1e6;
constexpr double DRAIN_SECONDS = 1.0;

// Runs in the child between fork and exec, so only async-signal-safe calls. With a terminal (its
// device path as `terminal`), the child leads a session whose controlling terminal that is.
void setUpChild(gpointer terminal) {
    if (terminal != nullptr) {
        // A session leader opening a terminal makes it its controlling terminal.
        if (::setsid() < 0 || ::open(static_cast<const char*>(terminal), O_RDWR) < 0) {
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

// A file rather than a pipe: nothing to feed while the child runs, and no SIGPIPE.
int stdinFile(const std::string& data) {
    const int fd = ::memfd_create("stdin", MFD_CLOEXEC);
    if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        ::lseek(fd, 0, SEEK_SET) != 0) {
        throw std::system_error(errno, std::generic_category(), "stdin file");
    }
    return fd;
}

// Lives as long as the program.
GMainContext* childContext() {
    static GMainContext* const context = g_main_context_new();
    return context;
}

} // namespace

std::vector<std::string> RunResult::errLines() const {
    return linesOf(err);
}

PseudoTerminal::PseudoTerminal() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        const int error = errno;
        ::close(master_);
        throw std::system_error(error, std::generic_category(), "pseudo-terminal");
    }
    device_ = name;
}

PseudoTerminal::~PseudoTerminal() {
    ::close(master_);
}

std::string PseudoTerminal::readAvailable() {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(master_, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, std::size_t(n));
    }
    return text;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const RunOptions& options)
    : deadline_(Clock::now() +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    options.timeoutSeconds > 0 ? options.timeoutSeconds : FOREVER))) {
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(
        GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE |
                         G_SUBPROCESS_FLAGS_SEARCH_PATH_FROM_ENVP));
    for (const std::string& name : options.unsetEnv) {
        g_subprocess_launcher_unsetenv(launcher, name.c_str());
    }
    for (const std::string& entry : options.setEnv) {
        const std::size_t equals = std::min(entry.find('='), entry.size());
        g_subprocess_launcher_setenv(launcher, entry.substr(0, equals).c_str(),
                                     entry.c_str() + std::min(equals + 1, entry.size()), TRUE);
    }
    if (!options.workingDirectory.empty()) {
        g_subprocess_launcher_set_cwd(launcher, options.workingDirectory.c_str());
    }
    if (!options.stdinData.empty()) {
        g_subprocess_launcher_take_stdin_fd(launcher, stdinFile(options.stdinData));
    }
    for (std::size_t i = 0; i < options.passFds.size(); ++i) {
        g_subprocess_launcher_take_fd(launcher, options.passFds[i], 3 + static_cast<int>(i));
    }
    const char* terminal =
        options.controllingTerminal.empty() ? nullptr : options.controllingTerminal.c_str();
    g_subprocess_launcher_set_child_setup(launcher, &setUpChild, const_cast<char*>(terminal),
                                          nullptr);

    std::vector<const char*> argv{program.c_str()};
    for (const std::string& arg : args) {
        argv.push_back(arg.c_str());
    }
    argv.push_back(nullptr);
    g_autoptr(GError) error = nullptr;
    process_ = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
    if (process_ == nullptr) {
        throw std::runtime_error(error->message);
    }
    // GLib returns once the child has run setUpChild and exec'd, so its group exists already.
    // No identifier: it has ended and been reaped already.
    const gchar* identifier = g_subprocess_get_identifier(process_);
    pid_ = identifier != nullptr ? static_cast<pid_t>(std::atol(identifier)) : 0;
    g_main_context_push_thread_default(childContext()); // where onExit is to run
    g_subprocess_wait_async(process_, nullptr, &onExit, this);
    g_main_context_pop_thread_default(childContext());
    for (int i : {0, 1}) {
        pipes_[i] = G_POLLABLE_INPUT_STREAM(i == 0 ? g_subprocess_get_stdout_pipe(process_)
                                                   : g_subprocess_get_stderr_pipe(process_));
        sources_[i] = g_pollable_input_stream_create_source(pipes_[i], nullptr);
        g_source_set_callback(sources_[i], G_SOURCE_FUNC(&onOutput), this, nullptr);
        g_source_attach(sources_[i], childContext());
    }
}

ChildProcess::~ChildProcess() {
    signalGroup(SIGKILL);
    g_subprocess_force_exit(process_); // in case it moved to another process group
    g_subprocess_wait(process_, nullptr, nullptr);
    // Its exit has been posted to the children's context; `this` must see it before it goes.
    while (!exited_) {
        g_main_context_iteration(childContext(), TRUE);
    }
    for (GSource* source : sources_) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    g_object_unref(process_);
}

void ChildProcess::collect(int i) {
    char buffer[65536];
    gssize n = 1; // nothing more to read once the source has gone
    g_autoptr(GError) error = nullptr;
    while (!g_source_is_destroyed(sources_[i]) &&
           (n = g_pollable_input_stream_read_nonblocking(pipes_[i], buffer, sizeof buffer, nullptr,
                                                         &error)) > 0) {
        (i == 0 ? result_.out : result_.err).append(buffer, std::size_t(n));
    }
    if (n == 0 || (n < 0 && !g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK))) {
        ++pipesEnded_;
        g_source_destroy(sources_[i]); // and no more reads
    }
}

gboolean ChildProcess::onOutput(GObject* pipe, gpointer data) {
    auto* self = static_cast<ChildProcess*>(data);
    self->collect(G_POLLABLE_INPUT_STREAM(pipe) == self->pipes_[0] ? 0 : 1);
    return G_SOURCE_CONTINUE; // collect() destroys the source at the end of the stream
}

void ChildProcess::onExit(GObject* process, GAsyncResult* result, gpointer data) {
    auto* self = static_cast<ChildProcess*>(data);
    auto* subprocess = G_SUBPROCESS(process);
    g_subprocess_wait_finish(subprocess, result, nullptr);
    self->collect(0); // what the child itself wrote is all in the pipes now
    self->collect(1);
    if (g_subprocess_get_if_exited(subprocess)) {
        self->result_.exitStatus = g_subprocess_get_exit_status(subprocess);
    } else if (g_subprocess_get_if_signaled(subprocess)) {
        self->result_.termSignal = g_subprocess_get_term_sig(subprocess);
    }
    self->exited_ = true;
}

// kill() rather than g_subprocess_send_signal, which sends it later from GLib's worker thread:
// tests count on the signal being on its way when this returns.
void ChildProcess::signal(int sig) {
    if (!exited_ && pid_ > 0) {
        ::kill(pid_, sig);
    }
}

void ChildProcess::signalGroup(int sig) {
    if (pid_ > 0) {
        ::kill(-pid_, sig);
    }
}

bool ChildProcess::waitFor(const std::string& text, const std::string& needle, double seconds) {
    eventually([&] { return text.find(needle) != std::string::npos || exited_; }, seconds);
    return text.find(needle) != std::string::npos;
}

bool ChildProcess::waitForExit(double timeoutSeconds) {
    return eventually([&] { return exited_; }, timeoutSeconds);
}

RunResult ChildProcess::wait() {
    const std::chrono::duration<double> left = deadline_ - Clock::now();
    if (!waitForExit(left.count())) {
        result_.timedOut = true;
        signalGroup(SIGKILL);
        g_subprocess_force_exit(process_);
        waitForExit(FOREVER);
    }
    eventually([&] { return pipesEnded_ == 2; }, DRAIN_SECONDS);
    return result_;
}

bool eventually(const std::function<bool()>& condition, double seconds) {
    return runMainContextUntil(condition, seconds, childContext());
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
    return ChildProcess(program, args, options).wait();
}

} // namespace qz::test
