// The HiSLIP server's sessions and framing, spoken raw: the opening of both channels and what
// breaks it, the sub-addresses, malformed and refused messages, the maximum message size, the
// MessageIDs of responses, and the end of a session.

#include "HislipClient.h"

#include <cstring>

using namespace testhislip;
using hislip::Header;

namespace {

const std::string kInst0Idn =
    "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n";
const std::string kDmmIdn = "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n";

} // namespace

TEST_F(HislipFixture, OpensBothChannelsWithVersionModeVendorAndDistinctSessionIds) {
    RawSession a = session();
    RawSession b = session();
    const auto initA = a.initialize();
    const auto initB = b.initialize();
    ASSERT_TRUE(initA && initB);
    for (const auto& init : {*initA, *initB}) {
        EXPECT_EQ(init.header.type, MessageType::InitializeResponse);
        EXPECT_EQ(hislip::high16(init.header.parameter), hislip::kProtocolVersion);
        EXPECT_EQ(init.header.control, 0) << "synchronized unless configured otherwise";
        EXPECT_TRUE(init.payload.empty());
    }
    EXPECT_NE(a.sessionId, 0);
    EXPECT_NE(b.sessionId, 0);
    EXPECT_NE(a.sessionId, b.sessionId);

    const auto asyncInit = a.initializeAsync();
    ASSERT_TRUE(asyncInit);
    EXPECT_EQ(asyncInit->header.type, MessageType::AsyncInitializeResponse);
    EXPECT_EQ(hislip::low16(asyncInit->header.parameter), hislip::vendorId('S', 'Q'));

    // A session has one async channel, and an ID no session has binds nothing.
    for (const std::uint16_t id :
         {a.sessionId, static_cast<std::uint16_t>(a.sessionId ^ b.sessionId ^ 0x7000)}) {
        RawSession other = session();
        const auto refused = other.initializeAsync(id);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->header.type, MessageType::FatalError);
        EXPECT_EQ(refused->header.control, hislip::fatalCode::kBadInitialization);
        EXPECT_TRUE(other.async.waitClosed());
    }
    EXPECT_EQ(a.query("*IDN?\n"), kInst0Idn) << "the first session is unharmed";

    start({.overlapped = true});
    RawSession c = session();
    const auto initC = c.initialize();
    ASSERT_TRUE(initC);
    EXPECT_EQ(initC->header.control, hislip::control::kOverlapped);
}

TEST_F(HislipFixture, RefusesAFirstMessageThatIsNotAnInitializeAndDataBeforeTheAsyncChannel) {
    RawSession first = session();
    first.sync = first.connect();
    first.sync.send(hislip::data(true, 0, hislip::kFirstMessageId, bytesOf("*IDN?\n")));
    expectFatal(first.sync, hislip::fatalCode::kBadInitialization);

    RawSession early = session();
    ASSERT_TRUE(early.initialize());
    early.send("*IDN?\n");
    expectFatal(early.sync, hislip::fatalCode::kChannelsNotEstablished);

    RawSession twice = opened();
    twice.sync.send(hislip::initialize(hislip::kProtocolVersion, 0, "hislip0"));
    expectFatal(twice.sync, hislip::fatalCode::kBadInitialization);
    EXPECT_TRUE(eventually([&] { return sim->hislipSessions() == 0; }));
}

TEST_F(HislipFixture, SubAddressesNameTheLanInstrumentsAndTheBusDevicesWithoutRegardToCase) {
    const std::pair<const char*, std::string> named[] = {
        {"", kInst0Idn},
        {"hislip0", kInst0Idn},
        {"HiSLIP0", kInst0Idn},
        {"INST0", kInst0Idn},
        {"scope_2", "Acme,S2,1,1\n"},
        {"hislip22", kDmmIdn},
        {"gpib0,22", kDmmIdn},
        {"Hpib,22", kDmmIdn},
        {"hislip502", "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n"},
        {"GPIB0,5,2", "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n"},
    };
    for (const auto& [subAddress, idn] : named) {
        RawSession s = opened(subAddress);
        EXPECT_EQ(s.query("*IDN?\n"), idn) << subAddress;
    }
    for (const char* unknown : {"hislip7", "hislip31", "hislip3101", "hislip5", "gpib0", "inst1",
                                "gpib0,22,31", "hislip22,4880"}) {
        RawSession s = session();
        s.sync = s.connect();
        s.sync.send(hislip::initialize(hislip::kProtocolVersion, 0, unknown));
        SCOPED_TRACE(unknown);
        expectFatal(s.sync, 128); // device-defined: unknown sub-address
    }
}

