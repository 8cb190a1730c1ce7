#include "hislip/client/HislipTransport.h"

#include "library/LibraryError.h"
#include "library/Resource.h"
#include "net/Resolver.h"
#include "net/TransportError.h"

#include <algorithm>

namespace hislip {

using library::LibraryError;
namespace liberr = library::liberr;
using Status = MessageReader::Status;

namespace {

/// The smallest maximum message size announced: room for any control message.
constexpr std::uint64_t kMinClientMessage = 1024;

/// Waits for the one message the handshake expects on `channel`; the server's fatal error or
/// error, or any other message, fails the open.
Header expect(Channel& channel, MessageType type, net::Deadline deadline) {
    for (;;) {
        const Status status = channel.nextBy(deadline);
        const MessageReader& r = channel.reader();
        if (status == Status::Refused && r.problem() == MessageReader::Problem::VendorType) {
            continue;
        }
        if (status != Status::Message) {
            throw LibraryError(liberr::kBadServerMessage,
                               "bad message on " + std::string(channel.name()) + " at open");
        }
        const Header& h = r.header();
        if (h.type == type) {
            return h;
        }
        if (h.type == MessageType::FatalError) {
            throw LibraryError(liberr::kServerFatalError, serverText(h, r.payload()));
        }
        if (h.type == MessageType::Error) {
            throw LibraryError(liberr::kServerError, serverText(h, r.payload()));
        }
        if (h.type != MessageType::AsyncServiceRequest) {
            throw LibraryError(liberr::kBadServerMessage,
                               std::string(typeName(h.type)) + " at open");
        }
    }
}

/// Sync: Data up to the maximum announced, header or not. Async: no Data at all. Either way a
/// vendor-specific message is skipped within the larger of the channel's limits, and anything
/// claiming more breaks the session at its header.
MessageReader::Limits limitsFor(const HislipOptions& o, bool sync) {
    MessageReader::Limits limits;
    limits.maxData = sync ? o.maxMessageSize : 0;
    limits.maxControl = o.maxControlPayload;
    limits.maxSkip = std::max(limits.maxData, limits.maxControl);
    limits.streamData = true;
    return limits;
}

} // namespace

HislipTransport::HislipTransport(HislipOptions options) : m_options(std::move(options)) {
    if (m_options.transport.socketOps == nullptr) {
        m_options.transport.socketOps = &net::SocketOps::system();
    }
    m_options.maxMessageSize =
        std::clamp(m_options.maxMessageSize, kMinClientMessage, kMaxClientMessage);
}

std::unique_ptr<library::TransportSession> HislipTransport::open(const library::Resource& resource,
                                                                 const library::CallTime& time) {
    return openSession(resource, time);
}

std::unique_ptr<HislipSession> HislipTransport::openSession(const library::Resource& resource,
                                                            const library::CallTime& time) {
    if (resource.name.size() > kMaxSubAddress) {
        throw LibraryError(liberr::kBadDeviceName, "sub-address over 256 bytes");
    }
    const net::Deadline deadline = time.replyDeadline();
    try {
        return handshake(resource, deadline);
    } catch (const LibraryError& e) {
        // Silence anywhere in the open is the same failure, whichever step met it.
        if (e.number() == liberr::kIoTimeout) {
            throw LibraryError(liberr::kGatewayTimeout, e.detail());
        }
        throw;
    }
}

std::unique_ptr<HislipSession> HislipTransport::handshake(const library::Resource& resource,
                                                          net::Deadline deadline) {
    net::SocketOps& ops = *m_options.transport.socketOps;
    const std::uint64_t ourMax = m_options.maxMessageSize;
    const MessageReader::Limits syncLimits = limitsFor(m_options, true);
    const MessageReader::Limits asyncLimits = limitsFor(m_options, false);

    SessionSetup setup;
    setup.wanted = m_options.mode;
    std::unique_ptr<HislipSession> session = library::translated([&] {
        const std::vector<net::IpAddress> addresses =
            net::resolveHost(resource.host, m_options.transport.resolver, deadline);
        const std::uint16_t port = resource.port != 0 ? resource.port : kDefaultPort;

        net::TcpConnection first = net::TcpConnection::connectAny(addresses, port, deadline, ops);
        const net::IpAddress server = first.peerAddress(); // both channels go to the same one
        Channel sync(std::move(first), ops, syncLimits, "sync");
        sync.sendAll(initialize(kProtocolVersion, m_options.vendorId, resource.name), deadline);
        const Header init = expect(sync, MessageType::InitializeResponse, deadline);
        setup.overlapped = (init.control & control::kOverlapped) != 0;
        setup.serverVersion = high16(init.parameter);
        setup.sessionId = low16(init.parameter);

        Channel async(net::TcpConnection::connect(server, port, deadline, ops), ops, asyncLimits,
                      "async");
        async.sendAll(asyncInitialize(setup.sessionId), deadline);
        setup.serverVendor =
            low16(expect(async, MessageType::AsyncInitializeResponse, deadline).parameter);

        Link link(std::move(sync), std::move(async));
        link.request(asyncMaximumMessageSize(ourMax), MessageType::AsyncMaximumMessageSizeResponse,
                     deadline);
        const std::optional<std::uint64_t> serverMax =
            decodeMaximumMessageSize(link.answerPayload());
        if (!serverMax || *serverMax < kMinServerMessage) {
            link.broken("maximum message size " +
                        (serverMax ? std::to_string(*serverMax) : std::string("unreadable")));
        }
        setup.serverMaxMessage = *serverMax;
        return std::make_unique<HislipSession>(std::move(link), setup);
    });
    const bool wantOverlapped = m_options.mode == Mode::Overlapped;
    if (m_options.mode != Mode::ServerChoice && session->overlapped() != wantOverlapped) {
        library::translated([&] { session->clearBy(deadline); });
    }
    return session;
}

} // namespace hislip
