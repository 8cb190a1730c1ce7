#include "gateway/vxi11/Dispatch.h"

#include "vxi11/codec/Messages.h"

#include <string>
#include <type_traits>

namespace gateway {

using namespace vxi11;

namespace {

const char* coreProcName(std::uint32_t p) {
    switch (p) {
    case proc::kNull:
        return "null";
    case proc::kCreateLink:
        return "create_link";
    case proc::kDeviceWrite:
        return "device_write";
    case proc::kDeviceRead:
        return "device_read";
    case proc::kDeviceReadStb:
        return "device_readstb";
    case proc::kDeviceTrigger:
        return "device_trigger";
    case proc::kDeviceClear:
        return "device_clear";
    case proc::kDeviceRemote:
        return "device_remote";
    case proc::kDeviceLocal:
        return "device_local";
    case proc::kDeviceLock:
        return "device_lock";
    case proc::kDeviceUnlock:
        return "device_unlock";
    case proc::kDeviceEnableSrq:
        return "device_enable_srq";
    case proc::kDeviceDocmd:
        return "device_docmd";
    case proc::kDestroyLink:
        return "destroy_link";
    case proc::kCreateIntrChan:
        return "create_intr_chan";
    case proc::kDestroyIntrChan:
        return "destroy_intr_chan";
    default:
        return "unknown";
    }
}

Outcome reply(xdr::Bytes message) {
    return {std::move(message), false, {}};
}

/// device_read's reply with its data as the payload: the results up to the data's length.
Outcome readReply(std::uint32_t xid, ReadAnswer answer) {
    xdr::Encoder e(rpc::encodeAcceptedReply(xid, rpc::AcceptStat::Success));
    e.putInt(answer.error);
    e.putInt(answer.reason);
    e.putUint(static_cast<std::uint32_t>(answer.data.size()));
    return {e.take(), false, std::move(answer.data)};
}

Outcome garbage(std::uint32_t xid) {
    return reply(rpc::encodeAcceptedReply(xid, rpc::AcceptStat::GarbageArgs));
}

Outcome procUnavail(std::uint32_t xid) {
    return reply(rpc::encodeAcceptedReply(xid, rpc::AcceptStat::ProcUnavail));
}

} // namespace

void Dispatch::log(const std::string& line) const {
    if (m_log) {
        m_log(line);
    }
}

Outcome Dispatch::handle(const CallContext& context, Service service, xdr::ByteView record,
                         bool udp) {
    const rpc::ParsedCall call = rpc::parseCall(record);
    switch (call.status) {
    case rpc::ParsedCall::Status::NotACall:
        return {};
    case rpc::ParsedCall::Status::RpcMismatch:
        return reply(rpc::encodeRpcMismatch(call.header.xid));
    case rpc::ParsedCall::Status::BadCredentials:
        return garbage(call.header.xid);
    case rpc::ParsedCall::Status::Ok:
        break;
    }
    ++m_calls;
    const std::uint32_t prog = service == Service::Portmap ? pmap::kProgram
                               : service == Service::Core  ? kDeviceCore
                                                           : kDeviceAsync;
    const std::uint32_t vers = service == Service::Portmap ? pmap::kVersion : kDeviceVersion;
    const std::uint32_t xid = call.header.xid;
    if (call.header.prog != prog) {
        log("call for program " + std::to_string(call.header.prog) +
            " not served here: PROG_UNAVAIL");
        return reply(rpc::encodeAcceptedReply(xid, rpc::AcceptStat::ProgUnavail));
    }
    if (call.header.vers != vers) {
        log("version " + std::to_string(call.header.vers) + ": PROG_MISMATCH");
        return reply(rpc::encodeProgMismatch(xid, vers, vers));
    }
    if (call.header.proc == proc::kNull) {
        return reply(rpc::encodeAcceptedReply(xid, rpc::AcceptStat::Success));
    }
    switch (service) {
    case Service::Portmap:
        return portmap(context, call, udp);
    case Service::Abort:
        return abort(call);
    case Service::Core:
        break;
    }
    return core(context, call);
}

template <typename P, typename Body>
Outcome Dispatch::answer(const rpc::ParsedCall& call, Body body) {
    const auto args = decodeArgsFor<P>(call.args);
    if (!args) {
        return garbage(call.header.xid);
    }
    return reply(encodeReplyFor<P>(call.header.xid, body(*args)));
}

template <typename P, typename Result>
Outcome Dispatch::runCore(const CallContext& context, const rpc::ParsedCall& call,
                          std::optional<Result> (CoreService::*body)(const CallContext&,
                                                                     const typename P::Args&)) {
    return run<P>(context, call, [&](const CallContext& cx, const typename P::Args& a) {
        return (m_rooms.core.*body)(cx, a);
    });
}

template <typename P, typename Body>
Outcome Dispatch::run(const CallContext& context, const rpc::ParsedCall& call, Body body) {
    const auto name = [] { return std::string("core ") + coreProcName(P::proc); };
    const auto args = decodeArgsFor<P>(call.args);
    if (!args) {
        log(name() + ": GARBAGE_ARGS");
        return garbage(call.header.xid);
    }
    std::optional<std::int32_t> lid;
    if constexpr (requires { args->lid; }) {
        lid = args->lid;
    }
    // The body's own result type: P::Result, or for device_read its data to be made later.
    using Result = typename std::invoke_result_t<Body, const CallContext&,
                                                 const typename P::Args&>::value_type;
    std::optional<Result> result;
    const std::optional<Fault> fault = takeFault(lid);
    if (fault && fault->drop) {
        log(name() + ": dropping the connection");
        return {{}, true, {}};
    }
    if (fault) {
        result.emplace();
        result->error = fault->error;
    } else {
        result = body(context, *args);
    }
    if (!result) {
        log(name() + ": connection ends");
        return {{}, true, {}};
    }
    // Every call passes here: build the line only when someone reads it.
    if (m_log) {
        std::string line = name() + " xid=" + std::to_string(call.header.xid) +
                           (lid ? " lid=" + std::to_string(*lid) : std::string()) + " -> " +
                           std::to_string(result->error);
        if constexpr (std::is_same_v<P, CreateLink>) {
            line += " lid=" + std::to_string(result->lid);
        }
        m_log(line);
    }
    if constexpr (std::is_same_v<Result, ReadAnswer>) {
        return readReply(call.header.xid, std::move(*result));
    } else {
        return reply(encodeReplyFor<P>(call.header.xid, *result));
    }
}

Outcome Dispatch::portmap(const CallContext& context, const rpc::ParsedCall& call, bool udp) {
    PortmapService& pm = m_rooms.portmap;
    const net::IpAddress& caller = context.peer;
    switch (call.header.proc) {
    case pmap::proc::kGetPort:
        return answer<pmap::GetPort>(
            call, [&](const auto& m) { return pmap::PortResult{pm.getPort(m)}; });
    case pmap::proc::kSet:
        return answer<pmap::Set>(
            call, [&](const auto& m) { return pmap::BoolResult{pm.set(m, caller)}; });
    case pmap::proc::kUnset:
        return answer<pmap::Unset>(
            call, [&](const auto& m) { return pmap::BoolResult{pm.unset(m, caller)}; });
    case pmap::proc::kDump:
        return answer<pmap::Dump>(call, [&](const auto&) { return pm.dump(); });
    case pmap::proc::kCallit:
        // Not served; over UDP a failed CALLIT gets no answer at all.
        return udp ? Outcome{} : procUnavail(call.header.xid);
    default:
        return procUnavail(call.header.xid);
    }
}

Outcome Dispatch::abort(const rpc::ParsedCall& call) {
    if (call.header.proc != proc::kDeviceAbort) {
        return procUnavail(call.header.xid);
    }
    return answer<DeviceAbort>(
        call, [&](const DeviceLink& a) { return DeviceError{m_rooms.abort.abort(a.lid)}; });
}

Outcome Dispatch::core(const CallContext& c, const rpc::ParsedCall& call) {
    InterruptChannels& intr = m_rooms.interrupts;
    switch (call.header.proc) {
    case proc::kCreateLink:
        return runCore<CreateLink>(c, call, &CoreService::createLink);
    case proc::kDeviceWrite:
        return runCore<DeviceWrite>(c, call, &CoreService::write);
    case proc::kDeviceRead:
        return runCore<DeviceRead>(c, call, &CoreService::read);
    case proc::kDeviceReadStb:
        return runCore<DeviceReadStb>(c, call, &CoreService::readStb);
    case proc::kDeviceTrigger:
        return runCore<DeviceTrigger>(c, call, &CoreService::trigger);
    case proc::kDeviceClear:
        return runCore<DeviceClear>(c, call, &CoreService::clear);
    case proc::kDeviceRemote:
        return runCore<DeviceRemote>(c, call, &CoreService::remote);
    case proc::kDeviceLocal:
        return runCore<DeviceLocal>(c, call, &CoreService::local);
    case proc::kDeviceLock:
        return runCore<DeviceLock>(c, call, &CoreService::lock);
    case proc::kDeviceUnlock:
        return runCore<DeviceUnlock>(c, call, &CoreService::unlock);
    case proc::kDeviceEnableSrq:
        return runCore<DeviceEnableSrq>(c, call, &CoreService::enableSrq);
    case proc::kDeviceDocmd:
        return runCore<DeviceDocmd>(c, call, &CoreService::docmd);
    case proc::kDestroyLink:
        return runCore<DestroyLink>(c, call, &CoreService::destroyLink);
    case proc::kCreateIntrChan:
        return run<CreateIntrChan>(c, call, [&](const CallContext& cx, const DeviceRemoteFunc& a) {
            return std::optional(DeviceError{intr.create(cx.connection, cx.peer, a)});
        });
    case proc::kDestroyIntrChan:
        return run<DestroyIntrChan>(c, call, [&](const CallContext& cx, const Void&) {
            return std::optional(DeviceError{intr.destroy(cx.connection)});
        });
    default:
        log("core procedure " + std::to_string(call.header.proc) + ": PROC_UNAVAIL");
        return procUnavail(call.header.xid);
    }
}

std::optional<Dispatch::Fault> Dispatch::takeFault(std::optional<std::int32_t> lid) {
    std::lock_guard lk(m_faultMutex);
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (!it->lid || (lid && *it->lid == *lid)) {
            Fault f = *it;
            m_faults.erase(it);
            return f;
        }
    }
    return std::nullopt;
}

void Dispatch::failNextCall(std::optional<std::int32_t> lid, std::int32_t error) {
    std::lock_guard lk(m_faultMutex);
    m_faults.push_back({lid, false, error});
}

void Dispatch::dropNextCall(std::optional<std::int32_t> lid) {
    std::lock_guard lk(m_faultMutex);
    m_faults.push_back({lid, true, 0});
}

} // namespace gateway
