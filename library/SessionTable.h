#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace library {

/// Open sessions by id. Ids are positive 16-bit numbers, never 0, and an id is not handed out
/// again while its session is open. Safe to use from several threads; a session object is
/// shared, so a call on it can finish while another thread closes the table entry.
template <typename Session>
class SessionTable {
public:
    using Id = std::int16_t;
    static constexpr Id kMaxId = 32767;

    /// Adds a session; returns its id, or 0 when every id is taken.
    Id add(std::shared_ptr<Session> session) {
        std::lock_guard lock(m_mutex);
        // Continue after the id handed out last, so a just-closed id is not reused at once
        // and a stale id held by a caller is unlikely to name someone else's session.
        for (int tries = 0; tries < kMaxId; ++tries) {
            m_last = static_cast<Id>(m_last >= kMaxId ? 1 : m_last + 1);
            if (!m_sessions.contains(m_last)) {
                m_sessions.emplace(m_last, std::move(session));
                return m_last;
            }
        }
        return 0;
    }

    /// The session with this id, or null.
    std::shared_ptr<Session> find(Id id) const {
        std::lock_guard lock(m_mutex);
        const auto it = m_sessions.find(id);
        return it == m_sessions.end() ? nullptr : it->second;
    }

    /// Removes and returns the session with this id, or null.
    std::shared_ptr<Session> take(Id id) {
        std::lock_guard lock(m_mutex);
        const auto it = m_sessions.find(id);
        if (it == m_sessions.end()) {
            return nullptr;
        }
        auto session = std::move(it->second);
        m_sessions.erase(it);
        return session;
    }

    /// Removes every session and returns them (for shutting down).
    std::vector<std::shared_ptr<Session>> takeAll() {
        std::lock_guard lock(m_mutex);
        std::vector<std::shared_ptr<Session>> all;
        for (auto& [id, session] : m_sessions) {
            all.push_back(std::move(session));
        }
        m_sessions.clear();
        return all;
    }

    std::size_t size() const {
        std::lock_guard lock(m_mutex);
        return m_sessions.size();
    }

private:
    mutable std::mutex m_mutex;
    std::map<Id, std::shared_ptr<Session>> m_sessions;
    Id m_last = 0;
};

} // namespace library
