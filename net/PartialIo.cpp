#include "net/PartialIo.h"

#include "net/TransportError.h"

#include <cerrno>
#include <sys/uio.h>

namespace net {

namespace {

using Kind = TransportError::Kind;

void checkOpen(const TcpConnection& connection) {
    if (!connection.isOpen()) {
        throw TransportError(Kind::ConnectionLost, connection.peerText());
    }
}

} // namespace

std::optional<std::size_t> receiveNow(TcpConnection& connection, SocketOps& ops,
                                      std::span<std::uint8_t> out) {
    checkOpen(connection);
    for (;;) {
        const ssize_t n = ops.recv(connection.fd(), out.data(), out.size());
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            throw TransportError(Kind::ConnectionLost, connection.peerText());
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        throwSystemError(errno, connection.peerText());
    }
}

std::size_t sendNow(TcpConnection& connection, SocketOps& ops,
                    std::span<const std::span<const std::uint8_t>> pieces) {
    checkOpen(connection);
    if (pieces.size() > TcpConnection::kMaxPieces) {
        throw TransportError(Kind::System, "too many pieces to send");
    }
    iovec iov[TcpConnection::kMaxPieces];
    int count = 0;
    for (const auto& piece : pieces) {
        if (!piece.empty()) {
            iov[count].iov_base = const_cast<std::uint8_t*>(piece.data());
            iov[count].iov_len = piece.size();
            ++count;
        }
    }
    if (count == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t n = ops.sendv(connection.fd(), iov, count);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 0;
        }
        throwSystemError(n == 0 ? EPIPE : errno, connection.peerText());
    }
}

} // namespace net
