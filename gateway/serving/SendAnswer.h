#pragma once
// Sending a piece of an instrument's answer on a connection, whatever the protocol around it:
// the text as it lies, and a waveform's data made a stretch at a time as the socket takes it,
// so that memory stays the same whatever the size of the block.

#include "gateway/devices/AnswerBytes.h"
#include "net/Deadline.h"
#include "net/TcpConnection.h"

#include <cstdint>
#include <memory>
#include <span>

namespace gateway {

/// Where a waveform is made on its way to the socket; allocated on first use.
using WaveformScratch = std::unique_ptr<std::uint8_t[]>;

/// Sends `lead` and `header` (the protocol's framing, either may be empty), the bytes of
/// `piece`, then `trail`, as one stream on `socket` by `deadline`. Throws TransportError.
void sendAnswer(net::TcpConnection& socket, std::span<const std::uint8_t> lead,
                std::span<const std::uint8_t> header, const AnswerBytes& piece,
                std::span<const std::uint8_t> trail, WaveformScratch& scratch,
                net::Deadline deadline);

} // namespace gateway
