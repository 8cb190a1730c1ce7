#include "net/HostConnect.h"

#include "net/Resolver.h"

namespace net {

TcpConnection connectHost(const std::string& host, std::uint16_t port, Deadline deadline) {
    // Every address of either family, tried in the resolver's order.
    return TcpConnection::connectAny(resolveHost(host, systemResolve, deadline), port, deadline);
}

} // namespace net
