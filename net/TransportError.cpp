#include "net/TransportError.h"

#include <cerrno>
#include <cstring>

namespace net {

TransportError::TransportError(Kind kind, std::string detail)
    : std::runtime_error(detail.empty() ? "transport error" : detail), m_kind(kind),
      m_detail(std::move(detail)) {}

void throwSystemError(int error, const std::string& peer) {
    switch (error) {
    case ECONNREFUSED:
        throw TransportError(TransportError::Kind::ConnectionRefused, peer);
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
    case ECONNABORTED:
        throw TransportError(TransportError::Kind::ConnectionLost, peer);
    case ETIMEDOUT:
        throw TransportError(TransportError::Kind::Timeout, peer);
    default:
        throw TransportError(TransportError::Kind::System, std::strerror(error));
    }
}

} // namespace net
