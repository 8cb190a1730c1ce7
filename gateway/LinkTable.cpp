#include "gateway/LinkTable.h"

#include "vxi11/codec/Vxi11Types.h"

#include <algorithm>
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

std::optional<LinkTable::Created> LinkTable::create(std::uint64_t connection,
                                                    const DeviceName& name, Instrument* device,
                                                    const std::string& requested, bool lockDevice,
                                                    std::uint32_t lockTimeoutMs,
                                                    const GoneCheck& gone) {
    Lock lk(m_mutex);
    if (m_links.size() >= m_maxLinks) {
        return Created{err::kOutOfResources, 0};
    }
    const std::int32_t lid = nextLidLocked();
    const std::string key = name.canonical();
    if (lockDevice && !freeLocked(key, -1)) {
        if (lockTimeoutMs == 0) {
            return Created{err::kDeviceLockedByAnotherLink, 0};
        }
        Waiter waiter;
        waiter.key = key;
        waiter.lid = lid;
        waiter.acquire = true;
        const WaitEnd end = wait(lk, waiter, deadlineAfter(lockTimeoutMs), gone);
        if (end == WaitEnd::Gone && !waiter.granted) {
            return std::nullopt;
        }
        if (end != WaitEnd::Ready) {
            return Created{err::kDeviceLockedByAnotherLink, 0};
        }
    }
    if (lockDevice) {
        m_locks.try_emplace(key, lid);
        // The table may have filled, or the id come round again, while the call waited.
        if (m_links.size() >= m_maxLinks || m_links.contains(lid)) {
            releaseLocked(key, lid);
            return Created{err::kOutOfResources, 0};
        }
    }
    Link link;
    link.view = LinkView{lid, name, key, device, requested};
    link.connection = connection;
    m_links.emplace(lid, std::move(link));
    return Created{err::kNoError, lid};
}

