#pragma once
// The commands an instrument runs, all in one kind of table: each row is a header and the
// function that does what it says. Every instrument has the IEEE 488.2 common commands and
// SYST:ERR? (commonCommands); an instrument adds rows of its own in its configuration, as the
// waveform commands are. A new command is one row.

#include "gateway/instrument/InstrumentConfig.h"
#include "gateway/instrument/OutputQueue.h"
#include "gateway/instrument/StatusModel.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace gateway {

/// The answer of one query unit: text, then (a waveform block's data) bytes of the waveform
/// made as they are read.
struct Reply {
    std::string text;
    std::uint64_t waveform = 0;
};

/// The settings and counts of one instrument that its commands read and change.
struct InstrumentSettings {
    std::uint64_t waveformPoints = kDefaultWaveformPoints;
    std::uint64_t acceptedBytes = 0; ///< block data taken by `DATA <block>`
    unsigned triggers = 0;
};

/// What a command works with while it runs.
struct CommandContext {
    std::string_view args;    ///< the text after the header
    std::uint64_t blockBytes; ///< block data bytes of the program message the command came in
    const InstrumentConfig& config;
    StatusModel& status;
    const OutputQueue& output;
    InstrumentSettings& settings;
    Reply& reply; ///< what a query answers
};

/// The IEEE 488.2 common commands and queries and SYST:ERR?, which every instrument has.
std::span<const CommandRow> commonCommands();
/// The row of `rows` for `header` (upper case, without a leading colon), or null.
const CommandRow* findCommand(std::span<const CommandRow> rows, std::string_view header);

/// A register value from a command's arguments: a decimal number rounded to 0-255 (488.2
/// allows any decimal numeric); nothing when it is not one or does not fit.
std::optional<std::uint8_t> registerArgument(std::string_view args);
/// A count from a command's arguments: decimal digits, blanks around them allowed.
std::optional<std::uint64_t> countArgument(std::string_view args);

} // namespace gateway
