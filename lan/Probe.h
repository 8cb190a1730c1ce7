#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace lan {

/// What a probe of a host found: a value, or the library's error number and text (the same
/// numbers and texts as the entries report).
template <typename T>
struct Probed {
    std::optional<T> value;
    int errorNumber = 0;
    std::string errorText;

    explicit operator bool() const noexcept { return value.has_value(); }
};

/// The IPv4 address (network byte order) of a host name or dotted address, looked up within
/// `within`.
Probed<std::uint32_t> resolveHost(const std::string& host, std::chrono::milliseconds within);

/// The address of dotted IPv4 text (network byte order), or nullopt for anything else.
std::optional<std::uint32_t> parseIpv4(const std::string& text);
/// Dotted text of an IPv4 address in network byte order.
std::string ipv4Text(std::uint32_t ipv4);

/// Asks the portmapper at `ipv4`:`portmapperPort` for the VXI-11 core channel's port, within
/// `within`. Fails with the library's errors: nothing listening, no VXI-11 service, time-out.
Probed<std::uint16_t> findVxi11(std::uint32_t ipv4, std::uint16_t portmapperPort,
                                std::chrono::milliseconds within);

} // namespace lan
