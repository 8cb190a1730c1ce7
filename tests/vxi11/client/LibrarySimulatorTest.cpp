// The library against the gateway simulator on loopback, through the wrappers the window
// uses: every entry's success, its failures, and the discovery walk.

#include "gateway/Simulator.h"
#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "sicl/Sicl32Module.h"
#include "support/LoopbackSimulator.h"
#include "vxi11/codec/Vxi11Types.h"
#include "vxi11/transport/CoreLink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace liberr = library::liberr;

namespace {

class LibraryOnSimulator : public ::testing::Test {
protected:
    void SetUp() override { start(gateway::demoBench()); }

    void start(std::vector<gateway::InstrumentConfig> instruments,
               gateway::SimulatorLimits limits = {}) {
        gateway::SimulatorConfig config = testsupport::onFreePorts(std::move(instruments), limits);
        config.lanInstruments = {gateway::demoLanInstrument()};
        sim = std::make_unique<gateway::Simulator>(std::move(config));
        ASSERT_TRUE(testsupport::started(*sim));
        server = testsupport::serverOf(*sim);
    }

    std::string interfaceAddress() const { return "lan;vxi-11[" + server + "]:gpib"; }
    std::string namedAddress(const std::string& name) const {
        return "lan;vxi-11[" + server + "]:" + name;
    }
    std::string deviceAddress(int n) const {
        return "lan;vxi-11[" + server + "]:gpib, " + std::to_string(n);
    }

    /// The number of the SiclError that `f` raises, 0 if none.
    template <typename F>
    int raised(F&& f) {
        try {
            f();
        } catch (const sicl::SiclError& e) {
            lastDescription = e.description();
            return e.number();
        }
        return 0;
    }

    /// Writes a query with LF and END, then reads the answer into 100 spaces, as the window.
    std::string query(sicl::SessionId id, const std::string& text,
                      std::int32_t* reasonOut = nullptr) {
        std::int32_t actual = 0;
        wrappers.iwrite(id, text + "\n", static_cast<std::int32_t>(text.size() + 1), 1, actual);
        std::string buf(100, ' ');
        std::int32_t reason = 0;
        actual = 100;
        wrappers.iread(id, buf, 100, reason, actual);
        if (reasonOut) {
            *reasonOut = reason;
        }
        return buf.substr(0, static_cast<std::size_t>(actual));
    }

    std::unique_ptr<gateway::Simulator> sim;
    std::string server;
    lan::LanLibrary lib;
    sicl::Sicl32Module wrappers{lib};
    std::string lastDescription;
};

} // namespace

TEST_F(LibraryOnSimulator, IdnQueryReadsUntilEnd) {
    const auto dev = wrappers.iopen(deviceAddress(3));
    std::int32_t reason = 0;
    EXPECT_EQ(query(dev, "*IDN?", &reason),
              "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07\n");
    EXPECT_TRUE(reason & vxi11::reason::kEnd);
    wrappers.iclose(dev);
    EXPECT_EQ(sim->liveLinks(), 0u);
}

TEST_F(LibraryOnSimulator, ReadIsCutBySizeAndTheRestFollows) {
    const auto dev = wrappers.iopen(deviceAddress(9));
    std::int32_t reason = 0;
    const std::string first = query(dev, "*IDN?", &reason);
    ASSERT_EQ(first.size(), 100u);
    EXPECT_EQ(reason, vxi11::reason::kReqCnt);
    std::string buf(100, ' ');
    std::int32_t actual = 0;
    wrappers.iread(dev, buf, 100, reason, actual);
    EXPECT_TRUE(reason & vxi11::reason::kEnd);
    const std::string whole = first + buf.substr(0, static_cast<std::size_t>(actual));
    EXPECT_EQ(whole, "Quenby Measurement Systems Incorporated,QS-4054 Four Channel Digital Storage "
                     "Oscilloscope 500 MHz 5 GSa/s,QMS2024-0090417,FW 03.12.0045 build 2207\n");
    // A buffer smaller than the count claimed is filled and nothing beyond it.
    wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
    std::string small(10, '#');
    wrappers.iread(dev, small, 100, reason, actual);
    EXPECT_EQ(actual, 10);
    EXPECT_EQ(small, "Quenby Mea");
}

