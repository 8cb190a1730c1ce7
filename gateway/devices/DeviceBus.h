#pragma once
// The one seam between the gateway's servers and the devices they serve. The VXI-11, HiSLIP
// and socket servers, the links, the sessions, the one lock table and the routing of service
// requests live above it and serve every kind of bus alike; below it is one implementation per
// kind of bus: the simulated bench (an IEEE-488 bus of simulated IEEE 488.2 instruments, and
// LAN instruments beside it), or a real bus behind a `++` GPIB adapter.
//
// A caller holds the bus for a turn (DeviceBus::hold) and does its operations inside it, so
// that what it checked before (that no other client holds the device's lock) still holds when
// it acts. An operation that waits (for an answer, for a poll) ends by the turn's deadline or
// when the turn's stop says so. An operation a bus cannot do answers NotSupported and sends
// nothing on the bus.

#include "gateway/devices/AnswerBytes.h"
#include "gateway/devices/DeviceName.h"
#include "gateway/devices/FunctionRef.h"
#include "gateway/devices/Waits.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace gateway {

/// Whoever reaches a device: a VXI-11 link or a session of a stream protocol (the lock
/// table's holder id, the same number).
using Holder = std::uint64_t;

/// The message-available bit of an IEEE 488.2 status byte.
inline constexpr std::uint8_t kMavBit = 0x10;

/// How an operation on the bus ended.
enum class BusStatus : std::uint8_t {
    Done,
    Timeout,      ///< the deadline passed first
    Aborted,      ///< the caller's call was aborted
    Gone,         ///< the caller's client went away or the server stops: nothing is answered
    Empty,        ///< what was waited for went meanwhile (another read it, a clear)
    NotSupported, ///< this bus cannot do it; nothing was sent
    NoListener,   ///< nobody is there to take the bytes or to answer
    BadParameter, ///< a request the bus does not know (a bus status code, an address)
    Busy,         ///< the bus is still busy with an operation whose caller gave up on it
    Lost          ///< the bus went away (an adapter unplugged)
};

/// Asked while an operation waits: whether its caller gives up, and why.
enum class StopReason : std::uint8_t { None, Aborted, Gone };

/// How an operation ends when its stop says `why` (not None): aborted, or its client gone.
inline constexpr BusStatus stoppedBy(StopReason why) {
    return why == StopReason::Aborted ? BusStatus::Aborted : BusStatus::Gone;
}

/// A stop that never asks to stop.
inline constexpr auto kNeverStop = [] { return StopReason::None; };

/// When a turn on the bus ends at the latest: its deadline, and what ends it sooner.
struct Until {
    Clock::time_point deadline;
    FunctionRef<StopReason()> stop = kNeverStop;
};

/// A device as its bus resolved it: the interface, an address on the bus, or a LAN instrument.
struct Device {
    DeviceName name;
    std::string key;        ///< the canonical name, also the key of the device's lock
    std::uintptr_t ref = 0; ///< the bus's own reference; 0 where nobody is at the address

    bool present() const noexcept { return name.isInterface || ref != 0; }
    bool onBus() const noexcept { return name.lan.empty(); }
};

/// Remote and local as IEEE 488.1 controllers drive them (the seven requests of the REN
/// control of VISA and of HiSLIP's AsyncRemoteLocalControl, in that order).
enum class RemoteLocal : std::uint8_t {
    DisableRemote,
    EnableRemote,
    DisableRemoteGoLocal,
    EnableRemoteGoRemote,
    EnableRemoteLockLocal,
    EnableRemoteGoRemoteLockLocal,
    GoLocal
};

/// How much of a write a device takes at once.
enum class Split : std::uint8_t {
    None,        ///< all of it
    AtMessageEnd ///< up to the end of the first program message, where the device can tell
};

