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

/// Load mode: `options.clients` links at once, each on its own connection and thread and to its
/// own instrument (`loadAddress`), each doing `options.count` "*IDN?" exchanges. Prints
/// `exchanges_per_s`, `errors` and the median and 99th percentile of one exchange. Returns 0
/// when there was no error.
int runLoad(const Options& options, std::ostream& out, std::ostream& err);

/// Most clients of the load mode: each needs an address of its own.
inline constexpr int kMaxLoadClients = 600;

/// The instrument address (as typed in the instrument box) of load client `client`: primary
/// 10 and up, secondary 1-30. Each client has an instrument of its own, because a new query
/// clears an instrument's unread answer, so links that shared one would need its lock and the
/// figure would measure lock hand-overs instead of the gateway.
inline int loadAddress(int client) {
    return (10 + client / 30) * 100 + 1 + client % 30;
}

} // namespace bench
