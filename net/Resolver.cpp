#include "net/Resolver.h"

#include "net/TransportError.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace net {

std::string ipv4Text(std::uint32_t ipv4) {
    in_addr addr{};
    addr.s_addr = ipv4;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
    in_addr addr{};
    if (::inet_pton(AF_INET, text.c_str(), &addr) == 1) {
        return addr.s_addr;
    }
    return std::nullopt;
}

std::vector<IpAddress> systemResolve(const std::string& host) {
    if (auto literal = parseIpLiteral(host)) {
        return {*literal};
    }
    std::vector<IpAddress> found;
    if (host == "localhost") {
        // Either loopback may be where a local server listens, whatever the hosts file lists.
        found = {IpAddress::fromIpv4(htonl(INADDR_LOOPBACK)), IpAddress::ipv6Loopback()};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) {
        return found;
    }
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET && a->ai_family != AF_INET6) {
            continue;
        }
        sockaddr_storage storage{};
        std::memcpy(&storage, a->ai_addr, std::min<std::size_t>(a->ai_addrlen, sizeof storage));
        const IpAddress address = IpAddress::fromSockaddr(storage);
        if (std::find(found.begin(), found.end(), address) == found.end()) {
            found.push_back(address);
        }
    }
    ::freeaddrinfo(list);
    return found;
}

std::vector<IpAddress> resolveHost(const std::string& host, const HostResolver& resolver,
                                   Deadline deadline) {
    if (auto literal = parseIpLiteral(host)) {
        return {*literal};
    }
    // getaddrinfo has no time-out of its own; a slow name server must not hold the caller
    // past its deadline, so the look-up runs on a thread that may outlive this call.
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::vector<IpAddress> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, resolver, host] {
        auto result = resolver(host);
        std::lock_guard lock(shared->mutex);
        shared->result = std::move(result);
        shared->finished = true;
        shared->done.notify_all();
    }).detach();

    std::unique_lock lock(shared->mutex);
    const auto finished = [&] { return shared->finished; };
    if (deadline.isNever()) {
        shared->done.wait(lock, finished);
    } else if (!shared->done.wait_for(lock, deadline.remaining(), finished)) {
        throw TransportError(TransportError::Kind::Timeout, "looking up " + host);
    }
    if (shared->result.empty()) {
        throw TransportError(TransportError::Kind::HostNotFound, host);
    }
    return shared->result;
}

} // namespace net
