// The simulator's RPC layer: portmapper, answers to bad calls, framing and limits.

#include "GatewayFixture.h"

#include <random>

using namespace vxi11;
using testrpc::GatewayFixture;
using testrpc::TestClient;
using testsupport::RawConnection;

using GatewayServer = GatewayFixture;

TEST_F(GatewayServer, PortmapperAnswersGetportOverTcpAndUdp) {
    TestClient pm;
    ASSERT_TRUE(pm.connect(sim->portmapperPort()));
    const auto corePort = pm.call<pmap::GetPort>({kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0});
    ASSERT_TRUE(corePort.has_value());
    EXPECT_EQ(corePort->port, sim->corePort());
    const auto async = pm.call<pmap::GetPort>({kDeviceAsync, kDeviceVersion, pmap::kProtoTcp, 0});
    ASSERT_TRUE(async.has_value());
    EXPECT_EQ(async->port, sim->abortPort());
    const auto none = pm.call<pmap::GetPort>({kDeviceCore, 2, pmap::kProtoTcp, 0});
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(none->port, 0u) << "an unregistered version has no port";
    // Version 0 asks for any version registered for the protocol (rpcinfo without a version).
    EXPECT_EQ(pm.call<pmap::GetPort>({kDeviceCore, 0, pmap::kProtoTcp, 0})->port, sim->corePort());
    EXPECT_EQ(pm.call<pmap::GetPort>({kDeviceCore, 0, pmap::kProtoUdp, 0})->port, 0u);

    testsupport::RawDatagrams udp(sim->portmapperPort());
    ASSERT_TRUE(udp.send(
        encodeCallFor<pmap::GetPort>(1000, {kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0})));
    const auto datagram = udp.receive();
    ASSERT_TRUE(datagram.has_value());
    const auto reply = rpc::decodeReply(*datagram);
    ASSERT_TRUE(reply && reply->success());
    EXPECT_EQ(reply->xid, 1000u);
    const auto port = decodeResultFor<pmap::GetPort>(reply->results);
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->port, sim->corePort());
}

TEST_F(GatewayServer, PortmapperSetUnsetAndDumpKeepTheTable) {
    TestClient pm;
    ASSERT_TRUE(pm.connect(sim->portmapperPort()));
    const pmap::Mapping m{0x20000099, 1, pmap::kProtoTcp, 4242};
    EXPECT_TRUE(pm.call<pmap::Set>(m)->value);
    EXPECT_FALSE(pm.call<pmap::Set>(m)->value) << "a second SET of the same triple fails";
    EXPECT_EQ(pm.call<pmap::GetPort>(m)->port, 4242u);
    const auto dump = pm.call<pmap::Dump>({});
    ASSERT_TRUE(dump.has_value());
    EXPECT_EQ(dump->entries.size(), 5u);
    EXPECT_TRUE(pm.call<pmap::Unset>(m)->value);
    EXPECT_EQ(pm.call<pmap::GetPort>(m)->port, 0u);

    // Over UDP a caller on loopback may change the table too.
    testsupport::RawDatagrams udp(sim->portmapperPort());
    ASSERT_TRUE(udp.send(encodeCallFor<pmap::Set>(77, m)));
    const auto datagram = udp.receive();
    ASSERT_TRUE(datagram.has_value());
    const auto reply = rpc::decodeReply(*datagram);
    ASSERT_TRUE(reply && reply->success());
    EXPECT_TRUE(decodeResultFor<pmap::Set>(reply->results)->value);
    EXPECT_EQ(pm.call<pmap::GetPort>(m)->port, 4242u);
}

TEST_F(GatewayServer, AnswersBadCallsAsOncRpcSaysAndKeepsTheConnection) {
    xdr::Bytes storage;
    // Program not served on the core port.
    auto r = core.rawCall(rpc::encodeCall(1, pmap::kProgram, 2, 3, {}), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::ProgUnavail);
    // Wrong version.
    r = core.rawCall(rpc::encodeCall(2, kDeviceCore, 2, 10, {}), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::ProgMismatch);
    EXPECT_EQ(r->mismatchLow, 1u);
    EXPECT_EQ(r->mismatchHigh, 1u);
    // Unassigned procedure 21.
    r = core.rawCall(rpc::encodeCall(3, kDeviceCore, 1, 21, {}), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::ProcUnavail);
    // Arguments that do not decode: a create_link cut short, a read with trailing bytes.
    r = core.rawCall(rpc::encodeCall(4, kDeviceCore, 1, 10, xdr::Bytes{0, 0, 0, 1}), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::GarbageArgs);
    r = core.rawCall(rpc::encodeCall(5, kDeviceCore, 1, 12, xdr::Bytes(28, 0)), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::GarbageArgs);
    // RPC version 3.
    xdr::Bytes v3 = rpc::encodeCall(6, kDeviceCore, 1, 0, {});
    v3[11] = 3;
    r = core.rawCall(v3, storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->replyStat, rpc::ReplyStat::Denied);
    EXPECT_EQ(r->rejectStat, rpc::RejectStat::RpcMismatch);
    // Portmapper versions 3 and 4 are not parsed as version 2.
    TestClient pm;
    ASSERT_TRUE(pm.connect(sim->portmapperPort()));
    r = pm.rawCall(rpc::encodeCall(7, pmap::kProgram, 4, 3, xdr::Bytes(16, 0)), storage);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->acceptStat, rpc::AcceptStat::ProgMismatch);
    EXPECT_EQ(r->mismatchLow, 2u);
    // After all that the core connection still serves.
    EXPECT_GE(link("gpib0"), 0);
}

