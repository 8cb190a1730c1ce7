#pragma once
// The whole road to a bus behind a `++` adapter, in-process and on free loopback ports: the
// simulator presents its bench as a `++` adapter (either flavour, on TCP or on a
// pseudo-terminal) and a bridge drives it, serving VXI-11 and HiSLIP. On a terminal the bridge
// opens it through a symbolic link, as a stable name under /dev/serial/by-id is, so that an
// adapter that comes back on another terminal is found at the same path.
// Tests that include this link siclquill_gateway.

#include "gateway/Bridge.h"
#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testsupport {

/// Which adapter, reached how.
struct BridgeCase {
    gateway::emulator::Flavour flavour = gateway::emulator::Flavour::Ar488;
    bool pty = false; ///< on a pseudo-terminal, else on TCP
};

inline std::string nameOf(const BridgeCase& c) {
    return std::string(c.flavour == gateway::emulator::Flavour::Ar488 ? "Ar488" : "Prologix") +
           (c.pty ? "Pty" : "Tcp");
}

/// Names the case in test output.
inline void PrintTo(const BridgeCase& c, std::ostream* os) {
    *os << nameOf(c);
}

/// The case's name in parameterised test names.
inline std::string bridgeCaseName(const ::testing::TestParamInfo<BridgeCase>& info) {
    return nameOf(info.param);
}

/// Every flavour over every link.
inline std::vector<BridgeCase> allBridgeCases() {
    using gateway::emulator::Flavour;
    return {{Flavour::Ar488, false},
            {Flavour::Ar488, true},
            {Flavour::Prologix, false},
            {Flavour::Prologix, true}};
}

/// What a test changes in the bench and the bridge.
struct BridgeOptions {
    std::vector<gateway::InstrumentConfig> instruments = gateway::demoBench();
    /// The adapter's per-byte time-out: what an absent device costs a call.
    std::chrono::milliseconds perByte{100};
};

class LoopbackBridge {
public:
    explicit LoopbackBridge(BridgeCase c, BridgeOptions options = {})
        : m_case(c), m_options(std::move(options)) {}
    ~LoopbackBridge() { stop(); }
    LoopbackBridge(const LoopbackBridge&) = delete;
    LoopbackBridge& operator=(const LoopbackBridge&) = delete;

    /// Starts the simulator's adapter, then the bridge on it (the adapter's flavour found by
    /// asking it).
    ::testing::AssertionResult start() {
        gateway::SimulatorConfig simConfig = onFreePorts(m_options.instruments);
        simConfig.plusplus = m_case.pty ? "pty" : "0";
        simConfig.plusplusFlavour = m_case.flavour;
        m_sim = std::make_unique<gateway::Simulator>(std::move(simConfig));
        if (auto ok = started(*m_sim); !ok) {
            return ok;
        }
        gateway::BridgeConfig config;
        config.portmapperPort = 0;
        config.hislipPort = 0;
        config.link.perByte = m_options.perByte;
        config.link.log = [this](const std::string& line) {
            const std::lock_guard lk(m_logMutex);
            m_log.push_back(line);
        };
        if (m_case.pty) {
            char dir[] = "/tmp/siclquill-bridge-XXXXXX";
            if (::mkdtemp(dir) == nullptr) {
                return ::testing::AssertionFailure() << "no temporary folder";
            }
            m_linkDir = dir;
            pointAtAdapter();
            config.link.device.kind = gateway::adapter::AdapterPlace::Kind::Serial;
            config.link.device.path = devicePath();
        } else {
            config.link.device.kind = gateway::adapter::AdapterPlace::Kind::Tcp;
            config.link.device.host = "127.0.0.1";
            config.link.device.port =
                static_cast<std::uint16_t>(std::stoul(m_sim->plusplusWhere()));
        }
        m_bridge = std::make_unique<gateway::Bridge>(std::move(config));
        std::string error;
        if (!m_bridge->start(&error)) {
            return ::testing::AssertionFailure() << "the bridge did not start: " << error;
        }
        return ::testing::AssertionSuccess();
    }

    void stop() {
        m_bridge.reset();
        m_sim.reset();
        if (!m_linkDir.empty()) {
            std::remove(devicePath().c_str());
            ::rmdir(m_linkDir.c_str());
            m_linkDir.clear();
        }
    }

    /// The adapter is unplugged: its TCP port, or its terminal, closes.
    void unplug() { m_sim->unplugPlusPlus(); }
    /// It comes back: on its TCP port, or on a new terminal that the bridge's path now names.
    ::testing::AssertionResult replug() {
        std::string error;
        if (!m_sim->replugPlusPlus(&error)) {
            return ::testing::AssertionFailure() << error;
        }
        if (m_case.pty) {
            pointAtAdapter();
        }
        return ::testing::AssertionSuccess();
    }

    gateway::Simulator& sim() { return *m_sim; }
    gateway::Gateway& gateway() { return m_bridge->gateway(); }
    std::string readyLine() const { return m_bridge->readyLine(); }
    /// The server text that reaches the bridge's portmapper: "127.0.0.1:PORT".
    std::string server() { return "127.0.0.1:" + std::to_string(gateway().portmapperPort()); }
    /// What the bridge logged of its adapter.
    std::vector<std::string> log() {
        const std::lock_guard lk(m_logMutex);
        return m_log;
    }
    /// The `++` commands the adapter took from the bridge so far.
    std::vector<std::string> commandsHeard() const {
        std::vector<std::string> commands;
        for (std::string& line : m_sim->plusplusHeard()) {
            if (line.starts_with("++")) {
                commands.push_back(std::move(line));
            }
        }
        return commands;
    }

    const BridgeCase& which() const { return m_case; }
    bool ar488() const { return m_case.flavour == gateway::emulator::Flavour::Ar488; }

private:
    std::string devicePath() const { return m_linkDir + "/adapter"; }
    /// Points the bridge's device path at the terminal the adapter is on now.
    void pointAtAdapter() {
        const std::string link = devicePath();
        const std::string next = link + ".new";
        std::remove(next.c_str());
        if (::symlink(m_sim->plusplusWhere().c_str(), next.c_str()) != 0 ||
            std::rename(next.c_str(), link.c_str()) != 0) {
            ADD_FAILURE() << "could not link " << link << " to " << m_sim->plusplusWhere();
        }
    }

    BridgeCase m_case;
    BridgeOptions m_options;
    std::unique_ptr<gateway::Simulator> m_sim;
    std::unique_ptr<gateway::Bridge> m_bridge;
    std::string m_linkDir;
    std::mutex m_logMutex;
    std::vector<std::string> m_log;
};

} // namespace testsupport