TEST_F(LibraryOnSimulator, TermCharEndsTheReadBeforeEnd) {
    const auto dev = wrappers.iopen(deviceAddress(22)); // answers end in CR LF
    wrappers.itermchr(dev, 13);
    std::int32_t reason = 0;
    EXPECT_EQ(query(dev, "MEAS:VOLT:DC?", &reason), "+1.234567E+00\r");
    EXPECT_EQ(reason & (vxi11::reason::kChr | vxi11::reason::kEnd), vxi11::reason::kChr);
    std::string buf(100, ' ');
    std::int32_t actual = 0;
    wrappers.iread(dev, buf, 100, reason, actual);
    EXPECT_EQ(buf.substr(0, static_cast<std::size_t>(actual)), "\n");
    EXPECT_TRUE(reason & vxi11::reason::kEnd);
}

TEST_F(LibraryOnSimulator, LongWritesAreSplitAtTheGatewaysLimit) {
    gateway::SimulatorLimits limits;
    limits.maxRecvSize = 1024; // the simulator refuses any piece larger than this
    start(gateway::demoBench(), limits);
    const auto dev = wrappers.iopen(deviceAddress(3));
    std::string text(3000, 'a');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    std::int32_t actual = 0;
    // No END: the bytes wait in the instrument's input queue, so all of them can be checked.
    wrappers.iwrite(dev, text, 3000, 0, actual);
    EXPECT_EQ(actual, 3000);
    const auto inst = sim->instrument(3);
    ASSERT_TRUE(inst.has_value());
    EXPECT_EQ(inst->inputQueue, text);
}

TEST_F(LibraryOnSimulator, DeviceNamesReachCreateLinkAsWrittenAndOpenTheirKindOfSession) {
    // A LAN instrument: a device session of its own, no bus operations.
    const auto inst = wrappers.iopen(namedAddress("inst0"));
    EXPECT_EQ(query(inst, "*IDN?"),
              "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n");
    std::int16_t value = 0;
    wrappers.ireadstb(inst, value);
    EXPECT_EQ(raised([&] { wrappers.igpibbusstatus(inst, 1, value); }),
              liberr::kNeedsInterfaceSession);
    // A device behind an interface of another name.
    const auto dmm = wrappers.iopen(namedAddress("hpib,22"));
    EXPECT_EQ(query(dmm, "*IDN?").rfind("Orvane Instruments", 0), 0u);
    // The interface by another name: bus operations go out as docmd, and the gateway's
    // refusal of one comes back as it is.
    const auto intf = wrappers.iopen(namedAddress("hpib"));
    wrappers.igpibbusstatus(intf, 8, value);
    EXPECT_EQ(value, 0);
    std::vector<std::string> requested;
    for (const auto& link : sim->links()) {
        requested.push_back(link.requested);
        if (link.requested == "hpib") {
            sim->failNextCall(link.lid, vxi11::err::kOperationNotSupported);
        }
    }
    EXPECT_EQ(raised([&] { wrappers.igpibrenctl(intf, 1); }), liberr::kNotSupported);
    EXPECT_EQ(lastDescription, "operation not supported");
    std::sort(requested.begin(), requested.end());
    EXPECT_EQ(requested, (std::vector<std::string>{"hpib", "hpib,22", "inst0"}));
    EXPECT_EQ(raised([&] { wrappers.iopen(namedAddress("inst1")); }), liberr::kDeviceNotAccessible);
}

