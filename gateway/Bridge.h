#pragma once
// The gateway over a real GPIB bus behind a `++` adapter (a Prologix or an AR488 on a serial
// port or TCP): VXI-11, HiSLIP and the raw socket served as over the simulated bench, with the
// same locks and routing of service requests, through the adapter's one queue.

#include "gateway/Gateway.h"
#include "gateway/adapter/AdapterLink.h"

#include <memory>
#include <string>

namespace gateway {

/// What the bridge serves, and the adapter it drives.
struct BridgeConfig : GatewayConfig {
    adapter::LinkConfig link;
    int busAddress = 0; ///< the controller's own GPIB address
};

class Bridge {
public:
    explicit Bridge(BridgeConfig config);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    /// Opens and sets up the adapter, then serves. False with a reason in `error` when the
    /// adapter cannot be opened or the sockets cannot be bound; nothing keeps running then.
    bool start(std::string* error = nullptr);
    void stop();

    /// The gateway's ready line and " adapter=prologix" or " adapter=ar488".
    std::string readyLine() const;
    Gateway& gateway();

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

} // namespace gateway
