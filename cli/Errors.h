#pragma once

#include <stdexcept>
#include <string>

namespace cli {

/// A command line or shell line that cannot be run as written; nothing has been sent.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// An operation that failed without a library error (no SRQ within the wait, a block that does
/// not parse, a file that cannot be written).
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

} // namespace cli
