#include "gateway/Simulator.h"

#include "gateway/emulator/PlusPlusServer.h"
#include "gateway/emulator/SeamBus.h"
#include "gateway/simbus/SimulatedBus.h"

#include <limits>
#include <mutex>

namespace gateway {

namespace {

/// The holder the `++` adapter is on the bench: apart from every client of the gateway.
constexpr Holder kAdapterHolder = std::numeric_limits<Holder>::max();

} // namespace

/// The bench, the gateway serving it, and the bench presented as a `++` adapter.
class Simulator::Impl {
public:
    explicit Impl(const SimulatorConfig& configuration)
        : config(configuration), bus(config.instruments, config.lanInstruments, config.busAddress,
                                     config.limits.maxQueueBytes),
          gateway(static_cast<const GatewayConfig&>(config), bus), seam(bus, kAdapterHolder) {}

    /// Opens the `++` adapter where the configuration says, if it says so: on `port` when
    /// it is served over TCP.
    bool openPlusPlus(const std::string& port, std::string* error);

    const SimulatorConfig config;
    SimulatedBus bus;
    Gateway gateway;
    emulator::SeamBus seam;
    std::unique_ptr<emulator::PlusPlusServer> plusplus;
    std::string plusplusPort; ///< the TCP port it was opened on, for its return

    mutable std::mutex heardMutex;
    std::vector<std::string> heard;
};

bool Simulator::Impl::openPlusPlus(const std::string& port, std::string* error) {
    emulator::EmulatorOptions options;
    options.flavour = config.plusplusFlavour;
    options.ownAddress = config.busAddress;
    options.overNetwork = *config.plusplus != "pty";
    options.heard = [this](std::string_view line) {
        const std::lock_guard lk(heardMutex);
        heard.emplace_back(line);
    };
    plusplus = std::make_unique<emulator::PlusPlusServer>(seam, options);
    const bool opened = options.overNetwork
                            ? plusplus->openTcp(config.listenAddress,
                                                static_cast<std::uint16_t>(std::stoul(port)), error)
                            : plusplus->openTerminal(error);
    if (!opened) {
        plusplus.reset();
        return false;
    }
    if (options.overNetwork) {
        plusplusPort = plusplus->where();
    }
    plusplus->start();
    return true;
}

Simulator::Simulator(SimulatorConfig config) : m_impl(std::make_unique<Impl>(config)) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string* error) {
    if (!m_impl->gateway.start(error)) {
        return false;
    }
    if (m_impl->config.plusplus && !m_impl->openPlusPlus(*m_impl->config.plusplus, error)) {
        m_impl->gateway.stop();
        return false;
    }
    return true;
}

void Simulator::stop() {
    if (m_impl->plusplus) {
        m_impl->plusplus->stop();
    }
    m_impl->gateway.stop();
}

std::string Simulator::plusplusWhere() const {
    return m_impl->plusplus ? m_impl->plusplus->where() : std::string();
}

std::string Simulator::listenAddress() const {
    return m_impl->gateway.config().listenAddress;
}

std::uint16_t Simulator::portmapperPort() const {
    return m_impl->gateway.portmapperPort();
}

std::uint16_t Simulator::corePort() const {
    return m_impl->gateway.corePort();
}

std::uint16_t Simulator::abortPort() const {
    return m_impl->gateway.abortPort();
}

std::uint16_t Simulator::hislipPort() const {
    return m_impl->gateway.hislipPort();
}

std::uint16_t Simulator::socketPort() const {
    return m_impl->gateway.socketPort();
}

std::string Simulator::readyLine() const {
    std::string line = m_impl->gateway.readyLine();
    if (m_impl->plusplus) {
        line += " plusplus=" + m_impl->plusplus->where();
    }
    return line;
}

std::size_t Simulator::liveLinks() const {
    return m_impl->gateway.liveLinks();
}

std::size_t Simulator::liveConnections() const {
    return m_impl->gateway.liveConnections();
}

std::vector<LinkInfo> Simulator::links() const {
    return m_impl->gateway.links();
}

std::vector<DestroyedLink> Simulator::destroyedLinks() const {
    return m_impl->gateway.destroyedLinks();
}

std::optional<InstrumentSnapshot> Simulator::instrument(int pad, std::optional<int> sad) const {
    return m_impl->bus.instrument(pad, sad);
}

std::optional<InstrumentSnapshot> Simulator::instrument(std::string_view name) const {
    return m_impl->bus.instrument(name);
}

BusSnapshot Simulator::bus() const {
    return m_impl->bus.snapshot();
}

std::optional<std::int32_t> Simulator::lockHolder(std::string_view device) const {
    return m_impl->gateway.lockHolder(device);
}

LockTable::Info Simulator::lockInfo(std::string_view device) const {
    return m_impl->gateway.lockInfo(device);
}

std::size_t Simulator::hislipSessions() const {
    return m_impl->gateway.hislipSessions();
}

std::uint64_t Simulator::callCount() const {
    return m_impl->gateway.callCount();
}

void Simulator::failNextCall(std::optional<std::int32_t> lid, std::int32_t error) {
    m_impl->gateway.failNextCall(lid, error);
}

void Simulator::dropNextCall(std::optional<std::int32_t> lid) {
    m_impl->gateway.dropNextCall(lid);
}

bool Simulator::setInstrumentFaults(int pad, std::optional<int> sad,
                                    const InstrumentFaults& faults) {
    return m_impl->bus.setInstrumentFaults(pad, sad, faults);
}

void Simulator::unplugPlusPlus() {
    m_impl->plusplus.reset();
}

bool Simulator::replugPlusPlus(std::string* error) {
    if (!m_impl->config.plusplus) {
        if (error != nullptr) {
            *error = "no ++ adapter is configured";
        }
        return false;
    }
    m_impl->plusplus.reset();
    return m_impl->openPlusPlus(m_impl->plusplusPort, error);
}

std::vector<std::string> Simulator::plusplusHeard() const {
    const std::lock_guard lk(m_impl->heardMutex);
    return m_impl->heard;
}

} // namespace gateway
