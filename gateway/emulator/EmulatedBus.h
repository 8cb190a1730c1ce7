#pragma once
// The GPIB bus as the controller-in-charge inside an emulated `++` adapter drives it. The
// emulator knows nothing else of the bench behind it: whatever implements this (the simulated
// bench, a test's fake) is the bus.

#include "net/Deadline.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace gateway::emulator {

/// A device's GPIB address: primary 0-30 and, for an extended device, secondary 0-30.
struct GpibAddress {
    int primary = 0;
    std::optional<int> secondary;
    friend bool operator==(const GpibAddress&, const GpibAddress&) = default;
};

/// What one read from a talker brought: the byte count, and whether the last byte came with
/// END (EOI asserted).
struct BusRead {
    std::size_t count = 0;
    bool end = false;
};

/// The bus seen from the controller-in-charge. Every call ends by its deadline. A handshake
/// that nobody answers (no listener, no talker, no device at a serial poll) may end before
/// its deadline: the caller, not the bus, spends the time a real handshake would have waited.
/// Called from one thread at a time.
class EmulatedBus {
public:
    virtual ~EmulatedBus() = default;

    /// Addresses `device` to listen and sends `bytes`, END with the last one if `end`: how
    /// many the device took by `deadline` (0 when nobody listens).
    virtual std::size_t write(GpibAddress device, std::span<const std::uint8_t> bytes, bool end,
                              net::Deadline deadline) = 0;
    /// Addresses `device` to talk and receives into `out` (not empty), returning as soon as
    /// some bytes are there; stops after a byte sent with END and after `stopByte`. Nothing at
    /// the deadline, or before it when no device can talk.
    virtual BusRead read(GpibAddress device, std::span<std::uint8_t> out,
                         std::optional<std::uint8_t> stopByte, net::Deadline deadline) = 0;
    /// Serial poll: the status byte, or nothing when the device does not answer.
    virtual std::optional<std::uint8_t> serialPoll(GpibAddress device, net::Deadline deadline) = 0;
    /// Selected Device Clear; false when nobody listens.
    virtual bool clear(GpibAddress device, net::Deadline deadline) = 0;
    /// Group Execute Trigger to `device` alone; false when nobody listens.
    virtual bool trigger(GpibAddress device, net::Deadline deadline) = 0;
    /// Go To Local; false when nobody listens.
    virtual bool goToLocal(GpibAddress device, net::Deadline deadline) = 0;
    /// Local Lockout, with `device` (if given) addressed to listen first; false when the
    /// addressed device does not listen.
    virtual bool localLockout(std::optional<GpibAddress> device, net::Deadline deadline) = 0;
    /// Device Clear (universal).
    virtual bool clearAll(net::Deadline deadline) = 0;
    /// Pulses IFC: every device unaddressed, the controller in charge.
    virtual void interfaceClear(net::Deadline deadline) = 0;
    /// Drives REN.
    virtual void setRemoteEnable(bool on, net::Deadline deadline) = 0;
    /// The REN line.
    virtual bool remoteEnable(net::Deadline deadline) = 0;
    /// The SRQ line.
    virtual bool serviceRequest(net::Deadline deadline) = 0;
    /// Sends command bytes with ATN asserted; ATN stays asserted. False when not taken.
    virtual bool command(std::span<const std::uint8_t> bytes, net::Deadline deadline) = 0;
    /// Releases ATN.
    virtual void releaseAtn(net::Deadline deadline) = 0;
    /// The NDAC line: asserted while an addressed listener is there (ATN released).
    virtual bool notDataAccepted(net::Deadline deadline) = 0;
};

} // namespace gateway::emulator
