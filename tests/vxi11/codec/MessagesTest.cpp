#include "vxi11/codec/Messages.h"
#include "Hex.h"

#include <gtest/gtest.h>

using namespace vxi11;
using testhex::fromHex;

// Golden bytes: the create_link exchange of a real instrument, word for word.
TEST(Messages, CreateLinkCallAndReplyMatchACapturedExchange) {
    CreateLinkParms parms;
    parms.clientId = 0x7aeb249c;
    parms.lockDevice = false;
    parms.lockTimeout = 10000;
    parms.device = "inst0";
    const xdr::Bytes call = encodeCallFor<CreateLink>(1, parms);
    EXPECT_EQ(rpc::frameRecord(call),
              fromHex("80000040 00000001 00000000 00000002 000607af 00000001 0000000a 00000000 "
                      "00000000 00000000 00000000 7aeb249c 00000000 00002710 00000005 696e7374 "
                      "30000000"));

    const xdr::Bytes reply = fromHex("00000001 00000001 00000000 00000000 00000000 00000000 "
                                     "00000000 0000001c 0000c249 ffffffff");
    const auto header = rpc::decodeReply(reply);
    ASSERT_TRUE(header && header->success());
    const auto resp = decodeResultFor<CreateLink>(header->results);
    ASSERT_TRUE(resp.has_value());
    EXPECT_EQ(resp->error, 0);
    EXPECT_EQ(resp->lid, 28);
    EXPECT_EQ(resp->abortPort, 49737u);
    EXPECT_EQ(resp->maxRecvSize, 0xFFFFFFFFu);

    // The server side decodes the same call back.
    const rpc::ParsedCall parsed = rpc::parseCall(call);
    ASSERT_EQ(parsed.status, rpc::ParsedCall::Status::Ok);
    const auto back = decodeArgsFor<CreateLink>(parsed.args);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->device, "inst0");
    EXPECT_EQ(back->lockTimeout, 10000u);
}

TEST(Messages, GenericParmsPutLockTimeoutBeforeIoTimeout) {
    DeviceGenericParms p;
    p.lid = 3;
    p.flags = flags::kWaitLock;
    p.lockTimeout = 0x11;
    p.ioTimeout = 0x22;
    EXPECT_EQ(xdr::encodeAll(p), fromHex("00000003 00000001 00000011 00000022"));
}

TEST(Messages, ReadWriteAndDocmdEncodeFieldByField) {
    DeviceWriteParms w;
    w.lid = 1;
    w.ioTimeout = 1000;
    w.lockTimeout = 0;
    w.flags = flags::kEnd;
    w.data = {'*', 'I', 'D', 'N', '?', '\n'};
    EXPECT_EQ(xdr::encodeAll(w), fromHex("00000001 000003e8 00000000 00000008 00000006 "
                                         "2a49444e 3f0a0000"));

    DeviceReadParms r;
    r.lid = 1;
    r.requestSize = 0x400;
    r.ioTimeout = 0xFFFFFFFF;
    r.lockTimeout = 5;
    r.flags = flags::kTermChrSet;
    r.termChar = '\n';
    EXPECT_EQ(xdr::encodeAll(r), fromHex("00000001 00000400 ffffffff 00000005 00000080 0000000a"));

    // Bus status NDAC with network order, as python clients send it.
    DeviceDocmdParms d;
    d.lid = 0;
    d.ioTimeout = 1000;
    d.cmd = docmd::kBusStatus;
    d.networkOrder = true;
    d.datasize = 2;
    const std::uint32_t ndac[] = {busstatus::kNdac};
    d.dataIn = packElements(ndac, 2, true);
    EXPECT_EQ(xdr::encodeAll(d), fromHex("00000000 00000000 000003e8 00000000 00020001 00000001 "
                                         "00000002 00000002 00030000"));
}

TEST(Messages, ResultsDecodeFromHandWrittenBytes) {
    const auto read = xdr::decodeAll<DeviceReadResp>(fromHex("00000000 00000004 00000003 "
                                                             "312c3200"));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->reason, reason::kEnd);
    EXPECT_EQ(read->data, (xdr::Bytes{'1', ',', '2'}));

    const auto stb = xdr::decodeAll<DeviceReadStbResp>(fromHex("00000000 00000050"));
    ASSERT_TRUE(stb.has_value());
    EXPECT_EQ(stb->stb, 0x50u);

    const auto write = xdr::decodeAll<DeviceWriteResp>(fromHex("0000000f 00000002"));
    ASSERT_TRUE(write.has_value());
    EXPECT_EQ(write->error, err::kIoTimeout);
    EXPECT_EQ(write->size, 2u);

    const auto docmdResp = xdr::decodeAll<DeviceDocmdResp>(fromHex("00000000 00000002 00010000"));
    ASSERT_TRUE(docmdResp.has_value());
    const auto values = unpackElements(docmdResp->dataOut, 2, true);
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(*values, std::vector<std::uint32_t>{1});
}

