#include "socket/SocketTransport.h"

#include "library/LibraryError.h"
#include "library/Resource.h"
#include "net/Resolver.h"
#include "socket/SocketSession.h"

namespace rawsocket {

SocketTransport::SocketTransport(library::TransportOptions options, SocketOptions socket)
    : m_options(std::move(options)), m_socket(socket) {
    if (m_options.socketOps == nullptr) {
        m_options.socketOps = &net::SocketOps::system();
    }
}

std::unique_ptr<library::TransportSession> SocketTransport::open(const library::Resource& resource,
                                                                 const library::CallTime& time) {
    if (resource.kind != library::Resource::Kind::Socket || resource.port == 0) {
        throw library::LibraryError(library::liberr::kBadAddressSyntax, "not a socket resource");
    }
    return library::translated([&] {
        const net::Deadline deadline = time.ioDeadline();
        auto session = std::make_unique<SocketSession>(
            net::resolveHost(resource.host, m_options.resolver, deadline), resource.port,
            *m_options.socketOps, m_socket);
        session->connect(deadline);
        return std::unique_ptr<library::TransportSession>(std::move(session));
    });
}

} // namespace rawsocket
