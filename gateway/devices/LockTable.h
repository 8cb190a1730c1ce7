#pragma once
// The locks on the bench's devices, one table for every protocol the simulator serves: which
// holder holds which device's lock, the calls waiting for one, and which holder has a call in
// progress (the only calls an abort reaches). A holder is any client of the bench that may
// lock a device: a VXI-11 link, or a session of another protocol. A device is named by its
// key (its canonical device name). One mutex of its own; no sockets.
//
// A device has an exclusive lock and a shared one. The shared lock is held by any number of
// holders that asked with the same key; a shared holder may take the exclusive lock beside it.
// Only the exclusive holder reaches a device with an exclusive lock, only the shared holders
// one with a shared lock alone, and anyone a device with neither. VXI-11 knows the exclusive
// lock only, but meets the shared one like anyone who does not hold it.

#include "gateway/devices/Waits.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

    /// A fresh holder id for a client of another protocol than VXI-11 (from kFirstOtherHolder
    /// up, never given twice).
    Holder newHolder();
    /// The holder is gone: its locks are released (each passes to a waiter) and its call state
    /// forgotten, so that its id may be used again.
    void leave(Holder holder);

    /// True when `holder` may reach the device `key`: nobody else holds its exclusive lock, and
    /// if others hold its shared lock, `holder` is one of them.
    bool freeFor(const std::string& key, Holder holder) const;
    /// The holder of the exclusive lock on `key`, if any.
    std::optional<Holder> holderOf(const std::string& key) const;
    /// Takes the exclusive lock on `key` for `holder` if it can have it now.
    bool tryLock(const std::string& key, Holder holder);
    /// Takes the exclusive lock on `key` for `holder`, waiting until `deadline` while it cannot
    /// have it. When a lock is released it passes to the holder that has waited longest.
    WaitEnd acquire(const std::string& key, Holder holder, Clock::time_point deadline,
                    const GoneCheck& gone);
    /// Waits until `holder` may reach the device `key` (freeFor).
    WaitEnd awaitFree(const std::string& key, Holder holder, Clock::time_point deadline,
                      const GoneCheck& gone);
    /// Releases `holder`'s exclusive lock on `key` and passes it on; false when it does not
    /// hold it.
    bool release(const std::string& key, Holder holder);

    // ---- Both kinds of lock, as HiSLIP asks for them.
    /// Which lock a request asks for: the exclusive one (no key) or the shared one with a key.
    using Want = std::optional<std::string>;
    enum class Request {
        Granted, ///< held now
        Busy,    ///< another holds what stands in the way: wait, or fail
        Invalid  ///< `holder` already holds the lock it asks for
    };
    /// Takes the lock `want` on `key` for `holder` if it can have it now.
    Request tryRequest(const std::string& key, Holder holder, const Want& want);
    /// Takes the lock `want` on `key`, waiting until `deadline` while it cannot have it.
    WaitEnd acquire(const std::string& key, Holder holder, const Want& want,
                    Clock::time_point deadline, const GoneCheck& gone);
    /// What a release gave up.
    enum class Released { Exclusive, Shared, Nothing };
    /// Releases the exclusive lock if `holder` holds it (its shared lock stays), else its share
    /// of the shared lock.
    Released releaseOne(const std::string& key, Holder holder);
    /// What the locks on `key` are: whether the exclusive lock is held, and by how many holders
    /// any lock is held (one holding both counts once).
    struct Info {
        bool exclusive = false;
        std::size_t holders = 0;
    };
    Info info(const std::string& key) const;
    /// Wakes the waits of `holder`, so that they ask their GoneCheck again at once.
    void wake(Holder holder);

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
        bool acquire = false; ///< wants a lock itself, not only for the device to be free
        Want want;            ///< which lock, when it wants one
        bool granted = false; ///< the lock was passed to it on release
        std::condition_variable wake;
    };
    /// The locks of one device.
    struct DeviceLocks {
        Holder exclusive = 0; ///< 0: nobody
        std::string sharedKey;
        std::vector<Holder> shared;
        bool empty() const { return exclusive == 0 && shared.empty(); }
        bool sharing(Holder h) const;
    };
    using Lock = std::unique_lock<std::mutex>;

    bool freeLocked(const std::string& key, Holder holder) const;
    bool takeAbortLocked(Holder holder);
    Request judgeLocked(const std::string& key, Holder holder, const Want& want) const;
    /// Takes the lock `want` for `holder` (judged Granted).
    void grantLocked(const std::string& key, Holder holder, const Want& want);
    /// Passes what a release freed on `key` to the waiters that may have it now, oldest first,
    /// and wakes the calls waiting for the device to be free.
    void passOnLocked(const std::string& key);
    WaitEnd wait(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);
    WaitEnd waitListed(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);

    mutable std::mutex m_mutex;
    std::map<Holder, CallState> m_calls;        ///< holders that have had a call since they came
    std::map<std::string, DeviceLocks> m_locks; ///< held ones only
    std::list<Waiter*> m_waiters;               ///< in the order they came
    Holder m_nextOther = kFirstOtherHolder;
    bool m_stopping = false;
};

} // namespace gateway
