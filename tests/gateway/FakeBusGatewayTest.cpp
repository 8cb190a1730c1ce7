// The gateway's VXI-11, HiSLIP and socket servers over a scripted fake bus: what each protocol
// asks of the device seam reaches the bus as it should, and what the bus answers (bytes, status
// bytes, failures, service requests) reaches the clients as each protocol says. Locks, links,
// sessions and the routing of service requests live above the seam and serve this bus too.

#include "FakeBus.h"
#include "GatewayFixture.h"
#include "HislipClient.h"
#include "InterruptListener.h"
#include "gateway/Gateway.h"
#include "gateway/hislip/HislipService.h"
#include "vxi11/codec/GpibCommands.h"

using namespace vxi11;
using gateway::BusStatus;
using gateway::RemoteLocal;
using gateway::Split;
using testfake::FakeBus;
using testfake::Op;
using testfake::Written;
using testhislip::RawSession;

namespace {

class FakeBusGateway : public testrpc::CoreCalls {
protected:
    void SetUp() override {
        gateway::GatewayConfig config;
        config.hislipPort = 0;
        config.socketPort = 0;
        gw = std::make_unique<gateway::Gateway>(config, bus);
        std::string error;
        ASSERT_TRUE(gw->start(&error)) << error;
        ASSERT_TRUE(core.connect(gw->corePort()));
    }

    /// A call of Device_GenericParms on `lid`: its error, -1 when no reply came.
    template <typename P>
    std::int32_t generic(std::int32_t lid, std::uint32_t ioTimeout = 1000) {
        const auto r = core.call<P>({lid, 0, 0, ioTimeout});
        return r ? r->error : -1;
    }
    /// What the device `key` was sent, once `n` writes reached it (fails the test otherwise).
    std::vector<Written> written(const std::string& key, std::size_t n) {
        EXPECT_TRUE(eventually([&] { return bus.device(key).written.size() >= n; })) << key;
        return bus.device(key).written;
    }
    RawSession opened(std::string_view subAddress, std::uint64_t maxSize = 1 << 20) {
        RawSession s(gw->hislipPort());
        EXPECT_TRUE(s.open(subAddress, maxSize)) << subAddress;
        return s;
    }

    FakeBus bus; // outlives the gateway
    std::unique_ptr<gateway::Gateway> gw;
};

} // namespace

// ---- VXI-11 ----------------------------------------------------------------------------------

TEST_F(FakeBusGateway, Vxi11LinksAnyValidAddressAndWritesReachTheDeviceWithTheirEnd) {
    const std::int32_t dev = link("gpib0,5");
    ASSERT_EQ(write(dev, "MEAS", 0), 0);
    ASSERT_EQ(write(dev, ":VOLT?\n"), 0);
    const auto lid = static_cast<gateway::Holder>(dev);
    EXPECT_EQ(bus.device(FakeBus::kDevice5).written,
              (std::vector<Written>{{"MEAS", false, lid, Split::None},
                                    {":VOLT?\n", true, lid, Split::None}}));

    const std::int32_t lan = link("LANBOX");
    ASSERT_EQ(write(lan, "*RST\n"), 0);
    EXPECT_EQ(bus.device(FakeBus::kLan).written.size(), 1u) << "the LAN name, in any case";

    // Nobody at the address: linked all the same; a write finds no listener, a read and a poll
    // hear nobody until their time-out.
    const std::int32_t absent = link("gpib0,9");
    EXPECT_EQ(write(absent, "*IDN?\n"), err::kIoError);
    EXPECT_EQ(read(absent, 100, 50)->error, err::kIoTimeout);
    EXPECT_EQ(generic<DeviceReadStb>(absent, 50), err::kIoTimeout);
}

TEST_F(FakeBusGateway, Vxi11ReadsHandBackQueuedBytesWithTheirReasons) {
    const std::int32_t dev = link("gpib0,7,2");
    bus.answer(FakeBus::kDevice7_2, "1.5\n");
    auto r = read(dev, 2);
    EXPECT_EQ(text(*r), "1.");
    EXPECT_EQ(r->reason, reason::kReqCnt);
    r = read(dev, 4096);
    EXPECT_EQ(text(*r), "5\n");
    EXPECT_EQ(r->reason, reason::kEnd);

    bus.answer(FakeBus::kDevice7_2, "a,b,c", false);
    r = read(dev, 4096, 1000, ',');
    EXPECT_EQ(text(*r), "a,");
    EXPECT_EQ(r->reason, reason::kChr);
    r = read(dev, 2, 1000, ',');
    EXPECT_EQ(text(*r), "b,");
    EXPECT_EQ(r->reason, reason::kChr | reason::kReqCnt);
    r = read(dev, 4096, 1000, ',');
    EXPECT_EQ(text(*r), "c");
    EXPECT_EQ(r->reason, 0) << "no END came with it";

    bus.answer(FakeBus::kDevice7_2, "ok", true);
    r = read(dev, 2);
    EXPECT_EQ(r->reason, reason::kEnd | reason::kReqCnt);
}

