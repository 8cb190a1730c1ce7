#pragma once

#include "net/Deadline.h"
#include "net/Resolver.h"
#include "net/SocketOps.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace library {

struct Resource;

/// How long one call on a session may take: the session's time-out (0 = none) and the margin
/// a transport may add past it for its own bookkeeping (the wait for a late answer, an abort).
struct CallTime {
    std::int32_t timeoutMs = 0;
    std::chrono::milliseconds margin{200};

    /// The margin actually granted: `margin`, or 5 % of the time-out when that is more.
    std::chrono::milliseconds effectiveMargin() const noexcept;
    /// The end of the call's own work: time-out from now (never without a time-out).
    net::Deadline ioDeadline() const noexcept;
    /// The end of everything the call may do, margin included.
    net::Deadline callDeadline() const noexcept;
    /// The end of a wait for the peer's answer: the time-out and three quarters of the margin,
    /// the rest left for what follows a wait given up (telling the peer, closing), so the
    /// call still ends by callDeadline().
    net::Deadline replyDeadline() const noexcept;
};

/// What a read has received so far and why it ended (the sicl::reason bits).
struct ReadProgress {
    std::size_t count = 0;
    std::int32_t reason = 0;
};

/// One open session of a transport: a VXI-11 link, a HiSLIP session, a raw socket.
///
/// The library calls one method at a time on a session, after it has checked the caller's
/// arguments. Every method ends within its CallTime, throws library::LibraryError (or
/// net::TransportError, which the library translates) on failure, and leaves the session usable
/// for the next call unless the connection is gone. An operation the transport does not have
/// throws LibraryError(liberr::kNotSupported): that is what the defaults here do.
class TransportSession {
public:
    virtual ~TransportSession() = default;

    /// The termination character of reads on a session whose caller never called itermchr:
    /// none by default (reads end at END or their count); LF on a raw socket, which has no END.
    virtual std::optional<std::uint8_t> defaultTermChar() const noexcept { return std::nullopt; }

    /// Sends `data`, END with its last byte when `end`. `sent` counts what the peer took so
    /// far, also when the call fails.
    virtual void write(std::span<const std::uint8_t> data, bool end, const CallTime& time,
                       std::size_t& sent) = 0;
    /// Receives into `into` until END, the termination character `termChar`, `into` full, or
    /// failure. `progress` holds what came, also when the call fails (a time-out hands over
    /// the bytes received).
    virtual void read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                      const CallTime& time, ReadProgress& progress) = 0;

    /// Device clear (interface clear on an interface session).
    virtual void clear(const CallTime& time);
    /// The status byte.
    virtual std::uint8_t readStb(const CallTime& time);
    virtual void trigger(const CallTime& time);
    virtual void remote(const CallTime& time);
    virtual void local(const CallTime& time);
    /// Exclusive lock, waiting for it up to the session's time-out.
    virtual void lock(const CallTime& time);
    /// Shared lock under `key`, waiting for it up to the session's time-out.
    virtual void lockShared(std::string_view key, const CallTime& time);
    virtual void unlock(const CallTime& time);

    /// Waits until `until` for a service request of this session's device (on an interface
    /// session: of any device on the bus). True when one came; false when `until` passed.
    virtual bool waitSrq(net::Deadline until, const CallTime& time);

    /// Bus operations of an interface session (GPIB behind a gateway).
    virtual std::int16_t busStatus(std::int16_t request, const CallTime& time);
    virtual void renControl(bool assert, const CallTime& time);
    virtual void atnControl(bool assert, const CallTime& time);
    virtual void sendCommand(std::span<const std::uint8_t> bytes, const CallTime& time);

    /// Ends the session, telling the peer as far as it answers by `deadline`. Never throws.
    virtual void close(net::Deadline deadline) noexcept = 0;
};

/// Settings every transport is built with.
struct TransportOptions {
    /// Host name look-up (replaceable so tests never ask a name server).
    net::HostResolver resolver = net::systemResolve;
    /// Socket calls under every connection (replaceable to force faults in tests).
    net::SocketOps* socketOps = &net::SocketOps::system();
    /// Portmapper port for VXI-11 resources given as VISA strings, which cannot name one (111;
    /// tests point it at a simulator's free port).
    std::uint16_t vxi11PortmapperPort = 111;
};

/// A transport: opens sessions for the resources it serves.
class Transport {
public:
    virtual ~Transport() = default;
    /// Opens a session; throws LibraryError (or TransportError) when it cannot.
    virtual std::unique_ptr<TransportSession> open(const Resource& resource,
                                                   const CallTime& time) = 0;
};

} // namespace library
