#include "gateway/hislip/HislipService.h"

#include "net/TransportError.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

namespace gateway {

namespace {

/// How long the refusal of a connection over the cap may take to go out.
constexpr std::chrono::milliseconds kRefusalLimit{100};

} // namespace

void HislipService::log(const std::string& line) const {
    if (m_config.log) {
        m_config.log("hislip " + line);
    }
}

void HislipService::refuse(net::TcpConnection& socket) {
    try {
        socket.sendAll(hislip::fatalError(hislip::fatalCode::kTooManyClients, "too many clients"),
                       net::Deadline::after(kRefusalLimit));
    } catch (const net::TransportError&) {
        // Closed all the same.
    }
}

std::optional<Device> HislipService::resolve(std::string_view subAddress) {
    if (std::optional<Device> lan = m_bus.findLan(subAddress)) {
        return lan;
    }
    if (subAddress.empty() || sameIgnoringCase(subAddress, "hislip0")) {
        return m_bus.defaultLan();
    }
    std::optional<DeviceName> name = parseHislipAlias(subAddress);
    if (!name) {
        auto parsed = parseDeviceName(subAddress);
        if (auto* device = std::get_if<DeviceName>(&parsed); device && !device->isInterface) {
            name = *device;
        }
    }
    if (!name) {
        return std::nullopt;
    }
    // A session is opened only to a device that is there.
    Device device = m_bus.find(*name);
    if (!device.present()) {
        return std::nullopt;
    }
    return device;
}

std::uint16_t HislipService::nextIdLocked() {
    // Non-zero, unique among live sessions, and not the one just used: a client that lost its
    // session (a fatal error) gets an unrelated ID for the next.
    while (m_nextId == 0 || m_sessions.contains(m_nextId)) {
        ++m_nextId;
    }
    return m_nextId++;
}

std::shared_ptr<HislipSession> HislipService::open(std::string_view subAddress,
                                                   std::shared_ptr<Endpoint> sync) {
    std::optional<Device> target = resolve(subAddress);
    if (!target) {
        return nullptr;
    }
    HislipSession::State initial;
    initial.overlapped = m_config.hislip.overlapped;
    initial.clientMax = m_config.hislip.clientMaxBefore;
    const std::lock_guard lk(m_mutex);
    const std::uint16_t id = nextIdLocked();
    auto session = std::make_shared<HislipSession>(
        id, std::move(sync), DeviceAccess(m_bus, m_locks, *target, m_locks.newHolder()), initial);
    m_sessions.emplace(id, session);
    log("session " + std::to_string(id) + " opens on " + target->key);
    return session;
}

std::shared_ptr<HislipSession> HislipService::bind(std::uint16_t id,
                                                   std::shared_ptr<Endpoint> async) {
    const std::lock_guard lk(m_mutex);
    const auto it = m_sessions.find(id);
    if (it == m_sessions.end() || !it->second->bindAsync(std::move(async))) {
        return nullptr;
    }
    return it->second;
}

void HislipService::done(HislipSession& session, bool sync) {
    if (!session.channelDone(sync)) {
        return;
    }
    // Both threads are done with the lock table: nothing can take a lock for it any more.
    session.releaseMav();
    DeviceAccess& device = session.device();
    device.with([&](BusTurn& turn) { turn.forgetInput(device.device(), device.holder()); });
    m_locks.leave(session.device().holder());
    const std::lock_guard lk(m_mutex);
    m_sessions.erase(session.id());
    log("session " + std::to_string(session.id()) + " ends");
}

std::size_t HislipService::liveSessions() const {
    const std::lock_guard lk(m_mutex);
    return m_sessions.size();
}

void HislipService::serviceRequest(const std::string& source) {
    std::vector<std::shared_ptr<HislipSession>> targets;
    {
        const std::lock_guard lk(m_mutex);
        for (const auto& [id, session] : m_sessions) {
            if (session->device().device().key == source && session->established()) {
                targets.push_back(session);
            }
        }
    }
    for (const auto& session : targets) {
        const bool armed = session->update(
            [](HislipSession::State& s) { return std::exchange(s.srqArmed, false); });
        if (armed) {
            session->sendAsync(hislip::asyncServiceRequest(session->device().statusByte()));
        }
    }
}

} // namespace gateway
