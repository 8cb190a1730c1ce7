#pragma once
// From a received record to the reply: the RPC header checks, the one switch on procedure
// numbers, argument decoding, injected faults, logging and the reply's encoding. The bodies
// live in the services; Dispatch sees no socket.

#include "gateway/serving/ServerConfig.h"
#include "gateway/vxi11/AbortService.h"
#include "gateway/vxi11/CallContext.h"
#include "gateway/vxi11/CoreService.h"
#include "gateway/vxi11/PortmapService.h"
#include "vxi11/codec/Rpc.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace gateway {

/// The program a listening socket serves.
enum class Service { Portmap, Core, Abort };

/// What to do with a handled record.
struct Outcome {
    vxi11::xdr::Bytes reply; ///< empty: send nothing
    bool drop = false;       ///< close the connection instead
    /// Sent after `reply`, with its XDR padding: device_read's data, which is the last item of
    /// its reply, so the data is never copied into an encoding, and a waveform is made only
    /// as it is sent. TCP only.
    AnswerBytes payload;
};

class Dispatch {
public:
    /// The rooms the procedures live in.
    struct Rooms {
        PortmapService& portmap;
        CoreService& core;
        AbortService& abort;
        InterruptChannels& interrupts;
    };

    Dispatch(Rooms rooms, const Log& log) : m_rooms(rooms), m_log(log) {}

    /// Handles one record received for `service` (over UDP: `udp`).
    Outcome handle(const CallContext& call, Service service, vxi11::xdr::ByteView record, bool udp);

    /// The next call on link `lid` (any link if none) fails with `error` and does nothing.
    void failNextCall(std::optional<std::int32_t> lid, std::int32_t error);
    /// The next call on link `lid` (any link if none) gets no reply: the connection closes.
    void dropNextCall(std::optional<std::int32_t> lid);
    /// RPC calls handled so far (all programs).
    std::uint64_t callCount() const { return m_calls.load(); }

private:
    struct Fault {
        std::optional<std::int32_t> lid;
        bool drop = false;
        std::int32_t error = 0;
    };

    Outcome portmap(const CallContext& context, const vxi11::rpc::ParsedCall& call, bool udp);
    Outcome abort(const vxi11::rpc::ParsedCall& call);
    Outcome core(const CallContext& context, const vxi11::rpc::ParsedCall& call);
    /// Decodes P's arguments (GARBAGE_ARGS if they do not decode) and answers `body(args)`.
    template <typename P, typename Body>
    Outcome answer(const vxi11::rpc::ParsedCall& call, Body body);
    /// A core procedure: decodes, applies an injected fault, runs `body(context, args)`
    /// (nothing returned: drop the connection), logs and encodes.
    template <typename P, typename Body>
    Outcome run(const CallContext& context, const vxi11::rpc::ParsedCall& call, Body body);
    /// run() with a body of CoreService.
    template <typename P, typename Result>
    Outcome runCore(const CallContext& context, const vxi11::rpc::ParsedCall& call,
                    std::optional<Result> (CoreService::*body)(const CallContext&,
                                                               const typename P::Args&));
    std::optional<Fault> takeFault(std::optional<std::int32_t> lid);
    void log(const std::string& line) const;

    Rooms m_rooms;
    const Log& m_log;
    std::atomic<std::uint64_t> m_calls{0};
    std::mutex m_faultMutex;
    std::vector<Fault> m_faults;
};

} // namespace gateway
