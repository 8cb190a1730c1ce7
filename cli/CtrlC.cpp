#include "cli/CtrlC.h"

#include "net/Interrupt.h"

#include <atomic>
#include <csignal>

namespace cli {

namespace {

std::atomic<bool> g_interrupted{false};
std::atomic<int> g_interruptible{0};
std::atomic<bool> g_neverEnd{false};

void onInterrupt(int) {
    if (g_interruptible.load() > 0 || g_neverEnd.load()) {
        g_interrupted.store(true);
        net::interrupt::trigger();
        return;
    }
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
}

} // namespace

void installCtrlC() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a system call that Ctrl-C interrupts returns, and the waits look again.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    net::interrupt::arm(); // the waits watch for it from now on; not made first in the handler
}

void ctrlCNeverEnds() noexcept {
    g_neverEnd.store(true);
}

bool interrupted() noexcept {
    return g_interrupted.load();
}

void clearInterrupt() noexcept {
    g_interrupted.store(false);
    net::interrupt::reset();
}

Interruptible::Interruptible() noexcept {
    g_interruptible.fetch_add(1);
}

Interruptible::~Interruptible() {
    g_interruptible.fetch_sub(1);
}

bool sleepUntil(std::chrono::steady_clock::time_point until) {
    using namespace std::chrono;
    while (!interrupted()) {
        const auto left = ceil<milliseconds>(until - steady_clock::now());
        if (left.count() <= 0) {
            return true;
        }
        net::interrupt::sleepFor(left);
    }
    return false;
}

} // namespace cli