TEST_F(FakeBusGateway, Vxi11DeviceAndInterfaceOperationsReachTheBus) {
    const std::int32_t dev = link("gpib0,5");
    bus.setStatusByte(FakeBus::kDevice5, 0x51);
    const auto stb = core.call<DeviceReadStb>({dev, 0, 0, 1000});
    ASSERT_TRUE(stb && stb->error == 0);
    EXPECT_EQ(stb->stb, 0x51u);
    for (int n = 0; n < 2; ++n) {
        EXPECT_EQ(generic<DeviceTrigger>(dev), 0);
    }
    EXPECT_EQ(generic<DeviceClear>(dev), 0);
    EXPECT_EQ(generic<DeviceRemote>(dev), 0);
    EXPECT_EQ(generic<DeviceLocal>(dev), 0);
    const testfake::FakeDevice seen = bus.device(FakeBus::kDevice5);
    EXPECT_EQ(seen.polls, 1u);
    EXPECT_EQ(seen.triggers, 2u);
    EXPECT_EQ(seen.clears, 1u);
    EXPECT_EQ(seen.remotes, 1u);
    EXPECT_EQ(seen.locals, 1u);

    // On the interface, trigger and clear are command bytes; docmd reaches the interface (its
    // commands one by one are DocmdTest's).
    const std::int32_t iface = link("gpib0");
    EXPECT_EQ(generic<DeviceTrigger>(iface), 0);
    EXPECT_EQ(generic<DeviceClear>(iface), 0);
    EXPECT_EQ(generic<DeviceRemote>(iface), err::kOperationNotSupported);
    EXPECT_EQ(docmd(iface, docmd::kSendCommand, {0x3F, 0x25}, 1)->error, 0);
    bus.setBusStatus(busstatus::kNdac, 1);
    EXPECT_EQ(busStatus(iface, busstatus::kNdac), 1);
    EXPECT_EQ(docmd(dev, docmd::kSendCommand, {0x3F}, 1)->error, err::kOperationNotSupported);
    EXPECT_EQ(bus.iface().commands, (std::string{char(gpib::kGet), char(gpib::kDcl), 0x3F, 0x25}));
}

TEST_F(FakeBusGateway, Vxi11ReportsWhatTheBusAnsweredAsItsError) {
    const std::int32_t dev = link("gpib0,5");
    const std::pair<BusStatus, std::int32_t> mapped[] = {
        {BusStatus::Timeout, err::kIoTimeout},
        {BusStatus::NotSupported, err::kOperationNotSupported},
        {BusStatus::NoListener, err::kIoError},
        {BusStatus::Busy, err::kIoError},
        {BusStatus::Lost, err::kIoError},
        {BusStatus::BadParameter, err::kParameterError},
        {BusStatus::Aborted, err::kAbort}};
    for (const auto& [status, error] : mapped) {
        bus.failWith(Op::Write, status);
        EXPECT_EQ(write(dev, "*IDN?\n"), error) << static_cast<int>(status);
    }
    bus.failWith(Op::Write, std::nullopt);

    // Every operation hands on its own answer, and so does a bus that cannot be held.
    for (const Op op : {Op::Read, Op::SerialPoll, Op::Trigger, Op::Clear, Op::Remote, Op::Local}) {
        bus.failWith(op, BusStatus::NotSupported);
    }
    EXPECT_EQ(read(dev)->error, err::kOperationNotSupported);
    EXPECT_EQ(generic<DeviceReadStb>(dev), err::kOperationNotSupported);
    EXPECT_EQ(generic<DeviceTrigger>(dev), err::kOperationNotSupported);
    EXPECT_EQ(generic<DeviceClear>(dev), err::kOperationNotSupported);
    EXPECT_EQ(generic<DeviceRemote>(dev), err::kOperationNotSupported);
    EXPECT_EQ(generic<DeviceLocal>(dev), err::kOperationNotSupported);
    for (const auto& [status, error] : {std::pair{BusStatus::Busy, err::kIoError},
                                        {BusStatus::Lost, err::kIoError},
                                        {BusStatus::Timeout, err::kIoTimeout}}) {
        bus.failWith(Op::Hold, status);
        EXPECT_EQ(generic<DeviceTrigger>(dev), error) << static_cast<int>(status);
    }
}

