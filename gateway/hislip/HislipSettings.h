#pragma once
// How the HiSLIP server behaves.

#include "gateway/serving/ServerConfig.h"

#include <chrono>
#include <cstdint>

namespace gateway {

/// How the HiSLIP server behaves.
struct HislipSettings {
    /// The mode sessions start in, and the one proposed in a device clear: overlapped, or
    /// synchronized (a client may ask for either in a device clear and gets it).
    bool overlapped = false;
    /// The largest message the server accepts, announced in the maximum message size exchange:
    /// a Data payload may be this long. Larger ones are refused (Error 4) and skipped.
    std::uint64_t maxMessage = std::uint64_t{1} << 20;
    /// The largest message the server sends until the client has announced its own.
    std::uint64_t clientMaxBefore = std::uint64_t{1} << 20;
    /// The server's vendor ID: two ASCII characters, the first in the high byte.
    std::uint16_t vendorId = 0x5351; // "SQ"
    /// A session whose asynchronous channel has not come this long after Initialize, or a
    /// connection that has not said which channel it is, is closed (capped by the idle
    /// time-out, when that is shorter).
    std::chrono::milliseconds pairingTimeout{std::chrono::seconds(10)};
};

/// What the HiSLIP server is given: its own settings, the limits and the log of every server.
struct HislipConfig {
    HislipSettings hislip;
    SimulatorLimits limits;
    Log log;
};

} // namespace gateway
