// The library against a scripted gateway: what goes on the wire, and every way a gateway can
// misbehave (silence, garbage, stale or future xids, huge records, dropped connections).

#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "sicl/Sicl32Module.h"
#include "support/RawConnection.h"
#include "vxi11/client/FakeGateway.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace vxi11;
using namespace library;
using namespace std::chrono_literals;
using testsupport::Bytes;
using testsupport::FakeGateway;
using testsupport::Peer;
using Call = vxi11::rpc::ParsedCall;
using Clock = std::chrono::steady_clock;

namespace {

/// Options that never ask a name server: only "localhost" is known.
lan::LanLibrary::Options quietOptions() {
    lan::LanLibrary::Options o;
    o.resolver = [](const std::string& host) -> std::optional<std::uint32_t> {
        if (host == "localhost") {
            return testsupport::loopback();
        }
        return std::nullopt;
    };
    return o;
}

template <typename T>
T argsOf(const testsupport::CoreCall& c) {
    auto v = xdr::decodeAll<T>(c.args);
    EXPECT_TRUE(v.has_value());
    return v.value_or(T{});
}

std::string lastText(lan::LanLibrary& lib) {
    char buf[sicl::kErrorTextBufferSize];
    lib.vb_igeterrstr(lib.vb_igeterrno(), buf);
    return buf;
}

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

/// A handler that answers link calls and passes everything else to `rest`.
FakeGateway::Handler linksAnd(std::function<bool(Peer&, const Call&)> rest) {
    return [rest](FakeGateway& g, Peer& p, const Call& c) {
        return g.answerLinkCalls(p, c) || rest(p, c);
    };
}

} // namespace

TEST(LibraryWire, OpenSendsTheDeviceNameAndCloseDestroysTheLink) {
    FakeGateway gw;
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 705"));
    ASSERT_GT(id, 0) << lastText(lib);
    const auto create = argsOf<CreateLinkParms>(gw.callsTo(proc::kCreateLink).at(0));
    EXPECT_EQ(create.device, "gpib0,7,5");
    EXPECT_FALSE(create.lockDevice);
    EXPECT_EQ(lib.vb_iclose(id), 0);
    EXPECT_EQ(gw.callsTo(proc::kDestroyLink).size(), 1u);
    EXPECT_EQ(lib.openSessions(), 0u);
    // Closing again, or closing what never was, is an error and nothing worse.
    EXPECT_EQ(lib.vb_iclose(id), liberr::kUnknownSession);
    EXPECT_EQ(lib.vb_iclose(0), liberr::kUnknownSession);
    EXPECT_EQ(lastText(lib), "unknown session id: 0");
}

TEST(LibraryWire, OpenFailuresReadWellAfterTheWindowLabel) {
    lan::LanLibrary lib(quietOptions());
    sicl::Sicl32Module wrappers(lib);
    const std::uint16_t port = testsupport::closedPort();
    struct Row {
        std::string address;
        int number;
        std::string text;
    };
    for (const Row& r : std::vector<Row>{
             {"lan;vxi-11[gatewayx]:gpib", liberr::kHostNotFound, "host not found: gatewayx"},
             {"lan;vxi-11[127.0.0.1:" + std::to_string(port) + "]:gpib", liberr::kConnectionRefused,
              "connection refused: 127.0.0.1:" + std::to_string(port)},
             {"lan;vxi-11[127.0.0.1]:gpib, 50", liberr::kAddressOutOfRange,
              "invalid GPIB address: 50"},
             {"lan;vxi-11[127.0.0.1:gpib", liberr::kBadAddressSyntax,
              "bad address syntax: missing ]"}}) {
        SCOPED_TRACE(r.address);
        try {
            wrappers.iopen(r.address);
            ADD_FAILURE() << "opened";
        } catch (const sicl::SiclError& e) {
            EXPECT_EQ(e.number(), r.number);
            EXPECT_EQ(e.description(), r.text);
        }
    }
}

