#pragma once

#include "hislip/client/HislipSession.h"
#include "library/Transport.h"

#include <cstdint>
#include <memory>

namespace hislip {

/// Settings of the HiSLIP transport.
struct HislipOptions {
    /// The resolver and the socket seam, as every transport has them.
    library::TransportOptions transport;
    /// The mode to work in. Anything but ServerChoice is asked for by a device clear right
    /// after the open when the server starts in the other one (a server that cannot grant it
    /// keeps its own, and the session works in that). Later device clears ask for it again.
    Mode mode = Mode::ServerChoice;
    /// The client's vendor ID sent with Initialize: two ASCII characters.
    std::uint16_t vendorId = hislip::vendorId('Z', 'Z');
    /// The largest message announced to the server, header included, at most 4 GiB: it bounds
    /// every Data the server sends. Large pieces cost nothing, since each payload goes
    /// straight into the caller's buffer.
    std::uint64_t maxMessageSize = std::uint64_t{16} << 20;
    /// Largest payload of any message but Data (error texts): over it the server is broken.
    std::uint64_t maxControlPayload = 4096;
};

/// The HiSLIP transport: opens a session on both channels of a server.
class HislipTransport final : public library::Transport {
public:
    HislipTransport() = default;
    explicit HislipTransport(HislipOptions options);

    /// Connects the sync channel and sends Initialize with the resource's sub-address, then
    /// connects the async channel (AsyncInitialize) and exchanges the maximum message size,
    /// all within `time`'s call deadline. On any failure both channels are closed.
    std::unique_ptr<library::TransportSession> open(const library::Resource& resource,
                                                    const library::CallTime& time) override;
    /// open() with the session's own type, for callers that want its details.
    std::unique_ptr<HislipSession> openSession(const library::Resource& resource,
                                               const library::CallTime& time);

private:
    /// The open's steps, all bounded by `deadline`.
    std::unique_ptr<HislipSession> handshake(const library::Resource& resource,
                                             net::Deadline deadline);

    HislipOptions m_options;
};

/// The smallest maximum message size a server may announce: a header and one byte.
inline constexpr std::uint64_t kMinServerMessage = kHeaderSize + 1;
/// The largest maximum message size this client announces (a payload over 4 GiB is refused).
inline constexpr std::uint64_t kMaxClientMessage = std::uint64_t{1} << 32;

} // namespace hislip
