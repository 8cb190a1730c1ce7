#include "vxi11/PortmapClient.h"

#include "vxi11/LibraryError.h"
#include "vxi11/Portmap.h"
#include "vxi11/RpcClient.h"
#include "vxi11/Vxi11Types.h"

namespace vxi11 {

std::uint16_t lookUpCorePort(std::uint32_t ipv4, std::uint16_t portmapperPort, Deadline deadline,
                             SocketOps& ops) {
    RpcClient rpc(TcpConnection::connect(ipv4, portmapperPort, deadline, ops));
    const pmap::Mapping query{kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0};
    const pmap::PortResult result = rpc.call<pmap::GetPort>(query, deadline);
    if (result.port == 0) {
        throw LibraryError(liberr::kNoVxi11Service, rpc.connection().peerText());
    }
    if (result.port > 65535) {
        throw LibraryError(liberr::kMalformedReply, "bad port");
    }
    return static_cast<std::uint16_t>(result.port);
}

} // namespace vxi11
