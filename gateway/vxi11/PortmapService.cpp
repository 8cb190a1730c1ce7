#include "gateway/vxi11/PortmapService.h"

#include "net/Resolver.h"
#include "vxi11/codec/Vxi11Types.h"
#include "vxi11/rpc/RpcClient.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace gateway {

using namespace vxi11;

namespace {

/// Entries a client may add with SET, so the table cannot grow without bound.
constexpr std::size_t kMaxMappings = 1024;
/// How long one call to the system portmapper may take.
constexpr std::chrono::seconds kSystemPortmapperWait{2};
constexpr const char* kSystemPortmapperHost = "127.0.0.1";
/// The loopback network 127.0.0.0/8, as the top byte of a host-order address.
constexpr std::uint32_t kLoopbackNet = 127;
constexpr int kNetShift = 24;

/// Calls procedure P of the system portmapper on a connection of its own; nothing if it
/// cannot be reached or does not answer.
template <typename P>
std::optional<typename P::Result> callSystemPortmapper(const typename P::Args& args) {
    try {
        const net::Deadline deadline = net::Deadline::after(kSystemPortmapperWait);
        rpc::RpcClient rpc(net::TcpConnection::connect(*net::parseIpv4(kSystemPortmapperHost),
                                                       pmap::kDefaultPort, deadline));
        return rpc.call<P>(args, deadline);
    } catch (const net::TransportError&) {
        return std::nullopt;
    }
}

bool sameProgram(const pmap::Mapping& a, const pmap::Mapping& b) {
    return a.prog == b.prog && a.vers == b.vers;
}

} // namespace

void PortmapService::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

void PortmapService::serve(std::uint16_t portmapperPort, std::uint16_t corePort,
                           std::uint16_t abortPort) {
    std::lock_guard lk(m_mutex);
    m_mappings = {{pmap::kProgram, pmap::kVersion, pmap::kProtoTcp, portmapperPort},
                  {pmap::kProgram, pmap::kVersion, pmap::kProtoUdp, portmapperPort},
                  {kDeviceCore, kDeviceVersion, pmap::kProtoTcp, corePort},
                  {kDeviceAsync, kDeviceVersion, pmap::kProtoTcp, abortPort}};
}

std::uint32_t PortmapService::getPort(const pmap::Mapping& m) {
    std::uint32_t port = 0;
    {
        std::lock_guard lk(m_mutex);
        // Version 0 stands for "any version": rpcinfo asks so when given none, and takes the
        // port of whichever version is registered for the protocol.
        for (const pmap::Mapping& e : m_mappings) {
            if (e.prog == m.prog && (e.vers == m.vers || m.vers == 0) && e.prot == m.prot) {
                port = e.port;
            }
        }
    }
    log("portmap GETPORT prog=" + std::to_string(m.prog) + " -> " + std::to_string(port));
    return port;
}

bool PortmapService::mayChangeTable(const net::IpAddress& caller) {
    if (caller.v6) {
        return caller == net::IpAddress::ipv6Loopback();
    }
    return (ntohl(caller.ipv4()) >> kNetShift) == kLoopbackNet;
}

bool PortmapService::set(const pmap::Mapping& m, const net::IpAddress& caller) {
    if (!mayChangeTable(caller)) {
        log("portmap SET refused: the caller is not on this host");
        return false;
    }
    bool added = false;
    {
        std::lock_guard lk(m_mutex);
        const bool exists = std::any_of(m_mappings.begin(), m_mappings.end(), [&](const auto& e) {
            return sameProgram(e, m) && e.prot == m.prot;
        });
        added = !exists && m_mappings.size() < kMaxMappings;
        if (added) {
            m_mappings.push_back(m);
        }
    }
    log("portmap SET");
    return added;
}

bool PortmapService::unset(const pmap::Mapping& m, const net::IpAddress& caller) {
    if (!mayChangeTable(caller)) {
        log("portmap UNSET refused: the caller is not on this host");
        return false;
    }
    bool removed = false;
    {
        std::lock_guard lk(m_mutex);
        removed = std::erase_if(m_mappings, [&](const auto& e) { return sameProgram(e, m); }) > 0;
    }
    log("portmap UNSET");
    return removed;
}

pmap::MappingList PortmapService::dump() {
    pmap::MappingList list;
    {
        std::lock_guard lk(m_mutex);
        list.entries = m_mappings;
    }
    log("portmap DUMP");
    return list;
}

bool PortmapService::registerWithSystem(std::uint16_t corePort, std::uint16_t abortPort, bool set) {
    bool ok = true;
    for (auto [prog, port] :
         {std::pair{kDeviceCore, corePort}, std::pair{kDeviceAsync, abortPort}}) {
        const pmap::Mapping m{prog, kDeviceVersion, pmap::kProtoTcp, port};
        // Clear a stale entry first, as a restarted server would leave one behind.
        callSystemPortmapper<pmap::Unset>(m);
        if (set) {
            const auto result = callSystemPortmapper<pmap::Set>(m);
            ok = ok && result && result->value;
        }
    }
    return ok;
}

} // namespace gateway
