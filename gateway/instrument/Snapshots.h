#pragma once
// What tests observe of a simulated instrument.

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

} // namespace gateway
