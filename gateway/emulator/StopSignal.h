#pragma once
// How a served adapter's thread learns that it must end: a flag, and a pipe that every wait
// of that thread watches, so stop() reaches it wherever it waits.

#include "net/Deadline.h"
#include "net/Fd.h"

#include <atomic>
#include <exception>

namespace gateway::emulator {

/// Thrown out of whatever the adapter was doing when it is stopped.
class Stopped : public std::exception {
public:
    const char* what() const noexcept override { return "adapter stopped"; }
};

/// A stop request that can be waited on beside descriptors.
class StopSignal {
public:
    /// Throws std::system_error when no pipe can be made.
    StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    /// Asks the thread to end; any thread, any number of times.
    void request() noexcept;
    bool requested() const noexcept { return m_requested.load(std::memory_order_acquire); }
    /// Throws Stopped once a stop was requested.
    void check() const;
    /// Readable once a stop was requested: watch it beside the descriptors a wait is for.
    int fd() const noexcept { return m_read.get(); }
    /// Waits until `deadline`; throws Stopped as soon as a stop is requested.
    void sleepUntil(net::Deadline deadline) const;

private:
    std::atomic<bool> m_requested{false};
    net::Fd m_read;
    net::Fd m_write;
};

} // namespace gateway::emulator
