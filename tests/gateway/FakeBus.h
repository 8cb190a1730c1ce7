#pragma once
// A scripted bus behind the device seam, the second kind of bus the gateway's servers meet: two
// devices on the bus (gpib0,5 and gpib0,7,2) and one LAN device ("LanBox"). Each device records
// what it was sent and hands out the answers a test queued; any operation a test names answers
// the status the test chose instead (NotSupported, NoListener, Busy, Lost, Timeout...); and the
// test pushes "SRQ rose at this source" as a real bus would. One mutex guards it all; a turn
// holds it, and an operation that waits lets it go while it sleeps.

#include "gateway/devices/DeviceBus.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testfake {

using gateway::BusStatus;
using gateway::Holder;

/// The operations a test may make fail: a turn itself, and each operation of one.
enum class Op {
    Hold,
    Write,
    Read,
    SerialPoll,
    Clear,
    Trigger,
    Remote,
    Local,
    RemoteLocal,
    SendCommand,
    Atn,
    Ren,
    Ifc,
    BusStatus,
    BusAddress
};

/// One write as a device received it.
struct Written {
    std::string bytes;
    bool end = false; ///< END came with the last byte
    Holder who = 0;
    gateway::Split split = gateway::Split::None;
    bool operator==(const Written&) const = default;
};

/// One device of the fake bus (the interface is one too, keyed "gpib0").
struct FakeDevice {
    std::vector<Written> written;
    std::vector<std::string> refused; ///< the bytes of writes the test made fail
    /// Answers queued by the test: the text, and whether END comes with its last byte.
    std::deque<std::pair<std::string, bool>> answers;
    bool answersHeld = false; ///< queued answers are not readable yet
    std::uint8_t stb = 0;     ///< what a serial poll reads (the poll then clears RQS)
    unsigned polls = 0;       ///< serial polls
    unsigned clears = 0;      ///< selected device clears
    unsigned triggers = 0;    ///< group execute triggers
    unsigned remotes = 0;     ///< remote()
    unsigned locals = 0;      ///< local()
    std::vector<gateway::RemoteLocal> remoteLocal;

    bool readable() const { return !answersHeld && !answers.empty(); }
};

/// What the interface was told.
struct FakeInterface {
    std::string commands; ///< command bytes sent with ATN, in order
    std::optional<bool> atn;
    std::optional<bool> ren;
    unsigned ifcs = 0;
    std::optional<std::uint32_t> busAddress;
    std::map<std::uint32_t, std::uint16_t> busStatus; ///< answers to bus status requests
};

class FakeBus final : public gateway::DeviceBus {
public:
    /// The keys of the devices that are there.
    static constexpr const char* kDevice5 = "gpib0,5";
    static constexpr const char* kDevice7_2 = "gpib0,7,2";
    static constexpr const char* kLan = "LanBox";

    FakeBus();

    gateway::Device find(const gateway::DeviceName& name) override;
    std::optional<gateway::Device> findLan(std::string_view name) override;
    std::optional<gateway::Device> defaultLan() override;
    BusStatus hold(const gateway::Until& until,
                   gateway::FunctionRef<void(gateway::BusTurn&)> body) override;
    void wake() override;
    void stop() override;
    void routeServiceRequests(Listener listener, std::function<bool()> wanted) override;

    // ---- The script.
    /// `op` answers `status` from now on; nothing restores it to working.
    void failWith(Op op, std::optional<BusStatus> status);
    /// Queues an answer at the device `key` ("gpib0" is the interface).
    void answer(const std::string& key, std::string text, bool end = true);
    /// Holds the answers of `key` back (queued, not readable) or lets them go.
    void holdAnswers(const std::string& key, bool held);
    void setStatusByte(const std::string& key, std::uint8_t stb);
    void setBusStatus(std::uint32_t request, std::uint16_t value);
    /// The bus tells the gateway that a service request rose at `source`.
    void pushSrq(const std::string& source);
    /// Whether some client of the gateway wants service requests now.
    bool wanted();

    // ---- What happened, copied under the mutex.
    FakeDevice device(const std::string& key);
    FakeInterface iface();

private:
    friend class FakeTurn;
    using Lock = std::unique_lock<std::mutex>;

    FakeDevice* at(const gateway::Device& d);
    std::optional<BusStatus> failure(Op op) const;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, FakeDevice> m_devices; ///< by key; nodes stay put, refs point at them
    FakeInterface m_interface;
    std::map<Op, BusStatus> m_failures;
    bool m_stopping = false;
    Listener m_listener;
    std::function<bool()> m_wanted;
};

} // namespace testfake
