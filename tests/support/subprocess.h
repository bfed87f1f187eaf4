#pragma once

// Programs run as child processes for whole-program tests, on GLib's GSubprocess.
//
// Each child leads a process group of its own, starts with default signal dispositions and an
// empty signal mask, and inherits no other descriptors. Its stdout and stderr are collected in a
// main context of the children's own, which every wait here runs: whichever child a test waits
// for, the others' pipes are emptied too. Not the default context: in-process GTK tests leave
// that to GTK.

#include <gio/gio.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qz::test {

struct RunOptions {
    std::vector<std::string> setEnv;   // "NAME=VALUE", applied after unsetEnv; the last one wins
    std::vector<std::string> unsetEnv; // names removed from the inherited environment
    std::string workingDirectory;      // empty: inherit
    std::string stdinData;             // the child's whole stdin; else /dev/null
    std::vector<int> passFds;          // taken over, and given to the child as 3, 4, ...
    // When set, the child leads a session of its own with this terminal as its controlling
    // terminal (a PseudoTerminal's device); its standard streams stay pipes.
    std::string controllingTerminal;
    double timeoutSeconds = 20.0; // when wait() kills its process group; <= 0: never
};

struct RunResult {
    int exitStatus = -1; // exit code when it exited normally, else -1
    int termSignal = 0;  // the signal that ended it, else 0
    bool timedOut = false;
    std::string out;
    std::string err;
    std::vector<std::string> errLines() const; // err split at '\n', without a trailing empty line
};

// A pseudo-terminal that no one reads or types at, for a child's controlling terminal.
class PseudoTerminal {
  public:
    PseudoTerminal(); // throws std::system_error
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& device() const {
        return device_;
    }
    // What was written to the terminal and not yet read, without waiting for more.
    std::string readAvailable();

  private:
    int master_ = -1;
    std::string device_;
};

class ChildProcess {
  public:
    // Starts `program` (looked up in the PATH of the child's environment) with argv = {program,
    // args...}; throws std::runtime_error when it cannot.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const RunOptions& options = {});
    // Kills its process group, with whatever it left behind there, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const {
        return pid_;
    }
    void signal(int sig); // to the child only; nothing once it has exited
    void signalGroup(int sig);

    const std::string& outSoFar() const {
        return result_.out;
    }
    const std::string& errSoFar() const {
        return result_.err;
    }
    // Whether the stream holds `needle` once it does, the child has ended or the time is up.
    bool waitForOut(const std::string& needle, double seconds) {
        return waitFor(result_.out, needle, seconds);
    }
    bool waitForErr(const std::string& needle, double seconds) {
        return waitFor(result_.err, needle, seconds);
    }
    // Whether the child ended within the time.
    bool waitForExit(double seconds);
    // Waits for the child to end (killing its group at the timeout) and for its output: until
    // the pipes close, or a second more while something it left behind holds them open.
    RunResult wait();

  private:
    using Clock = std::chrono::steady_clock;
    bool waitFor(const std::string& text, const std::string& needle, double seconds);
    void collect(int pipe); // what the pipe holds now
    static gboolean onOutput(GObject* pipe, gpointer self);
    static void onExit(GObject* process, GAsyncResult* result, gpointer self);

    Clock::time_point deadline_;
    GSubprocess* process_ = nullptr;
    pid_t pid_ = 0;
    GPollableInputStream* pipes_[2] = {}; // stdout, stderr
    GSource* sources_[2] = {};
    int pipesEnded_ = 0;
    bool exited_ = false;
    RunResult result_;
};

// Waits until `condition` holds or `seconds` have passed, collecting the children's output
// meanwhile; returns whether it holds.
bool eventually(const std::function<bool()>& condition, double seconds);

// Runs `program` as ChildProcess does and waits for it.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

} // namespace qz::test
