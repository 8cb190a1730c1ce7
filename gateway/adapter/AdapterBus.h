#pragma once
// A real GPIB bus behind a `++` adapter, as the gateway's servers reach it: the device seam
// over PlusPlusAdapter. A turn is the adapter's, one caller at a time and in the order they
// asked (a caller still waiting at its deadline hears that the adapter is busy); every
// operation in it ends by the turn's deadline. What the flavour cannot do answers "not
// supported" and sends nothing.
//
// What a bus of real instruments cannot tell by itself is kept here:
// - whether a device owes an answer (a stream protocol must know whether to read): a message
//   ended with END that holds a query (`?`) owes one until a read reaches its END. Waiting for
//   it is reading, one adapter read a turn, so that an answer that never comes holds nobody;
// - the listener a client addressed with command bytes, so that a listener search done the
//   IEEE 488.1 way (UNL, MTA, MLA, ATN released, NDAC read) gets the answer of the adapter's
//   own search (AR488), or of a serial poll of that address (Prologix); ATN is released by
//   the adapter after every command, so releasing it is done, asserting it is not supported;
// - service requests: while a client wants them the SRQ line is asked about every 100 ms;
//   when it rises the devices this bus has served are polled for the requester, whose status
//   byte is kept for its next poll (the poll that found it cleared its request).

#include "gateway/adapter/PlusPlusAdapter.h"
#include "gateway/devices/DeviceBus.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace gateway::adapter {

class AdapterTurn;

class AdapterBus final : public DeviceBus {
public:
    /// Drives `adapter`, which outlives the bus. `ownAddress` is the controller's own address.
    explicit AdapterBus(PlusPlusAdapter& adapter, int ownAddress = 0);
    ~AdapterBus() override;
    AdapterBus(const AdapterBus&) = delete;
    AdapterBus& operator=(const AdapterBus&) = delete;

    Device find(const DeviceName& name) override;
    /// A `++` bus has no LAN instruments.
    std::optional<Device> findLan(std::string_view) override { return std::nullopt; }
    std::optional<Device> defaultLan() override { return std::nullopt; }
    BusStatus hold(const Until& until, FunctionRef<void(BusTurn&)> body) override;
    void wake() override;
    void stop() override;
    void routeServiceRequests(Listener listener, std::function<bool()> wanted) override;

    /// The GPIB address a device of this bus stands for.
    static GpibAddress addressOf(const Device& d);

private:
    friend class AdapterTurn;

    /// Asks the SRQ line while requests are wanted, and tells where one rose.
    void watch();
    /// Polls the devices this bus served for the one that requests service.
    void findRequester(std::vector<std::string>& sources);
    /// Passes the turns of callers that gave up waiting for them (m_mutex held).
    void skipGivenUp();

    PlusPlusAdapter& m_adapter;
    int m_ownAddress;

    std::mutex m_mutex; ///< guards what follows
    std::condition_variable m_changed;
    bool m_turnTaken = false;
    std::uint64_t m_nextTicket = 0;    ///< the place in line of the next caller
    std::uint64_t m_nextTurn = 0;      ///< the place in line whose turn comes next
    std::set<std::uint64_t> m_skipped; ///< places of callers that gave up waiting
    bool m_stopping = false;
    Listener m_listener;
    std::function<bool()> m_wanted;
    /// Devices served so far: where a service request is looked for.
    std::set<std::pair<int, int>> m_served;
    /// Status bytes taken by the bridge's own polls, for each device's next poll.
    std::map<std::pair<int, int>, std::uint8_t> m_polled;
    std::thread m_watcher;

    // Only a turn's holder uses these.
    std::set<std::pair<int, int>> m_owing; ///< devices that owe an answer
    std::set<std::pair<int, int>> m_asked; ///< devices sent a query in an unfinished message
    std::vector<GpibAddress> m_listeners;  ///< addressed to listen by command bytes
    std::optional<GpibAddress> m_talkerAddressed;
    /// The adapter's listener search, and when it was made.
    std::optional<std::vector<GpibAddress>> m_found;
    std::chrono::steady_clock::time_point m_foundAt;
};

} // namespace gateway::adapter
