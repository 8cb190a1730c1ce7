#include "lan/LanLibrary.h"

#include "hislip/client/HislipTransport.h"
#include "socket/SocketTransport.h"
#include "vxi11/transport/Vxi11Transport.h"

namespace lan {

namespace {

library::Library::Transports allTransports(const library::TransportOptions& options) {
    library::Library::Transports transports;
    transports[static_cast<std::size_t>(library::Resource::Kind::Vxi11)] =
        std::make_unique<vxi11::Vxi11Transport>(options);
    hislip::HislipOptions hislipOptions;
    hislipOptions.transport = options;
    transports[static_cast<std::size_t>(library::Resource::Kind::Hislip)] =
        std::make_unique<hislip::HislipTransport>(hislipOptions);
    transports[static_cast<std::size_t>(library::Resource::Kind::Socket)] =
        std::make_unique<rawsocket::SocketTransport>(options);
    return transports;
}

} // namespace

LanLibrary::LanLibrary() : LanLibrary(Options{}) {}

LanLibrary::LanLibrary(Options options) : Library(options, allTransports(options)) {}

} // namespace lan