TEST_F(GatewayServer, ReassemblesACallSentInSeveralFragments) {
    CreateLinkParms p;
    p.device = "gpib0,22";
    const xdr::Bytes framed = rpc::frameRecord(encodeCallFor<CreateLink>(9, p), 7);
    RawConnection raw(sim->corePort());
    // Sent a few bytes at a time, as a slow network would deliver it.
    for (std::size_t pos = 0; pos < framed.size(); pos += 5)
        ASSERT_TRUE(raw.sendRaw(
            xdr::ByteView(framed).subspan(pos, std::min<std::size_t>(5, framed.size() - pos))));
    const auto record = raw.receiveRecord();
    ASSERT_TRUE(record.has_value());
    const auto reply = rpc::decodeReply(*record);
    ASSERT_TRUE(reply && reply->success());
    const auto resp = decodeResultFor<CreateLink>(reply->results);
    ASSERT_TRUE(resp.has_value());
    EXPECT_EQ(resp->error, 0);
}

TEST_F(GatewayServer, WriteJustOverMaxRecvSizeIsAParameterErrorNotADroppedConnection) {
    const std::int32_t lid = link("gpib0,22");
    EXPECT_EQ(write(lid, std::string(65537, 'x')), err::kParameterError);
    EXPECT_EQ(write(lid, "*IDN?\n"), 0);
}

TEST_F(GatewayServer, ClosesTheConnectionWhenARecordExceedsTheLimit) {
    core.close();
    // A header announcing 1 GiB: refused at once, nothing allocated for it.
    RawConnection huge(sim->corePort());
    ASSERT_TRUE(huge.sendRaw(xdr::Bytes{0xC0, 0, 0, 0}));
    EXPECT_TRUE(huge.closedByPeer());
    // Many fragments adding up past the limit.
    RawConnection other(sim->corePort());
    ASSERT_TRUE(other.connected());
    const xdr::Bytes fragment = rpc::frameRecord(xdr::Bytes(60000, 0), 60000);
    xdr::Bytes notLast = fragment;
    notLast[0] &= 0x7F;
    bool closed = false;
    for (int i = 0; i < 10 && !closed; ++i)
        closed = !other.sendRaw(notLast);
    EXPECT_TRUE(closed || other.closedByPeer());
    EXPECT_TRUE(GatewayFixture::eventually([&] { return sim->liveConnections() == 0; }));
}

TEST_F(GatewayServer, SurvivesRandomRecordsAndKeepsServingOthers) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        xdr::Bytes body(rng() % 120);
        for (auto& b : body)
            b = static_cast<std::uint8_t>(rng());
        // Mostly valid headers with random arguments, so the decoders see the bytes.
        if (body.size() >= 40 && round % 2 == 0) {
            const xdr::Bytes header = rpc::encodeCall(round, kDeviceCore, 1, 10 + rng() % 17, {});
            std::copy(header.begin(), header.end(), body.begin());
        }
        RawConnection c(sim->corePort());
        ASSERT_TRUE(c.sendRecord(body));
        // A NULL call behind it: its reply shows the server handled the record and lives on.
        const std::uint32_t fence = 0xFE000000u + static_cast<std::uint32_t>(round);
        ASSERT_TRUE(c.sendRecord(rpc::encodeCall(fence, kDeviceCore, 1, 0, {})));
        bool fenced = false;
        while (!fenced) {
            const auto record = c.receiveRecord();
            ASSERT_TRUE(record.has_value()) << "round " << round;
            fenced = rpc::peekXid(*record) == fence;
        }
    }
    EXPECT_GE(link("gpib0,9"), 0);
}

TEST_F(GatewayServer, RefusesConnectionsBeyondTheLimit) {
    gateway::SimulatorLimits limits;
    limits.maxConnections = 2;
    sim.reset();
    startWith(gateway::demoBench(), limits); // `core` is connection 1
    TestClient second;
    ASSERT_TRUE(second.connect(sim->corePort()));
    EXPECT_GE(link("gpib0", &second), 0);
    RawConnection third(sim->corePort());
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_GE(link("gpib0"), 0);
}

TEST_F(GatewayServer, StopEndsAReadWaitingWithoutTimeOut) {
    const std::int32_t lid = link("gpib0,3");
    std::thread reader([&] { read(lid, 100, 0xFFFFFFFF); });
    ASSERT_TRUE(GatewayFixture::eventually([&] { return sim->callCount() >= 2; }));
    const auto before = std::chrono::steady_clock::now();
    sim->stop();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}
