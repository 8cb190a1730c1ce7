// The library's reads against a scripted gateway: replies in pieces, framed and cut in every
// way, late replies after a time-out, the termination character.

#include "vxi11/client/LibraryOnFakeGateway.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <span>
#include <vector>

using namespace vxi11;
using namespace library;
using namespace std::chrono_literals;
using testsupport::argsOf;
using testsupport::Bytes;
using testsupport::FakeGateway;
using testsupport::lastText;
using testsupport::linksAnd;
using testsupport::Peer;
using testsupport::quietOptions;
using Call = vxi11::rpc::ParsedCall;

namespace {

/// What the second of two reads on `gpib, 7` gave, the first having timed out.
struct SecondRead {
    std::string buf;
    std::int32_t reason = 0;
    std::int32_t actual = 0;
};

/// Two reads into `size` dots with a 100 ms time-out: the first must end in 106, the second
/// succeed.
SecondRead readAfterATimeOut(FakeGateway& gw, std::int32_t size) {
    auto options = quietOptions();
    options.transportMargin = 100ms;
    lan::LanLibrary lib(options);
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    EXPECT_EQ(lib.vb_itimeout(id, 100), 0);
    SecondRead r{std::string(static_cast<std::size_t>(size), '.')};
    EXPECT_EQ(lib.vb_iread(1, id, r.buf, size, r.reason, r.actual), liberr::kGatewayTimeout);
    EXPECT_EQ(lib.vb_iread(1, id, r.buf, size, r.reason, r.actual), 0) << lastText(lib);
    return r;
}

/// Frames `body` in fragments of `sizes` (the rest in a last one), sent in pieces of `piece`.
void sendInFragments(Peer& p, const Bytes& body, std::vector<std::size_t> sizes,
                     std::size_t piece) {
    Bytes wire;
    std::size_t at = 0;
    sizes.push_back(body.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const bool last = i + 1 == sizes.size();
        const std::size_t n = last ? body.size() - at : std::min(sizes[i], body.size() - at);
        testsupport::put32(wire, static_cast<std::uint32_t>(n) | (last ? 0x80000000u : 0u));
        wire.insert(wire.end(), body.begin() + static_cast<std::ptrdiff_t>(at),
                    body.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    for (std::size_t k = 0; k < wire.size(); k += piece) {
        p.sendRaw(std::span(wire).subspan(k, std::min(piece, wire.size() - k)));
    }
}

/// A device_read reply with a verifier of `verifier` bytes, `data`, and `trailing` bytes more.
Bytes readReply(std::uint32_t xid, const Bytes& data, std::size_t verifier, std::size_t trailing) {
    Bytes b;
    for (std::uint32_t w : {xid, 1u, 0u, 1u, static_cast<std::uint32_t>(verifier)}) {
        testsupport::put32(b, w);
    }
    b.insert(b.end(), verifier, 'v');
    b.insert(b.end(), xdr::padding(verifier), 0);
    for (std::uint32_t w : {0u, 0u, static_cast<std::uint32_t>(reason::kEnd),
                            static_cast<std::uint32_t>(data.size())}) {
        testsupport::put32(b, w);
    }
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), xdr::padding(data.size()) + trailing, 0);
    return b;
}

} // namespace

TEST(LibraryRead, ReadsOnUntilEndAndNeverPastTheCallersBuffer) {
    // The gateway hands the answer out in small pieces: reason 0, then REQCNT, then END.
    std::atomic<int> n{0};
    std::vector<std::uint32_t> requested;
    std::mutex m;
    FakeGateway gw(linksAnd([&](Peer& p, const Call& c) {
        const auto r = xdr::decodeAll<DeviceReadParms>(c.args);
        {
            std::lock_guard lock(m);
            requested.push_back(r->requestSize);
        }
        const int k = ++n;
        const DeviceReadResp resp = k == 1   ? DeviceReadResp{0, 0, {'a', 'b'}}
                                    : k == 2 ? DeviceReadResp{0, 0, {}}
                                    : k == 3 ? DeviceReadResp{0, 1, {'c'}}
                                             : DeviceReadResp{0, 4, {'d', '\n'}};
        FakeGateway::reply<DeviceRead>(p, c, resp);
        return true;
    }));
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    // The caller claims 100 bytes but its buffer holds 10.
    std::string buf(10, ' ');
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    ASSERT_EQ(lib.vb_iread(1, id, buf, 100, reason, actual), 0) << lastText(lib);
    EXPECT_EQ(buf, "abcd\n     ");
    EXPECT_EQ(actual, 5);
    EXPECT_EQ(reason, reason::kEnd);
    std::lock_guard lock(m);
    EXPECT_EQ(requested, (std::vector<std::uint32_t>{10, 8, 8, 7}));
}

