#pragma once
// What a simulated instrument is made of: its address or name, its identity, its commands and
// fixed answers, and its faults; the demo bench.

#include "gateway/devices/Waits.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace gateway {

/// Misbehaviour of one instrument, for tests.
struct InstrumentFaults {
    /// A response becomes readable only this long after the query that produced it.
    std::chrono::milliseconds answerDelay{0};
    /// The instrument listens and accepts commands but never produces a response.
    bool silent = false;
    /// Responses end with CR LF instead of LF.
    bool crlf = false;
    /// A talker that trickles: on the bus, each byte of a response goes this long after the
    /// one before it (0: as fast as it is read).
    std::chrono::milliseconds trickle{0};
    /// A talker that never asserts EOI: on the bus, no byte of a response comes with END.
    bool noEnd = false;
};

/// What a command works with while it runs (CommandTable.h).
struct CommandContext;
/// What a command does beyond a fixed answer: reads its arguments, changes the instrument,
/// sets its reply.
using CommandAction = void (*)(CommandContext&);
/// One row of a command table: a header, matched without regard to case, and what it does.
struct CommandRow {
    std::string header;
    CommandAction action = nullptr;
};

/// Largest waveform block.
inline constexpr std::uint64_t kMaxWaveformPoints = std::uint64_t{256} << 20;
/// Points of the waveform until `WAV:POIN` sets others.
inline constexpr std::uint64_t kDefaultWaveformPoints = 1000;

/// One simulated instrument: on the bus at (pad, sad), or, with a `name`, a LAN instrument that
/// is a VXI-11 device of its own.
struct InstrumentConfig {
    int pad = 0;            ///< primary address, 0-30
    std::optional<int> sad; ///< secondary address, 0-30, if the instrument has one
    /// The VXI-11 device name of a LAN instrument (matched without regard to case); empty for an
    /// instrument on the bus.
    std::string name;
    std::string idn; ///< answer to *IDN? (without terminator)
    /// Device-specific queries and their fixed answers (without terminator), matched without
    /// regard to case, e.g. {"MEAS:VOLT:DC?", "+1.234567E+00"}.
    std::vector<std::pair<std::string, std::string>> queries;
    /// Commands with a behaviour of their own, matched as the queries are.
    std::vector<CommandRow> commands;
    InstrumentFaults faults;
};

/// The waveform commands as the demo scope and `inst0` have them, short and long forms:
/// `WAV:POIN N` sets the bytes of the next waveform block (1 to 256 MiB), `WAV:POIN?` reads
/// it, `WAV:DATA?` answers an IEEE 488.2 definite-length block of that many bytes of a
/// deterministic waveform (see waveformBytes), made as it is read so that it holds no memory
/// of its size, `DATA <block>` takes a definite-length block of any size and counts its bytes,
/// and `DATA:COUN?` reads that count.
std::vector<CommandRow> waveformCommands();

/// Writes bytes [offset, offset + out.size()) of the waveform that `WAV:DATA?` sends: a sine of
/// period 1021, each period told apart from the last by its number (a misplaced piece shows).
void waveformBytes(std::uint64_t offset, std::span<std::uint8_t> out);

/// The ready-made bench of `--demo`: a DMM at 22 (CR LF answers), a counter/source at 3, a
/// scope at 9 with a long *IDN? answer and the waveform commands, and a switch unit at 5 with
/// secondary address 2.
std::vector<InstrumentConfig> demoBench();
/// The LAN instrument of `--demo`: `inst0`, a scope with the waveform commands.
InstrumentConfig demoLanInstrument();
/// A LAN instrument named `name` answering *IDN? with `idn` (a made-up one when empty).
InstrumentConfig lanInstrument(std::string name, std::string idn = {});

} // namespace gateway
