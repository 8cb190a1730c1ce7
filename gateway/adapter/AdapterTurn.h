#pragma once
// One turn on a bus behind a `++` adapter: the seam's operations as calls of the adapter,
// each bounded by the turn's deadline and ended by its stop.

#include "gateway/adapter/AdapterBus.h"

namespace gateway::adapter {

class AdapterTurn final : public BusTurn {
public:
    AdapterTurn(AdapterBus& bus, const Until& until);

    BusStatus write(const Device& d, Holder who, std::span<const std::uint8_t> data, bool end,
                    Split split, std::size_t& taken) override;
    BusStatus read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                   AnswerBytes& out, bool& end) override;
    BusStatus take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) override;
    bool answerQueued(const Device& d) override;
    BusStatus awaitAnswer(const Device& d) override;
    void forgetInput(const Device&, Holder) override {}
    bool midMessage(const Device&, Holder) override { return false; }

    BusStatus serialPoll(const Device& d, std::uint8_t& stb) override;
    BusStatus statusByte(const Device& d, std::uint8_t& stb) override;
    BusStatus clear(const Device& d) override;
    BusStatus trigger(const Device& d) override;
    BusStatus remote(const Device& d) override;
    BusStatus local(const Device& d) override;
    BusStatus remoteLocal(const Device& d, RemoteLocal what) override;
    bool interruptQuery(const Device& d) override;

    BusStatus sendCommand(std::span<const std::uint8_t> bytes) override;
    BusStatus setAtn(bool on) override;
    BusStatus setRen(bool on) override;
    BusStatus ifc() override;
    BusStatus busStatus(std::uint32_t request, std::uint16_t& value) override;
    BusStatus setBusAddress(std::uint32_t address) override;

private:
    /// The limits of one adapter call in this turn.
    CallLimits limits(std::chrono::milliseconds slice = {}) const;
    /// What an adapter call's outcome is on the seam.
    BusStatus status(Outcome outcome) const;
    /// A device's key in the bus's sets.
    static std::pair<int, int> keyOf(const GpibAddress& a) {
        return {a.primary, a.secondary ? *a.secondary : -1};
    }
    /// Notes a device as served (where a service request is looked for).
    void served(const GpibAddress& a);
    /// Reads from `address` into `out` (see BusTurn::read); with `oneRead`, asking the
    /// adapter once at most (CallLimits::oneRead).
    BusStatus readFrom(const GpibAddress& address, std::uint64_t max,
                       std::optional<std::uint8_t> term, AnswerBytes& out, bool& end,
                       bool oneRead = false);
    /// Follows the listeners and talker that command bytes address; false (nothing changed)
    /// when the bytes do more than address.
    bool trackAddressing(std::span<const std::uint8_t> bytes);
    /// NDAC as a listener search sees it for the listener addressed.
    BusStatus ndac(std::uint16_t& value);

    AdapterBus& m_bus;
    const Until& m_until;
    /// Why the turn's stop ended an adapter call, once it did.
    mutable StopReason m_stopped = StopReason::None;
};

} // namespace gateway::adapter