TEST_F(HislipFixture, ABadPrologueOrAnEndlessLengthIsFatalOnBothChannels) {
    const hislip::Bytes garbage = {'X', 'S', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    hislip::Bytes endless = hislip::encodeMessage(Header{MessageType::DataEnd, 0, 0, 0});
    endless[8] = 0x80; // a payload of 2^63 bytes
    for (const auto& [bytes, onSync] : {std::pair{garbage, false}, std::pair{endless, true}}) {
        RawSession s = opened();
        (onSync ? s.sync : s.async).send(bytes);
        expectFatal(s.sync, hislip::fatalCode::kBadHeader);
        expectFatal(s.async, hislip::fatalCode::kBadHeader);
    }
    EXPECT_TRUE(eventually([&] { return sim->hislipSessions() == 0; }));
}

TEST_F(HislipFixture, RefusedMessagesGetAnErrorOnTheirChannelAndTheSessionGoesOn) {
    start({.maxMessage = 4096});
    RawSession s = opened();
    const hislip::Bytes reserved =
        hislip::encodeMessage(Header{static_cast<MessageType>(42), 0, 0, 0}, bytesOf("xyz"));
    const hislip::Bytes vendor =
        hislip::encodeMessage(Header{static_cast<MessageType>(200), 7, 9, 0}, bytesOf("abcd"));
    s.sync.send(reserved);
    expectError(s.sync, hislip::errorCode::kUnknownType);
    s.async.send(vendor);
    expectError(s.async, hislip::errorCode::kUnknownVendorMessage);
    s.async.send(hislip::asyncRemoteLocalControl(7, hislip::kNoMessageId));
    expectError(s.async, hislip::errorCode::kUnknownControlCode);
    s.async.send(hislip::encodeMessage(Header{MessageType::AsyncLock, 2, 0, 0}));
    expectError(s.async, hislip::errorCode::kUnknownControlCode);
    s.async.send(hislip::trigger(false, 0)); // a sync message on the async channel
    expectError(s.async, hislip::errorCode::kUnknownType);

    // A payload over the announced maximum is skipped whole, however it is split.
    const std::string tooLong(4097, 'A');
    s.send(tooLong);
    expectError(s.sync, hislip::errorCode::kTooLarge);
    EXPECT_EQ(s.query("*IDN?\n"), kInst0Idn);
    EXPECT_EQ(s.query("SYST:ERR?\n"), "0,\"No error\"\n") << "nothing of it reached the instrument";
}

TEST_F(HislipFixture, ResponsesComeInMessagesNoLongerThanTheClientsMaximum) {
    RawSession s = session();
    ASSERT_TRUE(s.initialize());
    ASSERT_TRUE(s.initializeAsync());
    const auto size = s.request(hislip::asyncMaximumMessageSize(64 * 1024));
    ASSERT_TRUE(size);
    EXPECT_EQ(size->header.type, MessageType::AsyncMaximumMessageSizeResponse);
    EXPECT_EQ(hislip::decodeMaximumMessageSize(size->payload), std::uint64_t{1} << 20);

    constexpr std::size_t kPoints = 3 << 20;
    s.send(":WAV:POIN " + std::to_string(kPoints) + "\n");
    std::vector<Header> headers;
    s.send(":WAV:DATA?\n");
    const auto block = s.response(&headers);
    ASSERT_TRUE(block);
    ASSERT_EQ(block->size(), 2 + 7 + kPoints + 1);
    EXPECT_EQ(block->substr(0, 9), "#7" + std::to_string(kPoints));
    std::vector<std::uint8_t> expected(kPoints);
    gateway::waveformBytes(0, expected);
    EXPECT_EQ(std::memcmp(block->data() + 9, expected.data(), kPoints), 0);
    EXPECT_GE(headers.size(), kPoints / (64 * 1024));
    for (const Header& h : headers) {
        EXPECT_LE(h.length + hislip::kHeaderSize, 64u * 1024);
    }
}

TEST_F(HislipFixture, ResponsesCarryTheQueryMessageIdSynchronizedAndTheServerCountOverlapped) {
    RawSession s = opened("hislip0", 32);
    s.send("*IDN", false);
    const std::uint32_t id = s.send("?\n");
    std::vector<Header> headers;
    EXPECT_EQ(s.response(&headers), kInst0Idn);
    ASSERT_GT(headers.size(), 1u);
    for (const Header& h : headers) {
        EXPECT_EQ(h.parameter, id);
    }

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(s.clear(true), true);
        headers.clear();
        s.send("*IDN?\n");
        s.send("*IDN?\n");
        EXPECT_EQ(s.response(&headers), kInst0Idn);
        EXPECT_EQ(s.response(&headers), kInst0Idn);
        std::uint32_t expected = hislip::kFirstMessageId;
        for (const Header& h : headers) {
            EXPECT_EQ(h.parameter, expected) << "round " << round;
            expected += hislip::kMessageIdStep;
        }
    }
}

TEST_F(HislipFixture, ClosingEitherChannelClosesTheOtherAndAProbeThatClosesAtOnceIsNoError) {
    RawSession bySync = opened();
    bySync.sync.close();
    EXPECT_TRUE(bySync.async.waitClosed());
    RawSession byAsync = opened();
    byAsync.async.close();
    EXPECT_TRUE(byAsync.sync.waitClosed());

    RawSession probe = session();
    ASSERT_TRUE(probe.initialize());
    probe.sync.close();
    EXPECT_TRUE(eventually([&] { return sim->hislipSessions() == 0; }));
    for (const std::string& line : logLines()) {
        EXPECT_EQ(line.find("rror"), std::string::npos) << line;
    }
    EXPECT_EQ(opened().query("*IDN?\n"), kInst0Idn);
}

TEST_F(HislipFixture, ASessionWithoutItsAsyncChannelIsDroppedAfterThePairingTime) {
    start({.pairingTimeout = 200ms});
    RawSession lonely = session();
    ASSERT_TRUE(lonely.initialize());
    EXPECT_TRUE(lonely.sync.waitClosed(5s));
    PeerChannel silent = lonely.connect();
    EXPECT_TRUE(silent.waitClosed(5s)) << "a connection that never says which channel it is";
    RawSession s = opened();
    std::this_thread::sleep_for(400ms); // longer than the pairing time: a session stays
    EXPECT_EQ(s.query("*IDN?\n"), kInst0Idn);
}
