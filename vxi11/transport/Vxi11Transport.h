#pragma once

#include "library/Transport.h"

#include <memory>

namespace vxi11 {

/// VXI-11 behind the library's transport seam: each session is one link over its own TCP
/// connection to the gateway's core channel.
///
/// Addresses: the `lan;vxi-11[HOST[:PORT]]:NAME` form (parsed here in full) and VISA
/// `TCPIP::HOST[::NAME]::INSTR` resources whose NAME does not begin with `hislip`. A call the
/// gateway leaves unanswered past its time-out is aborted on the abort channel, so the link is
/// usable again; a call that meets a lock held by another link waits for it within the
/// time-out.
class Vxi11Transport final : public library::Transport {
public:
    explicit Vxi11Transport(library::TransportOptions options);

    std::unique_ptr<library::TransportSession> open(const library::Resource& resource,
                                                    const library::CallTime& time) override;

private:
    library::TransportOptions m_options;
};

} // namespace vxi11
