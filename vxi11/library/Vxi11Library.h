#pragma once

#include "net/Resolver.h"
#include "net/SocketOps.h"
#include "sicl/InstrumentLibrary.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace library {
template <typename Session>
class SessionTable;
} // namespace library

namespace vxi11 {

class OpClock;

/// The instrument library over VXI-11: every entry the wrappers call, on ONC RPC over TCP.
///
/// Each session owns one link and its own TCP connection to the gateway's core channel.
/// Every call ends within the session's time-out plus a small transport margin, whatever the
/// gateway does; a session without time-out (itimeout 0) waits as long as the gateway takes,
/// except iclose, which gives up on the gateway after about a second.
/// Entries may be called from several threads on different sessions; calls on one session
/// run one after another. The last error is kept per thread.
class Vxi11Library final : public sicl::InstrumentLibrary {
public:
    struct Options {
        /// Time-out of a new session, which also bounds iopen itself.
        std::chrono::milliseconds defaultTimeout{10000};
        /// How much longer than its time-out a call may take at least (the wait for the
        /// gateway's answer and a device_abort after none came); 5 % of a time-out when that
        /// is more.
        std::chrono::milliseconds transportMargin{200};
        /// Host name look-up (replaceable so tests never ask a name server).
        net::HostResolver resolver = net::systemResolve;
        /// Socket calls under every connection (replaceable to force faults in tests).
        net::SocketOps* socketOps = &net::SocketOps::system();
    };

    Vxi11Library();
    explicit Vxi11Library(Options options);
    ~Vxi11Library() override;
    Vxi11Library(const Vxi11Library&) = delete;
    Vxi11Library& operator=(const Vxi11Library&) = delete;

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
    /// device_remote; needs a device session.
    std::int16_t vb_iremote(sicl::SessionId id) override;
    /// device_local; needs a device session.
    std::int16_t vb_ilocal(sicl::SessionId id) override;
    std::int16_t vb_ilock(sicl::SessionId id) override;
    std::int16_t vb_iunlock(sicl::SessionId id) override;
    std::int16_t vb_itimeout(sicl::SessionId id, std::int32_t tval) override;
    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t request,
                                   std::int16_t& result) override;
    std::int16_t vb_igpibrenctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t value) override;
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& cmdstr,
                                 std::int32_t length) override;
    std::int16_t vb_igeterrno() override;
    std::int16_t vb_igeterrstr(std::int16_t errnum, char* buf) override;

    /// Number of open sessions (for tests and diagnostics).
    std::size_t openSessions() const;

    struct Session;

private:
    /// What kind of session an entry works on.
    enum class Needs { Any, Device, Interface };

    /// Finds session `id`, checks its kind, and runs `body(session, clock)` with the session
    /// locked; transport failures come out as LibraryError. A call the gateway leaves
    /// unanswered is aborted on the abort channel, so the link is usable again.
    template <typename F>
    void onSession(sicl::SessionId id, Needs needs, F&& body);

    Options m_options;
    std::unique_ptr<library::SessionTable<Session>> m_sessions;
};

} // namespace vxi11
