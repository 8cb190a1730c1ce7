#pragma once

#include "net/Deadline.h"

#include <cstdint>
#include <span>

namespace net {

/// What a wait watches for on one descriptor.
enum class Watch : std::uint8_t {
    Readable, ///< bytes to read, or the peer closed, or the connection failed
    Writable, ///< room to send, or the connection failed
    Hangup,   ///< only the peer closing (or failing): bytes waiting do not count
};

/// One descriptor to watch; a negative `fd` is ignored.
struct Watched {
    int fd = -1;
    Watch watch = Watch::Readable;
};

/// Waits with one poll() until at least one of `watched` is ready or `deadline` passes. Returns
/// a mask with bit i set for each ready entry i (at most 32 entries), 0 when the deadline
/// passed first. Interrupted waits go on; any other poll failure throws TransportError.
std::uint32_t waitAny(std::span<const Watched> watched, Deadline deadline);

} // namespace net
