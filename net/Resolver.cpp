#include "net/Resolver.h"

#include "net/TransportError.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
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

std::optional<std::uint32_t> systemResolve(const std::string& host) {
    if (auto dotted = parseIpv4(host)) {
        return dotted;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const std::uint32_t result = in->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return result;
}

std::uint32_t resolveHost(const std::string& host, const HostResolver& resolver,
                          Deadline deadline) {
    if (auto dotted = parseIpv4(host)) {
        return *dotted;
    }
    // getaddrinfo has no time-out of its own; a slow name server must not hold the caller
    // past its deadline, so the look-up runs on a thread that may outlive this call.
    struct Shared {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<std::uint32_t> result;
    };
    auto shared = std::make_shared<Shared>();
    std::thread([shared, resolver, host] {
        auto result = resolver(host);
        std::lock_guard lock(shared->mutex);
        shared->result = result;
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
    if (!shared->result) {
        throw TransportError(TransportError::Kind::HostNotFound, host);
    }
    return *shared->result;
}

} // namespace net