TEST(LibraryWire, GatewayRefusalsKeepTheirVxi11Numbers) {
    FakeGateway gw([](FakeGateway&, Peer& p, const Call& c) {
        if (c.header.proc == proc::kCreateLink) {
            FakeGateway::reply<CreateLink>(p, c, CreateLinkResp{21, 0, 0, 0});
        }
        return true;
    });
    lan::LanLibrary lib(quietOptions());
    EXPECT_EQ(lib.vb_iopen(gw.address("gpib, 7")), 0);
    EXPECT_EQ(lib.vb_igeterrno(), 21);
    EXPECT_EQ(lastText(lib), "invalid address");
}

TEST(LibraryWire, NoCoreProgramAtThePortmapperIsReported) {
    // A portmapper that knows no VXI-11 core program answers port 0.
    testsupport::ScriptServer pm([](Peer& p) {
        while (auto record = p.readRecord()) {
            const auto call = rpc::parseCall(*record);
            FakeGateway::reply<pmap::GetPort>(p, call, {0});
        }
    });
    lan::LanLibrary lib(quietOptions());
    EXPECT_EQ(lib.vb_iopen("lan;vxi-11[localhost:" + std::to_string(pm.port()) + "]:gpib"), 0);
    EXPECT_EQ(lib.vb_igeterrno(), liberr::kNoVxi11Service);
}