TEST_F(LibraryOnSimulator, A64MiBBlockArrivesByteExactInOneReadAndGoesBackWhole) {
    constexpr std::size_t kPoints = std::size_t{64} << 20;
    const std::string header = "#8" + std::to_string(kPoints);
    const auto dev = wrappers.iopen(namedAddress("inst0"));
    wrappers.itimeout(dev, 60000);
    std::int32_t actual = 0;
    wrappers.iwrite(dev, ":WAV:POIN 67108864;:WAV:DATA?\n", 30, 1, actual);
    // One byte more than the block: nothing may land there.
    std::string buf(header.size() + kPoints + 2, '\x5A');
    std::int32_t reason = 0;
    wrappers.iread(dev, buf, static_cast<std::int32_t>(buf.size()), reason, actual);
    ASSERT_EQ(static_cast<std::size_t>(actual), buf.size() - 1);
    EXPECT_EQ(reason, vxi11::reason::kEnd);
    EXPECT_EQ(buf.substr(0, header.size()), header);
    EXPECT_EQ(buf.substr(buf.size() - 2), "\n\x5A");
    std::vector<std::uint8_t> expected(1 << 20);
    for (std::size_t at = 0; at < kPoints; at += expected.size()) {
        gateway::waveformBytes(at, expected);
        ASSERT_EQ(std::memcmp(buf.data() + header.size() + at, expected.data(), expected.size()), 0)
            << "first difference in the MiB at " << at;
    }
    // A block written goes in pieces of the gateway's size, newlines in its data included.
    const std::string data = ":DATA #74000000" + std::string(4000000, '\n') + "\n";
    wrappers.iwrite(dev, data, static_cast<std::int32_t>(data.size()), 1, actual);
    EXPECT_EQ(static_cast<std::size_t>(actual), data.size());
    EXPECT_EQ(sim->instrument("inst0")->acceptedBytes, 4000000u);
}

// The gateway answers at most 7 bytes a call, so the pieces of a block cross the header, the
// waveform made as it is sent and the closing LF at every offset.
TEST_F(LibraryOnSimulator, ABlockReadInSmallPiecesIsTheSameBlock) {
    gateway::SimulatorLimits limits;
    limits.maxReadChunk = 7;
    start(gateway::demoBench(), limits);
    std::vector<std::uint8_t> wave(300);
    gateway::waveformBytes(0, wave);
    const std::string expected = "#3300" + std::string(wave.begin(), wave.end()) + "\n";
    const auto dev = wrappers.iopen(namedAddress("inst0"));
    std::int32_t actual = 0;
    for (const bool termChar : {false, true}) {
        wrappers.iwrite(dev, ":WAV:POIN 300;:WAV:DATA?\n", 24, 1, actual);
        wrappers.itermchr(dev, termChar ? '\n' : -1);
        std::string got;
        std::int32_t reason = 0;
        while ((reason & vxi11::reason::kEnd) == 0) {
            std::string buf(13, ' ');
            wrappers.iread(dev, buf, 13, reason, actual);
            got += buf.substr(0, static_cast<std::size_t>(actual));
        }
        // With LF as the termination character a read ends at each LF inside the data too,
        // but the bytes are the same.
        EXPECT_EQ(got, expected) << "termination character " << termChar;
    }
}

TEST_F(LibraryOnSimulator, DeviceOperationsReachTheInstrument) {
    const auto dev = wrappers.iopen(deviceAddress(3));
    wrappers.itrigger(dev);
    wrappers.iclear(dev);
    std::int32_t actual = 0;
    wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
    std::int16_t stb = 0;
    wrappers.ireadstb(dev, stb);
    EXPECT_TRUE(stb & 0x10) << "message available after a query";
    const auto inst = sim->instrument(3);
    ASSERT_TRUE(inst.has_value());
    EXPECT_EQ(inst->triggerCount, 1u);
    EXPECT_EQ(inst->clearCount, 1u);
    // Interface-only entries on a device session fail clearly, and nothing reaches the bus.
    EXPECT_EQ(raised([&] { wrappers.igpibrenctl(dev, 1); }), liberr::kNeedsInterfaceSession);
    EXPECT_EQ(lastDescription, "needs an interface session");
    EXPECT_FALSE(sim->bus().ren);
}

TEST_F(LibraryOnSimulator, SecondaryAddressReachesItsInstrument) {
    const auto dev = wrappers.iopen(deviceAddress(502));
    EXPECT_EQ(query(dev, "*IDN?"), "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4\n");
}

