#pragma once
// The locks on the bench's devices, one table for every protocol the simulator serves: which
// holder holds which device's lock, the calls waiting for one, and which holder has a call in
// progress (the only calls an abort reaches). A holder is any client of the bench that may
// lock a device: a VXI-11 link, or a session of another protocol. A device is named by its
// key (its canonical device name). One mutex of its own; no sockets.

#include "gateway/CallContext.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace gateway {

class LockTable {
public:
    /// A holder's id, never 0. A VXI-11 link holds locks as its link id (below 2^31); clients
    /// of other protocols take ids from kFirstOtherHolder up, so that the two never meet.
    using Holder = std::uint64_t;
    static constexpr Holder kFirstOtherHolder = Holder{1} << 32;

    LockTable() = default;
    LockTable(const LockTable&) = delete;
    LockTable& operator=(const LockTable&) = delete;

    /// The holder is gone: its locks are released (each passes to a waiter) and its call state
    /// forgotten, so that its id may be used again.
    void leave(Holder holder);

    /// True when no other holder than `holder` holds the lock on `key`.
    bool freeFor(const std::string& key, Holder holder) const;
    /// The holder of the lock on `key`, if any.
    std::optional<Holder> holderOf(const std::string& key) const;
    /// Takes the lock on `key` for `holder` if nobody holds it.
    bool tryLock(const std::string& key, Holder holder);
    /// Takes the lock on `key` for `holder`, waiting until `deadline` while another holds it.
    /// When a lock is released it passes to the holder that has waited longest.
    WaitEnd acquire(const std::string& key, Holder holder, Clock::time_point deadline,
                    const GoneCheck& gone);
    /// Waits until no other holder than `holder` holds the lock on `key`.
    WaitEnd awaitFree(const std::string& key, Holder holder, Clock::time_point deadline,
                      const GoneCheck& gone);
    /// Releases `holder`'s lock on `key` and passes it on; false when it does not hold it.
    bool release(const std::string& key, Holder holder);

    /// Marks `holder` as having a call in progress, until endCall.
    void beginCall(Holder holder);
    void endCall(Holder holder);
    /// Marks the call in progress of `holder` (if any) aborted and wakes it if it waits for a
    /// lock.
    void abort(Holder holder);
    /// True, once, when an abort came for the holder's call in progress.
    bool takeAbort(Holder holder);

    /// Ends every wait (with Gone) and every later one: the server stops.
    void stop();
    /// Calls waiting for a lock now.
    std::size_t waiting() const;

private:
    /// A holder's call in progress.
    struct CallState {
        bool busy = false;
        bool abortRequested = false;
    };
    /// One call waiting for a lock, woken on its own.
    struct Waiter {
        std::string key;
        Holder holder = 0;
        bool acquire = false; ///< wants the lock itself, not only for it to be free
        bool granted = false; ///< the lock was passed to it on release
        std::condition_variable wake;
    };
    using Lock = std::unique_lock<std::mutex>;

    bool freeLocked(const std::string& key, Holder holder) const;
    bool takeAbortLocked(Holder holder);
    /// Releases `holder`'s lock on `key`, if it holds it, and passes it on to a waiter.
    bool releaseLocked(const std::string& key, Holder holder);
    WaitEnd wait(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);
    WaitEnd waitListed(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);

    mutable std::mutex m_mutex;
    std::map<Holder, CallState> m_calls;   ///< holders that have had a call since they came
    std::map<std::string, Holder> m_locks; ///< device key -> holder
    std::list<Waiter*> m_waiters;          ///< in the order they came
    bool m_stopping = false;
};

} // namespace gateway
