#include "vxi11/library/Vxi11Library.h"

#include "library/LibraryError.h"
#include "library/SessionTable.h"
#include "net/TcpConnection.h"
#include "vxi11/codec/DocmdMessages.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/library/Address.h"
#include "vxi11/library/CoreLink.h"
#include "vxi11/library/OpClock.h"
#include "vxi11/library/PortmapClient.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <random>

namespace vxi11 {

using library::errorText;
using library::gatewayError;
using library::kMaxErrorText;
using library::LibraryError;
using library::translated;
namespace liberr = library::liberr;

using std::chrono::milliseconds;

namespace {

using net::Deadline;

/// How long iclose waits for destroy_link at most, whatever the session's time-out: closing
/// the connection makes the gateway drop the link anyway.
constexpr milliseconds kCloseWait{1000};
/// Random client ids stay positive.
constexpr std::uint32_t kClientIdMask = 0x7FFFFFFFu;
/// docmd elements of the bus-control commands are 16-bit words; send-command bytes are 1.
constexpr std::int32_t kWordElement = 2;
constexpr std::int32_t kByteElement = 1;

struct LastError {
    int number = 0;
    std::string text;
};

thread_local LastError t_lastError;

void recordFailure(const LibraryError& e) {
    t_lastError.number = e.number();
    t_lastError.text = e.text();
}

void recordSuccess() {
    t_lastError.number = 0;
    t_lastError.text.clear();
}

/// Runs one entry: 0 on success; on failure the error number, kept as the thread's error.
template <typename F>
std::int16_t runEntry(F&& body) {
    try {
        translated(body);
        recordSuccess();
        return 0;
    } catch (const LibraryError& e) {
        recordFailure(e);
        return static_cast<std::int16_t>(e.number());
    } catch (const std::bad_alloc&) {
        recordFailure(LibraryError(liberr::kOutOfMemory));
        return static_cast<std::int16_t>(liberr::kOutOfMemory);
    }
}

xdr::Bytes toBytes(std::string_view text) {
    return xdr::Bytes(text.begin(), text.end());
}

} // namespace

struct Vxi11Library::Session {
    Session(CoreLink l, std::uint32_t addr, bool device, std::int32_t timeout)
        : link(std::move(l)), ipv4(addr), isDevice(device), timeoutMs(timeout) {}

