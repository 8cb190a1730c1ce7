#pragma once

#include "gateway/adapter/AdapterLink.h"
#include "gateway/adapter/AdapterTypes.h"
#include "gateway/adapter/AdapterWorker.h"
#include "gateway/adapter/ReadTail.h"
#include "net/Deadline.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gateway::adapter {

/// The limits of one call: it ends by `deadline`, or as soon as `stop` says so.
struct CallLimits {
    net::Deadline deadline = net::Deadline::never();
    Stop stop;
    /// A read that has bytes answers once this long has passed since its first byte, the rest
    /// of the message kept for the next read (0: only its count, its character or END end it).
    /// So a server hands a long answer on while the adapter is still sending it.
    std::chrono::milliseconds slice{0};
    /// A read asks the adapter once at most: when its per-byte time-out passes with nothing
    /// more, the read ends with what it has, maybe nothing (a stream server's wait, which must
    /// not hold the adapter for ever for a talker that never ends its message).
    bool oneRead = false;
};

/// A real GPIB bus behind a `++` adapter (Prologix or AR488, on a serial port or TCP), as
/// blocking calls in GPIB terms. Each call is bounded by its limits whatever the adapter does;
/// calls from several threads are served one at a time, in order. An operation the flavour
/// cannot do answers NotSupported and sends nothing.
class PlusPlusAdapter {
public:
    explicit PlusPlusAdapter(LinkConfig config)
        : m_ownAddress(config.ownAddress), m_worker(std::move(config)) {}

    /// Opens the adapter by `deadline`; returns why it could not (it is then looked for about
    /// once a second), empty when it opened.
    std::string start(net::Deadline deadline) { return m_worker.start(deadline); }
    bool connected() const noexcept { return m_worker.connected(); }
    /// Prologix or Ar488 once identified; Auto before.
    Flavour flavour() const noexcept { return m_worker.flavour(); }

    /// Sends one message, END on its last byte when `end`; byte-exact, whatever its length.
    WriteResult write(const GpibAddress& address, std::span<const std::uint8_t> data, bool end,
                      const CallLimits& limits);
    /// Reads at most `max` bytes of a message, handing them to `sink` as the call ends; stops
    /// after `termChar` when given. The rest of a message stays for this address's next read.
    ReadResult read(const GpibAddress& address, std::size_t max,
                    std::optional<std::uint8_t> termChar, const Sink& sink,
                    const CallLimits& limits);
    /// Waits for a message from `address`: Done once its first bytes came (they are kept for
    /// the address's next read), TimedOut when one read of the adapter brought nothing.
    Outcome awaitMessage(const GpibAddress& address, const CallLimits& limits);
    /// The device's status byte. On an AR488 a secondary address cannot be polled.
    PollResult serialPoll(const GpibAddress& address, const CallLimits& limits);
    /// Selected device clear; drops the unread rest of the device's message.
    Outcome clear(const GpibAddress& address, const CallLimits& limits);
    /// Group execute trigger to one device.
    Outcome trigger(const GpibAddress& address, const CallLimits& limits);
    /// Remote: REN asserted (AR488); the device goes remote when it is next addressed.
    Outcome remote(const GpibAddress& address, const CallLimits& limits);
    /// Go to local.
    Outcome local(const GpibAddress& address, const CallLimits& limits);
    /// Local lockout.
    Outcome lockout(const GpibAddress& address, const CallLimits& limits);

    /// Pulses IFC.
    Outcome interfaceClear(const CallLimits& limits);
    /// Asserts or releases REN (AR488).
    Outcome remoteEnable(bool on, const CallLimits& limits);
    /// Device clear to every device (DCL, AR488); drops every unread rest.
    Outcome universalClear(const CallLimits& limits);
    /// Local lockout to every device (LLO, AR488).
    Outcome universalLockout(const CallLimits& limits);
    /// The SRQ line.
    LineResult srqLine(const CallLimits& limits);
    /// The REN line (AR488).
    LineResult renLine(const CallLimits& limits);
    /// The listeners on the bus, secondaries included (AR488's listener search).
    AddressList findListeners(const CallLimits& limits);
    /// Those of `candidates` that answer a serial poll: the search a Prologix can make.
    AddressList answeringSerialPoll(const std::vector<GpibAddress>& candidates,
                                    const CallLimits& limits);
    /// Does what the command bytes do, when they have `++` equivalents (UNL, UNT, listen and
    /// talk addresses, SDC, GET, GTL, LLO, DCL, a serial poll); otherwise NotSupported.
    Outcome sendCommand(std::span<const std::uint8_t> bytes, const CallLimits& limits);

private:
    /// Runs `body` on the worker and returns the outcome it set, or why it did not run.
    Outcome runOutcome(std::function<Outcome(AdapterLink&)> body, const CallLimits& limits);
    /// True when the adapter is known and is `flavour`.
    bool is(Flavour flavour) const noexcept { return m_worker.flavour() == flavour; }

    std::uint8_t m_ownAddress;
    ReadTails m_tails; ///< outlives the worker, whose reads add to them
    AdapterWorker m_worker;
};

} // namespace gateway::adapter
