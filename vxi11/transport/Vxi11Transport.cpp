#include "vxi11/transport/Vxi11Transport.h"

#include "library/LibraryError.h"
#include "library/Resource.h"
#include "net/TcpConnection.h"
#include "sicl/InstrumentLibrary.h"
#include "vxi11/codec/DocmdMessages.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/transport/Address.h"
#include "vxi11/transport/CoreLink.h"
#include "vxi11/transport/OpClock.h"
#include "vxi11/transport/PortmapClient.h"
#include "vxi11/transport/SrqChannel.h"

#include <algorithm>
#include <random>

namespace vxi11 {

using library::CallTime;
using library::LibraryError;
using library::ReadProgress;
namespace liberr = library::liberr;

namespace {

/// Random client ids stay positive.
constexpr std::uint32_t kClientIdMask = 0x7FFFFFFFu;
/// docmd elements of the bus-control commands are 16-bit words; send-command bytes are 1.
constexpr std::int32_t kWordElement = 2;
constexpr std::int32_t kByteElement = 1;

/// One 16-bit docmd element, big-endian.
xdr::Bytes word16(std::uint32_t value) {
    const std::uint32_t v[] = {value};
    return packElements(v, kWordElement, true);
}

/// One VXI-11 link as a session of the library.
class Vxi11Session final : public library::TransportSession {
public:
    Vxi11Session(CoreLink link, Address address, const library::TransportOptions& options)
        : m_link(std::move(link)), m_address(std::move(address)), m_options(options) {}

    void write(std::span<const std::uint8_t> data, bool end, const CallTime& time,
               std::size_t& sent) override {
        run(time, [&](const OpClock& clock) {
            do {
                const std::size_t n =
                    std::min<std::size_t>(m_link.writePiece(), data.size() - sent);
                // END goes with the last byte only, so only on the last piece.
                const bool last = sent + n == data.size();
                const DeviceWriteResp resp = withLockWait(clock, [&](const CallTiming& t) {
                    return m_link.write(data.subspan(sent, n), last && end, t);
                });
                if (resp.size > n) {
                    throw LibraryError(liberr::kMalformedReply, "write size");
                }
                sent += resp.size;
                if (resp.error != err::kNoError) {
                    throw library::gatewayError(resp.error);
                }
                if (resp.size == 0 && n > 0) {
                    throw LibraryError(liberr::kShortWrite);
                }
            } while (sent < data.size());
        });
    }

    void read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
              const CallTime& time, ReadProgress& progress) override {
        run(time, [&](const OpClock& clock) {
            for (;;) {
                // All that is left in one request: the gateway sends what it has (at most its
                // own piece size), straight into the caller's buffer.
                const ReadInto resp = withLockWait(clock, [&](const CallTiming& t) {
                    return m_link.read(into.subspan(progress.count), termChar, t);
                });
                progress.count += resp.size;
                if (resp.error != err::kNoError) {
                    throw library::gatewayError(resp.error);
                }
                const std::int32_t bits =
                    resp.reason & (reason::kReqCnt | reason::kChr | reason::kEnd);
                // END or the termination character ends the message; REQCNT alone only says
                // this piece is complete, and a reply with no bit asks to read on.
                if ((bits & (reason::kChr | reason::kEnd)) != 0) {
                    progress.reason = bits;
                    return;
                }
                if (progress.count >= into.size()) {
                    progress.reason = bits | reason::kReqCnt;
                    return;
                }
            }
        });
    }

    void clear(const CallTime& time) override {
        onDevice(time, [&](const CallTiming& t) {
            if (m_address.deviceSession) {
                m_link.clear(t);
            } else {
                // Interface clear; some gateways answer with data, which means nothing.
                m_link.docmd(docmd::kIfcControl, kByteElement, {}, t);
            }
        });
    }

    std::uint8_t readStb(const CallTime& time) override {
        needDevice();
        std::uint8_t stb = 0;
        onDevice(time, [&](const CallTiming& t) { stb = m_link.readStb(t); });
        return stb;
    }

    void trigger(const CallTime& time) override {
        onDevice(time, [&](const CallTiming& t) { m_link.trigger(t); });
    }

    void remote(const CallTime& time) override {
        needDevice();
        onDevice(time, [&](const CallTiming& t) { m_link.remote(t); });
    }

    void local(const CallTime& time) override {
        needDevice();
        onDevice(time, [&](const CallTiming& t) { m_link.local(t); });
    }

    void lock(const CallTime& time) override {
        run(time, [&](const OpClock& clock) {
            // A gateway refuses a second lock by the same link (11, as if another link held
            // it); the caller relies on ilock leaving the device locked for this session,
            // which it already is.
            if (m_holdsLock && m_link.isOpen()) {
                return;
            }
            m_link.lock(clock.forLock());
            m_holdsLock = true;
        });
    }

    void unlock(const CallTime& time) override {
        run(time, [&](const OpClock& clock) {
            // Whatever the answer, the next ilock asks the gateway again.
            m_holdsLock = false;
            m_link.unlock(clock.next());
        });
    }

    bool waitSrq(net::Deadline until, const CallTime& time) override;

    std::int16_t busStatus(std::int16_t request, const CallTime& time) override {
        needInterface();
        std::int16_t result = 0;
        onDevice(time, [&](const CallTiming& t) {
            const xdr::Bytes out = m_link.docmd(docmd::kBusStatus, kWordElement,
                                                word16(static_cast<std::uint32_t>(request)), t);
            const auto values = unpackElements(out, kWordElement, true);
            if (!values || values->size() != 1) {
                throw LibraryError(liberr::kMalformedReply, "bus status");
            }
            result = static_cast<std::int16_t>(values->front());
        });
        return result;
    }

