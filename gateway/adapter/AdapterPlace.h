#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gateway::adapter {

/// Where the adapter is: a serial device, or a TCP host and port.
struct AdapterPlace {
    enum class Kind { Serial, Tcp };
    Kind kind = Kind::Serial;
    std::string path;       ///< the serial device (Serial)
    std::string host;       ///< a name, dotted IPv4, or IPv6 without brackets (Tcp)
    std::uint16_t port = 0; ///< (Tcp)
};

/// The TCP port of a network adapter when none is given.
constexpr std::uint16_t kDefaultAdapterPort = 1234;

/// Reads DEVICE: a path (it holds a '/') is a serial device; otherwise `HOST`, `HOST:PORT`,
/// `[IPV6]` or `[IPV6]:PORT`, port 1234 when none is given. Nothing for anything else (an
/// empty text, a bad port, an IPv6 address without brackets).
std::optional<AdapterPlace> parseAdapterPlace(std::string_view text);

} // namespace gateway::adapter
