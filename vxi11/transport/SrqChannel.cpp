#include "vxi11/transport/SrqChannel.h"

#include "library/LibraryError.h"
#include "net/Listeners.h"
#include "net/Resolver.h"
#include "vxi11/codec/AsyncIntrMessages.h"
#include "vxi11/codec/Rpc.h"
#include "vxi11/rpc/RecordStream.h"
#include "vxi11/transport/CoreLink.h"
#include "vxi11/transport/PortmapClient.h"

#include <arpa/inet.h>

#include <optional>
#include <random>

namespace vxi11 {

using library::LibraryError;
using library::translated;
namespace liberr = library::liberr;

namespace {

using net::Deadline;

/// The handle the gateway echoes with each device_intr_srq.
const xdr::Bytes kHandle = {'s', 'i', 'c', 'l', 'q', 'u', 'i', 'l', 'l'};
/// Largest record accepted on the channel: a device_intr_srq is a few dozen bytes.
constexpr std::size_t kMaxIntrRecord = 1024;
/// Only the gateway connects to the listener, once.
constexpr int kBacklog = 1;
/// How long closing waits for the gateway's answers.
constexpr std::chrono::milliseconds kCloseWait{1000};
/// Random client ids stay positive.
constexpr std::uint32_t kClientIdMask = 0x7FFFFFFFu;

bool isSrqCall(const xdr::Bytes& record) {
    const rpc::ParsedCall call = rpc::parseCall(record);
    // device_intr_srq is one-way: the gateway reads no reply.
    return call.status == rpc::ParsedCall::Status::Ok && call.header.prog == kDeviceIntr &&
           call.header.proc == proc::kDeviceIntrSrq;
}

} // namespace

struct SrqChannel::State {
    explicit State(CoreLink l) : link(std::move(l)) {}
    CoreLink link;
    net::TcpListener listener;
    std::optional<net::TcpConnection> channel; ///< the gateway's connection to us, once accepted
    rpc::RecordStream stream{kMaxIntrRecord};
    bool channelCreated = false;
};

SrqChannel::SrqChannel(std::unique_ptr<State> state) : m_state(std::move(state)) {}

std::unique_ptr<SrqChannel> SrqChannel::open(const Address& address, Deadline deadline,
                                             const net::HostResolver& resolver,
                                             net::SocketOps& ops) {
    return translated([&] {
        net::IpAddress host;
        const std::uint16_t corePort =
            lookUpCorePort(net::resolveHost(address.host, resolver, deadline),
                           address.portmapperPort, deadline, ops, host);
        net::TcpConnection connection = net::TcpConnection::connect(host, corePort, deadline, ops);
        static thread_local std::mt19937 random{std::random_device{}()};
        auto state = std::make_unique<State>(
            CoreLink::create(std::move(connection), address.device,
                             static_cast<std::int32_t>(random() & kClientIdMask), deadline));

        // Listen on the address the gateway already reaches us at: the local end of the link,
        // in its family. The call's IPv4 field cannot carry an IPv6 address: 0 there, and the
        // gateway calls back to the address the link came from.
        const net::IpAddress local = state->link.localAddress();
        state->listener = net::TcpListener::open(local.text(), 0, kBacklog);

        DeviceRemoteFunc remote;
        remote.hostAddr = local.v6 ? 0 : ntohl(local.ipv4());
        remote.hostPort = state->listener.port();
        remote.progNum = kDeviceIntr;
        remote.progVers = kDeviceVersion;
        remote.progFamily = DeviceAddrFamily::Tcp;
        state->link.createIntrChan(remote, deadline);
        state->channelCreated = true;
        state->link.enableSrq(true, kHandle, deadline);
        return std::unique_ptr<SrqChannel>(new SrqChannel(std::move(state)));
    });
}

SrqChannel::~SrqChannel() {
    State& s = *m_state;
    const Deadline deadline = Deadline::after(kCloseWait);
    try {
        s.link.enableSrq(false, {}, deadline);
        if (s.channelCreated) {
            s.link.destroyIntrChan(deadline);
        }
        s.link.destroy(deadline);
    } catch (const std::runtime_error&) {
        // Closing the connection below ends the link and the channel on the gateway too.
    }
    s.link.close();
}

bool SrqChannel::wait(Deadline deadline) {
    State& s = *m_state;
    for (;;) {
        if (!s.channel) {
            auto accepted = s.listener.accept(net::TcpListener::Mode::NonBlocking, deadline);
            if (!accepted) {
                return false;
            }
            s.channel = std::move(accepted->connection);
            continue;
        }
        rpc::RecordStream::Result got;
        try {
            got = s.stream.read(*s.channel, deadline);
        } catch (const net::TransportError& e) {
            if (e.kind() == net::TransportError::Kind::Timeout) {
                return false;
            }
            if (e.kind() == net::TransportError::Kind::Interrupted) {
                throw;
            }
            throw LibraryError(liberr::kConnectionLost, "interrupt channel");
        }
        bool srq = false;
        // Calls that came in the same bytes count as this wake-up too.
        while (got.status == rpc::RecordStream::Status::Record) {
            srq = isSrqCall(got.record) || srq;
            got = s.stream.buffered();
        }
        if (got.status == rpc::RecordStream::Status::Malformed) {
            throw LibraryError(liberr::kMalformedReply, "interrupt channel");
        }
        if (srq) {
            return true;
        }
    }
}

} // namespace vxi11
