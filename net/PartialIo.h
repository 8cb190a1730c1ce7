#pragma once

#include "net/SocketOps.h"
#include "net/TcpConnection.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace net {

/// One send or receive on a connected non-blocking socket that never waits: for a caller that
/// waits on several connections at once (waitAny) and must know exactly how far a transfer
/// got when its deadline passes.

/// Receives what is there now into `out` (not empty): the byte count, or nothing when no byte
/// is waiting. Throws TransportError: ConnectionLost when the peer closed or reset, System
/// for other failures.
std::optional<std::size_t> receiveNow(TcpConnection& connection, SocketOps& ops,
                                      std::span<std::uint8_t> out);

/// Sends as much of `pieces` (one stream, each piece from where it lies, at most
/// TcpConnection::kMaxPieces) as the socket takes now: the byte count, 0 when it takes none.
/// Throws TransportError as receiveNow does.
std::size_t sendNow(TcpConnection& connection, SocketOps& ops,
                    std::span<const std::span<const std::uint8_t>> pieces);

} // namespace net
