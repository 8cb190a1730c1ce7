#pragma once

#include "net/Deadline.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace net {

/// Resolves a host name to an IPv4 address (network byte order), or nullopt if unknown.
/// May block; callers bound it with a deadline.
using HostResolver = std::function<std::optional<std::uint32_t>(const std::string& host)>;

/// The resolver used when none is given: dotted IPv4 text directly, names via getaddrinfo.
std::optional<std::uint32_t> systemResolve(const std::string& host);

/// Resolves `host` within `deadline`: dotted IPv4 text at once, names through `resolver` on
/// a helper thread that is left behind if the deadline passes first. Throws TransportError
/// (host not found, or time-out).
std::uint32_t resolveHost(const std::string& host, const HostResolver& resolver, Deadline deadline);

/// The address of dotted IPv4 text (network byte order), or nullopt for anything else.
std::optional<std::uint32_t> parseIpv4(const std::string& text);

/// Dotted text of an IPv4 address in network byte order.
std::string ipv4Text(std::uint32_t ipv4);

} // namespace net
