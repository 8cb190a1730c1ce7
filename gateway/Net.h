#pragma once
// The simulator's socket unit: listening sockets, poll-based sends that give up when the
// server stops, and a small synchronous RPC call for registering with a system portmapper.

#include "vxi11/codec/Xdr.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace gateway::net {

/// A TCP socket bound to `address`:`port` (0 = free port) and listening; -1 on failure.
int listenTcp(const std::string& address, std::uint16_t port, std::string* error);
/// A UDP socket bound to `address`:`port`; -1 on failure.
int bindUdp(const std::string& address, std::uint16_t port, std::string* error);
/// The local port of a bound socket.
std::uint16_t localPort(int fd);
/// Sends all of `data`; waits with poll and gives up (false) when `wakeFd` becomes readable
/// or the peer fails.
bool sendAll(int fd, vxi11::xdr::ByteView data, int wakeFd);
/// True if the peer has closed or reset the connection (does not consume data).
bool peerGone(int fd);
void closeFd(int& fd);
/// A TCP connection to the IPv4 address `address` (host order) and `port`; -1 on failure or
/// when it takes longer than `timeout`.
int connectTcp(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds timeout);
/// One RPC call over TCP to `address`:`port`; the reply's record, or nothing on any failure.
std::optional<vxi11::xdr::Bytes> tcpCall(const std::string& address, std::uint16_t port,
                                         vxi11::xdr::ByteView callMessage,
                                         std::chrono::milliseconds timeout);

} // namespace gateway::net