    std::mutex mutex; ///< one call at a time on this session
    CoreLink link;
    std::uint32_t ipv4;
    bool isDevice;
    std::int32_t timeoutMs;               ///< 0 = none
    std::optional<std::uint8_t> termChar; ///< set by itermchr, used by later reads
    bool holdsLock = false;               ///< ilock succeeded and no iunlock since
};

template <typename F>
void Vxi11Library::onSession(sicl::SessionId id, Needs needs, F&& body) {
    const std::shared_ptr<Session> s = m_sessions->find(id);
    if (!s) {
        throw LibraryError(liberr::kUnknownSession, std::to_string(id));
    }
    if (needs == Needs::Device && !s->isDevice) {
        throw LibraryError(liberr::kNeedsDeviceSession);
    }
    if (needs == Needs::Interface && s->isDevice) {
        throw LibraryError(liberr::kNeedsInterfaceSession);
    }
    std::lock_guard lock(s->mutex);
    const OpClock clock(s->timeoutMs, m_options.transportMargin);
    try {
        translated([&] { body(*s, clock); });
    } catch (const LibraryError& e) {
        if ((e.number() == liberr::kGatewayTimeout || e.number() == liberr::kInterrupted) &&
            s->link.isOpen() && s->link.abortPort() != 0) {
            try {
                abortLink(s->ipv4, s->link.abortPort(), s->link.lid(), clock.abortBy(),
                          *m_options.socketOps);
            } catch (const LibraryError&) {
                // Best effort: the time-out is what the caller hears about.
            }
        }
        throw;
    }
}

Vxi11Library::Vxi11Library() : Vxi11Library(Options{}) {}

Vxi11Library::Vxi11Library(Options options)
    : m_options(std::move(options)),
      m_sessions(std::make_unique<library::SessionTable<Session>>()) {
    if (m_options.socketOps == nullptr) {
        m_options.socketOps = &net::SocketOps::system();
    }
}

Vxi11Library::~Vxi11Library() {
    // Closing the connections is enough: a gateway drops the links of a closed connection.
    for (const auto& s : m_sessions->takeAll()) {
        std::lock_guard lock(s->mutex);
        s->link.close();
    }
}

std::size_t Vxi11Library::openSessions() const {
    return m_sessions->size();
}

std::int16_t Vxi11Library::vb_iopen(const std::string& address) {
    std::int16_t id = 0;
    runEntry([&] {
        const Address parsed = parseAddress(address);
        const auto timeoutMs = static_cast<std::int32_t>(m_options.defaultTimeout.count());
        const OpClock clock(timeoutMs, m_options.transportMargin);
        const Deadline deadline = clock.replyBy();
        net::SocketOps& ops = *m_options.socketOps;

        const std::uint32_t ipv4 = net::resolveHost(parsed.host, m_options.resolver, deadline);
        const std::uint16_t corePort = lookUpCorePort(ipv4, parsed.portmapperPort, deadline, ops);
        net::TcpConnection connection = net::TcpConnection::connect(ipv4, corePort, deadline, ops);
        static thread_local std::mt19937 random{std::random_device{}()};
        const auto clientId = static_cast<std::int32_t>(random() & kClientIdMask);
        CoreLink link = CoreLink::create(std::move(connection), parsed.device, clientId, deadline);

        auto session =
            std::make_shared<Session>(std::move(link), ipv4, parsed.deviceSession, timeoutMs);
        id = m_sessions->add(session);
        if (id == 0) {
            try {
                session->link.destroy(deadline);
            } catch (const std::runtime_error&) {
                // The id is what failed; the gateway drops the link with the connection.
            }
            throw LibraryError(liberr::kTooManySessions);
        }
    });
    return id;
}

std::int16_t Vxi11Library::vb_iclose(sicl::SessionId id) {
    return runEntry([&] {
        const std::shared_ptr<Session> s = m_sessions->take(id);
        if (!s) {
            throw LibraryError(liberr::kUnknownSession, std::to_string(id));
        }
        std::lock_guard lock(s->mutex);
        if (s->link.isOpen()) {
            // destroy_link only tidies up, so a silent gateway holds a close (and a program's
            // exit) for about a second at most, even on a session without time-out.
            const OpClock clock(s->timeoutMs, m_options.transportMargin);
            try {
                s->link.destroy(clock.replyBy().earlier(Deadline::after(kCloseWait)));
            } catch (const std::runtime_error&) {
                // The session is gone on this side either way, and closing the connection
                // makes the gateway drop the link; nothing is left for the caller to undo.
            }
        }
        s->link.close();
    });
}

std::int16_t Vxi11Library::vb_iwrite(std::int32_t, sicl::SessionId id, std::string_view buf,
                                     std::int32_t datalen, std::int16_t endi,
                                     std::int32_t& actual) {
    actual = 0;
    return runEntry([&] {
        if (datalen < 0 || static_cast<std::size_t>(datalen) > buf.size()) {
            throw LibraryError(liberr::kInvalidArgument, "byte count");
        }
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            const auto total = static_cast<std::size_t>(datalen);
            std::size_t sent = 0;
            do {
                const std::size_t n = std::min<std::size_t>(s.link.writePiece(), total - sent);
                // END goes with the last byte only, so only on the last piece.
                const bool last = sent + n == total;
                const xdr::ByteView piece(reinterpret_cast<const std::uint8_t*>(buf.data()) + sent,
                                          n);
                const DeviceWriteResp resp = withLockWait(clock, [&](const CallTiming& t) {
                    return s.link.write(piece, last && endi != 0, t);
                });
                if (resp.size > n) {
                    throw LibraryError(liberr::kMalformedReply, "write size");
                }
                sent += resp.size;
                actual = static_cast<std::int32_t>(sent);
                if (resp.error != err::kNoError) {
                    throw gatewayError(resp.error);
                }
                if (resp.size == 0 && n > 0) {
                    throw LibraryError(liberr::kShortWrite);
                }
            } while (sent < total);
        });
    });
}

