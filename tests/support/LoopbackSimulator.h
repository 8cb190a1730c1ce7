#pragma once
// Starting the in-process gateway simulator for a test: free loopback ports (tests run in
// parallel), the instruments a test wants, and the server text that reaches it.
// Tests that include this link siclquill_gateway.

#include "gateway/Simulator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

/// A simulator configuration serving `instruments` with its portmapper on a free port.
inline gateway::SimulatorConfig onFreePorts(std::vector<gateway::InstrumentConfig> instruments,
                                            gateway::SimulatorLimits limits = {}) {
    gateway::SimulatorConfig config;
    config.portmapperPort = 0;
    config.instruments = std::move(instruments);
    config.limits = limits;
    return config;
}

/// Starts `sim`; a failure carries the simulator's reason.
inline ::testing::AssertionResult started(gateway::Simulator& sim) {
    std::string error;
    if (sim.start(&error)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the simulator did not start: " << error;
}

/// An instrument at primary address `pad` that answers *IDN? with `idn`.
inline gateway::InstrumentConfig instrumentAt(int pad, std::string idn) {
    gateway::InstrumentConfig instrument;
    instrument.pad = pad;
    instrument.idn = std::move(idn);
    return instrument;
}

/// The demo bench plus one instrument at `pad` that never answers.
inline std::vector<gateway::InstrumentConfig> demoBenchWithSilentAt(int pad) {
    std::vector<gateway::InstrumentConfig> instruments = gateway::demoBench();
    gateway::InstrumentConfig silent = instrumentAt(pad, "never sent");
    silent.faults.silent = true;
    instruments.push_back(silent);
    return instruments;
}

/// The server text that reaches the simulator's portmapper: "127.0.0.1:PORT".
inline std::string serverOf(const gateway::Simulator& sim) {
    return "127.0.0.1:" + std::to_string(sim.portmapperPort());
}

} // namespace testsupport
