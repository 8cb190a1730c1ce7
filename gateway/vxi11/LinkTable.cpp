#include "gateway/vxi11/LinkTable.h"

#include "vxi11/codec/Vxi11Types.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace gateway {

namespace err = vxi11::err;

namespace {

constexpr std::int32_t kLargestLid = std::numeric_limits<std::int32_t>::max();

} // namespace

// ---- links ---------------------------------------------------------------------------------

std::int32_t LinkTable::nextLidLocked() {
    std::int32_t lid = m_nextLid;
    while (m_links.contains(lid) || lid < 1) {
        lid = lid < 1 || lid == kLargestLid ? 1 : lid + 1;
    }
    m_nextLid = lid == kLargestLid ? 1 : lid + 1;
    return lid;
}

std::optional<LinkTable::Created> LinkTable::create(std::uint64_t connection, const Device& device,
                                                    const std::string& requested, bool lockDevice,
                                                    std::uint32_t lockTimeoutMs,
                                                    const GoneCheck& gone) {
    Lock lk(m_mutex);
    if (m_links.size() >= m_maxLinks) {
        return Created{err::kOutOfResources, 0};
    }
    const std::int32_t lid = nextLidLocked();
    const std::string& key = device.key;
    if (lockDevice && !m_locks.tryLock(key, lid)) {
        if (lockTimeoutMs == 0) {
            return Created{err::kDeviceLockedByAnotherLink, 0};
        }
        lk.unlock();
        const WaitEnd end = m_locks.acquire(key, lid, deadlineAfter(lockTimeoutMs), gone);
        lk.lock();
        if (end == WaitEnd::Gone) {
            return std::nullopt;
        }
        if (end != WaitEnd::Ready) {
            return Created{err::kDeviceLockedByAnotherLink, 0};
        }
        // The table may have filled, or the id come round again, while the call waited.
        if (m_links.size() >= m_maxLinks || m_links.contains(lid)) {
            m_locks.release(key, lid);
            return Created{err::kOutOfResources, 0};
        }
    }
    Link link;
    link.view = LinkView{lid, device, requested};
    link.connection = connection;
    m_links.emplace(lid, std::move(link));
    return Created{err::kNoError, lid};
}

void LinkTable::eraseLocked(std::map<std::int32_t, Link>::iterator it, bool byCall) {
    m_locks.leave(static_cast<LockTable::Holder>(it->first));
    m_destroyed.push_back({it->first, it->second.view.device.key, byCall});
    m_links.erase(it);
}

std::int32_t LinkTable::destroy(std::int32_t lid, std::uint64_t connection) {
    Lock lk(m_mutex);
    if (findLocked(lid, connection) == nullptr) {
        return err::kInvalidLinkIdentifier;
    }
    eraseLocked(m_links.find(lid), true);
    return err::kNoError;
}

void LinkTable::dropConnection(std::uint64_t connection) {
    Lock lk(m_mutex);
    for (auto it = m_links.begin(); it != m_links.end();) {
        auto next = std::next(it);
        if (it->second.connection == connection) {
            eraseLocked(it, false);
        }
        it = next;
    }
}

LinkTable::Link* LinkTable::findLocked(std::int32_t lid, std::uint64_t connection) {
    const auto it = m_links.find(lid);
    return it == m_links.end() || it->second.connection != connection ? nullptr : &it->second;
}

std::optional<LinkView> LinkTable::find(std::int32_t lid, std::uint64_t connection) const {
    Lock lk(m_mutex);
    const auto it = m_links.find(lid);
    if (it == m_links.end() || it->second.connection != connection) {
        return std::nullopt;
    }
    return it->second.view;
}

// ---- calls in progress and abort ------------------------------------------------------------

LinkTable::Call::Call(LinkTable& table, std::int32_t lid) : m_locks(table.m_locks), m_lid(lid) {
    m_locks.beginCall(static_cast<LockTable::Holder>(m_lid));
}

LinkTable::Call::~Call() {
    m_locks.endCall(static_cast<LockTable::Holder>(m_lid));
}

bool LinkTable::takeAbort(std::int32_t lid) {
    return m_locks.takeAbort(static_cast<LockTable::Holder>(lid));
}

