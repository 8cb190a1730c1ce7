#pragma once

#include "library/Resource.h"
#include "library/Transport.h"
#include "sicl/InstrumentLibrary.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>

namespace library {

template <typename Session>
class SessionTable;

/// The instrument library: every entry the callers use, over whichever transport an address
/// picks.
///
/// It owns the session table and the thread's last error, checks each caller's arguments,
/// keeps a session's time-out and termination character, and hands each call to the session's
/// transport, one call at a time per session. Every call ends within the session's time-out
/// plus a small margin, whatever the peer does; a session without time-out (itimeout 0) waits
/// as long as the peer takes, except iclose, which gives up on the peer after about a second.
/// Entries may be called from several threads on different sessions. The last error is kept
/// per thread.
class Library : public sicl::InstrumentLibrary {
public:
    struct Options : TransportOptions {
        /// Time-out of a new session, which also bounds iopen itself.
        std::chrono::milliseconds defaultTimeout{10000};
        /// How much longer than its time-out a call may take at least (the wait for the
        /// peer's answer and an abort after none came); 5 % of a time-out when that is more.
        std::chrono::milliseconds transportMargin{200};
    };

    /// One transport per kind of address; a kind left empty refuses its addresses.
    using Transports = std::array<std::unique_ptr<Transport>, 3>;

    Library(Options options, Transports transports);
    ~Library() override;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const Options& options() const noexcept { return m_options; }

    std::int16_t vb_iopen(const std::string& address) override;
    std::int16_t vb_iclose(sicl::SessionId id) override;
    std::int16_t vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                           std::int32_t datalen, std::int16_t endi, std::int32_t& actual) override;
    std::int16_t vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf,
                          std::int32_t bufsize, std::int32_t& reason,
                          std::int32_t& actual) override;
    std::int16_t vb_itermchr(sicl::SessionId id, std::int16_t tchr) override;
    std::int16_t vb_iclear(sicl::SessionId id) override;
    std::int16_t vb_ireadstb(sicl::SessionId id, std::int16_t& stb) override;
    std::int16_t vb_itrigger(sicl::SessionId id) override;
    std::int16_t vb_iremote(sicl::SessionId id) override;
    std::int16_t vb_ilocal(sicl::SessionId id) override;
    std::int16_t vb_ilock(sicl::SessionId id) override;
    std::int16_t vb_ilockshared(sicl::SessionId id, const std::string& key) override;
    std::int16_t vb_iunlock(sicl::SessionId id) override;
    std::int16_t vb_itimeout(sicl::SessionId id, std::int32_t tval) override;
    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                   std::int16_t& result) override;
    std::int16_t vb_igpibrenctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                 std::int32_t length) override;
    std::int16_t vb_iwaitsrq(sicl::SessionId id, std::int32_t waitMs) override;
    std::int16_t vb_igeterrno() override;
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override;

    /// Number of open sessions (for tests and diagnostics).
    std::size_t openSessions() const;

    struct Session;

private:
    /// Finds session `id` and runs `body(session, time)` with the session locked.
    template <typename F>
    void onSession(sicl::SessionId id, F&& body);

    Options m_options;
    Transports m_transports;
    std::unique_ptr<SessionTable<Session>> m_sessions;
};

} // namespace library
