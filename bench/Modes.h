#pragma once
// The modes of siclquill-bench besides the default one, each in a file of its own; run() picks
// one by the options.

#include "bench/Common.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace bench {

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

} // namespace bench
