// The window when the gateway fails under it: the connection dropped or the gateway stopped or
// killed while a read waits, a gateway that accepts and never answers, one that answers with
// garbage, a reply that stops half way. Each time the window shows the operation's labelled
// error within the session's time-out plus margin, its event loop runs again, the next click
// works, a new Create Link works, and the server, instrument and command boxes keep their text.

#include "app/hardening/WindowHardening.h"

#include "gateway/Simulator.h"
#include "hardening/GatewayFaults.h"
#include "hardening/GatewayProcess.h"
#include "support/LoopbackSimulator.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <thread>

namespace {

using namespace winhard;
using testsupport::Bytes;
using testsupport::FakeGateway;
using testsupport::Peer;
namespace liberr = library::liberr;

constexpr int kPad = 9;
const std::string kIdentity = "Hardening,Meter 9,0001,1.0";

std::unique_ptr<gateway::Simulator> startSimulator(bool silent = false) {
    gateway::InstrumentConfig meter = testsupport::instrumentAt(kPad, kIdentity);
    meter.faults.silent = silent;
    auto sim = std::make_unique<gateway::Simulator>(testsupport::onFreePorts({meter}));
    EXPECT_TRUE(testsupport::started(*sim));
    return sim;
}

QString serverText(std::uint16_t port) {
    return QStringLiteral("127.0.0.1:%1").arg(port);
}

/// True once the window's event loop has run a posted timer: no handler is still blocking.
bool eventLoopRuns() {
    bool fired = false;
    QTimer::singleShot(0, [&fired] { fired = true; });
    return QTest::qWaitFor([&fired] { return fired; }, 2000);
}

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

class WindowFaults : public WindowHardening {
protected:
    /// The texts the user typed are still there, exactly.
    void expectTypedTextKept(const QString& server, const QString& instrument,
                             const QString& command) {
        EXPECT_EQ(ui().combSrvrs->currentText(), server);
        EXPECT_EQ(ui().combInst->currentText(), instrument);
        EXPECT_EQ(ui().combCmd->currentText(), command);
    }

