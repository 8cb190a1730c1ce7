#include "library/Library.h"

#include "library/LibraryError.h"
#include "library/SessionTable.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>

namespace library {

using std::chrono::milliseconds;

namespace {

/// How long iclose waits for the peer at most, whatever the session's time-out: closing the
/// connection makes the peer drop the session anyway.
constexpr milliseconds kCloseWait{1000};

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

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

/// The call ended without the peer's answer: its time-out, the gateway's, or the caller's
/// interrupt.
bool leftUnanswered(int number) {
    return number == liberr::kIoTimeout || number == liberr::kGatewayTimeout ||
           number == liberr::kInterrupted;
}

/// Checks a caller's count against the bytes it gave.
std::size_t checkedCount(std::int32_t count, std::size_t available) {
    if (count < 0 || static_cast<std::size_t>(count) > available) {
        throw LibraryError(liberr::kInvalidArgument, "byte count");
    }
    return static_cast<std::size_t>(count);
}

/// A LAN instrument's transport talks to the instrument itself; VXI-11 to a gateway.
FarEnd farEndOf(Resource::Kind kind) {
    return kind == Resource::Kind::Vxi11 ? FarEnd::Gateway : FarEnd::Instrument;
}

/// Runs `body`; its failure comes out worded for `end`.
template <typename F>
decltype(auto) wordedFor(FarEnd end, F&& body) {
    try {
        return translated(body);
    } catch (const LibraryError& e) {
        if (end == FarEnd::Gateway) {
            throw;
        }
        throw e.wordedFor(end);
    }
}

} // namespace

struct Library::Session {
    Session(std::unique_ptr<TransportSession> t, std::int32_t timeout, FarEnd end)
        : transport(std::move(t)), timeoutMs(timeout), farEnd(end) {}

    std::mutex mutex; ///< one call at a time on this session
    std::unique_ptr<TransportSession> transport;
    std::int32_t timeoutMs;               ///< 0 = none
    FarEnd farEnd;                        ///< whom error texts name
    std::optional<std::uint8_t> termChar; ///< set by itermchr, used by later reads
    bool termCharSet = false;             ///< itermchr was called (-1 included)
    /// The last call went unanswered (time-out, interrupt): the end of its budget, which a
    /// close right after it may not pass. A call that succeeds clears it.
    std::optional<net::Deadline> unansweredBudget;

    std::optional<std::uint8_t> readTermChar() const {
        return termCharSet ? termChar : transport->defaultTermChar();
    }
};

template <typename F>
void Library::onSession(sicl::SessionId id, F&& body) {
    const std::shared_ptr<Session> s = m_sessions->find(id);
    if (!s) {
        throw LibraryError(liberr::kUnknownSession, std::to_string(id));
    }
    std::lock_guard lock(s->mutex);
    const CallTime time{s->timeoutMs, m_options.transportMargin};
    const net::Deadline budget = time.callDeadline();
    try {
        wordedFor(s->farEnd, [&] { body(*s, time); });
    } catch (const LibraryError& e) {
        if (leftUnanswered(e.number())) {
            s->unansweredBudget = budget;
        }
        throw;
    }
    s->unansweredBudget.reset();
}

Library::Library(Options options, Transports transports)
    : m_options(std::move(options)), m_transports(std::move(transports)),
      m_sessions(std::make_unique<SessionTable<Session>>()) {
    if (m_options.socketOps == nullptr) {
        m_options.socketOps = &net::SocketOps::system();
    }
}

Library::~Library() {
    // Closing the connections is enough: a peer drops the sessions of a closed connection.
    for (const auto& s : m_sessions->takeAll()) {
        std::lock_guard lock(s->mutex);
        s->transport->close(net::Deadline::after(milliseconds(0)));
    }
}

std::size_t Library::openSessions() const {
    return m_sessions->size();
}

std::int16_t Library::vb_iopen(const std::string& address) {
    std::int16_t id = 0;
    runEntry([&] {
        const Resource resource = parseResource(address);
        Transport* transport = m_transports[static_cast<std::size_t>(resource.kind)].get();
        if (transport == nullptr) {
            throw LibraryError(liberr::kNotSupported, "no transport for this address");
        }
        const auto timeoutMs = static_cast<std::int32_t>(m_options.defaultTimeout.count());
        const CallTime time{timeoutMs, m_options.transportMargin};
        const FarEnd end = farEndOf(resource.kind);
        auto session = std::make_shared<Session>(
            wordedFor(end, [&] { return transport->open(resource, time); }), timeoutMs, end);
        id = m_sessions->add(session);
        if (id == 0) {
            session->transport->close(time.callDeadline());
            throw LibraryError(liberr::kTooManySessions);
        }
    });
    return id;
}

std::int16_t Library::vb_iclose(sicl::SessionId id) {
    return runEntry([&] {
        const std::shared_ptr<Session> s = m_sessions->take(id);
        if (!s) {
            throw LibraryError(liberr::kUnknownSession, std::to_string(id));
        }
        std::lock_guard lock(s->mutex);
        // Closing only tidies up, so a silent peer holds a close (and a program's exit) for
        // about a second at most, even on a session without time-out; after a call the peer
        // left unanswered, only for what is left of that call's budget, so a command that
        // timed out ends within its own time-out.
        const CallTime time{s->timeoutMs, m_options.transportMargin};
        net::Deadline deadline = time.callDeadline().earlier(net::Deadline::after(kCloseWait));
        if (s->unansweredBudget) {
            deadline = deadline.earlier(*s->unansweredBudget);
        }
        s->transport->close(deadline);
    });
}

std::int16_t Library::vb_iwrite(std::int32_t, sicl::SessionId id, std::string_view buf,
                                std::int32_t datalen, std::int16_t endi, std::int32_t& actual) {
    actual = 0;
    return runEntry([&] {
        const std::size_t count = checkedCount(datalen, buf.size());
        onSession(id, [&](Session& s, const CallTime& time) {
            std::size_t sent = 0;
            try {
                s.transport->write(asBytes(buf.substr(0, count)), endi != 0, time, sent);
            } catch (...) {
                actual = static_cast<std::int32_t>(sent);
                throw;
            }
            actual = static_cast<std::int32_t>(sent);
        });
    });
}

std::int16_t Library::vb_iread(std::int32_t, sicl::SessionId id, std::string& buf,
                               std::int32_t bufsize, std::int32_t& reason, std::int32_t& actual) {
    reason = 0;
    actual = 0;
    return runEntry([&] {
        if (bufsize < 0) {
            throw LibraryError(liberr::kInvalidArgument, "buffer size");
        }
        // The caller's size may claim more than the buffer holds; never write past it.
        const std::size_t limit = std::min(static_cast<std::size_t>(bufsize), buf.size());
        const std::span<std::uint8_t> into(reinterpret_cast<std::uint8_t*>(buf.data()), limit);
        onSession(id, [&](Session& s, const CallTime& time) {
            ReadProgress progress;
            try {
                s.transport->read(into, s.readTermChar(), time, progress);
            } catch (...) {
                // What came before the failure is the caller's, as its count says.
                actual = static_cast<std::int32_t>(progress.count);
                throw;
            }
            actual = static_cast<std::int32_t>(progress.count);
            reason = progress.reason;
        });
    });
}

std::int16_t Library::vb_itermchr(sicl::SessionId id, std::int16_t tchr) {
    return runEntry([&] {
        if (tchr < -1 || tchr > 255) {
            throw LibraryError(liberr::kInvalidArgument, "character " + std::to_string(tchr));
        }
        onSession(id, [&](Session& s, const CallTime&) {
            // -1 turns the termination character off, the transport's own default included.
            s.termCharSet = true;
            s.termChar = tchr < 0 ? std::nullopt
                                  : std::optional<std::uint8_t>(static_cast<std::uint8_t>(tchr));
        });
    });
}

std::int16_t Library::vb_iclear(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { s.transport->clear(time); });
    });
}

