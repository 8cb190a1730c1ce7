#pragma once
// How an answer read from an instrument is printed: cut at its terminator, raw, unwrapped
// from an IEEE 488.2 block, as a hex dump, or written to a file.

#include "cli/CommandTable.h"
#include "cli/Output.h"
#include "cli/Runner.h"
#include "sicl/SiclError.h"

#include <cstdint>
#include <optional>
#include <string>

namespace cli {

/// Options of read, and of the read of query.
struct ReadOptions {
    std::size_t max = 0;               ///< most bytes to read
    bool raw = false;                  ///< print the answer as it came, terminators included
    bool block = false;                ///< unwrap an IEEE 488.2 block
    bool hex = false;                  ///< print a hex dump
    std::optional<std::string> out;    ///< write the bytes to this file ("-": standard output)
    std::optional<std::uint8_t> until; ///< end the read at this character too
};

/// The read options a command was given; UsageError for a bad --until or for --out - with
/// --json (both would use standard output).
ReadOptions readOptions(const CommandValues& values, bool json);

/// The character of --until: one character, \n \r \t \\, or 0xHH. Throws UsageError.
std::uint8_t parseChar(const std::string& text);

/// Prints what a read of `device` by `command` brought (`answer`, as the options ask) and
/// returns the exit status: kFailed for an answer cut at the read limit, whose bytes up to the
/// limit are still printed or written, with "truncated": true in JSON and the way to raise the
/// limit on the error stream. An answer a raw socket's instrument ended by closing the
/// connection is whole, and a note says so. Raises Failure for a block that does not parse or a
/// file that cannot be written.
int printAnswer(Output& out, const std::string& command, const DeviceAddress& device,
                std::string& answer, const ReadOptions& options, const ReadEnd& end);

/// What came of an answer before its read failed: where it went, for the error report.
struct PartialAnswer {
    std::string note; ///< "5 bytes came before the time-out: 12345"
    Json fields;      ///< for the JSON error object: "bytes", and "partial" (the bytes) or "file"
};

/// Keeps the bytes of an answer whose read failed with library error `number`, as the
/// options ask: --out writes them (a block's data with --block), else the note shows them.
/// Raises Failure for a file that cannot be written.
PartialAnswer keepPartial(Output& out, std::string& answer, const ReadOptions& options, int number);

/// A library error that cut an answer short, and what came of the answer.
struct CutAnswer : sicl::SiclError {
    CutAnswer(const sicl::SiclError& error, PartialAnswer kept)
        : sicl::SiclError(error), partial(std::move(kept)) {}
    PartialAnswer partial;
};

/// Turns `r`, an IEEE 488.2 block, into its data, in place; Failure when it is none.
void unwrapBlock(std::string& r);

/// Lines of 16 bytes: offset, the bytes in hex, and the printable ones
/// ("00000000  41 42 0a ...  |AB.|").
std::string hexDump(std::string_view bytes);

/// "1 byte", "5 bytes".
std::string byteCount(std::size_t n);

} // namespace cli
