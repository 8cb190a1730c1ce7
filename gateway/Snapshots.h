#pragma once
// What tests observe of a running simulator: instruments, the bus, links.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace gateway {

/// State of one instrument as the tests see it.
struct InstrumentSnapshot {
    int pad = 0;
    std::optional<int> sad;
    std::string inputQueue;           ///< bytes received but not yet ended by LF or END
    std::string lastCommand;          ///< the last complete program message executed
    std::size_t outputQueueBytes = 0; ///< response bytes waiting to be read
    std::uint8_t statusByte = 0;      ///< as a serial poll would read it now (RQS included)
    std::uint8_t eventStatus = 0;     ///< standard event status register
    std::size_t errorCount = 0;       ///< entries in the error queue
    unsigned triggerCount = 0;
    unsigned clearCount = 0;
    std::uint64_t acceptedBytes = 0; ///< block data taken by `DATA <block>`
    bool remote = false;
    bool lockout = false;
    bool remoteEnable = true; ///< a LAN instrument's own remote enable (REN on the bus)
    bool listener = false;    ///< addressed to listen on the bus
    bool talker = false;      ///< addressed to talk on the bus
};

/// State of the bus lines and the gateway's own interface.
struct BusSnapshot {
    bool atn = false;
    bool ren = false;
    bool srq = false;
    bool ndac = false;
    bool talker = false;   ///< the gateway is addressed to talk
    bool listener = false; ///< the gateway is addressed to listen
    int busAddress = 0;
    unsigned ifcCount = 0;
};

/// A live link.
struct LinkInfo {
    std::int32_t lid = 0;
    std::string device;    ///< canonical name: "gpib0", "gpib0,5", "gpib0,5,2" or "inst0"
    std::string requested; ///< the name as create_link gave it
    std::uint64_t connection = 0;
    bool holdsLock = false;
};

/// One destroy_link call (also links destroyed because their connection dropped).
struct DestroyedLink {
    std::int32_t lid = 0;
    std::string device;
    bool byCall = true; ///< false: released because the connection ended
};

} // namespace gateway