void LinkTable::eraseLocked(std::map<std::int32_t, Link>::iterator it, bool byCall) {
    releaseLocked(it->second.view.key, it->first);
    m_destroyed.push_back({it->first, it->second.view.key, byCall});
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

LinkTable::Call::Call(LinkTable& table, std::int32_t lid) : m_table(table), m_lid(lid) {
    Lock lk(table.m_mutex);
    if (const auto it = table.m_links.find(lid); it != table.m_links.end()) {
        it->second.busy = true;
        it->second.abortRequested = false;
    }
}

LinkTable::Call::~Call() {
    m_table.endCall(m_lid);
}

void LinkTable::endCall(std::int32_t lid) {
    Lock lk(m_mutex);
    if (const auto it = m_links.find(lid); it != m_links.end()) {
        it->second.busy = false;
        it->second.abortRequested = false;
    }
}

bool LinkTable::takeAbortLocked(std::int32_t lid) {
    const auto it = m_links.find(lid);
    if (it == m_links.end() || !it->second.abortRequested) {
        return false;
    }
    it->second.abortRequested = false;
    return true;
}

bool LinkTable::takeAbort(std::int32_t lid) {
    Lock lk(m_mutex);
    return takeAbortLocked(lid);
}

std::int32_t LinkTable::abort(std::int32_t lid) {
    Lock lk(m_mutex);
    const auto it = m_links.find(lid);
    if (it == m_links.end()) {
        return err::kInvalidLinkIdentifier;
    }
    if (it->second.busy) {
        it->second.abortRequested = true;
        for (Waiter* w : m_waiters) {
            if (w->lid == lid) {
                w->wake.notify_one();
            }
        }
    }
    return err::kNoError;
}

// ---- locks ---------------------------------------------------------------------------------

bool LinkTable::freeLocked(const std::string& key, std::int32_t lid) const {
    const auto it = m_locks.find(key);
    return it == m_locks.end() || it->second == lid;
}

bool LinkTable::lockFreeFor(const std::string& key, std::int32_t lid) const {
    Lock lk(m_mutex);
    return freeLocked(key, lid);
}

bool LinkTable::holdsLock(std::int32_t lid) const {
    Lock lk(m_mutex);
    const auto it = m_links.find(lid);
    if (it == m_links.end()) {
        return false;
    }
    const auto lock = m_locks.find(it->second.view.key);
    return lock != m_locks.end() && lock->second == lid;
}

bool LinkTable::tryLock(const std::string& key, std::int32_t lid) {
    Lock lk(m_mutex);
    return m_locks.try_emplace(key, lid).second;
}

WaitEnd LinkTable::awaitLockFree(const std::string& key, std::int32_t lid,
                                 Clock::time_point deadline, const GoneCheck& gone) {
    Lock lk(m_mutex);
    Waiter waiter;
    waiter.key = key;
    waiter.lid = lid;
    return wait(lk, waiter, deadline, gone);
}

WaitEnd LinkTable::acquireLock(const std::string& key, std::int32_t lid, Clock::time_point deadline,
                               const GoneCheck& gone) {
    Lock lk(m_mutex);
    Waiter waiter;
    waiter.key = key;
    waiter.lid = lid;
    waiter.acquire = true;
    return wait(lk, waiter, deadline, gone);
}

std::int32_t LinkTable::unlock(std::int32_t lid, std::uint64_t connection) {
    Lock lk(m_mutex);
    const Link* link = findLocked(lid, connection);
    if (link == nullptr) {
        return err::kInvalidLinkIdentifier;
    }
    const auto it = m_locks.find(link->view.key);
    if (it == m_locks.end() || it->second != lid) {
        return err::kNoLockHeldByThisLink;
    }
    releaseLocked(link->view.key, lid);
    return err::kNoError;
}

void LinkTable::releaseLocked(const std::string& key, std::int32_t lid) {
    const auto it = m_locks.find(key);
    if (it == m_locks.end() || it->second != lid) {
        return;
    }
    m_locks.erase(it);
    // Only one of the calls that want the lock can have it: it goes to the one that waited
    // longest, and the others sleep on. With none, every call waiting for the device goes.
    for (Waiter* w : m_waiters) {
        if (w->key == key && w->acquire && !w->granted) {
            m_locks.emplace(key, w->lid);
            w->granted = true;
            w->wake.notify_one();
            return;
        }
    }
    for (Waiter* w : m_waiters) {
        if (w->key == key) {
            w->wake.notify_one();
        }
    }
}

// ---- waiting -------------------------------------------------------------------------------

WaitEnd LinkTable::wait(Lock& lk, Waiter& waiter, Clock::time_point deadline,
                        const GoneCheck& gone) {
    m_waiters.push_back(&waiter);
    const auto listed = std::prev(m_waiters.end());
    struct Unlist {
        std::list<Waiter*>& list;
        std::list<Waiter*>::iterator it;
        ~Unlist() { list.erase(it); }
    } unlist{m_waiters, listed};
    return waitListed(lk, waiter, deadline, gone);
}

WaitEnd LinkTable::waitListed(Lock& lk, Waiter& w, Clock::time_point deadline,
                              const GoneCheck& gone) {
    for (;;) {
        if (w.granted ||
            (w.acquire ? m_locks.try_emplace(w.key, w.lid).second : freeLocked(w.key, w.lid))) {
            return WaitEnd::Ready;
        }
        if (m_stopping) {
            return WaitEnd::Gone;
        }
        if (takeAbortLocked(w.lid)) {
            return WaitEnd::Aborted;
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return WaitEnd::Timeout;
        }
        w.wake.wait_until(lk, std::min(deadline, now + kGoneCheckInterval));
        if (w.granted) {
            return WaitEnd::Ready;
        }
        lk.unlock();
        const bool left = gone && gone();
        lk.lock();
        if (left && !w.granted) {
            return WaitEnd::Gone;
        }
    }
}

void LinkTable::stop() {
    Lock lk(m_mutex);
    m_stopping = true;
    for (Waiter* w : m_waiters) {
        w->wake.notify_one();
    }
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
        if (link.srqEnabled && link.view.name.srqSource() == source) {
            out.push_back({lid, link.connection, link.srqHandle});
        }
    }
    return out;
}

// ---- observation ---------------------------------------------------------------------------

std::size_t LinkTable::size() const {
    Lock lk(m_mutex);
    return m_links.size();
}

std::size_t LinkTable::waiting() const {
    Lock lk(m_mutex);
    return m_waiters.size();
}

std::vector<LinkInfo> LinkTable::infos() const {
    Lock lk(m_mutex);
    std::vector<LinkInfo> out;
    for (const auto& [lid, link] : m_links) {
        const auto it = m_locks.find(link.view.key);
        out.push_back({lid, link.view.key, link.view.requested, link.connection,
                       it != m_locks.end() && it->second == lid});
    }
    return out;
}

std::vector<DestroyedLink> LinkTable::destroyed() const {
    Lock lk(m_mutex);
    return m_destroyed;
}

std::optional<std::int32_t> LinkTable::lockHolder(const std::string& key) const {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool LinkTable::anyLinkOf(const std::vector<std::uint64_t>& connections) const {
    Lock lk(m_mutex);
    return std::any_of(m_links.begin(), m_links.end(), [&](const auto& entry) {
        return std::find(connections.begin(), connections.end(), entry.second.connection) !=
               connections.end();
    });
}

} // namespace gateway
