// The library against a scripted gateway: what goes on the wire for opens, writes, time-outs
// and bus commands, how failures to open read, and each thread's own error.

#include "vxi11/client/LibraryOnFakeGateway.h"

#include "sicl/Sicl32Module.h"

#include <atomic>
#include <thread>
#include <vector>

using namespace vxi11;
using namespace library;
using testsupport::argsOf;
using testsupport::Bytes;
using testsupport::FakeGateway;
using testsupport::lastText;
using testsupport::linksAnd;
using testsupport::Peer;
using testsupport::quietOptions;
using Call = vxi11::rpc::ParsedCall;

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
