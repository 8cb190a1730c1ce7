#pragma once
// The bus an emulated `++` adapter drives, over the gateway's device seam: the simulator
// presents its bench as a `++` adapter by driving the same simulated bus the servers reach.

#include "gateway/devices/DeviceBus.h"
#include "gateway/emulator/EmulatedBus.h"

namespace gateway::emulator {

class SeamBus final : public EmulatedBus {
public:
    /// Drives `bus`, which outlives it; `who` is the adapter's own holder (its unfinished
    /// messages kept apart from those of other clients).
    SeamBus(DeviceBus& bus, Holder who) : m_bus(bus), m_who(who) {}

    std::size_t write(GpibAddress device, std::span<const std::uint8_t> bytes, bool end,
                      net::Deadline deadline) override;
    BusRead read(GpibAddress device, std::span<std::uint8_t> out,
                 std::optional<std::uint8_t> stopByte, net::Deadline deadline) override;
    std::optional<std::uint8_t> serialPoll(GpibAddress device, net::Deadline deadline) override;
    bool clear(GpibAddress device, net::Deadline deadline) override;
    bool trigger(GpibAddress device, net::Deadline deadline) override;
    bool goToLocal(GpibAddress device, net::Deadline deadline) override;
    bool localLockout(std::optional<GpibAddress> device, net::Deadline deadline) override;
    bool clearAll(net::Deadline deadline) override;
    void interfaceClear(net::Deadline deadline) override;
    void setRemoteEnable(bool on, net::Deadline deadline) override;
    bool remoteEnable(net::Deadline deadline) override;
    bool serviceRequest(net::Deadline deadline) override;
    bool command(std::span<const std::uint8_t> bytes, net::Deadline deadline) override;
    void releaseAtn(net::Deadline deadline) override;
    bool notDataAccepted(net::Deadline deadline) override;

private:
    Device device(GpibAddress address);
    /// Runs `act` in a turn that ends by `deadline`; false when the bus could not be held.
    bool turn(net::Deadline deadline, FunctionRef<void(BusTurn&)> act);
    /// A bus status line (the docmd request code).
    bool line(std::uint32_t request, net::Deadline deadline);

    DeviceBus& m_bus;
    Holder m_who;
};

} // namespace gateway::emulator
