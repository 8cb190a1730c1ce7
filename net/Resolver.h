#pragma once

#include "net/Deadline.h"
#include "net/IpAddress.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace net {

/// Resolves a host name to its addresses, in the order to try them (empty if unknown). May
/// block; callers bound it with a deadline.
using HostResolver = std::function<std::vector<IpAddress>(const std::string& host)>;

/// The resolver used when none is given: getaddrinfo for both families, in its order, and
/// `localhost` as both loopbacks (127.0.0.1 first) whatever the hosts file says.
std::vector<IpAddress> systemResolve(const std::string& host);

/// Resolves `host` within `deadline`: an address literal (dotted IPv4, IPv6 with an optional
/// `%zone`) at once, names through `resolver` on a helper thread that is left behind if the
/// deadline passes first. Never empty; throws TransportError (host not found, or time-out).
std::vector<IpAddress> resolveHost(const std::string& host, const HostResolver& resolver,
                                   Deadline deadline);

/// The address of dotted IPv4 text (network byte order), or nullopt for anything else.
std::optional<std::uint32_t> parseIpv4(const std::string& text);

/// Dotted text of an IPv4 address in network byte order.
std::string ipv4Text(std::uint32_t ipv4);

} // namespace net
