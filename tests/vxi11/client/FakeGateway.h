#pragma once

#include "vxi11/client/ScriptServer.h"
#include "vxi11/codec/Messages.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

/// One core call as the fake gateway received it.
struct CoreCall {
    std::uint32_t proc = 0;
    Bytes args;
};

/// A scripted VXI-11 gateway on one loopback port: it answers portmapper GETPORT with its own
/// port and hands every core call to `onCall`, which replies (or misbehaves) through the
/// Peer. By default create_link and destroy_link succeed and everything else gets error 8.
class FakeGateway {
public:
    /// Returns false to end the connection's script (the fake then closes it).
    using Handler = std::function<bool(FakeGateway&, Peer&, const vxi11::rpc::ParsedCall&)>;

    explicit FakeGateway(Handler handler = {}, std::uint32_t maxRecvSize = 4096,
                         ScriptServer::Family family = ScriptServer::Family::Ipv4)
        : m_handler(std::move(handler)), m_maxRecvSize(maxRecvSize),
          m_host(family == ScriptServer::Family::Ipv6 ? "[::1]" : "127.0.0.1"),
          m_server([this](Peer& p) { serve(p); }, family) {}

    std::uint16_t port() const { return m_server.port(); }
    std::string address(const std::string& intf = "gpib") const {
        return "lan;vxi-11[" + m_host + ":" + std::to_string(port()) + "]:" + intf;
    }

    std::vector<CoreCall> calls() const {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::vector<CoreCall> callsTo(std::uint32_t proc) const {
        std::vector<CoreCall> out;
        for (const auto& c : calls()) {
            if (c.proc == proc) {
                out.push_back(c);
            }
        }
        return out;
    }

    /// Sends the SUCCESS reply of procedure P.
    template <typename P>
    static void reply(Peer& p, const vxi11::rpc::ParsedCall& call,
                      const typename P::Result& result) {
        p.sendRecord(vxi11::encodeReplyFor<P>(call.header.xid, result));
    }

private:
    void serve(Peer& p) {
        for (;;) {
            const auto record = p.readRecord();
            if (!record) {
                return;
            }
            const auto call = vxi11::rpc::parseCall(*record);
            if (call.status != vxi11::rpc::ParsedCall::Status::Ok) {
                return;
            }
            if (call.header.prog == vxi11::pmap::kProgram) {
                reply<vxi11::pmap::GetPort>(p, call, {port()});
                continue;
            }
            {
                std::lock_guard lock(m_mutex);
                m_calls.push_back({call.header.proc, Bytes(call.args.begin(), call.args.end())});
            }
            if (!m_handler) {
                answerByDefault(p, call);
            } else if (!m_handler(*this, p, call)) {
                return;
            }
        }
    }

    void answerByDefault(Peer& p, const vxi11::rpc::ParsedCall& call) {
        using namespace vxi11;
        if (call.header.proc == proc::kCreateLink) {
            reply<CreateLink>(p, call, CreateLinkResp{0, 1, 0, m_maxRecvSize});
        } else {
            reply<DestroyLink>(p, call,
                               DeviceError{call.header.proc == proc::kDestroyLink ? 0 : 8});
        }
    }

public:
    /// For handlers: answers create_link and destroy_link as the default does; true if it did.
    bool answerLinkCalls(Peer& p, const vxi11::rpc::ParsedCall& call) {
        using namespace vxi11;
        if (call.header.proc == proc::kCreateLink || call.header.proc == proc::kDestroyLink) {
            answerByDefault(p, call);
            return true;
        }
        return false;
    }

private:
    Handler m_handler;
    std::uint32_t m_maxRecvSize;
    mutable std::mutex m_mutex;
    std::vector<CoreCall> m_calls;
    std::string m_host;
    ScriptServer m_server; // last: its threads use the members above
};

/// A device_read reply record for `call` (40 bytes of data) cut after half its bytes: the
/// record mark promises the whole reply.
inline Bytes halfReply(const vxi11::rpc::ParsedCall& call) {
    const Bytes reply = vxi11::encodeReplyFor<vxi11::DeviceRead>(
        call.header.xid, vxi11::DeviceReadResp{0, 4, Bytes(40, 'h')});
    Bytes framed;
    put32(framed, 0x80000000u | static_cast<std::uint32_t>(reply.size()));
    framed.insert(framed.end(), reply.begin(), reply.begin() + reply.size() / 2);
    return framed;
}

} // namespace testsupport