std::int16_t Library::vb_ireadstb(sicl::SessionId id, std::int16_t& stb) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { stb = s.transport->readStb(time); });
    });
}

std::int16_t Library::vb_itrigger(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { s.transport->trigger(time); });
    });
}

std::int16_t Library::vb_iremote(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { s.transport->remote(time); });
    });
}

std::int16_t Library::vb_ilocal(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { s.transport->local(time); });
    });
}

std::int16_t Library::vb_ilock(sicl::SessionId id) {
    return runEntry(
        [&] { onSession(id, [&](Session& s, const CallTime& time) { s.transport->lock(time); }); });
}

std::int16_t Library::vb_ilockshared(sicl::SessionId id, const std::string& key) {
    return runEntry([&] {
        if (key.empty()) {
            throw LibraryError(liberr::kInvalidArgument, "empty lock key");
        }
        onSession(id,
                  [&](Session& s, const CallTime& time) { s.transport->lockShared(key, time); });
    });
}

std::int16_t Library::vb_iunlock(sicl::SessionId id) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) { s.transport->unlock(time); });
    });
}

std::int16_t Library::vb_itimeout(sicl::SessionId id, std::int32_t tval) {
    return runEntry([&] {
        if (tval < 0) {
            throw LibraryError(liberr::kInvalidArgument, "time-out " + std::to_string(tval));
        }
        onSession(id, [&](Session& s, const CallTime&) { s.timeoutMs = tval; });
    });
}

std::int16_t Library::vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                        std::int16_t& result) {
    return runEntry([&] {
        if (request < 0) {
            throw LibraryError(liberr::kInvalidArgument, "request " + std::to_string(request));
        }
        onSession(id, [&](Session& s, const CallTime& time) {
            result = s.transport->busStatus(request, time);
        });
    });
}

std::int16_t Library::vb_igpibrenctl(sicl::SessionId id, std::int16_t value) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) {
            s.transport->renControl(value != 0, time);
        });
    });
}

std::int16_t Library::vb_igpibatnctl(sicl::SessionId id, std::int16_t value) {
    return runEntry([&] {
        onSession(id, [&](Session& s, const CallTime& time) {
            s.transport->atnControl(value != 0, time);
        });
    });
}

std::int16_t Library::vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                      std::int32_t length) {
    return runEntry([&] {
        const std::size_t count = checkedCount(length, cmdstr.size());
        onSession(id, [&](Session& s, const CallTime& time) {
            s.transport->sendCommand(asBytes(std::string_view(cmdstr).substr(0, count)), time);
        });
    });
}

std::int16_t Library::vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) {
    return runEntry([&] {
        if (waitMs < 0) {
            throw LibraryError(liberr::kInvalidArgument, "wait " + std::to_string(waitMs));
        }
        onSession(id, [&](Session& s, const CallTime& time) {
            const net::Deadline until =
                waitMs > 0 ? net::Deadline::after(milliseconds(waitMs)) : net::Deadline::never();
            if (!s.transport->waitSrq(until, time)) {
                throw LibraryError(liberr::kIoTimeout, "no service request");
            }
        });
    });
}

std::int16_t Library::vb_igeterrno() {
    return static_cast<std::int16_t>(t_lastError.number);
}

std::int16_t Library::vb_igeterrstr(std::int16_t errnum, char* buf) {
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

} // namespace library
