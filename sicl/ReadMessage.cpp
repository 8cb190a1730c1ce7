#include "sicl/ReadMessage.h"

#include <algorithm>

namespace sicl {

namespace {

/// Bytes asked for by the first read piece; a piece that fills up makes the next ones larger.
constexpr std::size_t kFirstPiece = 64 * 1024;
constexpr std::size_t kLargePiece = 1024 * 1024;

/// One read of at most `want` bytes into the start of `scratch`: the bytes read and the
/// reason bits. When the read fails, the bytes that came before the failure are appended to
/// `keep` (if given) before the error goes on.
std::pair<std::size_t, std::int32_t> readPiece(Sicl32Module& sicl, SessionId id, std::size_t want,
                                               std::string& scratch, std::string* keep) {
    if (scratch.size() < want) {
        scratch.assign(want, '\0');
    }
    std::int32_t why = 0;
    std::int32_t actual = 0;
    const auto taken = [&] {
        return std::min(static_cast<std::size_t>(std::max(actual, 0)), want);
    };
    try {
        if (sicl.iread(id, scratch, static_cast<std::int32_t>(want), why, actual) != 0) {
            // A failure the library gave no number for: nothing trustworthy came.
            return {0, 0};
        }
    } catch (const SiclError&) {
        // A time-out hands over what came before it: part of an answer is still an answer.
        if (keep != nullptr) {
            keep->append(scratch.data(), taken());
        }
        throw;
    }
    return {taken(), why};
}

constexpr std::int32_t kMessageEnds = reason::kEnd | reason::kChr;

} // namespace

std::optional<BlockHeader> parseBlockHeader(std::string_view bytes) {
    if (bytes.size() < 2 || bytes[0] != '#' || bytes[1] < '1' || bytes[1] > '9') {
        return std::nullopt;
    }
    const auto digits = static_cast<std::size_t>(bytes[1] - '0');
    if (bytes.size() < 2 + digits) {
        return std::nullopt;
    }
    std::size_t length = 0;
    for (std::size_t i = 2; i < 2 + digits; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<std::size_t>(bytes[i] - '0');
    }
    return BlockHeader{2 + digits, length};
}

MessageEnd readMessage(Sicl32Module& sicl, SessionId id, std::size_t limit, std::string& message,
                       std::string& scratch, std::int32_t* reasons) {
    message.clear();
    std::size_t piece = kFirstPiece;
    while (message.size() < limit) {
        const std::size_t want = std::min(piece, limit - message.size());
        const auto [got, why] = readPiece(sicl, id, want, scratch, &message);
        if (reasons != nullptr) {
            *reasons |= why;
        }
        message.append(scratch.data(), got);
        if ((why & reason::kEnd) != 0) {
            return MessageEnd::End;
        }
        if ((why & reason::kChr) != 0) {
            return MessageEnd::Char;
        }
        if (got == 0) {
            return MessageEnd::NoMore;
        }
        // A long definite-length block: room for all of it at once, rather than growing (and
        // copying) the message piece by piece.
        if (message.size() == got) {
            if (const auto header = parseBlockHeader(message)) {
                message.reserve(std::min(limit, header->size + header->length + 2));
            }
        }
        if ((why & reason::kReqCnt) != 0 && got == piece) {
            piece = kLargePiece; // a large message: fewer, larger pieces
        }
    }
    return MessageEnd::Limit;
}

std::pair<std::size_t, bool> discardMessage(Sicl32Module& sicl, SessionId id,
                                            std::chrono::milliseconds within,
                                            std::string& scratch) {
    const auto until = std::chrono::steady_clock::now() + within;
    std::size_t dropped = 0;
    do {
        const auto [got, why] = readPiece(sicl, id, kLargePiece, scratch, nullptr);
        dropped += got;
        if ((why & kMessageEnds) != 0) {
            return {dropped, true};
        }
        if (got == 0) {
            break;
        }
    } while (std::chrono::steady_clock::now() < until);
    return {dropped, false};
}

} // namespace sicl
