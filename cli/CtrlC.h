#pragma once
// Ctrl-C in the command line: it ends the command that runs (a blocking read or a wait ends at
// once), never the shell; in one-shot mode it ends the program unless a loop or a wait runs.

#include <chrono>

namespace cli {

/// Installs the SIGINT handler. Ctrl-C sets interrupted() and interrupts the network wait in
/// progress (net::interrupt), so a blocking library call ends with error 119 at once.
void installCtrlC();
/// From now on Ctrl-C never ends the program (the interactive shell).
void ctrlCNeverEnds() noexcept;
/// True after Ctrl-C, until clearInterrupt().
bool interrupted() noexcept;
/// Forgets a Ctrl-C that no command has seen yet (before each command, at each prompt).
void clearInterrupt() noexcept;

/// In one-shot mode, lets Ctrl-C end what runs in its scope (a loop, a wait) instead of the
/// program.
class Interruptible {
public:
    Interruptible() noexcept;
    ~Interruptible();
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;
};

/// Sleeps until `until`; returns false when Ctrl-C came first.
bool sleepUntil(std::chrono::steady_clock::time_point until);

} // namespace cli
