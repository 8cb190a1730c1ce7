// siclquill-gateway: runs the VXI-11 gateway simulator (and, on request, its HiSLIP server, raw
// SCPI socket and `++` adapter), or serves a real bus behind a `++` adapter, until SIGINT or
// SIGTERM.

#include "gateway/Bridge.h"
#include "gateway/Options.h"
#include "gateway/Simulator.h"

#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <pthread.h>
#include <string>
#include <string_view>

namespace {

std::mutex logMutex;

void logLine(std::string_view text) {
    const std::lock_guard lk(logMutex);
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

/// Serves with `server` (a Simulator or a Bridge) until a stop signal comes.
template <typename Server>
int serve(Server& server, const sigset_t& stopSignals, bool verbose) {
    std::string error;
    if (!server.start(&error)) {
        std::cerr << "siclquill-gateway: " << error << "\n";
        return 1;
    }
    std::cout << server.readyLine() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    if (verbose) {
        std::cerr << "stopped on signal " << signal << "\n";
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    gateway::CommandLine line = gateway::readCommandLine(argc, argv);
    if (line.exitStatus) {
        return *line.exitStatus;
    }
    if (line.verbose) {
        line.config.log = logLine;
    }

    // Block the stop signals in every thread; main waits for them with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (line.bridge) {
        gateway::BridgeConfig config;
        static_cast<gateway::GatewayConfig&>(config) = line.config;
        config.busAddress = line.config.busAddress;
        config.link = line.adapter;
        config.link.ownAddress = static_cast<std::uint8_t>(line.config.busAddress);
        // The adapter's comings and goings are always told.
        config.link.log = [](const std::string& text) { logLine("adapter: " + text); };
        gateway::Bridge bridge(config);
        return serve(bridge, stopSignals, line.verbose);
    }
    gateway::Simulator simulator(line.config);
    return serve(simulator, stopSignals, line.verbose);
}
