#include "vxi11/SrqChannel.h"

#include "vxi11/AsyncIntrMessages.h"
#include "vxi11/CoreClient.h"
#include "vxi11/LibraryError.h"
#include "vxi11/PortmapClient.h"
#include "vxi11/RecordMarking.h"
#include "vxi11/Rpc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

namespace vxi11 {

namespace {

/// The handle the gateway echoes with each device_intr_srq.
const xdr::Bytes kHandle = {'s', 'i', 'c', 'l', 'q', 'u', 'i', 'l', 'l'};
/// Largest record accepted on the channel: a device_intr_srq is a few dozen bytes.
constexpr std::size_t kMaxIntrRecord = 1024;

void check(std::int32_t error) {
    if (error != err::kNoError) {
        throw gatewayError(error);
    }
}

[[noreturn]] void systemError(const char* what) {
    throw LibraryError(liberr::kNetwork, std::string(what) + ": " + std::to_string(errno));
}

} // namespace

struct SrqChannel::State {
    explicit State(CoreLink l) : link(std::move(l)) {}
    CoreLink link;
    Fd listener;
    Fd channel; ///< the gateway's connection to us, once accepted
    rpc::RecordReader reader{kMaxIntrRecord};
    bool channelCreated = false;
};

SrqChannel::SrqChannel(std::unique_ptr<State> state) : m_state(std::move(state)) {}

std::unique_ptr<SrqChannel> SrqChannel::open(const Address& address, Deadline deadline) {
    const std::uint32_t ipv4 = resolveHost(address.host, systemResolve, deadline);
    const std::uint16_t corePort = lookUpCorePort(ipv4, address.portmapperPort, deadline);
    TcpConnection connection = TcpConnection::connect(ipv4, corePort, deadline);
    static thread_local std::mt19937 random{std::random_device{}()};
    auto state = std::make_unique<State>(
        CoreLink::create(std::move(connection), address.deviceName(),
                         static_cast<std::int32_t>(random() & 0x7FFFFFFF), deadline));

    // Listen on the address the gateway already reaches us at: the local end of the link.
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(state->link.rpc().connection().fd(), reinterpret_cast<sockaddr*>(&local),
                      &length) != 0) {
        systemError("getsockname");
    }
    local.sin_port = 0;
    state->listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!state->listener.valid() ||
        ::bind(state->listener.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(state->listener.get(), 1) != 0 ||
        ::getsockname(state->listener.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        systemError("interrupt channel socket");
    }

    DeviceRemoteFunc remote;
    remote.hostAddr = ntohl(local.sin_addr.s_addr);
    remote.hostPort = ntohs(local.sin_port);
    remote.progNum = kDeviceIntr;
    remote.progVers = kDeviceVersion;
    remote.progFamily = DeviceAddrFamily::Tcp;
    check(state->link.rpc().call<CreateIntrChan>(remote, deadline).error);
    state->channelCreated = true;
    DeviceEnableSrqParms enable;
    enable.lid = state->link.lid();
    enable.enable = true;
    enable.handle = kHandle;
    check(state->link.rpc().call<DeviceEnableSrq>(enable, deadline).error);
    return std::unique_ptr<SrqChannel>(new SrqChannel(std::move(state)));
}

SrqChannel::~SrqChannel() {
    State& s = *m_state;
    const Deadline deadline = Deadline::after(std::chrono::milliseconds(1000));
    try {
        DeviceEnableSrqParms disable;
        disable.lid = s.link.lid();
        s.link.rpc().call<DeviceEnableSrq>(disable, deadline);
        if (s.channelCreated) {
            s.link.rpc().call<DestroyIntrChan>(Void{}, deadline);
        }
        s.link.destroy(deadline);
    } catch (const LibraryError&) {
        // Closing the connection below ends the link and the channel on the gateway too.
    }
    s.link.close();
}

bool SrqChannel::wait(Deadline deadline) {
    State& s = *m_state;
    for (;;) {
        pollfd p{};
        p.fd = s.channel.valid() ? s.channel.get() : s.listener.get();
        p.events = POLLIN;
        const int ready = ::poll(&p, 1, deadline.pollTimeoutMs());
        if (ready < 0 && errno == EINTR) {
            return false; // a signal (Ctrl-C): let the caller look
        }
        if (ready < 0) {
            systemError("poll");
        }
        if (ready == 0) {
            return false;
        }
        if (!s.channel.valid()) {
            s.channel.reset(::accept4(s.listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!s.channel.valid() && errno != EAGAIN && errno != EINTR) {
                systemError("accept");
            }
            continue;
        }
        std::uint8_t buffer[512];
        const ssize_t n = ::recv(s.channel.get(), buffer, sizeof buffer, 0);
        if (n == 0) {
            throw LibraryError(liberr::kConnectionLost, "interrupt channel");
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            systemError("recv");
        }
        xdr::ByteView data(buffer, static_cast<std::size_t>(n));
        bool srq = false;
        while (!data.empty()) {
            const auto fed = s.reader.feed(data);
            data = data.subspan(fed.consumed);
            if (fed.status == rpc::RecordReader::Status::Malformed) {
                throw LibraryError(liberr::kMalformedReply, "interrupt channel");
            }
            if (fed.status == rpc::RecordReader::Status::Complete) {
                const xdr::Bytes record = s.reader.takeRecord();
                const rpc::ParsedCall call = rpc::parseCall(record);
                // device_intr_srq is one-way: the gateway reads no reply.
                srq = srq ||
                      (call.status == rpc::ParsedCall::Status::Ok &&
                       call.header.prog == kDeviceIntr && call.header.proc == proc::kDeviceIntrSrq);
            }
        }
        if (srq) {
            return true;
        }
    }
}

} // namespace vxi11
