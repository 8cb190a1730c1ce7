#include "gateway/vxi11/AbortService.h"

#include "net/TransportError.h"
#include "vxi11/codec/RecordMarking.h"

#include <arpa/inet.h>

#include <chrono>
#include <limits>
#include <string>

namespace gateway {

using namespace vxi11;

namespace {

/// How long connecting back to a client may take.
constexpr std::chrono::seconds kConnectWait{2};

} // namespace

std::int32_t AbortService::abort(std::int32_t lid) {
    const std::int32_t error = m_links.abort(lid);
    // A call waiting for an answer sleeps on the bus; one waiting for a lock was woken above.
    m_bus.wake();
    if (m_log) {
        m_log("abort device_abort lid=" + std::to_string(lid) + " -> " + std::to_string(error));
    }
    return error;
}

bool InterruptChannels::mayConnectBack(const net::IpAddress& caller,
                                       const DeviceRemoteFunc& remote) {
    // host_addr holds an IPv4 address only: a client on IPv6 sends 0, and the channel goes
    // back to the address its link came from.
    if (caller.v6) {
        return remote.hostAddr == 0;
    }
    return htonl(remote.hostAddr) == caller.ipv4();
}

std::int32_t InterruptChannels::create(std::uint64_t connection, const net::IpAddress& caller,
                                       const DeviceRemoteFunc& remote) {
    if (!m_served || remote.progFamily != DeviceAddrFamily::Tcp || remote.progNum != kDeviceIntr ||
        remote.progVers != kDeviceVersion) {
        return err::kOperationNotSupported;
    }
    {
        std::lock_guard lk(m_mutex);
        if (m_channels.contains(connection)) {
            return err::kChannelAlreadyEstablished;
        }
    }
    if (!mayConnectBack(caller, remote) || remote.hostPort == 0 ||
        remote.hostPort > std::numeric_limits<std::uint16_t>::max()) {
        return err::kChannelNotEstablished;
    }
    net::TcpConnection channel;
    try {
        channel = net::TcpConnection::connect(caller, static_cast<std::uint16_t>(remote.hostPort),
                                              net::Deadline::after(kConnectWait));
    } catch (const net::TransportError&) {
        return err::kChannelNotEstablished;
    }
    std::lock_guard lk(m_mutex);
    if (!m_channels.try_emplace(connection, std::move(channel)).second) {
        return err::kChannelAlreadyEstablished;
    }
    return err::kNoError;
}

std::int32_t InterruptChannels::destroy(std::uint64_t connection) {
    std::lock_guard lk(m_mutex);
    return m_channels.erase(connection) > 0 ? err::kNoError : err::kChannelNotEstablished;
}

void InterruptChannels::close(std::uint64_t connection) {
    std::lock_guard lk(m_mutex);
    m_channels.erase(connection);
}

void InterruptChannels::notify(const std::vector<LinkTable::SrqTarget>& targets) {
    std::lock_guard lk(m_mutex);
    for (const LinkTable::SrqTarget& target : targets) {
        const auto it = m_channels.find(target.connection);
        if (it == m_channels.end()) {
            continue;
        }
        DeviceSrqParms p;
        p.handle = target.handle;
        const xdr::Bytes record = rpc::frameRecord(encodeCallFor<DeviceIntrSrq>(++m_xid, p));
        try {
            it->second.sendAll(record, net::Deadline::after({}));
        } catch (const net::TransportError&) {
            // Lost, as a datagram would be.
        }
        if (m_log) {
            m_log("intr device_intr_srq lid=" + std::to_string(target.lid));
        }
    }
}

} // namespace gateway
