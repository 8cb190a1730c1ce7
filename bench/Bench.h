#pragma once

#include <iosfwd>
#include <string>

namespace bench {

/// What one run of siclquill-bench measures against.
struct Options {
    std::string server; ///< as typed in the window's server box, e.g. "127.0.0.1:40111"
    int address = 0;    ///< instrument address, as typed in the instrument box
    int count = 100;    ///< exchanges for the medians
    int walks = 5;      ///< discovery walks for the walk's median
    int clients = 0;    ///< load mode when above 0: this many links at once, `count` each
};

/// Runs every measurement through the wrappers and prints `NAME VALUE` lines to `out`.
/// Returns 0 when every exchange succeeded, 1 otherwise (the reason goes to `err`).
int run(const Options& options, std::ostream& out, std::ostream& err);

/// Load mode: `options.clients` links at once, each on its own connection and thread, each
/// doing `options.count` "*IDN?" exchanges, each under the device's lock. Prints `exchanges_per_s`,
/// `errors` and the median and 99th percentile of one exchange. Returns 0 when there was no error.
int runLoad(const Options& options, std::ostream& out, std::ostream& err);

} // namespace bench
