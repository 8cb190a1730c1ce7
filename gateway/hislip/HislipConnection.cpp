#include "gateway/hislip/HislipChannels.h"

#include "net/TransportError.h"

#include <algorithm>

namespace gateway {

// The service makes its connections here, beside them, so that it need not know their insides.
std::unique_ptr<ServedConnection> HislipService::accept(net::TcpConnection socket,
                                                        const net::IpAddress& /*peer*/) {
    return std::make_unique<HislipConnection>(std::move(socket), *this);
}

namespace fatal = hislip::fatalCode;
using Got = HislipStream::Got;
using hislip::MessageType;

namespace {

/// How long a FatalError to a connection without a session may take to go out.
constexpr std::chrono::milliseconds kFatalSendLimit{1000};
/// Largest payload a refused message may claim and still be skipped: beyond, the client is
/// not worth reading for that long, and the session ends as if the framing were lost.
constexpr std::uint64_t kMaxSkip = std::uint64_t{1} << 32;

/// How long a connection may wait to become a session's channel, or a session for its second
/// channel.
std::chrono::milliseconds pairingWait(const HislipConfig& config) {
    const auto idle = config.limits.idleTimeout;
    const auto pairing = config.hislip.pairingTimeout;
    return idle.count() > 0 ? std::min(idle, pairing) : pairing;
}

} // namespace

// ---- the connection --------------------------------------------------------------------------

void HislipConnection::serve() {
    const HislipConfig& config = m_service.config();
    hislip::MessageReader::Limits limits;
    limits.maxData = config.hislip.maxMessage;
    limits.maxControl = hislip::kMaxSubAddress;
    limits.maxSkip = kMaxSkip;
    limits.streamData = true;
    HislipStream stream(socket(), limits, config.limits.idleTimeout);
    stream.setReceiveWait(pairingWait(config));
    const Got got = stream.next();
    const MessageType type = stream.header().type;
    if (got == Got::Message && type == MessageType::Initialize) {
        serveSync(stream);
    } else if (got == Got::Message && type == MessageType::AsyncInitialize) {
        serveAsync(stream);
    } else if (got == Got::Malformed) {
        refuse(fatal::kBadHeader, "poorly formed message header");
    } else if (got == Got::Message || got == Got::Data || got == Got::Refused) {
        refuse(fatal::kBadInitialization, "the first message must be Initialize or "
                                          "AsyncInitialize");
    } else if (got == Got::Idle || got == Got::TooSlow) {
        m_service.log("closing a connection that did not initialize");
    }
    socket().shutdown();
    finished();
}

void HislipConnection::refuse(std::uint8_t code, std::string_view text) {
    try {
        socket().sendAll(hislip::fatalError(code, text), net::Deadline::after(kFatalSendLimit));
    } catch (const net::TransportError&) {
        // Closed all the same.
    }
}

void HislipConnection::setSession(std::shared_ptr<HislipSession> session) {
    const std::lock_guard lk(m_mutex);
    m_session = std::move(session);
}

void HislipConnection::shutdown() {
    StreamConnection::shutdown();
    const std::lock_guard lk(m_mutex);
    if (m_session) {
        m_session->end();
    }
}

void HislipConnection::serveSync(HislipStream& stream) {
    const auto payload = stream.payload();
    const std::string_view subAddress(reinterpret_cast<const char*>(payload.data()),
                                      payload.size());
    std::shared_ptr<HislipSession> session = m_service.open(subAddress, endpoint());
    if (!session) {
        refuse(kFatalUnknownSubAddress, "unknown sub-address");
        m_service.log("refusing an unknown sub-address");
        return;
    }
    setSession(session);
    const HislipSettings& settings = m_service.config().hislip;
    if (session->sendSync(hislip::initializeResponse(settings.overlapped, hislip::kProtocolVersion,
                                                     session->id()))) {
        SyncChannel(*session, stream, m_service).run();
    }
    m_service.done(*session, true);
}

void HislipConnection::serveAsync(HislipStream& stream) {
    const std::uint16_t id = hislip::low16(stream.header().parameter);
    std::shared_ptr<HislipSession> session = m_service.bind(id, endpoint());
    if (!session) {
        refuse(fatal::kBadInitialization, "no session waits with that ID");
        return;
    }
    setSession(session);
    stream.setReceiveWait(m_service.config().limits.idleTimeout);
    if (session->sendAsync(hislip::asyncInitializeResponse(m_service.config().hislip.vendorId))) {
        AsyncChannel(*session, stream, m_service).run();
    }
    m_service.done(*session, false);
}

// ---- what both channels do -------------------------------------------------------------------

void ChannelBase::log(const std::string& line) const {
    m_service.log("session " + std::to_string(m_session.id()) + ": " + line);
}

bool ChannelBase::error(bool sync, std::uint8_t code, std::string_view text) {
    const hislip::Bytes message = hislip::error(code, text);
    return sync ? m_session.sendSync(message) : m_session.sendAsync(message);
}

bool ChannelBase::refused(bool sync) {
    using Problem = hislip::MessageReader::Problem;
    namespace code = hislip::errorCode;
    switch (m_stream.problem()) {
    case Problem::ReservedType:
        return error(sync, code::kUnknownType, "unrecognized message type");
    case Problem::VendorType:
        return error(sync, code::kUnknownVendorMessage, "unrecognized vendor-defined message");
    case Problem::TooLarge:
        return error(sync, code::kTooLarge, "message too large");
    default:
        return error(sync, code::kUnidentified, "message refused");
    }
}

void ChannelBase::malformed() {
    const bool prologue = m_stream.problem() == hislip::MessageReader::Problem::BadPrologue;
    log(prologue ? "bad prologue" : "payload length beyond any limit");
    m_session.fatal(fatal::kBadHeader,
                    prologue ? "poorly formed message header" : "payload length too large");
}

bool ChannelBase::fromClient() {
    const auto payload = m_stream.payload();
    std::string text;
    for (std::uint8_t c : payload.first(std::min<std::size_t>(payload.size(), 80))) {
        text += c >= ' ' && c <= '~' ? static_cast<char>(c) : '?';
    }
    const bool fatalError = m_stream.header().type == MessageType::FatalError;
    log(std::string(fatalError ? "the client's FatalError " : "the client's Error ") +
        std::to_string(m_stream.header().control) + " \"" + text + "\"");
    return !fatalError;
}

bool ChannelBase::settle(Got got, bool sync) {
    switch (got) {
    case Got::Refused:
        return refused(sync);
    case Got::Malformed:
        malformed();
        return false;
    default:
        return quiet(got);
    }
}

bool ChannelBase::foreign(bool sync) {
    switch (m_stream.header().type) {
    case MessageType::Initialize:
    case MessageType::AsyncInitialize:
        m_session.fatal(hislip::fatalCode::kBadInitialization, "the session is initialized");
        return false;
    case MessageType::FatalError:
    case MessageType::Error:
        return fromClient();
    default:
        return error(sync, hislip::errorCode::kUnknownType,
                     sync ? "not a message of the synchronous channel"
                          : "not a message of the asynchronous channel");
    }
}

bool ChannelBase::quiet(Got got) {
    if (got == Got::Idle) {
        if (m_session.established()) {
            // A session may stay idle as long as its client likes, as a VXI-11 link may.
            m_stream.setReceiveWait(m_service.config().limits.idleTimeout);
            return true;
        }
        log("no asynchronous channel came");
    } else if (got == Got::TooSlow) {
        log("a message took longer than the idle time-out");
    }
    return false;
}

void ChannelBase::markRemote() {
    DeviceAccess& device = m_session.device();
    device.with([&](BusTurn& turn) { turn.addressed(device.device()); });
}

} // namespace gateway
