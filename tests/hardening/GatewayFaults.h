#pragma once
// The ways a gateway fails while a device_read waits for its reply: one table for every level
// that shows the failure (the library's fault test, the window's), so a new fault is written
// once. Each row is a script for the read; the fake gateway around it answers the rest.

#include "vxi11/client/FakeGateway.h"

#include <functional>
#include <optional>
#include <vector>

namespace testsupport {

/// What a fake gateway does with a device_read call; false ends the connection.
using ReadScript = std::function<bool(Peer&, const vxi11::rpc::ParsedCall&)>;

/// One way a gateway fails a device_read.
struct GatewayFault {
    const char* name;
    ReadScript onRead;
    int readError; ///< the library error the read ends in
    /// What the session's next call ends in: 0 when the connection stays in step, "connection
    /// lost" when it is gone. Unset when a reply stopped half way: the rest of it, which the
    /// next call must read past, may never come.
    std::optional<int> nextCall;
    bool inWindow; ///< the window's fault test takes it too
};

/// The gateway stays silent where a reply is due: the read ends at its time-out.
std::vector<GatewayFault> silentFaults();
/// The gateway ends the connection before its reply is whole.
std::vector<GatewayFault> endedConnectionFaults();
/// Bytes the client cannot frame as records: lengths beyond any reply, text.
std::vector<GatewayFault> framingFaults();
/// Well-framed records that are no good reply to the read: garbage, a wrong xid, results that
/// do not add up, a refusal.
std::vector<GatewayFault> replyFaults();

/// Every fault above.
std::vector<GatewayFault> gatewayFaults();
/// The faults the window's test takes: a few for each way a read can end there (its time-out,
/// the connection gone, a reply it cannot read). The rest differ only inside the library.
std::vector<GatewayFault> windowFaults();

} // namespace testsupport
