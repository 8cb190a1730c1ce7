#include "lan/Probe.h"

#include "library/LibraryError.h"
#include "net/Resolver.h"
#include "vxi11/transport/PortmapClient.h"

namespace lan {

namespace {

/// Runs `body` and turns any library or transport failure into the probe's error.
template <typename T, typename F>
Probed<T> probe(F&& body) {
    Probed<T> out;
    try {
        out.value = library::translated(body);
    } catch (const library::LibraryError& e) {
        out.errorNumber = e.number();
        out.errorText = e.text();
    }
    return out;
}

} // namespace

Probed<std::uint32_t> resolveHost(const std::string& host, std::chrono::milliseconds within) {
    return probe<std::uint32_t>([&] {
        // Discovery walks IPv4 subnets: the host's first IPv4 address.
        for (const net::IpAddress& a :
             net::resolveHost(host, net::systemResolve, net::Deadline::after(within))) {
            if (!a.v6) {
                return a.ipv4();
            }
        }
        throw library::LibraryError(library::liberr::kHostNotFound, host + " (no IPv4)");
    });
}

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
    return net::parseIpv4(text);
}

std::string ipv4Text(std::uint32_t ipv4) {
    return net::ipv4Text(ipv4);
}

Probed<std::uint16_t> findVxi11(std::uint32_t ipv4, std::uint16_t portmapperPort,
                                std::chrono::milliseconds within) {
    return probe<std::uint16_t>(
        [&] { return vxi11::lookUpCorePort(ipv4, portmapperPort, net::Deadline::after(within)); });
}

} // namespace lan
