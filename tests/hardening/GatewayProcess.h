#pragma once
// The gateway simulator program run as a child process, for tests that kill it or measure
// what it holds (memory, open sockets) from the outside.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace hardening {

/// One siclquill-gateway process on loopback with its own portmapper on a free port. The
/// constructor waits for its ready line; the destructor stops it (SIGTERM, then SIGKILL).
class GatewayProcess {
public:
    explicit GatewayProcess(std::vector<std::string> args = {"--demo"});
    ~GatewayProcess();
    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    bool ready() const { return m_corePort != 0; }
    std::uint16_t portmapperPort() const { return m_portmapperPort; }
    std::uint16_t corePort() const { return m_corePort; }
    /// The HiSLIP and raw socket ports of its ready line; 0 when it serves neither.
    std::uint16_t hislipPort() const { return m_hislipPort; }
    std::uint16_t socketPort() const { return m_socketPort; }
    pid_t pid() const { return m_pid; }
    /// The address of device `pad` on this gateway, as the library takes it.
    std::string deviceAddress(int pad) const;

    /// Kills the process at once (SIGKILL) and reaps it.
    void kill();
    /// True while the process runs.
    bool alive();
    /// Peak resident memory (VmHWM) and current resident memory (VmRSS) in KiB; 0 if unknown.
    long peakMemoryKiB() const;
    long memoryKiB() const;
    /// Open sockets of the process (listening ones included).
    int openSockets() const;

private:
    pid_t m_pid = -1;
    std::uint16_t m_portmapperPort = 0;
    std::uint16_t m_corePort = 0;
    std::uint16_t m_hislipPort = 0;
    std::uint16_t m_socketPort = 0;
};

} // namespace hardening
