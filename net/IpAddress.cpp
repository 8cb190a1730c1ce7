#include "net/IpAddress.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace net {

namespace {

/// The interface index that a zone names: its name, or its number.
std::optional<std::uint32_t> zoneIndex(const std::string& zone) {
    if (zone.empty()) {
        return std::nullopt;
    }
    if (const unsigned index = ::if_nametoindex(zone.c_str()); index != 0) {
        return index;
    }
    std::uint32_t number = 0;
    for (const char c : zone) {
        if (c < '0' || c > '9' || number > 0xFFFFFFu) {
            return std::nullopt;
        }
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return number != 0 ? std::optional<std::uint32_t>(number) : std::nullopt;
}

} // namespace

IpAddress IpAddress::fromIpv4(std::uint32_t ipv4) noexcept {
    IpAddress a;
    std::memcpy(a.bytes.data(), &ipv4, 4);
    return a;
}

IpAddress IpAddress::ipv6Loopback() noexcept {
    IpAddress a;
    a.v6 = true;
    a.bytes[15] = 1;
    return a;
}

std::uint32_t IpAddress::ipv4() const noexcept {
    std::uint32_t value = 0;
    if (!v6) {
        std::memcpy(&value, bytes.data(), 4);
    }
    return value;
}

std::string IpAddress::text() const {
    char buffer[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(v6 ? AF_INET6 : AF_INET, bytes.data(), buffer, sizeof buffer);
    std::string out(buffer);
    if (v6 && scope != 0) {
        char name[IF_NAMESIZE] = {};
        out += '%';
        out += ::if_indextoname(scope, name) != nullptr ? std::string(name) : std::to_string(scope);
    }
    return out;
}

std::string IpAddress::hostText() const {
    return v6 ? "[" + text() + "]" : text();
}

unsigned IpAddress::toSockaddr(std::uint16_t port, sockaddr_storage& out) const noexcept {
    out = {};
    if (v6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(out);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        std::memcpy(&in6.sin6_addr, bytes.data(), 16);
        in6.sin6_scope_id = scope;
        return sizeof(sockaddr_in6);
    }
    auto& in4 = reinterpret_cast<sockaddr_in&>(out);
    in4.sin_family = AF_INET;
    in4.sin_port = htons(port);
    std::memcpy(&in4.sin_addr, bytes.data(), 4);
    return sizeof(sockaddr_in);
}

IpAddress IpAddress::fromSockaddr(const sockaddr_storage& in) noexcept {
    IpAddress a;
    if (in.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(in);
        a.v6 = true;
        std::memcpy(a.bytes.data(), &in6.sin6_addr, 16);
        a.scope = in6.sin6_scope_id;
    } else {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(in);
        std::memcpy(a.bytes.data(), &in4.sin_addr, 4);
    }
    return a;
}

std::optional<IpAddress> parseIpLiteral(std::string_view text) {
    IpAddress a;
    const std::string whole(text);
    if (::inet_pton(AF_INET, whole.c_str(), a.bytes.data()) == 1) {
        return a;
    }
    const std::size_t percent = whole.find('%');
    const std::string address = whole.substr(0, percent);
    if (::inet_pton(AF_INET6, address.c_str(), a.bytes.data()) != 1) {
        return std::nullopt;
    }
    a.v6 = true;
    if (percent != std::string::npos) {
        const auto index = zoneIndex(whole.substr(percent + 1));
        if (!index) {
            return std::nullopt;
        }
        a.scope = *index;
    }
    return a;
}

} // namespace net
