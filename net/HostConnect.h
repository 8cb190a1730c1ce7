#pragma once

#include "net/Deadline.h"
#include "net/TcpConnection.h"

#include <cstdint>
#include <string>

namespace net {

/// Connects to `host` (a name or dotted IPv4 address, or an IPv6 literal without brackets) and
/// `port`, giving up at `deadline`; the connection is non-blocking with TCP_NODELAY, as
/// TcpConnection::connect makes it. Throws TransportError.
TcpConnection connectHost(const std::string& host, std::uint16_t port, Deadline deadline);

} // namespace net
