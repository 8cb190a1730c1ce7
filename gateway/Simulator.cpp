#include "gateway/Simulator.h"

#include "gateway/AbortService.h"
#include "gateway/CoreService.h"
#include "gateway/DeviceName.h"
#include "gateway/Dispatch.h"
#include "gateway/GuardedBus.h"
#include "gateway/HislipService.h"
#include "gateway/LinkTable.h"
#include "gateway/LockTable.h"
#include "gateway/PortmapService.h"
#include "gateway/ScpiSocketService.h"
#include "gateway/Server.h"
#include "gateway/ServiceRequests.h"
#include "vxi11/codec/Portmap.h"

#include <algorithm>
#include <mutex>
#include <variant>

namespace gateway {

namespace {

/// A gateway must take device_write data of at least this size.
constexpr std::uint32_t kMinRecvSize = 1024;
/// Room for the RPC and call headers around the largest device_write data.
constexpr std::size_t kRecordOverhead = 2048;

SimulatorConfig normalised(SimulatorConfig config) {
    SimulatorLimits& limits = config.limits;
    if (limits.maxRecordSize == 0) {
        limits.maxRecordSize = 2 * std::size_t{limits.maxRecvSize} + kRecordOverhead;
    }
    limits.maxRecvSize = std::max(limits.maxRecvSize, kMinRecvSize);
    limits.maxReadChunk = std::max<std::uint32_t>(limits.maxReadChunk, 1);
    return config;
}

} // namespace

/// The rooms, built in the order they depend on each other.
class Simulator::Impl {
public:
    explicit Impl(SimulatorConfig configuration)
        : config(normalised(std::move(configuration))), links(config.limits.maxLinks, locks),
          bus(config.instruments, config.lanInstruments, config.busAddress,
              config.limits.maxQueueBytes),
          portmap(config.log), interrupts(config.log, config.interruptChannels),
          abort(links, bus, config.log), core(links, bus, config.limits, config.log),
          serviceRequests(bus),
          dispatch({portmap, core, abort, interrupts, serviceRequests}, config.log),
          server(config, dispatch, links, interrupts), hislip(config, bus, locks, serviceRequests),
          socket(bus, locks, serviceRequests) {
        // VXI-11 delivers a request on the interrupt channel of each link that hears it,
        // HiSLIP to the sessions of the instrument that asks.
        serviceRequests.subscribe(
            [this](const std::string& source) { interrupts.notify(links.srqTargets(source)); });
        if (config.hislipPort) {
            serviceRequests.subscribe(
                [this](const std::string& source) { hislip.serviceRequest(source); });
            server.addService(hislip, *config.hislipPort);
        }
        if (config.socketPort) {
            server.addService(socket, *config.socketPort);
        }
    }

    const SimulatorConfig config;
    LockTable locks;
    LinkTable links;
    GuardedBus bus;
    PortmapService portmap;
    InterruptChannels interrupts;
    AbortService abort;
    CoreService core;
    ServiceRequests serviceRequests;
    Dispatch dispatch;
    Server server;
    HislipService hislip;
    ScpiSocketService socket;
    std::mutex mutex; ///< guards the two flags
    bool started = false;
    bool stopping = false;
    std::uint16_t portmapperPort = 0;
};

Simulator::Simulator(SimulatorConfig config) : m_impl(std::make_unique<Impl>(std::move(config))) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string* error) {
    Impl& s = *m_impl;
    std::lock_guard lk(s.mutex);
    if (s.started) {
        if (error != nullptr) {
            *error = "already started";
        }
        return false;
    }
    if (s.config.socketPort && s.config.lanInstruments.empty()) {
        if (error != nullptr) {
            *error = "the raw socket serves the first LAN instrument, and there is none";
        }
        return false;
    }
    const bool registering = s.config.registerWithSystemPortmapper;
    if (!s.server.open(!registering, error)) {
        return false;
    }
    if (registering) {
        s.portmapperPort = vxi11::pmap::kDefaultPort;
        if (!s.portmap.registerWithSystem(s.server.corePort(), s.server.abortPort(), true)) {
            if (error != nullptr) {
                *error = "the system portmapper on 127.0.0.1:111 refused the registration "
                         "or does not run";
            }
            s.server.stop();
            return false;
        }
    } else {
        s.portmapperPort = s.server.portmapperPort();
        s.portmap.serve(s.portmapperPort, s.server.corePort(), s.server.abortPort());
    }
    s.core.setAbortPort(s.server.abortPort());
    s.started = true;
    s.server.start();
    return true;
}

