#pragma once
// Reading one whole message (up to END) through the wrappers, as every caller that does not
// know the answer's size needs it: the command line, and the window or the bench later.

#include "sicl/Sicl32Module.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace sicl {

/// How a message read ended.
enum class MessageEnd {
    End,   ///< END came: the message is whole (on a raw socket: the peer closed the connection)
    Char,  ///< the termination character came: the message is whole
    Limit, ///< the limit came first: the rest of the message is still in the device
    NoMore ///< a read returned nothing and no END (the library had nothing more to give)
};

/// The header of an IEEE 488.2 definite-length block (`#`, a digit N, N digits of length).
struct BlockHeader {
    std::size_t size = 0;   ///< bytes of the header
    std::size_t length = 0; ///< bytes of data that follow it
};

/// The block header at the start of `bytes`, if they begin with a whole one.
std::optional<BlockHeader> parseBlockHeader(std::string_view bytes);

/// Reads one message from session `id` into `message` (replacing what it held), at most
/// `limit` bytes, in pieces through `scratch` (reused between calls, so a loop allocates
/// nothing). A message that begins with a long definite-length block gets room for all of it
/// at once. Raises SiclError as the wrappers do; `message` then holds the bytes that came
/// before the failure (a time-out's partial answer). `reasons`, when given, gets every reason
/// bit the pieces' reads reported (reason::kResync among them).
MessageEnd readMessage(Sicl32Module& sicl, SessionId id, std::size_t limit, std::string& message,
                       std::string& scratch, std::int32_t* reasons = nullptr);

/// Reads and drops what is left of a message that readMessage cut at its limit, until END or
/// until `within` has passed; returns the bytes dropped and whether END came. Raises SiclError.
std::pair<std::size_t, bool> discardMessage(Sicl32Module& sicl, SessionId id,
                                            std::chrono::milliseconds within, std::string& scratch);

} // namespace sicl