/// What a caller may do while it holds the bus. Operations on a device that is not present
/// answer NoListener (a write) or wait for their deadline (a read, a poll: nobody talks).
class BusTurn {
public:
    // ---- Messages.
    /// Sends `data` to `d`, END with its last byte when `end`; `taken` counts what it took.
    /// With Split::AtMessageEnd a device that parses program messages takes bytes up to the
    /// end of the first one only, so that its answer can go before the next message begins.
    /// A device keeps what each client (`who`) sent of an unfinished message apart. On the
    /// interface: to the listeners its client addressed.
    virtual BusStatus write(const Device& d, Holder who, std::span<const std::uint8_t> data,
                            bool end, Split split, std::size_t& taken) = 0;
    /// Waits until `d` has bytes to send, then takes up to `max` (> 0) of them into `out`,
    /// stopping after `term` when given; `end` reports END with the last byte. On the
    /// interface: from the talker its client addressed, or the status byte of a serial poll.
    virtual BusStatus read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                           AnswerBytes& out, bool& end) = 0;
    /// Takes up to `max` (> 0) bytes of the answer `d` has ready now into `out`, without
    /// waiting for one (Empty when there is none); `end` as for read().
    virtual BusStatus take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) = 0;
    /// Whether `d` holds an answer to a message it was sent, readable yet or not.
    virtual bool answerQueued(const Device& d) = 0;
    /// Waits until an answer of `d` is readable: Done; Empty when none is queued any more;
    /// Timeout when the bus waits only so long in one turn and nothing came yet (the caller
    /// asks again in a new turn).
    virtual BusStatus awaitAnswer(const Device& d) = 0;
    /// `who` left halfway through a message: its part of it goes.
    virtual void forgetInput(const Device& d, Holder who) = 0;
    /// Whether what `who` sent ends inside a program message.
    virtual bool midMessage(const Device& d, Holder who) = 0;

    // ---- Device operations.
    /// Serial poll: the status byte, its request-service bit then cleared.
    virtual BusStatus serialPoll(const Device& d, std::uint8_t& stb) = 0;
    /// The status byte as a poll would read it, clearing nothing.
    virtual BusStatus statusByte(const Device& d, std::uint8_t& stb) = 0;
    virtual BusStatus clear(const Device& d) = 0;   ///< selected device clear
    virtual BusStatus trigger(const Device& d) = 0; ///< group execute trigger
    /// Remote enable asserted and `d` addressed: it goes remote.
    virtual BusStatus remote(const Device& d) = 0;
    /// Go to local.
    virtual BusStatus local(const Device& d) = 0;
    virtual BusStatus remoteLocal(const Device& d, RemoteLocal what) = 0;
    /// A client's request reached `d`: addressing it makes it remote where remote is enabled.
    virtual void addressed(const Device& d) { (void)d; }
    /// A server keeps `d`'s message available (MAV) for an answer it has sent on until its
    /// client says the answer arrived; each hold counts until released.
    virtual void holdMessage(const Device& d) { (void)d; }
    virtual void releaseMessage(const Device& d) { (void)d; }
    /// A new message came while `d`'s answer was unread: the answer goes and `d` records a
    /// query interrupted. False when no answer was queued.
    virtual bool interruptQuery(const Device& d) {
        (void)d;
        return false;
    }
    /// `d` records a query interrupted, dropping nothing (its answer had left it already).
    virtual void queryInterrupted(const Device& d) { (void)d; }

    // ---- The interface.
    /// Command bytes with ATN asserted; ATN stays asserted.
    virtual BusStatus sendCommand(std::span<const std::uint8_t> bytes) = 0;
    virtual BusStatus setAtn(bool on) = 0;
    virtual BusStatus setRen(bool on) = 0;
    virtual BusStatus ifc() = 0; ///< interface clear
    /// The answer to a bus status request (the VXI-11 docmd codes: REN, SRQ, NDAC, ...).
    virtual BusStatus busStatus(std::uint32_t request, std::uint16_t& value) = 0;
    /// The controller's own address on the bus.
    virtual BusStatus setBusAddress(std::uint32_t address) = 0;

protected:
    ~BusTurn() = default;
};

/// One bus and what is on it.
class DeviceBus {
public:
    /// Told the source of a service request that rose: kInterfaceName for the bus's SRQ line,
    /// a device's key for that device's own request.
    using Listener = std::function<void(const std::string& source)>;

    virtual ~DeviceBus() = default;

    /// The device at the address of `name` (or the interface); `ref` 0 when nobody is there.
    virtual Device find(const DeviceName& name) = 0;
    /// The LAN instrument named `name`, compared without regard to case.
    virtual std::optional<Device> findLan(std::string_view name) = 0;
    /// The first LAN instrument, the default of protocols that name no device.
    virtual std::optional<Device> defaultLan() = 0;

    /// Holds the bus for a turn, by `until`, and runs `body` in it; Done, or why the bus could
    /// not be held (Busy, Timeout, Aborted, Gone, Lost) and `body` did not run. Every
    /// operation of the turn ends by the same `until`. Service requests that rose in the turn
    /// go to the listener once it ends.
    virtual BusStatus hold(const Until& until, FunctionRef<void(BusTurn&)> body) = 0;
    /// Wakes the operations waiting on the bus, so that they ask their stop again.
    virtual void wake() = 0;
    /// Ends every wait now and later (Gone): the server stops.
    virtual void stop() = 0;

    /// Where service requests go (`listener`), and whether any client wants them now
    /// (`wanted`: a bus that must poll for them polls only while it says so). Set once, before
    /// serving.
    virtual void routeServiceRequests(Listener listener, std::function<bool()> wanted) = 0;
};

} // namespace gateway
