#pragma once
// What the simulator serves and where: the gateway's servers over a simulated bench of
// instruments.

#include "gateway/Gateway.h"
#include "gateway/emulator/Settings.h"
#include "gateway/instrument/InstrumentConfig.h"

#include <optional>
#include <string>
#include <vector>

namespace gateway {

/// What the simulator serves and where: the gateway's settings and the bench.
struct SimulatorConfig : GatewayConfig {
    std::vector<InstrumentConfig> instruments; ///< on the bus
    /// LAN instruments (each with a `name`), VXI-11 devices of their own beside the bus.
    std::vector<InstrumentConfig> lanInstruments;
    int busAddress = 0; ///< the gateway's own GPIB address
    /// Presents the bench as a `++` adapter too: on a TCP port ("0": a free one), or on a
    /// pseudo-terminal ("pty").
    std::optional<std::string> plusplus;
    emulator::Flavour plusplusFlavour = emulator::Flavour::Ar488;
};

} // namespace gateway