TEST_F(LibraryOnSimulator, InterfaceOperationsDriveTheBusLines) {
    const auto intf = wrappers.iopen(interfaceAddress());
    std::int16_t value = -1;
    wrappers.igpibrenctl(intf, 1);
    wrappers.igpibbusstatus(intf, 1, value);
    EXPECT_EQ(value, 1);
    EXPECT_TRUE(sim->bus().ren);
    wrappers.igpibrenctl(intf, 0);
    wrappers.igpibbusstatus(intf, 1, value);
    EXPECT_EQ(value, 0);
    wrappers.igpibatnctl(intf, 1);
    EXPECT_TRUE(sim->bus().atn);
    wrappers.igpibatnctl(intf, 0);
    EXPECT_FALSE(sim->bus().atn);
    for (std::int16_t request : {2, 4, 5, 6, 7}) {
        EXPECT_EQ(raised([&] { wrappers.igpibbusstatus(intf, request, value); }), 0) << request;
    }
    wrappers.igpibbusstatus(intf, 8, value);
    EXPECT_EQ(value, 0);
    wrappers.iclear(intf);
    EXPECT_EQ(sim->bus().ifcCount, 1u);
    std::int16_t stb = 0;
    EXPECT_EQ(raised([&] { wrappers.ireadstb(intf, stb); }), liberr::kNeedsDeviceSession);
}

TEST_F(LibraryOnSimulator, DiscoveryWalkFindsExactlyThePrimaryListeners) {
    const auto intf = wrappers.iopen(interfaceAddress());
    std::int16_t ctlr = -1;
    wrappers.igpibbusstatus(intf, 8, ctlr);
    std::vector<int> found;
    for (int a = 0; a <= 30; ++a) {
        if (a == ctlr) {
            continue;
        }
        const std::string probe{'\x3F', static_cast<char>(0x40 + ctlr),
                                static_cast<char>(0x20 + a)};
        wrappers.igpibsendcmd(intf, probe, 3);
        wrappers.igpibatnctl(intf, 0);
        std::int16_t ndac = 0;
        wrappers.igpibbusstatus(intf, 3, ndac);
        if (ndac != 0) {
            found.push_back(a);
        }
        wrappers.igpibsendcmd(intf, "?", 1);
    }
    // The switch unit at 5 answers only with its secondary address, so a primary walk
    // does not see it.
    EXPECT_EQ(found, (std::vector<int>{3, 9, 22}));
    EXPECT_TRUE(sim->bus().atn) << "the last UNL leaves ATN asserted";
}

TEST_F(LibraryOnSimulator, LockHeldByAnotherLinkIsWaitedForThenRefused) {
    const auto a = wrappers.iopen(deviceAddress(3));
    const auto b = wrappers.iopen(deviceAddress(3));
    wrappers.ilock(a);
    EXPECT_EQ(raised([&] { wrappers.ilock(a); }), 0) << "the gateway says 11, but a holds it";
    wrappers.itimeout(b, 400);
    std::int32_t actual = 0;
    for (const auto& op : std::vector<std::function<void()>>{
             [&] { wrappers.iwrite(b, "*CLS\n", 5, 1, actual); }, [&] { wrappers.ilock(b); },
             [&] { wrappers.itrigger(b); }}) {
        const auto start = Clock::now();
        EXPECT_EQ(raised(op), 11);
        EXPECT_EQ(lastDescription, "device locked by another link");
        const auto took = Clock::now() - start;
        EXPECT_GE(took, 150ms) << "waited for the lock (half the time-out when I/O follows)";
        EXPECT_LT(took, 400ms + 200ms + 300ms);
    }
    EXPECT_EQ(raised([&] { wrappers.iunlock(b); }), 12);
    wrappers.iunlock(a); // once is enough
    EXPECT_EQ(raised([&] { wrappers.iwrite(b, "*CLS\n", 5, 1, actual); }), 0);
    // Closing the holder releases its lock for the others.
    wrappers.ilock(b);
    wrappers.iclose(b);
    EXPECT_EQ(raised([&] { wrappers.ilock(a); }), 0);
}