std::int32_t LinkTable::abort(std::int32_t lid) {
    {
        Lock lk(m_mutex);
        if (!m_links.contains(lid)) {
            return err::kInvalidLinkIdentifier;
        }
    }
    m_locks.abort(static_cast<LockTable::Holder>(lid));
    return err::kNoError;
}

// ---- locks ---------------------------------------------------------------------------------

bool LinkTable::lockFreeFor(const std::string& key, std::int32_t lid) const {
    return m_locks.freeFor(key, static_cast<LockTable::Holder>(lid));
}

bool LinkTable::holdsLock(std::int32_t lid) const {
    Lock lk(m_mutex);
    const auto it = m_links.find(lid);
    return it != m_links.end() &&
           m_locks.holderOf(it->second.view.device.key) == static_cast<LockTable::Holder>(lid);
}

bool LinkTable::tryLock(const std::string& key, std::int32_t lid) {
    return m_locks.tryLock(key, static_cast<LockTable::Holder>(lid));
}

WaitEnd LinkTable::awaitLockFree(const std::string& key, std::int32_t lid,
                                 Clock::time_point deadline, const GoneCheck& gone) {
    return m_locks.awaitFree(key, static_cast<LockTable::Holder>(lid), deadline, gone);
}

WaitEnd LinkTable::acquireLock(const std::string& key, std::int32_t lid, Clock::time_point deadline,
                               const GoneCheck& gone) {
    return m_locks.acquire(key, static_cast<LockTable::Holder>(lid), deadline, gone);
}

std::int32_t LinkTable::unlock(std::int32_t lid, std::uint64_t connection) {
    Lock lk(m_mutex);
    const Link* link = findLocked(lid, connection);
    if (link == nullptr) {
        return err::kInvalidLinkIdentifier;
    }
    return m_locks.release(link->view.device.key, static_cast<LockTable::Holder>(lid))
               ? err::kNoError
               : err::kNoLockHeldByThisLink;
}

// ---- SRQ -----------------------------------------------------------------------------------

std::int32_t LinkTable::enableSrq(std::int32_t lid, std::uint64_t connection, bool enable,
                                  const vxi11::xdr::Bytes& handle) {
    Lock lk(m_mutex);
    Link* link = findLocked(lid, connection);
    if (link == nullptr) {
        return err::kInvalidLinkIdentifier;
    }
    link->srqEnabled = enable;
    link->srqHandle = handle;
    return err::kNoError;
}

std::vector<LinkTable::SrqTarget> LinkTable::srqTargets(const std::string& source) const {
    Lock lk(m_mutex);
    std::vector<SrqTarget> out;
    for (const auto& [lid, link] : m_links) {
        if (link.srqEnabled && link.view.device.name.srqSource() == source) {
            out.push_back({lid, link.connection, link.srqHandle});
        }
    }
    return out;
}

bool LinkTable::anySrqEnabled() const {
    Lock lk(m_mutex);
    return std::any_of(m_links.begin(), m_links.end(),
                       [](const auto& entry) { return entry.second.srqEnabled; });
}

// ---- observation ---------------------------------------------------------------------------

std::size_t LinkTable::size() const {
    Lock lk(m_mutex);
    return m_links.size();
}

std::size_t LinkTable::waiting() const {
    return m_locks.waiting();
}

std::vector<LinkInfo> LinkTable::infos() const {
    Lock lk(m_mutex);
    std::vector<LinkInfo> out;
    for (const auto& [lid, link] : m_links) {
        out.push_back(
            {lid, link.view.device.key, link.view.requested, link.connection,
             m_locks.holderOf(link.view.device.key) == static_cast<LockTable::Holder>(lid)});
    }
    return out;
}

std::vector<DestroyedLink> LinkTable::destroyed() const {
    Lock lk(m_mutex);
    return m_destroyed;
}

std::optional<std::int32_t> LinkTable::lockHolder(const std::string& key) const {
    const auto holder = m_locks.holderOf(key);
    if (!holder || *holder >= LockTable::kFirstOtherHolder) {
        return std::nullopt; // free, or held by a client of another protocol
    }
    return static_cast<std::int32_t>(*holder);
}

bool LinkTable::anyLinkOf(const std::vector<std::uint64_t>& connections) const {
    Lock lk(m_mutex);
    return std::any_of(m_links.begin(), m_links.end(), [&](const auto& entry) {
        return std::find(connections.begin(), connections.end(), entry.second.connection) !=
               connections.end();
    });
}

} // namespace gateway
