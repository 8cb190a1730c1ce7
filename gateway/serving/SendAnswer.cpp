#include "gateway/serving/SendAnswer.h"

#include <algorithm>

namespace gateway {

namespace {

/// Bytes of a made stretch (a waveform) made and sent at a time: large enough for few system calls,
/// small enough to stay in the cache between being made and being copied to the socket.
constexpr std::size_t kWaveformPiece = 256 * 1024;

} // namespace

void sendAnswer(net::TcpConnection& socket, std::span<const std::uint8_t> lead,
                std::span<const std::uint8_t> header, const AnswerBytes& piece,
                std::span<const std::uint8_t> trail, WaveformScratch& scratch,
                net::Deadline deadline) {
    if (piece.madeLength == 0) {
        // One system call for all of it, the text sent from where it lies.
        socket.sendAll({lead, header, piece.head, piece.tail, trail}, deadline);
        return;
    }
    socket.sendAll({lead, header, piece.head}, deadline);
    if (!scratch) {
        scratch = std::make_unique_for_overwrite<std::uint8_t[]>(kWaveformPiece);
    }
    for (std::uint64_t done = 0; done < piece.madeLength;) {
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(kWaveformPiece, piece.madeLength - done));
        const std::span<std::uint8_t> stretch(scratch.get(), n);
        piece.maker(piece.madeOffset + done, stretch);
        socket.sendAll(stretch, deadline);
        done += n;
    }
    socket.sendAll({piece.tail, trail}, deadline);
}

} // namespace gateway
