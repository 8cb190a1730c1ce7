#pragma once

#include "net/Deadline.h"
#include "net/SocketOps.h"

#include <cstdint>

namespace vxi11 {

/// Asks the portmapper at `ipv4`:`portmapperPort` (over TCP) for the port of the VXI-11 core
/// channel. Throws LibraryError: connection refused/lost, time-out, malformed reply, or "no
/// VXI-11 service" when the program is not registered.
std::uint16_t lookUpCorePort(std::uint32_t ipv4, std::uint16_t portmapperPort,
                             net::Deadline deadline,
                             net::SocketOps& ops = net::SocketOps::system());

} // namespace vxi11
