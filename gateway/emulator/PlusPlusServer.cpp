#include "gateway/emulator/PlusPlusServer.h"

#include <cstdio>
#include <vector>

namespace gateway::emulator {

namespace {

/// The most taken from the host at once.
constexpr std::size_t kReceive = 64 * 1024;

} // namespace

PlusPlusServer::PlusPlusServer(EmulatedBus& bus, EmulatorOptions options)
    : m_bus(bus), m_options(options) {}

PlusPlusServer::~PlusPlusServer() {
    stop();
}

bool PlusPlusServer::openTcp(const std::string& address, std::uint16_t port, std::string* error) {
    try {
        m_port = std::make_unique<TcpHostPort>(m_stop, address, port);
        m_options.overNetwork = true;
        return true;
    } catch (const std::exception& e) {
        if (error != nullptr) {
            *error = std::string("plusplus: ") + e.what();
        }
        return false;
    }
}

bool PlusPlusServer::openTerminal(std::string* error) {
    try {
        m_port = std::make_unique<PtyHostPort>(m_stop);
        m_options.overNetwork = false;
        return true;
    } catch (const std::exception& e) {
        if (error != nullptr) {
            *error = std::string("plusplus: ") + e.what();
        }
        return false;
    }
}

void PlusPlusServer::start() {
    if (m_port && !m_thread.joinable()) {
        m_thread = std::thread([this] { run(); });
    }
}

void PlusPlusServer::stop() {
    m_stop.request();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void PlusPlusServer::run() {
    Emulator emulator(m_bus, *m_port, m_stop, m_options);
    std::vector<std::uint8_t> buffer(kReceive);
    try {
        emulator.powerOn();
        for (;;) {
            m_port->awaitHost();
            emulator.hostChanged();
            try {
                while (const std::size_t n = m_port->receive(buffer)) {
                    emulator.feed(std::span(buffer.data(), n));
                }
            } catch (const HostGone&) {
                // what the adapter was doing for it is abandoned
            }
            m_port->hostGone();
        }
    } catch (const Stopped&) {
    } catch (const std::exception& e) {
        std::fprintf(stderr, "siclquill-gateway: the ++ adapter on %s stopped: %s\n",
                     m_port->where().c_str(), e.what());
    }
}

} // namespace gateway::emulator
