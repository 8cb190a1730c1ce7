#pragma once

#include "net/Deadline.h"
#include "net/IpAddress.h"
#include "net/SocketOps.h"

#include <cstdint>
#include <vector>

namespace vxi11 {

/// Asks the portmapper at one of `addresses` (tried in order):`portmapperPort` (over TCP) for
/// the port of the VXI-11 core channel; `answered` is the address that answered, where the
/// core channel is. Throws LibraryError: connection refused/lost, time-out, malformed reply,
/// or "no VXI-11 service" when the program is not registered.
std::uint16_t lookUpCorePort(const std::vector<net::IpAddress>& addresses,
                             std::uint16_t portmapperPort, net::Deadline deadline,
                             net::SocketOps& ops, net::IpAddress& answered);
/// As above, at one IPv4 address (network byte order).
std::uint16_t lookUpCorePort(std::uint32_t ipv4, std::uint16_t portmapperPort,
                             net::Deadline deadline,
                             net::SocketOps& ops = net::SocketOps::system());

} // namespace vxi11
