#pragma once
// The query exchange ("*IDN?" written, its answer read) measured in turns with its floor: the
// bare round trips that the transport's exchange needs, with its bytes on the wire.

#include "bench/Floor.h"

#include "library/Resource.h"
#include "sicl/Sicl32Module.h"

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

/// A figure measured in turns with its floor: its samples, and per turn the floor (the fastest
/// placement, then each of them) and the ratio of the figure to it.
struct Turns {
    std::vector<double> samples;
    std::vector<double> floors, ratios, same, cross;

    void add(const Floor& floor, double ratio) {
        floors.push_back(floor.best());
        same.push_back(floor.sameCpu);
        cross.push_back(floor.crossCpu);
        ratios.push_back(ratio);
    }
};

/// On a shared machine the load changes from one moment to the next, so each figure is
/// measured in blocks that take turns with blocks of its floor, and the ratio is the median of
/// the per-block ratios.
inline constexpr int kBlocks = 5;

/// The messages of one "*IDN?" exchange on the wire over `kind`, when the answer has
/// `answerBytes`: two RPC round trips for VXI-11 (device_write, then device_read, record marks
/// included), one for HiSLIP (a DataEND each way, 16-byte headers included) and one for a raw
/// socket (the bytes alone).
std::vector<Exchange> idnExchange(library::Resource::Kind kind, std::size_t answerBytes);

/// `count` query exchanges as the window makes them (write "*IDN?" LF with END, then read) on
/// a session at `address`, in kBlocks blocks, each block followed by as many cycles of the bare
/// round trips of `kind` (see idnExchange). Throws SiclError, or std::runtime_error on an
/// empty answer.
Turns measureQueries(sicl::Sicl32Module& wrappers, const std::string& address, int count,
                     library::Resource::Kind kind);

} // namespace bench
