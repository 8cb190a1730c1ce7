#include "gateway/LockTable.h"

#include <algorithm>
#include <iterator>

namespace gateway {

// ---- holders and their calls ----------------------------------------------------------------

void LockTable::leave(Holder holder) {
    Lock lk(m_mutex);
    for (auto it = m_locks.begin(); it != m_locks.end();) {
        const auto next = std::next(it);
        if (it->second == holder) {
            // A copy: releasing erases the entry that holds the key.
            const std::string key = it->first;
            releaseLocked(key, holder);
        }
        it = next;
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

// ---- locks -----------------------------------------------------------------------------------

bool LockTable::freeLocked(const std::string& key, Holder holder) const {
    const auto it = m_locks.find(key);
    return it == m_locks.end() || it->second == holder;
}

bool LockTable::freeFor(const std::string& key, Holder holder) const {
    Lock lk(m_mutex);
    return freeLocked(key, holder);
}

std::optional<LockTable::Holder> LockTable::holderOf(const std::string& key) const {
    Lock lk(m_mutex);
    const auto it = m_locks.find(key);
    if (it == m_locks.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool LockTable::tryLock(const std::string& key, Holder holder) {
    Lock lk(m_mutex);
    return m_locks.try_emplace(key, holder).second;
}

WaitEnd LockTable::acquire(const std::string& key, Holder holder, Clock::time_point deadline,
                           const GoneCheck& gone) {
    Lock lk(m_mutex);
    Waiter waiter;
    waiter.key = key;
    waiter.holder = holder;
    waiter.acquire = true;
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
    return releaseLocked(key, holder);
}

bool LockTable::releaseLocked(const std::string& key, Holder holder) {
    const auto it = m_locks.find(key);
    if (it == m_locks.end() || it->second != holder) {
        return false;
    }
    m_locks.erase(it);
    // Only one of the calls that want the lock can have it: it goes to the one that waited
    // longest, and the others sleep on. With none, every call waiting for the device goes.
    for (Waiter* w : m_waiters) {
        if (w->key == key && w->acquire && !w->granted) {
            m_locks.emplace(key, w->holder);
            w->granted = true;
            w->wake.notify_one();
            return true;
        }
    }
    for (Waiter* w : m_waiters) {
        if (w->key == key) {
            w->wake.notify_one();
        }
    }
    return true;
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
        if (w.granted || (w.acquire ? m_locks.try_emplace(w.key, w.holder).second
                                    : freeLocked(w.key, w.holder))) {
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
