#pragma once

#include "base/result.h"

#include <atomic>
#include <csignal>
#include <map>
#include <string>
#include <thread>
#include <vector>

// The one owner of what signals do to this process and of the programs it starts (unzip, the
// install agent), as a desktop framework's task object is. Dispositions and the signal mask are
// the whole process's: nothing else changes them, and each change here is undone by what made it.
// A program we start gets the mask and dispositions the process started with, whatever is caught,
// ignored or blocked meanwhile.

namespace qz::platform {

// Signals the event loop hears. While caught, a signal does not take its action: its number is
// written, one byte, to a pipe that the loop watches. One object at a time.
//
// A signal the loop has not taken within two seconds (its thread stuck in a call that does not
// return, such as opening a display that never answers) ends the run abruptly (abrupt_ending.h)
// from a watchdog thread: the user is never ignored.
class CaughtSignals {
  public:
    CaughtSignals();
    // Gives every signal still caught the disposition it had before.
    ~CaughtSignals();
    CaughtSignals(const CaughtSignals&) = delete;
    CaughtSignals& operator=(const CaughtSignals&) = delete;

    // The pipe's end to watch for reading; -1 when no pipe could be made.
    int readEnd() const {
        return pipe_[0];
    }
    // True once the signal is caught (a second call changes nothing).
    bool catchSignal(int signal);
    // Gives the signal the disposition it had before it was caught.
    void release(int signal);
    // The signals that arrived since the last call, in their order.
    std::vector<int> take();

  private:
    void watch();

    int pipe_[2] = {-1, -1};
    std::map<int, struct sigaction> previous_;
    int stopWatching_[2] = {-1, -1};
    std::atomic<unsigned> taken_{0}; // calls of take(), which the watchdog sees go up
    std::thread watchdog_;
};

// Whether the signal is ignored now, as nohup leaves SIGHUP: such a signal is left alone, for
// the install agent too.
bool signalIgnored(int signal);

// Threads started while one lives get no signals: those stay with the main thread, whose calls
// they interrupt.
class SignalsBlocked {
  public:
    SignalsBlocked();
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};

// What the process does with signals while it waits for a program it started.
enum class Waiting {
    // Nothing changes: whoever catches signals (the event loop) goes on hearing them. Any
    // thread may wait so.
    LeavingSignals,
    // As system() waits, on the main thread only: SIGINT and SIGQUIT ignored (the terminal sends
    // them to the program too), SIGCHLD blocked, and SIGTERM and SIGHUP (unless ignored) passed
    // on to the program, the first of them recorded for passedOnSignal.
    AsTheForeground,
    // As system() waits, when no event loop catches signals (on the main thread, then): SIGINT
    // and SIGQUIT do not end the process but are recorded for interruptingSignal, SIGCHLD is
    // blocked; SIGTERM and SIGHUP keep their usual effect. With a loop that catches signals, as
    // LeavingSignals: the loop hears them.
    AsSystem,
};

// Runs the command line through /bin/sh, with the names in `unsetEnvironment` removed from its
// environment, and waits for it: its wait status, or a failure when no shell could be started.
Result<int> runThroughShell(std::string commandLine,
                            const std::vector<std::string>& unsetEnvironment, Waiting waiting);

// From now on every program started takes a shared lock on this lock file in its own process,
// before it runs: a process-associated lock, so it lasts exactly as long as that process (an
// install agent that execs itself keeps it) and is not inherited by what the program starts (an
// application an install agent leaves running holds nothing). `ours` is this process's own
// descriptor of that file, which the program must not carry to its exec: closing it there would
// drop the program's lock. The main thread only.
void holdSharedInStartedPrograms(const std::string& lockPath, int ours);

// The first SIGTERM or SIGHUP passed on to a program waited for in the foreground, or 0.
int passedOnSignal();

// The first SIGINT or SIGQUIT that came while a program was waited for as system() does, or 0:
// the user stopped that program from the terminal.
int interruptingSignal();

// With a signal passed on, ends the process as that signal ends one: so the program that ran us
// learns how the install agent ended. Returns when none was passed on.
void endAsThePassedOnSignalDoes();

} // namespace qz::platform
