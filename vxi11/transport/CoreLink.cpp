#include "vxi11/transport/CoreLink.h"

#include "library/LibraryError.h"
#include "vxi11/codec/AsyncIntrMessages.h"
#include "vxi11/codec/DocmdMessages.h"
#include "vxi11/codec/IoMessages.h"
#include "vxi11/codec/LinkMessages.h"
#include "vxi11/codec/LockMessages.h"

#include <algorithm>
#include <limits>

namespace vxi11 {

using library::gatewayError;
using library::LibraryError;
using library::translated;

namespace {

/// device_read's results before its data: error and reason.
constexpr std::size_t kReadResultsHead = 8;

void check(std::int32_t error) {
    if (error != err::kNoError) {
        throw gatewayError(error);
    }
}

std::int32_t lockFlag(const CallTiming& t) {
    return t.waitLock ? flags::kWaitLock : 0;
}

} // namespace

CoreLink CoreLink::create(net::TcpConnection connection, const std::string& device,
                          std::int32_t clientId, Deadline deadline) {
    CoreLink link;
    link.m_rpc = rpc::RpcClient(std::move(connection));
    CreateLinkParms parms;
    parms.clientId = clientId;
    parms.lockDevice = false;
    parms.lockTimeout = 0;
    parms.device = device;
    const CreateLinkResp resp = link.m_rpc.call<CreateLink>(parms, deadline);
    check(resp.error);
    link.m_lid = resp.lid;
    link.m_writePiece = std::clamp(resp.maxRecvSize, kMinWritePiece, kMaxWritePiece);
    link.m_abortPort = resp.abortPort <= std::numeric_limits<std::uint16_t>::max()
                           ? static_cast<std::uint16_t>(resp.abortPort)
                           : 0;
    return link;
}

DeviceWriteResp CoreLink::write(xdr::ByteView data, bool end, const CallTiming& t) {
    DeviceWriteParms parms;
    parms.lid = m_lid;
    parms.ioTimeout = t.ioTimeout;
    parms.lockTimeout = t.lockTimeout;
    parms.flags = lockFlag(t) | (end ? flags::kEnd : 0);
    xdr::Encoder head;
    parms.encodeHead(head, data.size());
    const xdr::Bytes results = m_rpc.call(DeviceWrite::prog, DeviceWrite::vers, DeviceWrite::proc,
                                          head.bytes(), data, t.replyBy);
    // Bytes after a complete result are tolerated: some servers append padding.
    const auto resp = decodeResultFor<DeviceWrite>(results, true);
    if (!resp) {
        throw net::TransportError(net::TransportError::Kind::Malformed, "bad results");
    }
    if (resp->error == err::kDeviceLockedByAnotherLink && resp->size == 0) {
        throw gatewayError(resp->error);
    }
    return *resp;
}

ReadInto CoreLink::read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                        const CallTiming& t) {
    DeviceReadParms parms;
    parms.lid = m_lid;
    parms.requestSize = static_cast<std::uint32_t>(
        std::min<std::size_t>(into.size(), std::numeric_limits<std::uint32_t>::max()));
    parms.ioTimeout = t.ioTimeout;
    parms.lockTimeout = t.lockTimeout;
    parms.flags = lockFlag(t) | (termChar ? flags::kTermChrSet : 0);
    parms.termChar = termChar.value_or(0);
    xdr::Encoder args;
    parms.encode(args);
    const auto reply =
        m_rpc.callInto(DeviceRead::prog, DeviceRead::vers, DeviceRead::proc, args.bytes(),
                       kReadResultsHead, into.first(parms.requestSize), t.replyBy);
    ReadInto out;
    xdr::Decoder head(reply.head);
    if (!head.getInt(out.error) || !head.getInt(out.reason)) {
        throw net::TransportError(net::TransportError::Kind::Malformed, "bad results");
    }
    out.size = reply.length;
    if (out.error == err::kDeviceLockedByAnotherLink && out.size == 0) {
        throw gatewayError(out.error);
    }
    return out;
}

namespace {

DeviceGenericParms generic(std::int32_t lid, const CallTiming& t) {
    DeviceGenericParms parms;
    parms.lid = lid;
    parms.flags = lockFlag(t);
    parms.lockTimeout = t.lockTimeout;
    parms.ioTimeout = t.ioTimeout;
    return parms;
}

} // namespace

std::uint8_t CoreLink::readStb(const CallTiming& t) {
    const DeviceReadStbResp resp = m_rpc.call<DeviceReadStb>(generic(m_lid, t), t.replyBy);
    check(resp.error);
    return static_cast<std::uint8_t>(resp.stb); // the status byte is the low 8 bits
}

void CoreLink::trigger(const CallTiming& t) {
    check(m_rpc.call<DeviceTrigger>(generic(m_lid, t), t.replyBy).error);
}

void CoreLink::clear(const CallTiming& t) {
    check(m_rpc.call<DeviceClear>(generic(m_lid, t), t.replyBy).error);
}

void CoreLink::remote(const CallTiming& t) {
    check(m_rpc.call<DeviceRemote>(generic(m_lid, t), t.replyBy).error);
}

void CoreLink::local(const CallTiming& t) {
    check(m_rpc.call<DeviceLocal>(generic(m_lid, t), t.replyBy).error);
}

void CoreLink::lock(const CallTiming& t) {
    DeviceLockParms parms;
    parms.lid = m_lid;
    parms.flags = lockFlag(t);
    parms.lockTimeout = t.lockTimeout;
    check(m_rpc.call<DeviceLock>(parms, t.replyBy).error);
}

void CoreLink::unlock(const CallTiming& t) {
    check(m_rpc.call<DeviceUnlock>(DeviceLink{m_lid}, t.replyBy).error);
}

xdr::Bytes CoreLink::docmd(std::int32_t cmd, std::int32_t datasize, xdr::Bytes dataIn,
                           const CallTiming& t) {
    DeviceDocmdParms parms;
    parms.lid = m_lid;
    parms.flags = lockFlag(t);
    parms.ioTimeout = t.ioTimeout;
    parms.lockTimeout = t.lockTimeout;
    parms.cmd = cmd;
    parms.networkOrder = true;
    parms.datasize = datasize;
    parms.dataIn = std::move(dataIn);
    DeviceDocmdResp resp = m_rpc.call<DeviceDocmd>(parms, t.replyBy);
    check(resp.error);
    return std::move(resp.dataOut);
}

void CoreLink::createIntrChan(const DeviceRemoteFunc& remote, Deadline deadline) {
    check(m_rpc.call<CreateIntrChan>(remote, deadline).error);
}

void CoreLink::destroyIntrChan(Deadline deadline) {
    check(m_rpc.call<DestroyIntrChan>(Void{}, deadline).error);
}

void CoreLink::enableSrq(bool enable, const xdr::Bytes& handle, Deadline deadline) {
    DeviceEnableSrqParms parms;
    parms.lid = m_lid;
    parms.enable = enable;
    parms.handle = handle;
    check(m_rpc.call<DeviceEnableSrq>(parms, deadline).error);
}

void CoreLink::destroy(Deadline deadline) {
    check(m_rpc.call<DestroyLink>(DeviceLink{m_lid}, deadline).error);
}

void abortLink(const net::IpAddress& address, std::uint16_t port, std::int32_t lid,
               Deadline deadline, net::SocketOps& ops) {
    translated([&] {
        rpc::RpcClient rpc(net::TcpConnection::connect(address, port, deadline, ops));
        check(rpc.call<DeviceAbort>(DeviceLink{lid}, deadline).error);
    });
}

} // namespace vxi11
