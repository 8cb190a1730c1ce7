#pragma once
// What every mode of siclquill-bench shares: its options, the units of its figures, how a
// failure is told, and the load clients' addresses.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace bench {

/// A span of the steady clock in microseconds and in seconds, as the figures give them.
inline double micros(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}
inline double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

/// Inside a catch (...): prints what failed as every mode of the bench does; returns 1.
int reportFailure(std::ostream& err);

/// What one run of siclquill-bench measures against.
struct Options {
    std::string server;     ///< as typed in the window's server box, e.g. "127.0.0.1:40111"
    int address = 0;        ///< instrument address, as typed in the instrument box
    int count = 100;        ///< exchanges for the medians
    int walks = 5;          ///< discovery walks for the walk's median
    int clients = 0;        ///< load mode when above 0: this many links at once, `count` each
    std::uint64_t bulk = 0; ///< bulk mode when above 0: a waveform block of this many bytes
    std::string device{};   ///< bulk mode: a VXI-11 device name (inst0) instead of `address`
    int runs = 5;           ///< bulk mode: transfers of each kind, each with its floor
    /// Resource mode when not empty: any address iopen takes (a VISA resource string such as
    /// `TCPIP::127.0.0.1::hislip0,4880::INSTR`, or the `lan;vxi-11[...]` form).
    std::string resource{};
    /// Adapter mode when not empty: HOST:PORT of a `++` adapter that a bare client talks to,
    /// against the bridge at `server` to an adapter of the same kind.
    std::string plusplus{};
    /// Adapter mode: HOST:PORT of a third adapter of the same kind that a bare client reaches
    /// through a relay (a bridge that only copies bytes) when not empty.
    std::string relay{};
};

/// Block size of the resource mode's bulk figures when `bulk` is 0.
inline constexpr std::uint64_t kResourceBulk = std::uint64_t{64} << 20;

/// Block read and message written in adapter mode (the read's unless `bulk` says otherwise).
inline constexpr std::uint64_t kAdapterBulk = std::uint64_t{1} << 20;
inline constexpr std::size_t kAdapterWrite = 100000;

/// The median of `v`; 0 when it is empty.
double median(std::vector<double> v);

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
