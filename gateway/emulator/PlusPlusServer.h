#pragma once
// The simulator's `++` adapter, served: the emulator on a thread of its own, fed by a TCP port
// or a pseudo-terminal, driving the bus it is given.

#include "gateway/emulator/EmulatedBus.h"
#include "gateway/emulator/Emulator.h"
#include "gateway/emulator/HostPort.h"
#include "gateway/emulator/StopSignal.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace gateway::emulator {

/// One served adapter. Open it on a port or a terminal, start it, stop it (or destroy it).
class PlusPlusServer {
public:
    /// An adapter of `options.flavour` (its link, network or serial, follows from where it is
    /// opened) on `bus`, which must outlive it.
    PlusPlusServer(EmulatedBus& bus, EmulatorOptions options);
    ~PlusPlusServer();
    PlusPlusServer(const PlusPlusServer&) = delete;
    PlusPlusServer& operator=(const PlusPlusServer&) = delete;

    /// Listens on TCP `address`:`port` (0: a free one). False with a reason in `error`.
    bool openTcp(const std::string& address, std::uint16_t port, std::string* error);
    /// Opens a pseudo-terminal in raw mode. False with a reason in `error`.
    bool openTerminal(std::string* error);
    /// Starts serving: the adapter powers on (IFC, REN) and takes its hosts one at a time.
    void start();
    /// Ends the thread within a moment, whatever it waits for; idempotent.
    void stop();
    /// What a client opens: the TCP port, or the terminal's path (for the ready line's
    /// `plusplus=`).
    std::string where() const { return m_port ? m_port->where() : std::string(); }

private:
    void run();

    EmulatedBus& m_bus;
    EmulatorOptions m_options;
    StopSignal m_stop;
    std::unique_ptr<HostPort> m_port;
    std::thread m_thread;
};

} // namespace gateway::emulator