    void renControl(bool assert, const CallTime& time) override {
        needInterface();
        onDevice(time, [&](const CallTiming& t) {
            m_link.docmd(docmd::kRenControl, kWordElement, word16(assert ? 1 : 0), t);
        });
    }

    void atnControl(bool assert, const CallTime& time) override {
        needInterface();
        onDevice(time, [&](const CallTiming& t) {
            m_link.docmd(docmd::kAtnControl, kWordElement, word16(assert ? 1 : 0), t);
        });
    }

    void sendCommand(std::span<const std::uint8_t> bytes, const CallTime& time) override {
        needInterface();
        run(time, [&](const OpClock& clock) {
            // Gateways take at most 128 command bytes per call.
            std::size_t done = 0;
            do {
                const std::size_t n =
                    std::min<std::size_t>(docmd::kMaxSendCommand, bytes.size() - done);
                const auto piece = bytes.subspan(done, n);
                withLockWait(clock, [&](const CallTiming& t) {
                    m_link.docmd(docmd::kSendCommand, kByteElement,
                                 xdr::Bytes(piece.begin(), piece.end()), t);
                });
                done += n;
            } while (done < bytes.size());
        });
    }

    void close(net::Deadline deadline) noexcept override {
        m_srq.reset();
        // An expired deadline (the library shutting down) closes without asking the gateway.
        if (m_link.isOpen() && !deadline.expired()) {
            try {
                m_link.destroy(deadline);
            } catch (const std::exception&) {
                // Closing the connection makes the gateway drop the link; nothing is left for
                // the caller to undo.
            }
        }
        m_link.close();
    }

private:
    void needDevice() const {
        if (!m_address.deviceSession) {
            throw LibraryError(liberr::kNeedsDeviceSession);
        }
    }
    void needInterface() const {
        if (m_address.deviceSession) {
            throw LibraryError(liberr::kNeedsInterfaceSession);
        }
    }

    /// Runs `body` with the call's clock; a call the gateway left unanswered is aborted on the
    /// abort channel before the error goes up, so the link is usable again.
    template <typename F>
    void run(const CallTime& time, F&& body) {
        const OpClock clock(time.timeoutMs, time.margin);
        try {
            library::translated([&] { body(clock); });
        } catch (const LibraryError& e) {
            // A call the gateway left unanswered, or one the caller interrupted, may still be
            // running there.
            const bool unanswered =
                e.number() == liberr::kGatewayTimeout || e.number() == liberr::kInterrupted;
            if (unanswered && m_link.isOpen() && m_link.abortPort() != 0) {
                try {
                    abortLink(m_link.peerAddress(), m_link.abortPort(), m_link.lid(),
                              clock.abortBy(), *m_options.socketOps);
                } catch (const LibraryError&) {
                    // Best effort: the time-out is what the caller hears about.
                }
            }
            throw;
        }
    }

    /// One core call that needs the device, waiting for another link's lock if it must.
    template <typename F>
    void onDevice(const CallTime& time, F&& call) {
        run(time, [&](const OpClock& clock) { withLockWait(clock, call); });
    }

    CoreLink m_link;
    Address m_address;
    library::TransportOptions m_options;
    bool m_holdsLock = false; ///< lock succeeded and no unlock since
    std::unique_ptr<SrqChannel> m_srq;
};

bool Vxi11Session::waitSrq(net::Deadline until, const CallTime& time) {
    const OpClock clock(time.timeoutMs, time.margin);
    if (!m_srq) {
        m_srq =
            SrqChannel::open(m_address, clock.replyBy(), m_options.resolver, *m_options.socketOps);
        if (!m_address.deviceSession) {
            // The gateway calls only when SRQ rises: a line already up would never be heard.
            if (busStatus(sicl::busstatus::kSrq, time) != 0) {
                return true;
            }
        }
    }
    return m_srq->wait(until);
}

} // namespace

Vxi11Transport::Vxi11Transport(library::TransportOptions options) : m_options(std::move(options)) {
    if (m_options.socketOps == nullptr) {
        m_options.socketOps = &net::SocketOps::system();
    }
}

std::unique_ptr<library::TransportSession> Vxi11Transport::open(const library::Resource& resource,
                                                                const CallTime& time) {
    return library::translated([&] {
        const Address address =
            resource.visa ? addressOf(resource.host, m_options.vxi11PortmapperPort, resource.name)
                          : parseAddress(resource.text);
        const OpClock clock(time.timeoutMs, time.margin);
        const net::Deadline deadline = clock.replyBy();
        net::SocketOps& ops = *m_options.socketOps;

        net::IpAddress host;
        const std::uint16_t corePort =
            lookUpCorePort(net::resolveHost(address.host, m_options.resolver, deadline),
                           address.portmapperPort, deadline, ops, host);
        net::TcpConnection connection = net::TcpConnection::connect(host, corePort, deadline, ops);
        static thread_local std::mt19937 random{std::random_device{}()};
        const auto clientId = static_cast<std::int32_t>(random() & kClientIdMask);
        CoreLink link = CoreLink::create(std::move(connection), address.device, clientId, deadline);
        return std::unique_ptr<library::TransportSession>(
            std::make_unique<Vxi11Session>(std::move(link), address, m_options));
    });
}

} // namespace vxi11
