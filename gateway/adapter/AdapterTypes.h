#pragma once

#include "gateway/adapter/PlusPlusCodec.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace gateway::adapter {

/// How a call on the adapter ended. Never an exception: callers run on other threads.
enum class Outcome {
    Done,         ///< it happened
    TimedOut,     ///< the caller's deadline passed while it ran
    Stopped,      ///< the caller's stop said so while it ran
    NotSupported, ///< this flavour cannot do it; nothing was sent
    IoError,      ///< no listener, the adapter refused, or it answered nonsense
    AdapterBusy,  ///< the adapter was still busy with an earlier call at the deadline
    AdapterGone   ///< the adapter is not there (unplugged, closed); it is being looked for
};

/// A short English text for an outcome.
const char* outcomeText(Outcome outcome);

/// True when the caller gave up (an abort, its client gone). Asked often; must be cheap.
using Stop = std::function<bool()>;
/// Receives the bytes a read took, once, on the caller's own thread as the call ends; it may
/// take the vector's contents (what it leaves is dropped).
using Sink = std::function<void(std::vector<std::uint8_t>&)>;
/// Receives one line for the log (the program prints it on standard error).
using Log = std::function<void(const std::string&)>;

/// The end of a write: how much of the message went out.
struct WriteResult {
    Outcome outcome = Outcome::Done;
    std::size_t written = 0;
};

/// The end of a read: the bytes the sink got and why it stopped.
struct ReadResult {
    Outcome outcome = Outcome::Done;
    std::size_t count = 0;
    bool end = false;          ///< the last byte came with EOI
    bool termChar = false;     ///< the last byte is the termination character asked for
    bool countReached = false; ///< the caller's maximum was reached
};

/// A serial poll's status byte.
struct PollResult {
    Outcome outcome = Outcome::Done;
    std::uint8_t status = 0;
};

/// The state of a bus line.
struct LineResult {
    Outcome outcome = Outcome::Done;
    bool asserted = false;
};

/// Addresses found on the bus.
struct AddressList {
    Outcome outcome = Outcome::Done;
    std::vector<GpibAddress> addresses;
};

} // namespace gateway::adapter