std::int16_t Vxi11Library::vb_iread(std::int32_t, sicl::SessionId id, std::string& buf,
                                    std::int32_t bufsize, std::int32_t& reason,
                                    std::int32_t& actual) {
    reason = 0;
    actual = 0;
    return runEntry([&] {
        if (bufsize < 0) {
            throw LibraryError(liberr::kInvalidArgument, "buffer size");
        }
        // The caller's size may claim more than the buffer holds; never write past it.
        const std::size_t limit = std::min(static_cast<std::size_t>(bufsize), buf.size());
        const std::span<std::uint8_t> into(reinterpret_cast<std::uint8_t*>(buf.data()), limit);
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            std::size_t got = 0;
            for (;;) {
                // All that is left in one request: the gateway sends what it has (at most
                // its own piece size), straight into the caller's buffer.
                const ReadInto resp = withLockWait(clock, [&](const CallTiming& t) {
                    return s.link.read(into.subspan(got), s.termChar, t);
                });
                got += resp.size;
                actual = static_cast<std::int32_t>(got);
                if (resp.error != err::kNoError) {
                    throw gatewayError(resp.error);
                }
                const std::int32_t bits =
                    resp.reason & (reason::kReqCnt | reason::kChr | reason::kEnd);
                // END or the termination character ends the message; REQCNT alone only
                // says this piece is complete, and a reply with no bit asks to read on.
                if ((bits & (reason::kChr | reason::kEnd)) != 0) {
                    reason = bits;
                    return;
                }
                if (got >= limit) {
                    reason = bits | reason::kReqCnt;
                    return;
                }
            }
        });
    });
}

std::int16_t Vxi11Library::vb_itermchr(sicl::SessionId id, std::int16_t tchr) {
    return runEntry([&] {
        if (tchr < -1 || tchr > 255) {
            throw LibraryError(liberr::kInvalidArgument, "character " + std::to_string(tchr));
        }
        onSession(id, Needs::Any, [&](Session& s, const OpClock&) {
            // -1 turns the termination character off again.
            s.termChar = tchr < 0 ? std::nullopt
                                  : std::optional<std::uint8_t>(static_cast<std::uint8_t>(tchr));
        });
    });
}

std::int16_t Vxi11Library::vb_iclear(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) {
                if (s.isDevice) {
                    s.link.clear(t);
                } else {
                    // Interface clear; some gateways answer with data, which means
                    // nothing.
                    s.link.docmd(docmd::kIfcControl, kByteElement, {}, t);
                }
            });
        });
    });
}

std::int16_t Vxi11Library::vb_ireadstb(sicl::SessionId id, std::int16_t& stb) {
    return runEntry([&] {
        onSession(id, Needs::Device, [&](Session& s, const OpClock& clock) {
            stb = withLockWait(clock, [&](const CallTiming& t) { return s.link.readStb(t); });
        });
    });
}

std::int16_t Vxi11Library::vb_itrigger(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) { s.link.trigger(t); });
        });
    });
}

std::int16_t Vxi11Library::vb_iremote(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Device, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) { s.link.remote(t); });
        });
    });
}

std::int16_t Vxi11Library::vb_ilocal(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Device, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) { s.link.local(t); });
        });
    });
}

std::int16_t Vxi11Library::vb_ilock(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            // A gateway refuses a second lock by the same link (11, as if another link
            // held it); the caller relies on ilock leaving the device locked for this
            // session, which it already is.
            if (s.holdsLock && s.link.isOpen()) {
                return;
            }
            s.link.lock(clock.forLock());
            s.holdsLock = true;
        });
    });
}