TEST(LibraryWire, WritesSplitAtMaxRecvSizeWithEndOnlyOnTheLastPiece) {
    // The gateway announces less than the 1024 bytes every gateway must take: the client
    // holds to 1024 rather than looping on tiny pieces.
    FakeGateway gw(linksAnd([](Peer& p, const Call& c) {
                       const auto w = xdr::decodeAll<DeviceWriteParms>(c.args);
                       FakeGateway::reply<DeviceWrite>(
                           p, c, DeviceWriteResp{0, static_cast<std::uint32_t>(w->data.size())});
                       return true;
                   }),
                   16);
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    ASSERT_GT(id, 0);
    std::string text(2500, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>(i % 251);
    }
    std::int32_t actual = -1;
    ASSERT_EQ(lib.vb_iwrite(1, id, text, 2500, 1, actual), 0) << lastText(lib);
    EXPECT_EQ(actual, 2500);
    const auto writes = gw.callsTo(proc::kDeviceWrite);
    ASSERT_EQ(writes.size(), 3u);
    std::string joined;
    std::vector<std::size_t> sizes;
    std::vector<bool> ends;
    for (const auto& w : writes) {
        const auto parms = argsOf<DeviceWriteParms>(w);
        sizes.push_back(parms.data.size());
        ends.push_back((parms.flags & flags::kEnd) != 0);
        joined.append(parms.data.begin(), parms.data.end());
    }
    EXPECT_EQ(sizes, (std::vector<std::size_t>{1024, 1024, 452}));
    EXPECT_EQ(ends, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(joined, text);

    // A count beyond the text would read past it: refused before anything is sent.
    EXPECT_EQ(lib.vb_iwrite(1, id, "abc", 4, 1, actual), liberr::kInvalidArgument);
    EXPECT_EQ(gw.callsTo(proc::kDeviceWrite).size(), 3u);
}

TEST(LibraryWire, WriteStoppedByTheGatewayReportsTheCountSent) {
    std::atomic<int> n{0};
    FakeGateway gw(linksAnd([&n](Peer& p, const Call& c) {
                       // The second piece meets a lock held elsewhere.
                       FakeGateway::reply<DeviceWrite>(
                           p, c, ++n == 1 ? DeviceWriteResp{0, 1024} : DeviceWriteResp{11, 0});
                       return true;
                   }),
                   1024);
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    std::int32_t actual = -1;
    EXPECT_EQ(lib.vb_iwrite(1, id, std::string(3000, 'a'), 3000, 1, actual), 11);
    EXPECT_EQ(actual, 1024);
    EXPECT_EQ(lastText(lib), "device locked by another link");
}

TEST(LibraryWire, TimeOutsGoOnTheWireAsTheSessionSetsThem) {
    // The second trigger finds the device locked by another link.
    std::atomic<int> n{0};
    FakeGateway gw(linksAnd([&n](Peer& p, const Call& c) {
        FakeGateway::reply<DeviceTrigger>(p, c, DeviceError{++n == 2 ? 11 : 0});
        return true;
    }));
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    ASSERT_EQ(lib.vb_itrigger(id), 0);
    ASSERT_EQ(lib.vb_itimeout(id, 3000), 0);
    ASSERT_EQ(lib.vb_itrigger(id), 0);
    ASSERT_EQ(lib.vb_itimeout(id, 0), 0);
    ASSERT_EQ(lib.vb_itrigger(id), 0);
    const auto t = gw.callsTo(proc::kDeviceTrigger);
    ASSERT_EQ(t.size(), 4u);
    const auto first = argsOf<DeviceGenericParms>(t[0]);
    const auto second = argsOf<DeviceGenericParms>(t[1]);
    const auto retry = argsOf<DeviceGenericParms>(t[2]);
    const auto unlimited = argsOf<DeviceGenericParms>(t[3]);
    EXPECT_GT(first.ioTimeout, 9000u); // a new session has 10 s
    EXPECT_LE(first.ioTimeout, 10000u);
    // A first try does not wait for a lock, so the I/O may take the whole time-out.
    EXPECT_EQ(first.flags, 0);
    EXPECT_GT(second.ioTimeout, 2000u);
    EXPECT_LE(second.ioTimeout, 3000u);
    // Locked elsewhere: the retry waits for the lock, and lock wait plus I/O fit the time-out.
    EXPECT_EQ(retry.flags, flags::kWaitLock);
    EXPECT_GT(retry.lockTimeout, 1000u);
    EXPECT_GT(retry.ioTimeout, 1000u);
    EXPECT_LE(retry.lockTimeout + retry.ioTimeout, 3000u);
    // No time-out: the largest value, never 0 (which gateways read as "give up at once").
    EXPECT_EQ(unlimited.ioTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(unlimited.lockTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(lib.vb_itimeout(id, -1), liberr::kInvalidArgument);
}

TEST(LibraryWire, BusCommandsUseBigEndianDocmdElements) {
    FakeGateway gw(linksAnd([](Peer& p, const Call& c) {
        const auto d = xdr::decodeAll<DeviceDocmdParms>(c.args);
        Bytes out = d->dataIn;
        if (d->cmd == docmd::kBusStatus) {
            out = {0x00, 0x15}; // answers 21
        }
        FakeGateway::reply<DeviceDocmd>(p, c, DeviceDocmdResp{0, out});
        return true;
    }));
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address());
    std::int16_t result = -1;
    ASSERT_EQ(lib.vb_igpibbusstatus(id, 8, result), 0) << lastText(lib);
    EXPECT_EQ(result, 21);
    ASSERT_EQ(lib.vb_igpibatnctl(id, 0), 0);
    ASSERT_EQ(lib.vb_igpibrenctl(id, 5), 0);
    ASSERT_EQ(lib.vb_igpibsendcmd(id, std::string("?@\x27", 3), 3), 0);
    ASSERT_EQ(lib.vb_igpibsendcmd(id, std::string(300, '?'), 300), 0);
    ASSERT_EQ(lib.vb_iclear(id), 0);
    const auto calls = gw.callsTo(proc::kDeviceDocmd);
    ASSERT_EQ(calls.size(), 8u);
    struct Expect {
        std::int32_t cmd;
        std::int32_t datasize;
        Bytes data;
    };
    const std::vector<Expect> expected{
        {docmd::kBusStatus, 2, {0x00, 0x08}},       {docmd::kAtnControl, 2, {0x00, 0x00}},
        {docmd::kRenControl, 2, {0x00, 0x01}},      {docmd::kSendCommand, 1, {0x3F, 0x40, 0x27}},
        {docmd::kSendCommand, 1, Bytes(128, 0x3F)}, {docmd::kSendCommand, 1, Bytes(128, 0x3F)},
        {docmd::kSendCommand, 1, Bytes(44, 0x3F)},  {docmd::kIfcControl, 1, {}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto d = argsOf<DeviceDocmdParms>(calls[i]);
        EXPECT_EQ(d.cmd, expected[i].cmd);
        EXPECT_EQ(d.datasize, expected[i].datasize);
        EXPECT_TRUE(d.networkOrder);
        EXPECT_EQ(d.dataIn, expected[i].data);
    }
}

TEST(LibraryWire, EntriesForTheOtherSessionKindFailWithoutTraffic) {
    FakeGateway gw;
    lan::LanLibrary lib(quietOptions());
    const auto intf = lib.vb_iopen(gw.address());
    const auto dev = lib.vb_iopen(gw.address("gpib, 7"));
    ASSERT_GT(intf, 0);
    ASSERT_GT(dev, 0);
    ASSERT_NE(intf, dev);
    const auto before = gw.calls().size();
    std::int16_t out = 0;
    EXPECT_EQ(lib.vb_igpibbusstatus(dev, 3, out), liberr::kNeedsInterfaceSession);
    EXPECT_EQ(lib.vb_igpibrenctl(dev, 1), liberr::kNeedsInterfaceSession);
    EXPECT_EQ(lib.vb_igpibatnctl(dev, 1), liberr::kNeedsInterfaceSession);
    EXPECT_EQ(lib.vb_igpibsendcmd(dev, "?", 1), liberr::kNeedsInterfaceSession);
    EXPECT_EQ(lastText(lib), "needs an interface session");
    EXPECT_EQ(lib.vb_ireadstb(intf, out), liberr::kNeedsDeviceSession);
    EXPECT_EQ(lib.vb_iremote(intf), liberr::kNeedsDeviceSession);
    EXPECT_EQ(lib.vb_ilocal(intf), liberr::kNeedsDeviceSession);
    EXPECT_EQ(lastText(lib), "needs a device session");
    EXPECT_EQ(gw.calls().size(), before);
    // A success afterwards clears the thread's error.
    EXPECT_EQ(lib.vb_itermchr(dev, 10), 0);
    EXPECT_EQ(lib.vb_igeterrno(), 0);
}

TEST(LibraryFaults, SilentGatewayEndsEveryCallWithinItsTimeOut) {
    FakeGateway gw(linksAnd([](Peer&, const Call&) { return true; })); // never answers
    auto options = quietOptions();
    options.transportMargin = 300ms;
    lan::LanLibrary lib(options);
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    ASSERT_GT(id, 0);
    ASSERT_EQ(lib.vb_itimeout(id, 400), 0);
    std::string buf(100, ' ');
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    const auto start = Clock::now();
    EXPECT_EQ(lib.vb_iread(1, id, buf, 100, reason, actual), liberr::kGatewayTimeout);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 400ms + 300ms + 250ms + 500ms); // time-out, margin, abort try, slack
    EXPECT_EQ(lastText(lib), "no answer from gateway in time");
    // The session stays usable for closing.
    EXPECT_EQ(lib.vb_iclose(id), 0);
}

TEST(LibraryFaults, SilentGatewayBoundsOpenByTheDefaultTimeOut) {
    testsupport::ScriptServer silent([](Peer& p) { p.waitClosed(); });
    auto options = quietOptions();
    options.defaultTimeout = 300ms;
    options.transportMargin = 200ms;
    lan::LanLibrary lib(options);
    const auto start = Clock::now();
    EXPECT_EQ(lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(silent.port()) + "]:gpib"), 0);
    EXPECT_EQ(lib.vb_igeterrno(), liberr::kGatewayTimeout);
    EXPECT_LT(Clock::now() - start, 300ms + 200ms + 500ms);
}

TEST(LibraryFaults, LateReplyIsSkippedByItsOlderXid) {
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

namespace {

/// Opens a device session on a gateway whose read handler misbehaves as `rest` says, and
/// returns the read's result and the next call's result.
struct FaultOutcome {
    int read;
    int afterwards;
    int close;
};

FaultOutcome readAgainst(std::function<bool(Peer&, const Call&)> rest) {
    FakeGateway gw(linksAnd(std::move(rest)));
    lan::LanLibrary lib(quietOptions());
    const auto id = lib.vb_iopen(gw.address("gpib, 7"));
    EXPECT_GT(id, 0);
    std::string buf(8, '.');
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    FaultOutcome o{};
    o.read = lib.vb_iread(1, id, buf, 8, reason, actual);
    EXPECT_EQ(buf.size(), 8u);
    o.afterwards = lib.vb_itrigger(id);
    o.close = lib.vb_iclose(id);
    return o;
}

} // namespace

TEST(LibraryFaults, BrokenRepliesAreErrorsAndTheSessionCanStillBeClosed) {
    struct Row {
        const char* name;
        std::function<bool(Peer&, const Call&)> script;
        int read;
        int afterwards;
    };
    const std::vector<Row> rows{
        {"connection dropped mid-reply",
         [](Peer& p, const Call& c) {
             Bytes reply =
                 encodeReplyFor<DeviceRead>(c.header.xid, DeviceReadResp{0, 4, Bytes(6, 'a')});
             Bytes framed;
             testsupport::put32(framed, 0x80000000u | static_cast<std::uint32_t>(reply.size()));
             framed.insert(framed.end(), reply.begin(), reply.begin() + 10);
             p.sendRaw(framed);
             return false;
         },
         liberr::kConnectionLost, liberr::kConnectionLost},
        {"record claiming 2 GB",
         [](Peer& p, const Call&) {
             Bytes b;
             testsupport::put32(b, 0xFFFFFFFFu);
             p.sendRaw(b);
             p.waitClosed();
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost},
        {"reply to a call never made",
         [](Peer& p, const Call& c) {
             p.sendRecord(encodeReplyFor<DeviceRead>(c.header.xid + 5, DeviceReadResp{}));
             p.waitClosed();
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost},
        {"garbage in a well-framed record",
         [](Peer& p, const Call& c) {
             Bytes b;
             testsupport::put32(b, c.header.xid);
             testsupport::put32(b, 7);
             p.sendRecord(b);
             FakeGateway::reply<DeviceTrigger>(p, c, DeviceError{0}); // for the next call
             return true;
         },
         liberr::kMalformedReply, 0},
        {"read result shorter than its fields",
         [](Peer& p, const Call& c) {
             Bytes b = testsupport::acceptedReply(c.header.xid);
             testsupport::put32(b, 0);
             testsupport::put32(b, 4);
             testsupport::put32(b, 100); // 100 data bytes announced, none sent
             p.sendRecord(b);
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost},
        {"more data than requested",
         [](Peer& p, const Call& c) {
             FakeGateway::reply<DeviceRead>(p, c, DeviceReadResp{0, 4, Bytes(9, 'z')});
             return false;
         },
         liberr::kMalformedReply, liberr::kConnectionLost},
        {"procedure refused at RPC level",
         [](Peer& p, const Call& c) {
             p.sendRecord(rpc::encodeAcceptedReply(c.header.xid, rpc::AcceptStat::ProcUnavail));
             return false;
         },
         liberr::kCallRefused, liberr::kConnectionLost},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const FaultOutcome o = readAgainst(r.script);
        EXPECT_EQ(o.read, r.read);
        if (r.afterwards == 0) {
            EXPECT_NE(o.afterwards, liberr::kConnectionLost);
        } else {
            EXPECT_EQ(o.afterwards, r.afterwards);
        }
        EXPECT_EQ(o.close, 0);
    }
}

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

namespace {

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

TEST(LibrarySessions, SessionsOnSeveralThreadsKeepTheirOwnErrors) {
    FakeGateway gw(linksAnd([](Peer& p, const Call& c) {
        FakeGateway::reply<DeviceTrigger>(p, c, DeviceError{0});
        return true;
    }));
    lan::LanLibrary lib(quietOptions());
    EXPECT_EQ(lib.vb_iopen("nonsense"), 0);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const auto id = lib.vb_iopen(gw.address("gpib, " + std::to_string(t)));
            for (int i = 0; i < 50; ++i) {
                if (lib.vb_itrigger(id) != 0 || lib.vb_igeterrno() != 0) {
                    ++failures;
                }
            }
            // This thread's failure is its own; the others keep succeeding meanwhile.
            if (lib.vb_iclose(-7) != liberr::kUnknownSession ||
                lib.vb_igeterrno() != liberr::kUnknownSession) {
                ++failures;
            }
            lib.vb_iclose(id);
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(lib.openSessions(), 0u);
    EXPECT_EQ(lib.vb_igeterrno(), liberr::kBadAddressSyntax) << "other threads left it alone";
}
