// The library against gateways that fail while it waits for them: the gateway process killed
// or stopped during a call, a gateway silent at open, and every fault of the shared table
// (silence, a reset, garbage, huge record claims, wrong xids, a reply that stops half way).
// Each must end in a library error within the session's time-out plus the transport margin,
// and the same library must then serve a new session normally.

#include "gateway/Simulator.h"
#include "hardening/GatewayFaults.h"
#include "hardening/GatewayProcess.h"
#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "support/LoopbackSimulator.h"
#include "support/ReadCallWatch.h"
#include "vxi11/client/FakeGateway.h"
#include "vxi11/codec/Messages.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <csignal>
#include <cstdio>
#include <sys/wait.h>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::Bytes;
using testsupport::FakeGateway;
using testsupport::Peer;
using testsupport::ReadCallWatch;
using Call = vxi11::rpc::ParsedCall;
namespace liberr = library::liberr;

namespace {

constexpr auto kTimeOut = 400ms;
constexpr auto kMargin = 300ms;
// Room for an abort attempt after a time-out and for a slow sanitizer build.
constexpr auto kSlack = 1000ms;

lan::LanLibrary::Options loopbackOptions() {
    lan::LanLibrary::Options o;
    o.transportMargin = kMargin;
    o.resolver = [](const std::string&) { return std::vector<net::IpAddress>{}; };
    return o;
}

struct ReadResult {
    int rc = 0;
    std::string text;
    Clock::duration took{};
};

ReadResult readSome(lan::LanLibrary& lib, sicl::SessionId id) {
    ReadResult r;
    std::string buf(100, ' ');
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    const auto start = Clock::now();
    r.rc = lib.vb_iread(1, id, buf, 100, reason, actual);
    r.took = Clock::now() - start;
    EXPECT_EQ(buf.size(), 100u) << "the caller's buffer changed size";
    r.text = buf.substr(0, static_cast<std::size_t>(std::max(actual, 0)));
    return r;
}

/// Opens `address`, asks *IDN? and returns the answer (empty on any failure).
std::string askIdentity(lan::LanLibrary& lib, const std::string& address) {
    const auto id = lib.vb_iopen(address);
    if (id <= 0)
        return {};
    std::int32_t actual = 0;
    std::string answer;
    if (lib.vb_iwrite(1, id, "*IDN?\n", 6, 1, actual) == 0) {
        const ReadResult r = readSome(lib, id);
        if (r.rc == 0)
            answer = r.text;
    }
    lib.vb_iclose(id);
    return answer;
}

} // namespace

TEST(LibraryHardening, GatewayKilledDuringAReadEndsItAtOnceAndANewGatewayServesAgain) {
    const std::vector<std::string> args{"--instrument", "22=Hardening,Meter,1,1.0"};
    hardening::GatewayProcess gw(args);
    ASSERT_TRUE(gw.ready());
    ReadCallWatch watch;
    auto options = loopbackOptions();
    options.socketOps = &watch;
    lan::LanLibrary lib(options);
    const auto id = lib.vb_iopen(gw.deviceAddress(22));
    ASSERT_GT(id, 0) << lib.vb_igeterrno();
    // Nothing was asked, so the instrument has nothing to say: the gateway holds the read
    // until its I/O time-out, and dies before that.
    ASSERT_EQ(lib.vb_itimeout(id, 5000), 0);
    std::thread killer([&] {
        if (watch.waitForReadCall(10s))
            gw.kill();
    });
    const ReadResult r = readSome(lib, id);
    killer.join();
    EXPECT_EQ(r.rc, liberr::kConnectionLost);
    EXPECT_LT(r.took, 4000ms) << "the read waited for its time-out instead of seeing the loss";
    const auto closeStart = Clock::now();
    lib.vb_iclose(id);
    EXPECT_LT(Clock::now() - closeStart, 5000ms + kMargin + kSlack);

    hardening::GatewayProcess again(args);
    ASSERT_TRUE(again.ready());
    EXPECT_EQ(askIdentity(lib, again.deviceAddress(22)), "Hardening,Meter,1,1.0\n");
}

