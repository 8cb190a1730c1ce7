#include "gateway/devices/LockTable.h"

#include <algorithm>
#include <iterator>

namespace gateway {

bool LockTable::DeviceLocks::sharing(Holder h) const {
    return std::find(shared.begin(), shared.end(), h) != shared.end();
}

// ---- holders and their calls ----------------------------------------------------------------

LockTable::Holder LockTable::newHolder() {
    Lock lk(m_mutex);
    return m_nextOther++;
}

void LockTable::leave(Holder holder) {
    Lock lk(m_mutex);
    std::vector<std::string> freed;
    for (auto it = m_locks.begin(); it != m_locks.end();) {
        DeviceLocks& d = it->second;
        const bool held = d.exclusive == holder || d.sharing(holder);
        if (d.exclusive == holder) {
            d.exclusive = 0;
        }
        std::erase(d.shared, holder);
        if (held) {
            freed.push_back(it->first);
        }
        it = d.empty() ? m_locks.erase(it) : std::next(it);
    }
    for (const std::string& key : freed) {
        passOnLocked(key);
    }
    m_calls.erase(holder);
}

void LockTable::beginCall(Holder holder) {
    Lock lk(m_mutex);
    m_calls[holder] = {true, false};
}

void LockTable::endCall(Holder holder) {
    Lock lk(m_mutex);
    if (const auto it = m_calls.find(holder); it != m_calls.end()) {
        it->second = {false, false};
    }
}

void LockTable::abort(Holder holder) {
    Lock lk(m_mutex);
    const auto it = m_calls.find(holder);
    if (it == m_calls.end() || !it->second.busy) {
        return;
    }
    it->second.abortRequested = true;
    for (Waiter* w : m_waiters) {
        if (w->holder == holder) {
            w->wake.notify_one();
        }
    }
}

bool LockTable::takeAbortLocked(Holder holder) {
    const auto it = m_calls.find(holder);
    if (it == m_calls.end() || !it->second.abortRequested) {
        return false;
    }
    it->second.abortRequested = false;
    return true;
}

bool LockTable::takeAbort(Holder holder) {
    Lock lk(m_mutex);
    return takeAbortLocked(holder);
}

void LockTable::wake(Holder holder) {
    Lock lk(m_mutex);
    for (Waiter* w : m_waiters) {
        if (w->holder == holder) {
            w->wake.notify_one();
        }
    }
}

// ---- locks -----------------------------------------------------------------------------------

bool LockTable::freeLocked(const std::string& key, Holder holder) const {
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return true;
    }
    const DeviceLocks& d = it->second;
    if (d.exclusive != 0) {
        return d.exclusive == holder;
    }
    return d.shared.empty() || d.sharing(holder);
}

bool LockTable::freeFor(const std::string& key, Holder holder) const {
    Lock lk(m_mutex);
    return freeLocked(key, holder);
}

std::optional<LockTable::Holder> LockTable::holderOf(const std::string& key) const {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end() || it->second.exclusive == 0) {
        return std::nullopt;
    }
    return it->second.exclusive;
}

LockTable::Request LockTable::judgeLocked(const std::string& key, Holder holder,
                                          const Want& want) const {
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return Request::Granted;
    }
    const DeviceLocks& d = it->second;
    if (!want) {
        if (d.exclusive == holder) {
            return Request::Invalid;
        }
        // A shared holder may take the exclusive lock beside the others' shares.
        return d.exclusive == 0 && (d.shared.empty() || d.sharing(holder)) ? Request::Granted
                                                                           : Request::Busy;
    }
    if (d.sharing(holder) || (d.exclusive == holder && d.shared.empty())) {
        return Request::Invalid;
    }
    if (!d.shared.empty()) {
        return d.sharedKey == *want ? Request::Granted : Request::Busy;
    }
    return d.exclusive == 0 ? Request::Granted : Request::Busy;
}

void LockTable::grantLocked(const std::string& key, Holder holder, const Want& want) {
    DeviceLocks& d = m_locks[key];
    if (!want) {
        d.exclusive = holder;
        return;
    }
    if (d.shared.empty()) {
        d.sharedKey = *want;
    }
    d.shared.push_back(holder);
}

