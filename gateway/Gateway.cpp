#include "gateway/Gateway.h"

#include "gateway/devices/DeviceName.h"
#include "gateway/devices/ServiceRequests.h"
#include "gateway/hislip/HislipService.h"
#include "gateway/serving/Server.h"
#include "gateway/socket/ScpiSocketService.h"
#include "gateway/vxi11/AbortService.h"
#include "gateway/vxi11/CoreService.h"
#include "gateway/vxi11/Dispatch.h"
#include "gateway/vxi11/PortmapService.h"
#include "gateway/vxi11/Vxi11Server.h"
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

GatewayConfig normalised(GatewayConfig config) {
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
class Gateway::Impl {
public:
    Impl(GatewayConfig configuration, DeviceBus& devices)
        : config(normalised(std::move(configuration))), links(config.limits.maxLinks, locks),
          bus(devices), serviceRequests(bus), portmap(config.log),
          interrupts(config.log, config.interruptChannels), abort(links, bus, config.log),
          core(links, bus, config.limits, config.log),
          dispatch({portmap, core, abort, interrupts}, config.log), server(config.listenAddress),
          vxi11({config.listenAddress, config.portmapperPort, &config.limits, &config.log},
                dispatch, links, interrupts),
          hislip(HislipConfig{config.hislip, config.limits, config.log}, bus, locks),
          socket(bus, locks) {
        // VXI-11 delivers a request on the interrupt channel of each link that hears it,
        // HiSLIP to the sessions of the device that asks.
        serviceRequests.subscribe(
            [this](const std::string& source) { interrupts.notify(links.srqTargets(source)); },
            [this] { return links.anySrqEnabled(); });
        // Each protocol has a cap of its own, so that one's idle clients cannot lock out
        // another's.
        hislipGroup.cap = config.limits.maxConnections;
        socketGroup.cap = config.limits.maxConnections;
        if (config.hislipPort) {
            serviceRequests.subscribe(
                [this](const std::string& source) { hislip.serviceRequest(source); },
                [this] { return hislip.liveSessions() > 0; });
            server.addService(hislip, *config.hislipPort, hislipGroup);
        }
        if (config.socketPort) {
            server.addService(socket, *config.socketPort, socketGroup);
        }
    }

    const GatewayConfig config;
    LockTable locks;
    LinkTable links;
    DeviceBus& bus;
    ServiceRequests serviceRequests;
    PortmapService portmap;
    InterruptChannels interrupts;
    AbortService abort;
    CoreService core;
    Dispatch dispatch;
    Server server;
    Vxi11Server vxi11;
    HislipService hislip;
    ScpiSocketService socket;
    Server::Group hislipGroup;
    Server::Group socketGroup;
    std::mutex mutex; ///< guards the two flags
    bool started = false;
    bool stopping = false;
    std::uint16_t portmapperPort = 0;
};

Gateway::Gateway(GatewayConfig config, DeviceBus& bus)
    : m_impl(std::make_unique<Impl>(std::move(config), bus)) {}

Gateway::~Gateway() {
    stop();
}

bool Gateway::start(std::string* error) {
    Impl& s = *m_impl;
    std::lock_guard lk(s.mutex);
    if (s.started) {
        if (error != nullptr) {
            *error = "already started";
        }
        return false;
    }
    if (s.config.socketPort && !s.bus.defaultLan()) {
        if (error != nullptr) {
            *error = "the raw socket serves the first LAN instrument, and there is none";
        }
        return false;
    }
    const bool registering = s.config.registerWithSystemPortmapper;
    if (!s.vxi11.attach(s.server, !registering, error) || !s.server.open(error)) {
        return false;
    }
    if (registering) {
        s.portmapperPort = vxi11::pmap::kDefaultPort;
        if (!s.portmap.registerWithSystem(corePort(), abortPort(), true)) {
            if (error != nullptr) {
                *error = "the system portmapper on 127.0.0.1:111 refused the registration "
                         "or does not run";
            }
            s.server.stop();
            return false;
        }
    } else {
        s.portmapperPort = s.vxi11.portmapperPort();
        s.portmap.serve(s.portmapperPort, corePort(), abortPort());
    }
    s.core.setAbortPort(abortPort());
    s.started = true;
    s.server.start();
    return true;
}

void Gateway::stop() {
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
        s.portmap.registerWithSystem(corePort(), abortPort(), false);
    }
}

const GatewayConfig& Gateway::config() const {
    return m_impl->config;
}

std::uint16_t Gateway::portmapperPort() const {
    return m_impl->portmapperPort;
}

std::uint16_t Gateway::corePort() const {
    return m_impl->vxi11.corePort(m_impl->server);
}

std::uint16_t Gateway::abortPort() const {
    return m_impl->vxi11.abortPort(m_impl->server);
}

std::uint16_t Gateway::hislipPort() const {
    return m_impl->server.portOf(m_impl->hislip);
}

std::uint16_t Gateway::socketPort() const {
    return m_impl->server.portOf(m_impl->socket);
}

std::string Gateway::readyLine() const {
    // An IPv6 address is bracketed, as clients write it beside a port.
    const std::string& host = m_impl->config.listenAddress;
    std::string line =
        "ready portmapper=" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
        ":" + std::to_string(portmapperPort()) + " core=" + std::to_string(corePort()) +
        " abort=" + std::to_string(abortPort());
    if (m_impl->config.hislipPort) {
        line += " hislip=" + std::to_string(hislipPort());
    }
    if (m_impl->config.socketPort) {
        line += " socket=" + std::to_string(socketPort());
    }
    return line;
}

std::size_t Gateway::hislipSessions() const {
    return m_impl->hislip.liveSessions();
}

LockTable::Info Gateway::lockInfo(std::string_view device) const {
    const auto key = lockKey(device);
    return key ? m_impl->locks.info(*key) : LockTable::Info{};
}

std::size_t Gateway::liveLinks() const {
    return m_impl->links.size();
}

std::size_t Gateway::liveConnections() const {
    return m_impl->server.liveConnections();
}

std::vector<LinkInfo> Gateway::links() const {
    return m_impl->links.infos();
}

std::vector<DestroyedLink> Gateway::destroyedLinks() const {
    return m_impl->links.destroyed();
}

std::optional<std::string> Gateway::lockKey(std::string_view device) const {
    if (const std::optional<Device> lan = m_impl->bus.findLan(device)) {
        return lan->key;
    }
    const auto parsed = parseDeviceName(device);
    const auto* name = std::get_if<DeviceName>(&parsed);
    if (name == nullptr) {
        return std::nullopt;
    }
    return name->canonical();
}

std::optional<std::int32_t> Gateway::lockHolder(std::string_view device) const {
    const auto key = lockKey(device);
    return key ? m_impl->links.lockHolder(*key) : std::nullopt;
}

std::uint64_t Gateway::callCount() const {
    return m_impl->dispatch.callCount();
}

void Gateway::failNextCall(std::optional<std::int32_t> lid, std::int32_t error) {
    m_impl->dispatch.failNextCall(lid, error);
}

void Gateway::dropNextCall(std::optional<std::int32_t> lid) {
    m_impl->dispatch.dropNextCall(lid);
}

} // namespace gateway