void Simulator::stop() {
    Impl& s = *m_impl;
    {
        std::lock_guard lk(s.mutex);
        if (!s.started || s.stopping) {
            return;
        }
        s.stopping = true;
    }
    // Waiting calls end first, so that their connections can close.
    s.locks.stop();
    s.bus.stop();
    s.server.stop();
    if (s.config.registerWithSystemPortmapper) {
        s.portmap.registerWithSystem(s.server.corePort(), s.server.abortPort(), false);
    }
}

std::string Simulator::listenAddress() const {
    return m_impl->config.listenAddress;
}

std::uint16_t Simulator::portmapperPort() const {
    return m_impl->portmapperPort;
}

std::uint16_t Simulator::corePort() const {
    return m_impl->server.corePort();
}

std::uint16_t Simulator::abortPort() const {
    return m_impl->server.abortPort();
}

std::uint16_t Simulator::hislipPort() const {
    return m_impl->server.portOf(m_impl->hislip);
}

std::uint16_t Simulator::socketPort() const {
    return m_impl->server.portOf(m_impl->socket);
}

std::string Simulator::readyLine() const {
    std::string line = "ready portmapper=" + listenAddress() + ":" +
                       std::to_string(portmapperPort()) + " core=" + std::to_string(corePort()) +
                       " abort=" + std::to_string(abortPort());
    if (m_impl->config.hislipPort) {
        line += " hislip=" + std::to_string(hislipPort());
    }
    if (m_impl->config.socketPort) {
        line += " socket=" + std::to_string(socketPort());
    }
    return line;
}

std::size_t Simulator::hislipSessions() const {
    return m_impl->hislip.liveSessions();
}

LockTable::Info Simulator::lockInfo(std::string_view device) const {
    const auto key = lockKey(device);
    return key ? m_impl->locks.info(*key) : LockTable::Info{};
}

std::size_t Simulator::liveLinks() const {
    return m_impl->links.size();
}

std::size_t Simulator::liveConnections() const {
    return m_impl->server.liveConnections();
}

std::vector<LinkInfo> Simulator::links() const {
    return m_impl->links.infos();
}

std::vector<DestroyedLink> Simulator::destroyedLinks() const {
    return m_impl->links.destroyed();
}

std::optional<InstrumentSnapshot> Simulator::instrument(int pad, std::optional<int> sad) const {
    return m_impl->bus.instrument(pad, sad);
}

BusSnapshot Simulator::bus() const {
    return m_impl->bus.snapshot();
}

std::optional<InstrumentSnapshot> Simulator::instrument(std::string_view name) const {
    return m_impl->bus.instrument(name);
}

std::optional<std::string> Simulator::lockKey(std::string_view device) const {
    if (const Instrument* lan = m_impl->bus.findLan(device)) {
        return lan->name();
    }
    const auto parsed = parseDeviceName(device);
    const auto* name = std::get_if<DeviceName>(&parsed);
    if (name == nullptr) {
        return std::nullopt;
    }
    return name->canonical();
}

std::optional<std::int32_t> Simulator::lockHolder(std::string_view device) const {
    const auto key = lockKey(device);
    return key ? m_impl->links.lockHolder(*key) : std::nullopt;
}

std::uint64_t Simulator::callCount() const {
    return m_impl->dispatch.callCount();
}

void Simulator::failNextCall(std::optional<std::int32_t> lid, std::int32_t error) {
    m_impl->dispatch.failNextCall(lid, error);
}

void Simulator::dropNextCall(std::optional<std::int32_t> lid) {
    m_impl->dispatch.dropNextCall(lid);
}

bool Simulator::setInstrumentFaults(int pad, std::optional<int> sad,
                                    const InstrumentFaults& faults) {
    return m_impl->bus.setInstrumentFaults(pad, sad, faults);
}

} // namespace gateway