bool LockTable::tryLock(const std::string& key, Holder holder) {
    return tryRequest(key, holder, std::nullopt) == Request::Granted;
}

LockTable::Request LockTable::tryRequest(const std::string& key, Holder holder, const Want& want) {
    Lock lk(m_mutex);
    const Request r = judgeLocked(key, holder, want);
    if (r == Request::Granted) {
        grantLocked(key, holder, want);
    }
    return r;
}

WaitEnd LockTable::acquire(const std::string& key, Holder holder, Clock::time_point deadline,
                           const GoneCheck& gone) {
    return acquire(key, holder, std::nullopt, deadline, gone);
}

WaitEnd LockTable::acquire(const std::string& key, Holder holder, const Want& want,
                           Clock::time_point deadline, const GoneCheck& gone) {
    Lock lk(m_mutex);
    Waiter waiter;
    waiter.key = key;
    waiter.holder = holder;
    waiter.acquire = true;
    waiter.want = want;
    return wait(lk, waiter, deadline, gone);
}

WaitEnd LockTable::awaitFree(const std::string& key, Holder holder, Clock::time_point deadline,
                             const GoneCheck& gone) {
    Lock lk(m_mutex);
    Waiter waiter;
    waiter.key = key;
    waiter.holder = holder;
    return wait(lk, waiter, deadline, gone);
}

bool LockTable::release(const std::string& key, Holder holder) {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end() || it->second.exclusive != holder) {
        return false;
    }
    it->second.exclusive = 0;
    if (it->second.empty()) {
        m_locks.erase(it);
    }
    passOnLocked(key);
    return true;
}

LockTable::Released LockTable::releaseOne(const std::string& key, Holder holder) {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return Released::Nothing;
    }
    DeviceLocks& d = it->second;
    Released released = Released::Nothing;
    if (d.exclusive == holder) {
        d.exclusive = 0;
        released = Released::Exclusive;
    } else if (d.sharing(holder)) {
        std::erase(d.shared, holder);
        released = Released::Shared;
    }
    if (d.empty()) {
        m_locks.erase(it);
    }
    if (released != Released::Nothing) {
        passOnLocked(key);
    }
    return released;
}

LockTable::Info LockTable::info(const std::string& key) const {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return {};
    }
    const DeviceLocks& d = it->second;
    const bool alsoShared = d.exclusive != 0 && d.sharing(d.exclusive);
    return {d.exclusive != 0, d.shared.size() + (d.exclusive != 0 && !alsoShared ? 1 : 0)};
}

void LockTable::passOnLocked(const std::string& key) {
    // The waiters that may have a lock now get it, the longest waiting first: one exclusive
    // request, or every shared one with the key now held. The others sleep on.
    for (Waiter* w : m_waiters) {
        if (w->key == key && w->acquire && !w->granted &&
            judgeLocked(key, w->holder, w->want) == Request::Granted) {
            grantLocked(key, w->holder, w->want);
            w->granted = true;
            w->wake.notify_one();
        }
    }
    for (Waiter* w : m_waiters) {
        if (w->key == key && !w->acquire) {
            w->wake.notify_one();
        }
    }
}

// ---- waiting ---------------------------------------------------------------------------------

WaitEnd LockTable::wait(Lock& lk, Waiter& waiter, Clock::time_point deadline,
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

WaitEnd LockTable::waitListed(Lock& lk, Waiter& w, Clock::time_point deadline,
                              const GoneCheck& gone) {
    for (;;) {
        if (w.granted) {
            return WaitEnd::Ready;
        }
        if (w.acquire) {
            if (judgeLocked(w.key, w.holder, w.want) == Request::Granted) {
                grantLocked(w.key, w.holder, w.want);
                return WaitEnd::Ready;
            }
        } else if (freeLocked(w.key, w.holder)) {
            return WaitEnd::Ready;
        }
        if (m_stopping) {
            return WaitEnd::Gone;
        }
        if (takeAbortLocked(w.holder)) {
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

void LockTable::stop() {
    Lock lk(m_mutex);
    m_stopping = true;
    for (Waiter* w : m_waiters) {
        w->wake.notify_one();
    }
}

std::size_t LockTable::waiting() const {
    Lock lk(m_mutex);
    return m_waiters.size();
}

} // namespace gateway