    /// After a fault: Create Link, Select Inst and Link and an identity query against a
    /// healthy simulator all work in the same window.
    void expectFreshLinkWorks() {
        auto healthy = startSimulator();
        ASSERT_NO_FATAL_FAILURE(linkServer(serverText(healthy->portmapperPort())));
        ASSERT_NO_FATAL_FAILURE(linkInstrument(QString::number(kPad)));
        ui().combCmd->setEditText(QStringLiteral("*IDN?"));
        ui().cmdSend->click();
        EXPECT_EQ(results(), kIdentity);
        EXPECT_EQ(error(), "");
    }
};

// ---- Faults of a raw gateway while the window's query waits for its answer: the rows of the
// library's fault table that the window shows.

TEST_F(WindowFaults, EveryFaultDuringAQueryShowsTheReadErrorInTimeAndKeepsTheWindowUsable) {
    const QString command = QStringLiteral("*IDN?");
    for (const testsupport::GatewayFault& row : testsupport::windowFaults()) {
        SCOPED_TRACE(row.name);
        FakeGateway gw(windowGateway(row.onRead));
        const QString server = serverText(gw.port());
        ASSERT_NO_FATAL_FAILURE(linkServer(server));
        ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
        ui().combCmd->setEditText(command);
        beeps.count = 0;

        const auto took = timedClick(ui().cmdSend); // writes, then reads (Auto Query)
        std::printf("figure: window query, gateway %s: %.0f ms\n", row.name, ms(took));

        EXPECT_TRUE(isReport(error(), "Read error", row.readError));
        EXPECT_LT(took, kSessionTimeOut + kMargin + kSlack);
        EXPECT_EQ(beeps.count, 1);
        EXPECT_EQ(results(), "Device Read: Waiting for device response");
        expectTypedTextKept(server, QStringLiteral("9"), command);
        EXPECT_TRUE(eventLoopRuns());

        // The interface session has its own connection: the next click is served.
        ui().cmdStatus->click();
        EXPECT_EQ(error(), "");
        EXPECT_EQ(results().rfind("REN =", 0), 0u) << results();

        // And a new Create Link on the same gateway works.
        ui().cmdLink->click();
        EXPECT_NE(st().hIntf, 0) << error();
        EXPECT_EQ(ui().combSrvrs->currentText(), server);
    }
    expectFreshLinkWorks();
}

// ---- The simulator drops the connection, is stopped, or its process is killed mid-read.

TEST_F(WindowFaults, ConnectionDroppedDuringAReadShowsConnectionLostAndANewLinkWorks) {
    auto sim = startSimulator();
    const QString server = serverText(sim->portmapperPort());
    ASSERT_NO_FATAL_FAILURE(linkServer(server));
    ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
    ui().ckAutoQuery->setChecked(false);
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    ASSERT_EQ(results(), "Send String => *IDN?\n");

    std::optional<std::int32_t> lid;
    for (const auto& link : sim->links()) {
        if (link.device == "gpib0,9") {
            lid = link.lid;
        }
    }
    ASSERT_TRUE(lid);
    sim->dropNextCall(lid);
    beeps.count = 0;
    const auto took = timedClick(ui().cmdRead);
    std::printf("figure: window read, connection dropped: %.0f ms\n", ms(took));

    EXPECT_TRUE(isReport(error(), "Read error", liberr::kConnectionLost));
    EXPECT_LT(took, kSessionTimeOut + kMargin + kSlack);
    EXPECT_EQ(beeps.count, 1);
    expectTypedTextKept(server, QStringLiteral("9"), QStringLiteral("*IDN?"));
    EXPECT_TRUE(eventLoopRuns());

    // A second read on the dead session fails the same way, at once.
    EXPECT_LT(timedClick(ui().cmdRead), kSessionTimeOut);
    EXPECT_TRUE(isReport(error(), "Read error", liberr::kConnectionLost));

    // The same gateway serves a new link in the same window.
    ASSERT_NO_FATAL_FAILURE(linkServer(server));
    ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
    ui().ckAutoQuery->setChecked(true);
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    EXPECT_EQ(results(), kIdentity);
}

TEST_F(WindowFaults, SimulatorStoppedDuringAReadEndsTheReadWithALabelledErrorAtOnce) {
    auto sim = startSimulator();
    const QString server = serverText(sim->portmapperPort());
    ASSERT_NO_FATAL_FAILURE(linkServer(server));
    ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
    // Nothing was asked, so the gateway holds the read until its I/O time-out; the session
    // gets 10 s, so an early end is the stop's doing.
    ui().optTimeout[2]->click();
    ui().combCmd->setEditText(QStringLiteral("MEAS?"));
    watch.arm();
    std::thread stopper([&] {
        if (watch.waitForReadCall(10s)) {
            sim->stop();
        }
    });
    const auto took = timedClick(ui().cmdRead);
    stopper.join();
    std::printf("figure: window read, simulator stopped: %.0f ms\n", ms(took));

    const std::string shown = error();
    EXPECT_EQ(shown.rfind("Read error\r\n", 0), 0u) << shown;
    EXPECT_GT(shown.size(), std::string("Read error\r\n - Retry").size()) << "no description";
    EXPECT_EQ(shown.substr(shown.size() - 8), " - Retry");
    EXPECT_LT(took, 5000ms) << "the read waited for its time-out instead of seeing the stop";
    expectTypedTextKept(server, QStringLiteral("9"), QStringLiteral("MEAS?"));
    EXPECT_TRUE(eventLoopRuns());

    // With the gateway gone, Create Link fails in time and keeps the server text.
    const auto refused = timedClick(ui().cmdLink);
    EXPECT_TRUE(isReport(error(), "Create interface link error", liberr::kConnectionRefused));
    EXPECT_LT(refused, kOpenTimeOut + kMargin + kSlack);
    EXPECT_EQ(ui().combSrvrs->currentText(), server);
    expectFreshLinkWorks();
}

TEST_F(WindowFaults, GatewayProcessKilledDuringAReadShowsConnectionLostAtOnce) {
    hardening::GatewayProcess gw({"--instrument", "9=" + kIdentity});
    ASSERT_TRUE(gw.ready());
    const QString server = serverText(gw.portmapperPort());
    ASSERT_NO_FATAL_FAILURE(linkServer(server));
    ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
    ui().optTimeout[2]->click(); // 10 s: an early end is the kill's doing
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    watch.arm();
    std::thread killer([&] {
        if (watch.waitForReadCall(10s)) {
            gw.kill();
        }
    });
    const auto took = timedClick(ui().cmdRead);
    killer.join();
    std::printf("figure: window read, gateway process killed: %.0f ms\n", ms(took));

    EXPECT_TRUE(isReport(error(), "Read error", liberr::kConnectionLost));
    EXPECT_LT(took, 5000ms);
    expectTypedTextKept(server, QStringLiteral("9"), QStringLiteral("*IDN?"));
    EXPECT_TRUE(eventLoopRuns());
    expectFreshLinkWorks();
}

// ---- Gateways that fail Create Link itself.

TEST_F(WindowFaults, GatewayThatAcceptsAndNeverAnswersFailsCreateLinkInTime) {
    testsupport::ScriptServer mute([](Peer& p) { p.waitClosed(); });
    const QString server = serverText(mute.port());
    ui().combSrvrs->setEditText(server);
    const auto took = timedClick(ui().cmdLink);
    std::printf("figure: Create Link, mute gateway: %.0f ms (open time-out %lld ms)\n", ms(took),
                static_cast<long long>(kOpenTimeOut.count()));

    EXPECT_TRUE(isReport(error(), "Create interface link error", liberr::kGatewayTimeout));
    EXPECT_LT(took, kOpenTimeOut + kMargin + kSlack);
    EXPECT_EQ(st().hIntf, 0);
    EXPECT_EQ(ui().combSrvrs->currentText(), server);
    EXPECT_TRUE(eventLoopRuns());
    expectFreshLinkWorks();
}

TEST_F(WindowFaults, GatewayThatAnswersGarbageFailsCreateLinkWithAMalformedReply) {
    testsupport::ScriptServer noisy([](Peer& p) {
        const auto call = p.readRecord();
        if (!call || call->size() < 4) {
            return;
        }
        // The call's xid, then words that make no reply.
        Bytes junk;
        testsupport::put32(junk, 0x80000014u);
        junk.insert(junk.end(), call->begin(), call->begin() + 4);
        for (int i = 0; i < 16; ++i) {
            junk.push_back(static_cast<std::uint8_t>(0xA5 ^ i));
        }
        p.sendRaw(junk);
        p.waitClosed();
    });
    const QString server = serverText(noisy.port());
    ui().combSrvrs->setEditText(server);
    const auto took = timedClick(ui().cmdLink);

    EXPECT_TRUE(isReport(error(), "Create interface link error", liberr::kMalformedReply));
    EXPECT_LT(took, kOpenTimeOut + kMargin + kSlack);
    EXPECT_EQ(st().hIntf, 0);
    EXPECT_EQ(ui().combSrvrs->currentText(), server);
    expectFreshLinkWorks();
}

} // namespace
