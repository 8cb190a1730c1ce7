#pragma once

#include <stdexcept>
#include <string>

namespace cli {

/// A command line or shell line that cannot be run as written; nothing has been sent.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// An operation that failed without a library error (no SRQ within the wait, a block that does
/// not parse, a file that cannot be written, an error the instrument reports).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Standard output could not be written (a full disk, a reader that went away): the program
/// stops, since whatever it prints next would be lost too.
struct OutputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace cli
