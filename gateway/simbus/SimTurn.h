#pragma once
// One turn on the simulated bench: the bench's mutex held, and the device seam's operations
// carried out on the simulated bus and instruments.

#include "gateway/simbus/SimulatedBus.h"

namespace gateway {

class SimTurn final : public BusTurn {
public:
    SimTurn(SimulatedBus& bench, SimulatedBus::Lock& lk, const Until& until)
        : m_bench(bench), m_lk(lk), m_until(until) {}

    BusStatus write(const Device& d, Holder who, std::span<const std::uint8_t> data, bool end,
                    Split split, std::size_t& taken) override;
    BusStatus read(const Device& d, std::uint64_t max, std::optional<std::uint8_t> term,
                   AnswerBytes& out, bool& end) override;
    BusStatus take(const Device& d, std::uint64_t max, AnswerBytes& out, bool& end) override;
    bool answerQueued(const Device& d) override;
    BusStatus awaitAnswer(const Device& d) override;
    void forgetInput(const Device& d, Holder who) override;
    bool midMessage(const Device& d, Holder who) override;

    BusStatus serialPoll(const Device& d, std::uint8_t& stb) override;
    BusStatus statusByte(const Device& d, std::uint8_t& stb) override;
    BusStatus clear(const Device& d) override;
    BusStatus trigger(const Device& d) override;
    BusStatus remote(const Device& d) override;
    BusStatus local(const Device& d) override;
    BusStatus remoteLocal(const Device& d, RemoteLocal what) override;
    void addressed(const Device& d) override;
    void holdMessage(const Device& d) override;
    void releaseMessage(const Device& d) override;
    bool interruptQuery(const Device& d) override;
    void queryInterrupted(const Device& d) override;

    BusStatus sendCommand(std::span<const std::uint8_t> bytes) override;
    BusStatus setAtn(bool on) override;
    BusStatus setRen(bool on) override;
    BusStatus ifc() override;
    BusStatus busStatus(std::uint32_t request, std::uint16_t& value) override;
    BusStatus setBusAddress(std::uint32_t address) override;

private:
    static Instrument* instrument(const Device& d) { return reinterpret_cast<Instrument*>(d.ref); }
    Bus& bus() { return m_bench.m_bus; }
    /// Takes up to `max` bytes of `s`'s readable answer into `out` (see read()).
    static void readOutput(Instrument& s, std::uint64_t max, std::optional<std::uint8_t> term,
                           AnswerBytes& out, bool& end, Clock::time_point now);
    /// Waits, the mutex let go meanwhile, until `ready()` holds, the turn's deadline passes,
    /// its stop says so or the bench stops. `hint()` may name an earlier moment when `ready()`
    /// can change by itself (a slow answer becoming readable).
    template <typename Ready, typename Hint>
    BusStatus waitFor(Ready ready, Hint hint);

    SimulatedBus& m_bench;
    SimulatedBus::Lock& m_lk;
    const Until& m_until;
};

} // namespace gateway