std::int16_t Vxi11Library::vb_iunlock(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, Needs::Any, [&](Session& s, const OpClock& clock) {
            // Whatever the answer, the next ilock asks the gateway again.
            s.holdsLock = false;
            s.link.unlock(clock.next());
        });
    });
}

std::int16_t Vxi11Library::vb_itimeout(sicl::SessionId id, std::int32_t tval) {
    return runEntry([&] {
        if (tval < 0) {
            throw LibraryError(liberr::kInvalidArgument, "time-out " + std::to_string(tval));
        }
        onSession(id, Needs::Any, [&](Session& s, const OpClock&) { s.timeoutMs = tval; });
    });
}

namespace {

/// One 16-bit docmd element, big-endian.
xdr::Bytes word16(std::uint32_t value) {
    const std::uint32_t v[] = {value};
    return packElements(v, kWordElement, true);
}

} // namespace

std::int16_t Vxi11Library::vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                             std::int16_t& result) {
    return runEntry([&] {
        if (request < 0) {
            throw LibraryError(liberr::kInvalidArgument, "request " + std::to_string(request));
        }
        onSession(id, Needs::Interface, [&](Session& s, const OpClock& clock) {
            const xdr::Bytes out = withLockWait(clock, [&](const CallTiming& t) {
                return s.link.docmd(docmd::kBusStatus, kWordElement,
                                    word16(static_cast<std::uint32_t>(request)), t);
            });
            const auto values = unpackElements(out, kWordElement, true);
            if (!values || values->size() != 1) {
                throw LibraryError(liberr::kMalformedReply, "bus status");
            }
            result = static_cast<std::int16_t>(values->front());
        });
    });
}

std::int16_t Vxi11Library::vb_igpibrenctl(sicl::SessionId id, std::int16_t value) {
    return runEntry([&] {
        onSession(id, Needs::Interface, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) {
                s.link.docmd(docmd::kRenControl, kWordElement, word16(value != 0 ? 1 : 0), t);
            });
        });
    });
}

std::int16_t Vxi11Library::vb_igpibatnctl(sicl::SessionId id, std::int16_t value) {
    return runEntry([&] {
        onSession(id, Needs::Interface, [&](Session& s, const OpClock& clock) {
            withLockWait(clock, [&](const CallTiming& t) {
                s.link.docmd(docmd::kAtnControl, kWordElement, word16(value != 0 ? 1 : 0), t);
            });
        });
    });
}

std::int16_t Vxi11Library::vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                           std::int32_t length) {
    return runEntry([&] {
        if (length < 0 || static_cast<std::size_t>(length) > cmdstr.size()) {
            throw LibraryError(liberr::kInvalidArgument, "byte count");
        }
        onSession(id, Needs::Interface, [&](Session& s, const OpClock& clock) {
            // Gateways take at most 128 command bytes per call.
            const std::string_view bytes(cmdstr.data(), static_cast<std::size_t>(length));
            std::size_t done = 0;
            do {
                const std::size_t n =
                    std::min<std::size_t>(docmd::kMaxSendCommand, bytes.size() - done);
                withLockWait(clock, [&](const CallTiming& t) {
                    s.link.docmd(docmd::kSendCommand, kByteElement, toBytes(bytes.substr(done, n)),
                                 t);
                });
                done += n;
            } while (done < bytes.size());
        });
    });
}

std::int16_t Vxi11Library::vb_igeterrno() {
    return static_cast<std::int16_t>(t_lastError.number);
}

std::int16_t Vxi11Library::vb_igeterrstr(std::int16_t errnum, char* buf) {
    if (buf == nullptr) {
        return 1;
    }
    std::memset(buf, 0, sicl::kErrorTextBufferSize);
    // The thread's last error has the specific text ("host not found: gatewayx"); any other
    // number gets the table's text.
    const std::string text = errnum != 0 && errnum == t_lastError.number ? t_lastError.text
                             : errnum == 0                               ? std::string("no error")
                                                                         : errorText(errnum);
    std::memcpy(buf, text.data(), std::min(text.size(), kMaxErrorText));
    return 0;
}

} // namespace vxi11
