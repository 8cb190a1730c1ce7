#pragma once

#include "net/Deadline.h"
#include "net/Resolver.h"
#include "net/SocketOps.h"
#include "vxi11/transport/Address.h"

#include <memory>

namespace vxi11 {

/// The interrupt channel of one gateway: a link of its own to the gateway's interface with
/// SRQ enabled, and a socket of ours on which the gateway calls device_intr_srq when the SRQ
/// line rises. The instrument library's entries have no interrupt channel; this is for
/// programs that want to wait for SRQ without polling.
class SrqChannel {
public:
    /// Links to `address` (an interface address), asks the gateway to connect back to us
    /// (create_intr_chan) and enables SRQ on the link. Throws LibraryError: everything the
    /// link can fail with, and the gateway's refusal of the channel (VXI-11 error 6 or 8).
    static std::unique_ptr<SrqChannel> open(const Address& address, net::Deadline deadline,
                                            const net::HostResolver& resolver = net::systemResolve,
                                            net::SocketOps& ops = net::SocketOps::system());

    /// Disables SRQ and closes the channel and the link, as far as the gateway answers.
    ~SrqChannel();
    SrqChannel(const SrqChannel&) = delete;
    SrqChannel& operator=(const SrqChannel&) = delete;

    /// Waits for a device_intr_srq until `deadline`; true when one came. Throws LibraryError
    /// when the gateway closes the channel or sends something malformed.
    bool wait(net::Deadline deadline);

    struct State;

private:
    explicit SrqChannel(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

} // namespace vxi11
