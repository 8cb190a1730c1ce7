#pragma once

#include "bench/Common.h"

#include <iosfwd>

namespace bench {

/// Runs every measurement through the wrappers and prints `NAME VALUE` lines to `out`.
/// Returns 0 when every exchange succeeded, 1 otherwise (the reason goes to `err`).
int run(const Options& options, std::ostream& out, std::ostream& err);

} // namespace bench
