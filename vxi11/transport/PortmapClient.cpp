#include "vxi11/transport/PortmapClient.h"

#include "library/LibraryError.h"
#include "vxi11/codec/Portmap.h"
#include "vxi11/codec/Vxi11Types.h"
#include "vxi11/rpc/RpcClient.h"

#include <limits>

namespace vxi11 {

using library::LibraryError;
using library::translated;
namespace liberr = library::liberr;

std::uint16_t lookUpCorePort(std::uint32_t ipv4, std::uint16_t portmapperPort,
                             net::Deadline deadline, net::SocketOps& ops) {
    net::IpAddress answered;
    return lookUpCorePort({net::IpAddress::fromIpv4(ipv4)}, portmapperPort, deadline, ops,
                          answered);
}

std::uint16_t lookUpCorePort(const std::vector<net::IpAddress>& addresses,
                             std::uint16_t portmapperPort, net::Deadline deadline,
                             net::SocketOps& ops, net::IpAddress& answered) {
    rpc::RpcClient rpc;
    const pmap::Mapping query{kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0};
    const pmap::PortResult result = translated([&] {
        rpc = rpc::RpcClient(
            net::TcpConnection::connectAny(addresses, portmapperPort, deadline, ops));
        answered = rpc.connection().peerAddress();
        return rpc.call<pmap::GetPort>(query, deadline);
    });
    if (result.port == 0) {
        throw LibraryError(liberr::kNoVxi11Service, rpc.connection().peerText());
    }
    if (result.port > std::numeric_limits<std::uint16_t>::max()) {
        throw LibraryError(liberr::kMalformedReply, "bad port");
    }
    return static_cast<std::uint16_t>(result.port);
}

} // namespace vxi11
