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
    std::string host;             ///< as given, or the dotted address for a host of a range
    std::uint32_t ipv4;           ///< network byte order
    std::uint16_t portmapperPort; ///< 0: VXI-11 is not asked
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

/// The TCP ports of the services discover tries besides VXI-11's portmapper; 0: not tried.
struct DiscoverPorts {
    std::uint16_t hislip = 4880;
    std::uint16_t socket = 5025;
};

/// Asks every target that resolved, up to 64 hosts at once, for three services one after the
/// other, each within `perHost`: its portmapper for the VXI-11 core channel (where one
/// answers, links to `inst0` and asks *IDN?), a HiSLIP server (opens `hislip0`, which does
/// Initialize, and asks *IDN?) and a raw SCPI socket (asks *IDN?). `library` should bound
/// iopen by `perHost` too. Prints, in the order of the targets, one result per host where any
/// service answered and an error per target that did not resolve; returns how many did not
/// resolve.
std::size_t discover(const std::vector<DiscoverTarget>& targets, std::chrono::milliseconds perHost,
                     DiscoverPorts ports, sicl::InstrumentLibrary& library, Output& out);

} // namespace cli
