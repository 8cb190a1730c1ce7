#pragma once
// What tests observe of the simulated bus.

namespace gateway {

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

} // namespace gateway
