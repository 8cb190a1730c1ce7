#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct sockaddr_storage;

namespace net {

/// An IPv4 or IPv6 address, with the zone (interface index) of a link-local IPv6 one.
struct IpAddress {
    bool v6 = false;
    /// IPv4: the first four bytes, in network order; IPv6: all sixteen.
    std::array<std::uint8_t, 16> bytes{};
    std::uint32_t scope = 0; ///< IPv6 zone: the interface index, 0 for none

    /// An IPv4 address given in network byte order.
    static IpAddress fromIpv4(std::uint32_t ipv4) noexcept;
    /// The IPv6 loopback, ::1.
    static IpAddress ipv6Loopback() noexcept;
    /// The IPv4 address in network byte order; 0 for an IPv6 address.
    std::uint32_t ipv4() const noexcept;
    /// Dotted IPv4, or IPv6 text with `%zone` (the interface's name) when it has one.
    std::string text() const;
    /// As text(), in brackets for IPv6: for "HOST:PORT" texts.
    std::string hostText() const;

    /// Fills `out` with this address and `port`; returns the length of the address used.
    unsigned toSockaddr(std::uint16_t port, sockaddr_storage& out) const noexcept;
    /// The address of a socket address of either family (the port ignored).
    static IpAddress fromSockaddr(const sockaddr_storage& in) noexcept;

    bool operator==(const IpAddress&) const = default;
};

/// Dotted IPv4 text, or IPv6 text with an optional zone (`fe80::1%eth0`, or `%2` by index),
/// without brackets; nullopt for anything else (a name, an unknown interface).
std::optional<IpAddress> parseIpLiteral(std::string_view text);

} // namespace net
