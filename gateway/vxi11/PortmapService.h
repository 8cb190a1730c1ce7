#pragma once
// The portmapper: the simulator's own table of programs and ports (version 2, over TCP and
// UDP), or its registration with a system portmapper that serves instead.

#include "gateway/serving/ServerConfig.h"
#include "net/IpAddress.h"
#include "vxi11/codec/Portmap.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace gateway {

class PortmapService {
public:
    explicit PortmapService(const Log& log) : m_log(log) {}

    /// Fills the table with the portmapper itself and the core and abort channels.
    void serve(std::uint16_t portmapperPort, std::uint16_t corePort, std::uint16_t abortPort);

    /// GETPORT: the port of (prog, vers, prot), 0 if none. Version 0 stands for any version.
    std::uint32_t getPort(const vxi11::pmap::Mapping& m);
    /// True for a caller that may change the table: one on this host's loopback network,
    /// 127.0.0.0/8 or ::1. As with rpcbind, the host's other
    /// addresses do not count: over UDP any host can claim them, and a local program can
    /// always use loopback.
    static bool mayChangeTable(const net::IpAddress& caller);
    /// SET from `caller`: false when the caller may not change the table, (prog, vers,
    /// prot) is registered already or the table is full.
    bool set(const vxi11::pmap::Mapping& m, const net::IpAddress& caller);
    /// UNSET from `caller`: removes (prog, vers) for every protocol; false when the caller
    /// may not change the table or there was none.
    bool unset(const vxi11::pmap::Mapping& m, const net::IpAddress& caller);
    /// DUMP: the whole table.
    vxi11::pmap::MappingList dump();

    /// Registers the core and abort channels with the system portmapper on 127.0.0.1:111
    /// (`set`), or takes the registration back. True if every SET succeeded.
    bool registerWithSystem(std::uint16_t corePort, std::uint16_t abortPort, bool set);

private:
    void log(const std::string& line) const;

    const Log& m_log;
    std::mutex m_mutex;
    std::vector<vxi11::pmap::Mapping> m_mappings;
};

} // namespace gateway
