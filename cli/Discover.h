#pragma once

#include "cli/Output.h"
#include "sicl/InstrumentLibrary.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace cli {

/// One host to ask.
struct DiscoverTarget {
    std::string host;   ///< as given, or the dotted address for a host of a range
    std::uint32_t ipv4; ///< network byte order
    std::uint16_t portmapperPort;
    int errorNumber = 0; ///< why the host did not resolve (the library's number), 0 if it did
    std::string errorText{};
};

/// Largest range discover takes: a /22 (1024 addresses).
inline constexpr int kWidestPrefix = 22;

/// Expands HOST[:PORT], ADDRESS[:PORT] and ADDRESS/N (N 22-32) into hosts, in the order given.
/// A range leaves out its network and broadcast addresses (up to /30). Host names are looked
/// up within `lookUp`; one that does not resolve stays in the list with its error. Throws
/// UsageError for a target that does not parse.
std::vector<DiscoverTarget> expandTargets(const std::vector<std::string>& targets,
                                          std::uint16_t defaultPort,
                                          std::chrono::milliseconds lookUp);

/// Asks every target that resolved, in parallel and each within `perHost`, for the VXI-11 core
/// channel; where one answers, links to its `inst0` and asks *IDN?. Prints, in the order of the
/// targets, one result per host that answered and an error per target that did not resolve;
/// returns how many did not resolve.
std::size_t discover(const std::vector<DiscoverTarget>& targets, std::chrono::milliseconds perHost,
                     sicl::InstrumentLibrary& library, Output& out);

} // namespace cli
