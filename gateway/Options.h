#pragma once
// The command line of siclquill-gateway, as read.

#include "gateway/Config.h"
#include "gateway/adapter/AdapterLink.h"

#include <optional>
#include <vector>

namespace gateway {

/// The command line as read: the configuration, or the exit status to end with.
struct CommandLine {
    SimulatorConfig config;
    bool verbose = false;
    std::optional<int> exitStatus;
    /// Serve a real bus behind the `++` adapter `adapter` instead of the simulated bench.
    bool bridge = false;
    adapter::LinkConfig adapter;
    // As the options give them, before they join the configuration.
    bool demo = false;
    std::vector<InstrumentConfig> instruments;
    std::vector<InstrumentConfig> devices;
};

/// Reads the options; prints --help and usage errors itself (with exitStatus set then).
CommandLine readCommandLine(int argc, char** argv);
/// The text of --help.
const char* usageText();

} // namespace gateway