// ---- HiSLIP and the raw socket ---------------------------------------------------------------

TEST_F(FakeBusGateway, HislipSessionsOpenOnTheDevicesThereByAliasOrVxi11Name) {
    for (const auto& [subAddress, key] : {std::pair{"hislip5", FakeBus::kDevice5},
                                          {"HiSLIP702", FakeBus::kDevice7_2},
                                          {"gpib0,7,2", FakeBus::kDevice7_2},
                                          {"hislip0", FakeBus::kLan},
                                          {"lanbox", FakeBus::kLan},
                                          {"", FakeBus::kLan}}) {
        const std::size_t before = bus.device(key).written.size();
        RawSession s = opened(subAddress);
        s.send("X\n");
        EXPECT_EQ(written(key, before + 1).size(), before + 1) << subAddress;
    }
    for (const char* nobody : {"hislip9", "gpib0,7", "gpib0", "hislip31"}) {
        RawSession s(gw->hislipPort());
        const auto answer = s.initialize(nobody);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->header.type, hislip::MessageType::FatalError) << nobody;
        EXPECT_EQ(answer->header.control, gateway::kFatalUnknownSubAddress) << nobody;
    }
}

TEST_F(FakeBusGateway, HislipDataReachesTheDeviceAndItsAnswerComesBackInPieces) {
    RawSession s = opened("hislip5", hislip::kHeaderSize + 4);
    s.send("*IDN", false);
    s.send("?\n", true);
    const Written first{"*IDN", false, 0, Split::AtMessageEnd};
    std::vector<Written> got = written(FakeBus::kDevice5, 2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_GE(got[0].who, gateway::LockTable::kFirstOtherHolder);
    EXPECT_EQ(got[1].who, got[0].who);
    got[0].who = got[1].who = 0;
    EXPECT_EQ(got, (std::vector<Written>{first, {"?\n", true, 0, Split::AtMessageEnd}}));

    bus.answer(FakeBus::kDevice5, "0123456789");
    s.send("*IDN?\n");
    std::vector<hislip::Header> headers;
    EXPECT_EQ(s.response(&headers), "0123456789");
    std::vector<hislip::MessageType> types;
    for (const hislip::Header& h : headers) {
        types.push_back(h.type);
    }
    using hislip::MessageType;
    EXPECT_EQ(types, (std::vector<MessageType>{MessageType::Data, MessageType::Data,
                                               MessageType::DataEnd}));
}

TEST_F(FakeBusGateway, HislipStatusIsASerialPollWithMavAsTheSessionSeesIt) {
    RawSession s = opened("hislip5");
    bus.setStatusByte(FakeBus::kDevice5, 0x10 | 0x04);
    EXPECT_EQ(s.status(), 0x04) << "nothing queued, nothing sent: no message available";
    bus.answer(FakeBus::kDevice5, "1\n");
    bus.setStatusByte(FakeBus::kDevice5, 0x04);
    EXPECT_EQ(s.status(), 0x14) << "an answer queued is a message available";
    EXPECT_EQ(bus.device(FakeBus::kDevice5).polls, 2u);
}

TEST_F(FakeBusGateway, HislipRemoteLocalControlIsTheSeamsRemoteLocal) {
    RawSession s = opened("hislip5");
    std::vector<RemoteLocal> sent;
    for (std::uint8_t code = 0; code <= hislip::control::kGoLocal; ++code) {
        const auto m = s.request(hislip::asyncRemoteLocalControl(code, s.lastId));
        ASSERT_TRUE(m);
        EXPECT_EQ(m->header.type, hislip::MessageType::AsyncRemoteLocalResponse);
        sent.push_back(static_cast<RemoteLocal>(code));
    }
    EXPECT_EQ(bus.device(FakeBus::kDevice5).remoteLocal, sent);
}

TEST_F(FakeBusGateway, TheRawSocketServesTheLanDevice) {
    testsupport::RawConnection c(gw->socketPort());
    ASSERT_TRUE(c.connected());
    bus.answer(FakeBus::kLan, "LanBox,1\n");
    ASSERT_TRUE(c.sendRaw(testhislip::bytesOf("*IDN?\n")));
    std::string got;
    std::uint8_t buffer[64];
    const auto deadline = net::Deadline::after(std::chrono::seconds(5));
    while (got.size() < 9) {
        const std::size_t n = c.socket().receiveSome(buffer, deadline);
        got.append(buffer, buffer + n);
    }
    EXPECT_EQ(got, "LanBox,1\n");
    const std::vector<Written> sent = written(FakeBus::kLan, 1);
    EXPECT_EQ(sent.front().bytes, "*IDN?\n");
    EXPECT_EQ(sent.front().split, Split::AtMessageEnd);
}

TEST_F(FakeBusGateway, BytesTheBusRefusesAreDroppedOnceAndStreamSessionsGoOn) {
    RawSession s = opened("hislip5");
    testsupport::RawConnection c(gw->socketPort());
    ASSERT_TRUE(c.connected());
    bus.failWith(Op::Write, BusStatus::Lost);
    s.send("A\n");
    s.send("B\n");
    ASSERT_TRUE(c.sendRaw(testhislip::bytesOf("C\n")));
    ASSERT_TRUE(eventually([&] {
        return bus.device(FakeBus::kDevice5).refused.size() >= 2 &&
               !bus.device(FakeBus::kLan).refused.empty();
    }));
    bus.failWith(Op::Write, std::nullopt);

    bus.answer(FakeBus::kDevice5, "5\n");
    EXPECT_EQ(s.query("*IDN?\n"), "5\n");
    bus.answer(FakeBus::kLan, "L\n");
    ASSERT_TRUE(c.sendRaw(testhislip::bytesOf("*IDN?\n")));
    std::uint8_t got[2] = {};
    EXPECT_EQ(c.socket().receiveSome(got, net::Deadline::after(std::chrono::seconds(5))), 2u);
    EXPECT_EQ(got[0], 'L');
    for (const char* key : {FakeBus::kDevice5, FakeBus::kLan}) {
        const testfake::FakeDevice d = bus.device(key);
        ASSERT_EQ(d.written.size(), 1u) << key << ": nothing refused was offered again";
        EXPECT_EQ(d.written[0].bytes, "*IDN?\n");
    }
    EXPECT_EQ(bus.device(FakeBus::kDevice5).refused, (std::vector<std::string>{"A\n", "B\n"}));
}

// ---- Above the seam: locks and service requests ----------------------------------------------

TEST_F(FakeBusGateway, AHislipLockHoldsOffAVxi11WriteOnThisBusToo) {
    RawSession s = opened("hislip5");
    ASSERT_EQ(s.lock(0), hislip::control::kLockGranted);
    const std::int32_t dev = link("gpib0,5");
    EXPECT_EQ(write(dev, "*IDN?\n"), err::kDeviceLockedByAnotherLink);
    EXPECT_TRUE(bus.device(FakeBus::kDevice5).written.empty());
    ASSERT_EQ(s.release(), hislip::control::kReleasedExclusive);
    EXPECT_EQ(write(dev, "*IDN?\n"), 0);
    EXPECT_EQ(bus.device(FakeBus::kDevice5).written.size(), 1u);
}

TEST_F(FakeBusGateway, ARequestTheBusPushesReachesVxi11AndHislipClientsWhileAnyWantsOne) {
    EXPECT_FALSE(bus.wanted());
    testrpc::InterruptListener channel;
    ASSERT_EQ(core.call<CreateIntrChan>(channel.remoteFunc())->error, 0);
    ASSERT_TRUE(channel.accept());
    const std::int32_t dev = link("gpib0,5");
    const auto enable = [&](bool on) {
        DeviceEnableSrqParms e{dev, on, {'h', '5'}};
        ASSERT_EQ(core.call<DeviceEnableSrq>(e)->error, 0);
    };
    enable(true);
    EXPECT_TRUE(bus.wanted());
    bus.pushSrq("gpib0"); // the bus's line: every link on the bus hears it
    EXPECT_EQ(channel.nextHandle().value_or("nothing"), "h5");
    enable(false);
    EXPECT_FALSE(bus.wanted());

    {
        RawSession s = opened("hislip5");
        EXPECT_TRUE(bus.wanted());
        bus.setStatusByte(FakeBus::kDevice5, 0x41);
        bus.pushSrq(FakeBus::kDevice5); // the device's own request: its sessions hear it
        const auto m = s.async.receive();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->header.type, hislip::MessageType::AsyncServiceRequest);
        EXPECT_EQ(m->header.control, 0x41);
    }
    EXPECT_TRUE(eventually([&] { return !bus.wanted(); })) << "the session closed";
}
