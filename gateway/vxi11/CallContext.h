#pragma once
// What a procedure body knows of the call it serves.

#include "gateway/devices/Waits.h"
#include "net/IpAddress.h"
#include "vxi11/codec/Xdr.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace gateway {

/// The call being served: which connection it came on, from where, and how to tell that its
/// client left.
struct CallContext {
    std::uint64_t connection = 0;
    net::IpAddress peer; ///< the client's address
    GoneCheck gone = [] { return false; };
    /// Memory a body may take for its reply's data (device_read's): the connection hands the
    /// same back after each reply, so that large answers do not allocate and fault in fresh
    /// pages every time. May be null.
    vxi11::xdr::Bytes* spare = nullptr;
};

/// Milliseconds from the wire as a deadline; 0xFFFFFFFF and other huge values simply lie far
/// in the future (about 49 days), which is what clients mean by "no time-out".
inline Clock::time_point deadlineAfter(std::uint32_t ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

} // namespace gateway
