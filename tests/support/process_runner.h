#pragma once

// Runs a program as a child process for whole-program tests, through GLib's spawn functions.
//
// The child gets its own process group, stdout/stderr pipes, stdin from `stdinData`, default
// signal dispositions, an empty signal mask and no other inherited file descriptors. A program
// name without '/' is looked up in the PATH of the child's environment. Failing to start it
// throws std::system_error.

#include <sys/types.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qz::test {

struct RunOptions {
    std::vector<std::string> setEnv;   // "NAME=VALUE" added/replaced in the inherited environment
    std::vector<std::string> unsetEnv; // names removed
    std::string workingDirectory;      // empty: inherit
    std::string stdinData;             // the child's whole stdin
    std::vector<int> passFds;          // descriptors the child gets as 3, 4, ... in this order
    // When set, the child runs in a session of its own with this terminal as its controlling
    // terminal (a PseudoTerminal's device); its standard streams stay pipes.
    std::string controllingTerminal;
    double timeoutSeconds = 20.0; // after this the child's process group gets SIGKILL; <= 0: none
    // Once the child has exited, how long to keep collecting output while something it left
    // behind (a background grandchild) still holds stdout or stderr open.
    double outputDrainSeconds = 1.0;
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

// Runs `program` with argv = {program, args...} and waits for it.
RunResult runProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// A child started in the background; a thread with a GLib main context of its own collects its
// output and exit status.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const RunOptions& options = {});
    // Kills the process group with SIGKILL if the child is still running, and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const {
        return pid_;
    }
    void signal(int sig);      // to the child only; nothing once it has exited
    void signalGroup(int sig); // to its whole process group

    std::string errSoFar() const;
    std::string outSoFar() const;
    // Blocks until stderr contains `needle`, the child has ended or the timeout passed; returns
    // whether stderr contains `needle`.
    bool waitForErr(const std::string& needle, double timeoutSeconds);
    // Same for stdout.
    bool waitForOut(const std::string& needle, double timeoutSeconds);
    // Whether the child ended within the timeout (0: whether it has ended).
    bool waitForExit(double timeoutSeconds);
    // Waits for the child to end (honouring timeoutSeconds) and for its output; can be called
    // repeatedly.
    RunResult wait();

    struct Shared; // state shared with the collecting thread

  private:
    bool waitUntil(double timeoutSeconds, const std::string RunResult::*stream,
                   const std::string& needle);

    pid_t pid_ = -1;
    std::shared_ptr<Shared> shared_;
    std::thread collector_;
};

} // namespace qz::test