TEST(LibraryRead, DataComesStraightIntoTheBufferHoweverTheReplyIsFramedOrCut) {
    Bytes data(3001);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    }
    struct Row {
        const char* name;
        std::vector<std::size_t> fragments; ///< sizes before the last fragment
        std::size_t piece;                  ///< bytes per send
        std::size_t verifier;
        std::size_t trailing;
    };
    const std::vector<Row> rows{
        {"one fragment, one send", {}, 1 << 20, 0, 0},
        {"fragments cutting the header, the length and the data",
         {3, 0, 30, 1, 1000},
         1 << 20,
         0,
         0},
        {"every byte sent alone", {7}, 1, 0, 0},
        {"a verifier with a body and bytes after the data", {50}, 4096, 13, 20},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        FakeGateway gw(linksAnd([&](Peer& p, const Call& c) {
            sendInFragments(p, readReply(c.header.xid, data, r.verifier, r.trailing), r.fragments,
                            r.piece);
            return true;
        }));
        lan::LanLibrary lib(quietOptions());
        const auto id = lib.vb_iopen(gw.address("gpib, 7"));
        std::string buf(4000, '.');
        std::int32_t reason = 0;
        std::int32_t actual = 0;
        ASSERT_EQ(lib.vb_iread(1, id, buf, 4000, reason, actual), 0) << lastText(lib);
        EXPECT_EQ(actual, 3001);
        EXPECT_EQ(reason, reason::kEnd);
        EXPECT_EQ(buf.substr(0, 3001), std::string(data.begin(), data.end()));
        EXPECT_EQ(buf.substr(3001), std::string(999, '.'));
        // Whatever came after the data is gone: the next call is answered in step.
        EXPECT_EQ(lib.vb_iread(1, id, buf, 4000, reason, actual), 0) << lastText(lib);
    }
}

TEST(LibraryRead, LateReplyIsSkippedByItsOlderXid) {
    // The first read gets no answer in time; its reply arrives just before the second
    // read's reply, and must not be taken for it.
    std::atomic<int> reads{0};
    std::uint32_t firstXid = 0;
    FakeGateway gw(linksAnd([&](Peer& p, const Call& c) {
        if (++reads == 1) {
            firstXid = c.header.xid;
            return true;
        }
        p.sendRecord(encodeReplyFor<DeviceRead>(firstXid, DeviceReadResp{0, 4, {'o', 'l', 'd'}}));
        FakeGateway::reply<DeviceRead>(p, c, DeviceReadResp{0, 4, {'n', 'e', 'w'}});
        return true;
    }));
    const SecondRead r = readAfterATimeOut(gw, 10);
    EXPECT_EQ(r.buf, "new.......");
    EXPECT_EQ(r.actual, 3);
    EXPECT_EQ(r.reason, reason::kEnd);
}

TEST(LibraryRead, AReplyCutByTheTimeOutIsDroppedWhenTheRestComes) {
    // The first reply stops halfway through its data until the second read has been sent;
    // then its rest arrives, followed by the second reply.
    std::atomic<int> reads{0};
    Bytes rest;
    FakeGateway gw(linksAnd([&](Peer& p, const Call& c) {
        Bytes wire;
        const Bytes whole = readReply(c.header.xid, Bytes(5000, 'o'), 0, 0);
        if (++reads == 1) {
            testsupport::put32(wire, 0x80000000u | static_cast<std::uint32_t>(whole.size()));
            wire.insert(wire.end(), whole.begin(), whole.begin() + 2000);
            p.sendRaw(wire);
            rest.assign(whole.begin() + 2000, whole.end());
            return true;
        }
        p.sendRaw(rest);
        sendInFragments(p, readReply(c.header.xid, Bytes(3, 'n'), 0, 0), {}, 1 << 20);
        return true;
    }));
    const SecondRead r = readAfterATimeOut(gw, 8000);
    EXPECT_EQ(r.actual, 3);
    EXPECT_EQ(r.buf.substr(0, 4), "nnno");
}

TEST(LibraryRead, TermCharGoesWithLaterReadsAndCanBeTurnedOff) {
    FakeGateway gw(linksAnd([](Peer& p, const Call& c) {
        FakeGateway::reply<DeviceRead>(p, c, DeviceReadResp{0, 4, {'x'}});
        return true;
    }));
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    std::string buf(4, ' ');
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    ASSERT_EQ(lib.vb_iread(1, id, buf, 4, reason, actual), 0);
    ASSERT_EQ(lib.vb_itermchr(id, 13), 0);
    ASSERT_EQ(lib.vb_iread(1, id, buf, 4, reason, actual), 0);
    ASSERT_EQ(lib.vb_itermchr(id, 0), 0);
    ASSERT_EQ(lib.vb_iread(1, id, buf, 4, reason, actual), 0);
    ASSERT_EQ(lib.vb_itermchr(id, -1), 0);
    ASSERT_EQ(lib.vb_iread(1, id, buf, 4, reason, actual), 0);
    EXPECT_EQ(lib.vb_itermchr(id, 256), liberr::kInvalidArgument);
    const auto reads = gw.callsTo(proc::kDeviceRead);
    ASSERT_EQ(reads.size(), 4u);
    const auto r0 = argsOf<DeviceReadParms>(reads[0]);
    const auto r1 = argsOf<DeviceReadParms>(reads[1]);
    const auto r2 = argsOf<DeviceReadParms>(reads[2]);
    const auto r3 = argsOf<DeviceReadParms>(reads[3]);
    EXPECT_EQ(r0.flags & flags::kTermChrSet, 0);
    EXPECT_EQ(r1.flags & flags::kTermChrSet, flags::kTermChrSet);
    EXPECT_EQ(r1.termChar, 13);
    EXPECT_EQ(r2.flags & flags::kTermChrSet, flags::kTermChrSet); // NUL is a real character
    EXPECT_EQ(r2.termChar, 0);
    EXPECT_EQ(r3.flags & flags::kTermChrSet, 0);
}
