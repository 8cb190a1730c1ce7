#pragma once
// The simulator's links and the locks on its devices: who holds which link, which link holds
// which device's lock, which link has a call in progress (the only calls an abort reaches),
// and the calls waiting for a lock. One mutex of its own; no sockets, so tests drive it alone.

#include "gateway/CallContext.h"
#include "gateway/DeviceName.h"
#include "gateway/Snapshots.h"
#include "vxi11/codec/Xdr.h"

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

class Instrument;

/// What a procedure needs of its link: a copy, valid after the table's mutex is released.
struct LinkView {
    std::int32_t lid = 0;
    DeviceName name;
    std::string key;              ///< canonical device name, also the key of the device's lock
    Instrument* device = nullptr; ///< null on the interface link and where nothing is present
    std::string requested;        ///< the name as create_link gave it
};

class LinkTable {
public:
    explicit LinkTable(std::size_t maxLinks) : m_maxLinks(maxLinks) {}
    LinkTable(const LinkTable&) = delete;
    LinkTable& operator=(const LinkTable&) = delete;

    /// The answer to create_link: a VXI-11 error, or 0 and the new link's id.
    struct Created {
        std::int32_t error = 0;
        std::int32_t lid = 0;
    };
    /// A new link of `connection` to `name`. With `lockDevice` it waits up to `lockTimeoutMs`
    /// for the device's lock and takes it; refused with 11 if it does not get it, and with 9
    /// when the table is full. Nothing when the client went away (or the server stops) first.
    std::optional<Created> create(std::uint64_t connection, const DeviceName& name,
                                  Instrument* device, const std::string& requested, bool lockDevice,
                                  std::uint32_t lockTimeoutMs, const GoneCheck& gone);
    /// destroy_link: 0, or 4 when `connection` has no such link. Releases its lock.
    std::int32_t destroy(std::int32_t lid, std::uint64_t connection);
    /// Destroys every link of a connection that ended and releases their locks.
    void dropConnection(std::uint64_t connection);
    /// The link `lid` if it belongs to `connection`: a call from another connection cannot use
    /// (or destroy) a link whose call may be waiting.
    std::optional<LinkView> find(std::int32_t lid, std::uint64_t connection) const;

    /// Marks a link busy for the length of one call; abort reaches busy links only.
    class Call {
    public:
        Call(LinkTable& table, std::int32_t lid);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        LinkTable& m_table;
        std::int32_t m_lid;
    };
    /// True, once, when an abort came for the link's call in progress.
    bool takeAbort(std::int32_t lid);
    /// device_abort: 0, or 4 for an unknown link. Marks the link's call (if any) aborted and
    /// wakes it if it waits for a lock.
    std::int32_t abort(std::int32_t lid);

    /// True when no other link than `lid` holds the lock on `key`.
    bool lockFreeFor(const std::string& key, std::int32_t lid) const;
    /// True when `lid` holds the lock on its device.
    bool holdsLock(std::int32_t lid) const;
    /// Waits until no other link than `lid` holds the lock on `key`.
    WaitEnd awaitLockFree(const std::string& key, std::int32_t lid, Clock::time_point deadline,
                          const GoneCheck& gone);
    /// Takes the lock on `key` for `lid`, waiting until `deadline` while another link holds
    /// it. When a lock is released it passes to the link that has waited longest.
    WaitEnd acquireLock(const std::string& key, std::int32_t lid, Clock::time_point deadline,
                        const GoneCheck& gone);
    /// Takes the lock on `key` for `lid` if nobody holds it.
    bool tryLock(const std::string& key, std::int32_t lid);
    /// device_unlock: 0, 4 for a link not of `connection`, 12 when the link holds no lock.
    std::int32_t unlock(std::int32_t lid, std::uint64_t connection);

    /// device_enable_srq: 0, or 4 for a link not of `connection`.
    std::int32_t enableSrq(std::int32_t lid, std::uint64_t connection, bool enable,
                           const vxi11::xdr::Bytes& handle);
    /// A link with SRQ enabled, and its connection and handle.
    struct SrqTarget {
        std::int32_t lid = 0;
        std::uint64_t connection = 0;
        vxi11::xdr::Bytes handle;
    };
    /// The links with SRQ enabled that hear `source` (see DeviceName::srqSource).
    std::vector<SrqTarget> srqTargets(const std::string& source) const;

    /// Ends every wait (with Gone) and every later one: the server stops.
    void stop();

    // ---- Observation.
    std::size_t size() const;
    std::vector<LinkInfo> infos() const;
    std::vector<DestroyedLink> destroyed() const;
    std::optional<std::int32_t> lockHolder(const std::string& key) const;
    /// Calls waiting for a lock now.
    std::size_t waiting() const;
    /// True if any of `connections` holds a link.
    bool anyLinkOf(const std::vector<std::uint64_t>& connections) const;

private:
    struct Link {
        LinkView view;
        std::uint64_t connection = 0;
        bool busy = false; ///< a call is in progress on the link
        bool abortRequested = false;
        bool srqEnabled = false;
        vxi11::xdr::Bytes srqHandle;
    };
    /// One call waiting for a lock, woken on its own.
    struct Waiter {
        std::string key;
        std::int32_t lid = 0;
        bool acquire = false; ///< wants the lock itself, not only for it to be free
        bool granted = false; ///< the lock was passed to it on release
        std::condition_variable wake;
    };
    using Lock = std::unique_lock<std::mutex>;

    Link* findLocked(std::int32_t lid, std::uint64_t connection);
    bool freeLocked(const std::string& key, std::int32_t lid) const;
    bool takeAbortLocked(std::int32_t lid);
    void endCall(std::int32_t lid);
    /// Releases `lid`'s lock on `key`, if it holds it, and passes it on to a waiter.
    void releaseLocked(const std::string& key, std::int32_t lid);
    void eraseLocked(std::map<std::int32_t, Link>::iterator it, bool byCall);
    std::int32_t nextLidLocked();
    WaitEnd wait(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);
    WaitEnd waitListed(Lock& lk, Waiter& waiter, Clock::time_point deadline, const GoneCheck& gone);

    mutable std::mutex m_mutex;
    std::size_t m_maxLinks;
    std::map<std::int32_t, Link> m_links;
    std::int32_t m_nextLid = 1;
    std::map<std::string, std::int32_t> m_locks; ///< device key -> holding link
    std::list<Waiter*> m_waiters;                ///< in the order they came
    std::vector<DestroyedLink> m_destroyed;
    bool m_stopping = false;
};

} // namespace gateway
