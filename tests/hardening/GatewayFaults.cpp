#include "hardening/GatewayFaults.h"

#include "library/LibraryError.h"
#include "vxi11/codec/Messages.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace testsupport {

namespace {

using Call = vxi11::rpc::ParsedCall;
using vxi11::DeviceRead;
using vxi11::DeviceReadResp;
namespace liberr = library::liberr;

/// A device_read reply promised whole by its record mark and cut after `keep` bytes.
Bytes cutReply(const Call& c, std::size_t keep) {
    const Bytes reply =
        vxi11::encodeReplyFor<DeviceRead>(c.header.xid, DeviceReadResp{0, 4, Bytes(6, 'a')});
    Bytes framed;
    put32(framed, 0x80000000u | static_cast<std::uint32_t>(reply.size()));
    framed.insert(framed.end(), reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(keep));
    return framed;
}

} // namespace

std::vector<GatewayFault> silentFaults() {
    return {
        {"accepts the call and never answers", [](Peer&, const Call&) { return true; },
         liberr::kGatewayTimeout, 0, true},
        {"answers only with the xid of an earlier call",
         [](Peer& p, const Call& c) {
             p.sendRecord(vxi11::encodeReplyFor<DeviceRead>(c.header.xid - 1,
                                                            DeviceReadResp{0, 4, Bytes(3, 'o')}));
             return true;
         },
         liberr::kGatewayTimeout, 0, false},
        {"stops half way through the reply and stays silent",
         [](Peer& p, const Call& c) {
             p.sendRaw(halfReply(c));
             return true;
         },
         liberr::kGatewayTimeout, std::nullopt, true},
    };
}

std::vector<GatewayFault> endedConnectionFaults() {
    return {
        {"resets the connection",
         [](Peer& p, const Call&) {
             p.reset();
             return false;
         },
         liberr::kConnectionLost, liberr::kConnectionLost, true},
        {"closes without a reply",
         [](Peer& p, const Call&) {
             p.close();
             return false;
         },
         liberr::kConnectionLost, liberr::kConnectionLost, true},
        {"stops inside the reply's header and closes",
         [](Peer& p, const Call& c) {
             p.sendRaw(cutReply(c, 10));
             return false;
         },
         liberr::kConnectionLost, liberr::kConnectionLost, false},
        {"stops half way through the reply and closes",
         [](Peer& p, const Call& c) {
             p.sendRaw(halfReply(c));
             return false;
         },
         liberr::kConnectionLost, liberr::kConnectionLost, true},
    };
}

std::vector<GatewayFault> framingFaults() {
    return {
        {"sends a record claiming 2 GB",
         [](Peer& p, const Call&) {
             Bytes b;
             put32(b, 0xFFFFFFFFu); // 2 GB, last
             p.sendRaw(b);
             p.waitClosed();
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, false},
        {"sends a record claiming 4 GB",
         [](Peer& p, const Call&) {
             Bytes b;
             put32(b, 0x7FFFFFFFu); // 2 GB, more to come
             put32(b, 0xFFFFFFFFu); // and 2 GB more, last
             b.insert(b.end(), 1000, 'x');
             p.sendRaw(b);
             return true;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, true},
        {"answers with text instead of records",
         [](Peer& p, const Call&) {
             const std::string t = "HTTP/1.0 400 Bad Request\r\n\r\n";
             p.sendRaw(Bytes(t.begin(), t.end()));
             return true;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, false},
    };
}

std::vector<GatewayFault> replyFaults() {
    return {
        {"answers with a garbage record shorter than a reply header",
         [](Peer& p, const Call& c) {
             Bytes b;
             put32(b, c.header.xid);
             put32(b, 7);
             p.sendRecord(b);
             // A stray reply under the same xid: the next call skips it as late.
             FakeGateway::reply<vxi11::DeviceTrigger>(p, c, vxi11::DeviceError{0});
             return true;
         },
         liberr::kMalformedReply, 0, false},
        {"answers with garbage in a record as long as a reply",
         [](Peer& p, const Call& c) {
             // The call's own xid first: otherwise the garbage may pass for a late reply to
             // an earlier call, which the library rightly skips.
             Bytes b;
             put32(b, c.header.xid);
             for (int i = 0; i < 33; ++i) {
                 b.push_back(static_cast<std::uint8_t>(i * 77 + 5));
             }
             p.sendRecord(b);
             return true;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, true},
        {"answers with the xid of a later call",
         [](Peer& p, const Call& c) {
             p.sendRecord(vxi11::encodeReplyFor<DeviceRead>(c.header.xid + 1,
                                                            DeviceReadResp{0, 4, Bytes(3, 'n')}));
             return true;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, false},
        {"answers with a read result shorter than its fields",
         [](Peer& p, const Call& c) {
             Bytes b = acceptedReply(c.header.xid);
             put32(b, 0);
             put32(b, 4);
             put32(b, 100); // 100 data bytes announced, none sent
             p.sendRecord(b);
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, false},
        {"answers with more data than the read asked for",
         [](Peer& p, const Call& c) {
             const auto parms = vxi11::decodeArgsFor<DeviceRead>(c.args);
             const std::size_t asked = parms ? parms->requestSize : 0;
             FakeGateway::reply<DeviceRead>(p, c, DeviceReadResp{0, 4, Bytes(asked + 1, 'z')});
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost, false},
        {"refuses the procedure at RPC level",
         [](Peer& p, const Call& c) {
             p.sendRecord(vxi11::rpc::encodeAcceptedReply(c.header.xid,
                                                          vxi11::rpc::AcceptStat::ProcUnavail));
             return false;
         },
         liberr::kCallRefused, liberr::kConnectionLost, false},
    };
}

std::vector<GatewayFault> gatewayFaults() {
    std::vector<GatewayFault> all;
    for (auto kind : {silentFaults, endedConnectionFaults, framingFaults, replyFaults}) {
        auto rows = kind();
        all.insert(all.end(), std::make_move_iterator(rows.begin()),
                   std::make_move_iterator(rows.end()));
    }
    return all;
}

std::vector<GatewayFault> windowFaults() {
    auto all = gatewayFaults();
    std::erase_if(all, [](const GatewayFault& f) { return !f.inWindow; });
    return all;
}

} // namespace testsupport