TEST(Messages, DocmdElementsHonourByteOrderAndSize) {
    const std::uint32_t v[] = {0x0003, 0x1234};
    EXPECT_EQ(packElements(v, 2, true), fromHex("0003 1234"));
    EXPECT_EQ(packElements(v, 2, false), fromHex("0300 3412"));
    const std::uint32_t addr[] = {5};
    EXPECT_EQ(packElements(addr, 4, true), fromHex("00000005"));
    EXPECT_EQ(packElements(addr, 4, false), fromHex("05000000"));
    EXPECT_EQ(unpackElements(fromHex("0300"), 2, false), std::vector<std::uint32_t>{3});
    EXPECT_FALSE(unpackElements(fromHex("000300"), 2, true).has_value());
    EXPECT_FALSE(unpackElements(fromHex("0003"), 3, true).has_value());
}

TEST(Messages, PortmapperGetportMatchesTheDiscoveryDatagram) {
    pmap::Mapping m{kDeviceCore, kDeviceVersion, pmap::kProtoTcp, 0};
    EXPECT_EQ(encodeCallFor<pmap::GetPort>(1000, m),
              fromHex("000003e8 00000000 00000002 000186a0 00000002 00000003 00000000 00000000 "
                      "00000000 00000000 000607af 00000001 00000006 00000000"));
    const auto port = decodeResultFor<pmap::GetPort>(fromHex("0000c249"));
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->port, 49737u);
}

TEST(Messages, PortmapperDumpListRoundTripsAndRefusesACutList) {
    pmap::MappingList list;
    list.entries = {{100000, 2, 6, 111}, {kDeviceCore, 1, 6, 1024}};
    const xdr::Bytes bytes = xdr::encodeAll(list);
    EXPECT_EQ(bytes.size(), 4u + 2 * 20u);
    const auto back = xdr::decodeAll<pmap::MappingList>(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->entries, list.entries);
    EXPECT_FALSE(xdr::decodeAll<pmap::MappingList>(xdr::ByteView(bytes).first(bytes.size() - 4))
                     .has_value());
}

TEST(Messages, DecodersRefuseOutOfBoundFields) {
    // A device name over 256 bytes, an SRQ handle over 40 bytes, an address family of 2.
    xdr::Encoder longName;
    longName.putInt(0);
    longName.putBool(false);
    longName.putUint(0);
    longName.putString(std::string(257, 'g'));
    EXPECT_FALSE(xdr::decodeAll<CreateLinkParms>(longName.bytes()).has_value());

    xdr::Encoder longHandle;
    longHandle.putInt(0);
    longHandle.putBool(true);
    longHandle.putOpaque(xdr::Bytes(41, 1));
    EXPECT_FALSE(xdr::decodeAll<DeviceEnableSrqParms>(longHandle.bytes()).has_value());

    EXPECT_FALSE(
        xdr::decodeAll<DeviceRemoteFunc>(fromHex("7f000001 00001000 000607b1 00000001 00000002"))
            .has_value());
    EXPECT_FALSE(
        xdr::decodeAll<CreateLinkParms>(fromHex("00000000 00000002 00000000 00000000")).has_value())
        << "lockDevice must be a bool";
}

TEST(Messages, EveryTruncationOfAValidMessageIsRefused) {
    DeviceDocmdParms d;
    d.cmd = docmd::kSendCommand;
    d.datasize = 1;
    d.dataIn = {0x3f, 0x40, 0x25};
    const xdr::Bytes bytes = xdr::encodeAll(d);
    for (std::size_t n = 0; n < bytes.size(); ++n)
        EXPECT_FALSE(xdr::decodeAll<DeviceDocmdParms>(xdr::ByteView(bytes).first(n)).has_value())
            << n;
    EXPECT_TRUE(xdr::decodeAll<DeviceDocmdParms>(bytes).has_value());
}
