#include "gateway/Bridge.h"

#include "gateway/adapter/AdapterBus.h"
#include "gateway/adapter/PlusPlusAdapter.h"

#include <chrono>

namespace gateway {

namespace {

/// How long the adapter may take to answer when the bridge starts (an AR488 resets when its
/// port is opened, and takes a second or two).
constexpr std::chrono::seconds kOpenWait{10};

} // namespace

class Bridge::Impl {
public:
    explicit Impl(const BridgeConfig& config)
        : adapter(config.link), bus(adapter, config.busAddress),
          gateway(static_cast<const GatewayConfig&>(config), bus) {}

    adapter::PlusPlusAdapter adapter;
    adapter::AdapterBus bus;
    Gateway gateway;
};

Bridge::Bridge(BridgeConfig config) : m_impl(std::make_unique<Impl>(config)) {}

Bridge::~Bridge() {
    stop();
}

bool Bridge::start(std::string* error) {
    const std::string failed = m_impl->adapter.start(net::Deadline::after(kOpenWait));
    if (!failed.empty()) {
        if (error != nullptr) {
            *error = failed;
        }
        return false;
    }
    return m_impl->gateway.start(error);
}

void Bridge::stop() {
    m_impl->gateway.stop();
}

std::string Bridge::readyLine() const {
    return m_impl->gateway.readyLine() +
           " adapter=" + adapter::flavourName(m_impl->adapter.flavour());
}

Gateway& Bridge::gateway() {
    return m_impl->gateway;
}

} // namespace gateway