TEST_F(LibraryOnSimulator, SilentInstrumentTimesOutWithinTheSessionTimeOut) {
    gateway::InstrumentFaults silent;
    silent.silent = true;
    ASSERT_TRUE(sim->setInstrumentFaults(3, std::nullopt, silent));
    const auto dev = wrappers.iopen(deviceAddress(3));
    wrappers.itimeout(dev, 500);
    std::int32_t actual = 0;
    wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
    std::string buf(100, ' ');
    std::int32_t reason = 0;
    const auto start = Clock::now();
    EXPECT_EQ(raised([&] { wrappers.iread(dev, buf, 100, reason, actual); }), 15);
    const auto took = Clock::now() - start;
    EXPECT_EQ(lastDescription, "I/O timeout");
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 500ms + 500ms + 500ms);
    EXPECT_EQ(buf, std::string(100, ' '));
}

TEST_F(LibraryOnSimulator, AbsentInstrumentAndUnknownInterfaceAreReported) {
    const auto nobody = wrappers.iopen(deviceAddress(17)); // links, as real gateways allow
    std::int32_t actual = 0;
    EXPECT_EQ(raised([&] { wrappers.iwrite(nobody, "*IDN?\n", 6, 1, actual); }), 17);
    EXPECT_EQ(lastDescription, "I/O error");
    EXPECT_EQ(raised([&] { wrappers.iopen("lan;vxi-11[" + server + "]:gpib7"); }), 3);
    EXPECT_EQ(lastDescription, "device not accessible");
    EXPECT_EQ(raised([&] { wrappers.iopen(deviceAddress(31)); }), liberr::kAddressOutOfRange);
}

TEST_F(LibraryOnSimulator, DroppedConnectionIsReportedOnceFoundAndTheSessionStillCloses) {
    const auto dev = wrappers.iopen(deviceAddress(3));
    const auto other = wrappers.iopen(deviceAddress(22));
    const auto links = sim->links();
    ASSERT_EQ(links.size(), 2u);
    sim->dropNextCall(links.front().device == "gpib0,3" ? links.front().lid : links.back().lid);
    std::int32_t actual = 0;
    EXPECT_EQ(raised([&] { wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual); }),
              liberr::kConnectionLost);
    EXPECT_EQ(lastDescription.rfind("connection to gateway lost", 0), 0u) << lastDescription;
    EXPECT_EQ(raised([&] { wrappers.itrigger(dev); }), liberr::kConnectionLost);
    EXPECT_EQ(raised([&] { wrappers.iclose(dev); }), 0);
    // The other session has its own connection and goes on.
    EXPECT_EQ(query(other, "*IDN?").rfind("Orvane Instruments", 0), 0u);
}

TEST_F(LibraryOnSimulator, GatewayErrorsKeepTheirNumbers) {
    const auto dev = wrappers.iopen(deviceAddress(3));
    const auto links = sim->links();
    ASSERT_EQ(links.size(), 1u);
    sim->failNextCall(links.front().lid, 23);
    EXPECT_EQ(raised([&] { wrappers.itrigger(dev); }), 23);
    EXPECT_EQ(lastDescription, "operation aborted");
    EXPECT_EQ(raised([&] { wrappers.itrigger(dev); }), 0);
}

TEST_F(LibraryOnSimulator, AbortChannelEndsAReadThatWouldWaitForever) {
    gateway::InstrumentFaults silent;
    silent.silent = true;
    ASSERT_TRUE(sim->setInstrumentFaults(3, std::nullopt, silent));
    const auto dev = wrappers.iopen(deviceAddress(3));
    wrappers.itimeout(dev, 0);
    std::int32_t actual = 0;
    wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
    const auto lid = sim->links().at(0).lid;
    auto reading = std::async(std::launch::async, [&] {
        std::string buf(100, ' ');
        std::int32_t reason = 0;
        std::int32_t got = 0;
        return lib.vb_iread(1, dev, buf, 100, reason, got);
    });
    // An abort only ends a call in progress, so repeat it until the read has ended.
    int tries = 0;
    while (reading.wait_for(50ms) != std::future_status::ready && tries++ < 100) {
        vxi11::abortLink(net::IpAddress::fromIpv4(htonl(INADDR_LOOPBACK)), sim->abortPort(), lid,
                         net::Deadline::after(1s));
    }
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reading.get(), 23);
}
