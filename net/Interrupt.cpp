#include "net/Interrupt.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace net::interrupt {

namespace {

std::atomic<bool> g_pending{false};
std::atomic<int> g_wakeFd{-1};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

} // namespace

int wakeFd() noexcept {
    int fd = g_wakeFd.load();
    if (fd >= 0) {
        return fd;
    }
    // Made on first use, from a signal handler too (eventfd and close are plain system calls);
    // a thread that loses the race closes its own.
    const int made = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (made < 0) {
        return -1; // poll() ignores a negative descriptor; take() still sees a trigger
    }
    if (g_wakeFd.compare_exchange_strong(fd, made)) {
        return made;
    }
    ::close(made);
    return fd;
}

int watchedFd() noexcept {
    return g_wakeFd.load();
}

void arm() noexcept {
    wakeFd();
}

void trigger() noexcept {
    // The flag first: a wait that wakes on the descriptor must find it set.
    g_pending.store(true);
    const int fd = wakeFd();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    }
}

void clearWake() noexcept {
    const int fd = g_wakeFd.load();
    if (fd >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
    }
}

void reset() noexcept {
    g_pending.store(false);
    clearWake();
}

bool pending() noexcept {
    return g_pending.load();
}

bool sleepFor(std::chrono::milliseconds span) noexcept {
    using Clock = std::chrono::steady_clock;
    const bool forever = span.count() < 0;
    const auto until = Clock::now() + (forever ? std::chrono::milliseconds(0) : span);
    while (!pending()) {
        int ms = -1;
        if (!forever) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) {
                break;
            }
            ms = static_cast<int>(std::min<long long>(left, 1 << 30));
        }
        pollfd p{wakeFd(), POLLIN, 0};
        if (::poll(&p, 1, ms) > 0 && !pending()) {
            clearWake(); // a trigger already taken left the descriptor readable
        }
    }
    return pending();
}

bool take() noexcept {
    if (!g_pending.load(std::memory_order_relaxed) || !g_pending.exchange(false)) {
        return false;
    }
    clearWake();
    return true;
}

} // namespace net::interrupt