TEST(LibraryHardening, StoppedGatewayHoldsACallBarelyPastItsTimeOutAndACloseNoLonger) {
    hardening::GatewayProcess gw;
    auto options = loopbackOptions();
    options.transportMargin = lan::LanLibrary::Options{}.transportMargin;
    lan::LanLibrary lib(options);
    const auto intf =
        lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(gw.portmapperPort()) + "]:gpib");
    const auto dev = lib.vb_iopen(gw.deviceAddress(22));
    ASSERT_EQ(lib.vb_itimeout(intf, 1000) + lib.vb_itimeout(dev, 1000), 0);
    ASSERT_EQ(::kill(gw.pid(), SIGSTOP), 0);
    ASSERT_EQ(::waitpid(gw.pid(), nullptr, WUNTRACED), gw.pid());
    auto msTaken = [](auto&& f) {
        const auto start = Clock::now();
        f();
        return static_cast<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    };
    // Past its 1 s time-out a call waits 0.2 s at most (5 % of longer ones), device_abort
    // included. The close after it may use only what is left of that call's budget; another
    // session's destroy_link gets about 1 s, even without time-out.
    std::int16_t value = 0;
    const auto call =
        msTaken([&] { EXPECT_EQ(lib.vb_igpibbusstatus(intf, 1, value), liberr::kGatewayTimeout); });
    EXPECT_GE(call, 1000);
    EXPECT_LT(call, 1000 + 200 + 250);
    const auto closeAfter = msTaken([&] { EXPECT_EQ(lib.vb_iclose(intf), 0); });
    EXPECT_LT(closeAfter, 100);
    ASSERT_EQ(lib.vb_itimeout(dev, 0), 0);
    const auto close = msTaken([&] { EXPECT_EQ(lib.vb_iclose(dev), 0); });
    EXPECT_GE(close, 900);
    EXPECT_LT(close, 1000 + 400);
    std::printf("figure: stopped gateway: bus status with 1 s time-out %lld ms, its close %lld ms, "
                "another session's close %lld ms\n",
                call, closeAfter, close);
    ::kill(gw.pid(), SIGCONT);
}

TEST(LibraryHardening, SilentGatewayBoundsOpenByTheDefaultTimeOut) {
    testsupport::ScriptServer silent([](Peer& p) { p.waitClosed(); });
    auto options = loopbackOptions();
    options.defaultTimeout = 300ms;
    options.transportMargin = 200ms;
    lan::LanLibrary lib(options);
    const auto start = Clock::now();
    EXPECT_EQ(lib.vb_iopen("lan;vxi-11[127.0.0.1:" + std::to_string(silent.port()) + "]:gpib"), 0);
    EXPECT_EQ(lib.vb_igeterrno(), liberr::kGatewayTimeout);
    EXPECT_LT(Clock::now() - start, 300ms + 200ms + 500ms);
}

namespace {

/// A gateway that answers link calls and triggers, and hands device_read to `onRead`.
FakeGateway::Handler faultyGateway(const testsupport::ReadScript& onRead) {
    return [&onRead](FakeGateway& g, Peer& p, const Call& c) {
        if (g.answerLinkCalls(p, c))
            return true;
        if (c.header.proc == vxi11::proc::kDeviceRead)
            return onRead(p, c);
        if (c.header.proc == vxi11::proc::kDeviceTrigger) {
            FakeGateway::reply<vxi11::DeviceTrigger>(p, c, vxi11::DeviceError{0});
            return true;
        }
        p.waitClosed();
        return false;
    };
}

std::string lastText(lan::LanLibrary& lib) {
    char buf[sicl::kErrorTextBufferSize];
    lib.vb_igeterrstr(lib.vb_igeterrno(), buf);
    return buf;
}

} // namespace

TEST(LibraryHardening, EveryGatewayFaultEndsInAnErrorInTimeAndANewSessionWorks) {
    gateway::Simulator healthy(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(testsupport::started(healthy));
    const std::string healthyDmm = "lan;vxi-11[" + testsupport::serverOf(healthy) + "]:gpib,22";
    const auto bound = kTimeOut + kMargin + kSlack;

    lan::LanLibrary lib(loopbackOptions()); // one library through every fault
    for (const testsupport::GatewayFault& row : testsupport::gatewayFaults()) {
        SCOPED_TRACE(row.name);
        FakeGateway gw(faultyGateway(row.onRead));
        const auto id = lib.vb_iopen(gw.address("gpib,7"));
        ASSERT_GT(id, 0);
        ASSERT_EQ(lib.vb_itimeout(id, static_cast<std::int32_t>(kTimeOut.count())), 0);
        const ReadResult r = readSome(lib, id);
        EXPECT_EQ(r.rc, row.readError);
        const std::string text = lastText(lib);
        if (row.readError == liberr::kGatewayTimeout) {
            // Not before the time-out, and nothing to add to it.
            EXPECT_GE(r.took, kTimeOut);
            EXPECT_EQ(text, library::errorText(row.readError));
        } else {
            EXPECT_EQ(text.rfind(library::errorText(row.readError), 0), 0u) << text;
        }
        EXPECT_LT(r.took, bound);
        // The session's next call shows whether the connection is still in step.
        if (row.nextCall) {
            EXPECT_EQ(lib.vb_itrigger(id), *row.nextCall);
        }
        const auto closeStart = Clock::now();
        EXPECT_EQ(lib.vb_iclose(id), 0);
        const auto closeTook = Clock::now() - closeStart;
        EXPECT_LT(closeTook, bound);
        if (!row.nextCall && (r.rc == liberr::kGatewayTimeout || r.rc == liberr::kIoTimeout)) {
            // Right after a time-out the close has none of the budget left to wait with.
            EXPECT_LT(closeTook, 150ms);
        }
        EXPECT_EQ(askIdentity(lib, healthyDmm),
                  "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1\r\n");
    }
    EXPECT_EQ(lib.openSessions(), 0u);
}
