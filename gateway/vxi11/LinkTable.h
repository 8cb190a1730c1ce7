#pragma once
// The simulator's VXI-11 links: who holds which link, which links want service requests, and
// each link as a holder of the bench's lock table (its link id is its holder id), so that the
// link's calls take, wait for and release device locks (and are aborted) by its link id. One
// mutex of its own, taken before the lock table's; no sockets, so tests drive it alone.

#include "gateway/devices/DeviceBus.h"
#include "gateway/devices/LockTable.h"
#include "gateway/vxi11/CallContext.h"
#include "vxi11/codec/Xdr.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace gateway {

/// A live link.
struct LinkInfo {
    std::int32_t lid = 0;
    std::string device;    ///< canonical name: "gpib0", "gpib0,5", "gpib0,5,2" or "inst0"
    std::string requested; ///< the name as create_link gave it
    std::uint64_t connection = 0;
    bool holdsLock = false;
};

/// One destroy_link call (also links destroyed because their connection dropped).
struct DestroyedLink {
    std::int32_t lid = 0;
    std::string device;
    bool byCall = true; ///< false: released because the connection ended
};

/// What a procedure needs of its link: a copy, valid after the table's mutex is released.
struct LinkView {
    std::int32_t lid = 0;
    Device device;         ///< what the link reaches (its key is the key of the device's lock)
    std::string requested; ///< the name as create_link gave it
};

class LinkTable {
public:
    /// At most `maxLinks` links, holding locks in `locks` (which outlives the table).
    LinkTable(std::size_t maxLinks, LockTable& locks) : m_maxLinks(maxLinks), m_locks(locks) {}
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
    std::optional<Created> create(std::uint64_t connection, const Device& device,
                                  const std::string& requested, bool lockDevice,
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
        LockTable& m_locks;
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

    /// Whether any link wants service requests.
    bool anySrqEnabled() const;

    /// Ends every wait for a lock (with Gone), and every later one: the server stops.
    void stop() { m_locks.stop(); }

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
        bool srqEnabled = false;
        vxi11::xdr::Bytes srqHandle;
    };
    using Lock = std::unique_lock<std::mutex>;

    Link* findLocked(std::int32_t lid, std::uint64_t connection);
    void eraseLocked(std::map<std::int32_t, Link>::iterator it, bool byCall);
    std::int32_t nextLidLocked();

    mutable std::mutex m_mutex;
    std::size_t m_maxLinks;
    LockTable& m_locks;
    std::map<std::int32_t, Link> m_links;
    std::int32_t m_nextLid = 1;
    std::vector<DestroyedLink> m_destroyed;
};

} // namespace gateway
