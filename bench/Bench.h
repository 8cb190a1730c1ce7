#pragma once

#include <chrono>
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

/// Runs every measurement through the wrappers and prints `NAME VALUE` lines to `out`.
/// Returns 0 when every exchange succeeded, 1 otherwise (the reason goes to `err`).
int run(const Options& options, std::ostream& out, std::ostream& err);

/// Load mode: `options.clients` links at once, each on its own connection and thread and to its
/// own instrument (`loadAddress`), each doing `options.count` "*IDN?" exchanges. Prints
/// `exchanges_per_s`, `errors` and the median and 99th percentile of one exchange. Returns 0
/// when there was no error.
int runLoad(const Options& options, std::ostream& out, std::ostream& err);

/// Resource mode: `options.count` "*IDN?" exchanges on a session at `options.resource`, in
/// turns with the bare round trips that transport's exchange needs (two for VXI-11, one for
/// HiSLIP and a raw socket, with the same bytes on the wire), then the bulk figures of
/// runBulkAt over the same transport with a block of `options.bulk` bytes (kResourceBulk when
/// 0). Prints `transport`, `idn_round_trips`, `idn_exchange_us`, `idn_floor_us`, `idn_ratio`,
/// the floor's placements and the bulk figures. Returns 0 when everything succeeded.
int runResource(const Options& options, std::ostream& out, std::ostream& err);

/// Block read and message written in adapter mode (the read's unless `bulk` says otherwise).
inline constexpr std::uint64_t kAdapterBulk = std::uint64_t{1} << 20;
inline constexpr std::size_t kAdapterWrite = 100000;

/// Adapter mode: the demo bench behind a `++` adapter, through the bridge at `options.server`
/// (VXI-11 links to gpib0,22 and gpib0,9) and through a bare `++` client on the adapter at
/// `options.plusplus`: `options.count` "*IDN?" exchanges of the DMM at 22 each way in turns,
/// then `options.runs` times each way a block of `bulk` bytes (kAdapterBulk when 0) read from
/// the scope at 9 and a `:DATA` message of kAdapterWrite bytes written to it (then `*OPC?`).
/// With `options.relay`, a third road in the same turns: a bare client through a relay process
/// to the adapter there. Prints `adapter_flavour`, then for `adapter_idn_us`,
/// `adapter_read_mb_s` and `adapter_write_mb_s` the bridge's median, the bare one (`_bare`)
/// and the median of the per-turn ratios of the bridge to it (`_ratio`), with a relay also
/// the relayed one (`_relay`) and its ratio (`_relay_ratio`); and `adapter_idn_added_us`.
/// Returns 0 when every answer was right and every byte arrived.
int runAdapter(const Options& options, std::ostream& out, std::ostream& err);

/// Bulk mode: `options.runs` times, `:WAV:DATA?` of a block of `options.bulk` bytes read with
/// one vb_iread, a bare TCP transfer of the same bytes from a peer process in every placement
/// (the read floor), a write of as many bytes (`:DATA <block>`, then `*OPC?`) and a bare TCP
/// transfer of them to a peer process (the write floor), over VXI-11 to `options.device` or
/// `options.address` behind `options.server`. Prints `bulk_read_mb_s`, `bulk_write_mb_s`,
/// `bulk_floor_mb_s` (the read floor), `bulk_write_floor_mb_s` (medians), `bulk_read_ratio` and
/// `bulk_write_ratio` (medians of the per-run ratios, each to its own floor) and
/// `bulk_rss_growth_mb` (the growth of this process's peak resident memory, the caller's
/// buffer included). Returns 0 when every transfer arrived whole.
int runBulk(const Options& options, std::ostream& out, std::ostream& err);

/// runBulk's figures for a block of `bytes`, `runs` times, on a session at `address` (any
/// address iopen takes, so over any transport).
int runBulkAt(const std::string& address, std::uint64_t bytes, int runs, std::ostream& out,
              std::ostream& err);

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
