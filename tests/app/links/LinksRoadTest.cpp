// The links on the real road: the window on the VXI-11 library, over loopback, to an
// in-process gateway simulator with the demo bench and one instrument that never answers.
#include "support/SimulatorWindowFixture.h"

#include <QLabel>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>

namespace {

constexpr int kSilentPad = 14;

class LinksRoad : public testsupport::SimulatorWindowFixture {
protected:
    void SetUp() override { start(testsupport::demoBenchWithSilentAt(kSilentPad)); }
};

TEST_F(LinksRoad, LinkFindAndSelectAnInstrument) {
    linkServer();
    EXPECT_EQ(results(), "Link created to server " + server.toStdString());
    EXPECT_EQ(sim->links().size(), 1u);
    EXPECT_EQ(sim->links().front().device, "gpib0");

    ui().cmdFindInst->click();
    ASSERT_EQ(error(), "");
    QStringList found;
    for (int i = 0; i < ui().combInst->count(); ++i) {
        found << ui().combInst->itemText(i);
    }
    // The bench's primary-address instruments, ascending. The switch unit at 5 listens only
    // under its secondary address, which the scan does not send.
    EXPECT_EQ(found, (QStringList{"3", "9", "14", "22"}));
    EXPECT_EQ(results(),
              "FindInst: Found  4 VXI-11 devices\r\nSelect a device and press Create Link");
    EXPECT_TRUE(ui().cmdLinki->isEnabled());
    EXPECT_FALSE(sim->bus().listener) << "the scan leaves no listener addressed";

    ui().combInst->setCurrentIndex(1); // "9"
    ui().cmdLinki->click();
    ASSERT_NE(st().hDev, 0) << error();
    EXPECT_EQ(results(), "Link created to instrument at " + server.toStdString() + ", 9, 0");
    bool deviceLinked = false;
    for (const auto& link : sim->links()) {
        deviceLinked = deviceLinked || link.device == "gpib0,9";
    }
    EXPECT_TRUE(deviceLinked);
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(LinksRoad, SecondaryAddressFormReachesTheSwitchUnit) {
    linkServer();
    linkInstrument(QStringLiteral("502"));
    EXPECT_EQ(results(), "Link created to instrument at " + server.toStdString() + ", 5, 2");
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    EXPECT_EQ(results(), "Brenholt Devices,SW-2040 Switch Unit card 2,BH5020331,0.9.4");
}

TEST_F(LinksRoad, AddressTheGatewayDoesNotKnowFailsTheDeviceLink) {
    linkServer();
    ui().combInst->setEditText(QStringLiteral("50"));
    ui().cmdLinki->setEnabled(true);
    ui().cmdLinki->click();
    EXPECT_EQ(st().hDev, 0);
    EXPECT_EQ(error().rfind("Create device link error\r\n", 0), 0u) << error();
    EXPECT_EQ(beeps.count, 1);
}

TEST_F(LinksRoad, NobodyListeningFailsTheServerLinkWithTheReason) {
    const auto port = sim->portmapperPort();
    sim->stop();
    ui().combSrvrs->setEditText(QStringLiteral("127.0.0.1:%1").arg(port));
    ui().cmdLink->click();
    EXPECT_EQ(st().hIntf, 0);
    EXPECT_EQ(error().rfind("Create interface link error\r\n", 0), 0u) << error();
    EXPECT_GT(error().size(), std::string("Create interface link error\r\n - Retry").size());
}

TEST_F(LinksRoad, TimeOutOptionBoundsASilentInstrumentsRead) {
    linkServer();
    linkInstrument(QString::number(kSilentPad));
    ui().optTimeout[0]->click(); // 1 s
    ASSERT_EQ(error(), "");

    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    const auto start = std::chrono::steady_clock::now();
    ui().cmdSend->click(); // Auto Query reads after the write
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(error().rfind("Read error\r\n", 0), 0u) << error();
    EXPECT_GE(elapsed, std::chrono::milliseconds(900));
    EXPECT_LT(elapsed, std::chrono::seconds(5)) << "the 1 s option bounds the read";
}

TEST_F(LinksRoad, KeepAliveOpensAndClosesAnExtraLinkAndKeepsTheUsersLink) {
    linkServer();
    linkInstrument(QStringLiteral("22"));
    const auto linksBefore = sim->links().size();
    const auto destroyedBefore = sim->destroyedLinks().size();
    st().MsgSentFlg = 0;

    QMetaObject::invokeMethod(ui().Timer2, "timeout", Qt::DirectConnection);

    EXPECT_EQ(error(), "");
    EXPECT_EQ(sim->links().size(), linksBefore);
    const auto destroyed = sim->destroyedLinks();
    ASSERT_EQ(destroyed.size(), destroyedBefore + 1);
    EXPECT_EQ(destroyed.back().device, "gpib0,22");
    EXPECT_TRUE(ui().lblKeepAliveMsg->isHidden());
    // The user's session still works.
    ui().combCmd->setEditText(QStringLiteral("*IDN?"));
    ui().cmdSend->click();
    EXPECT_EQ(results().rfind("Orvane Instruments,DM-6510", 0), 0u) << results();
}

TEST_F(LinksRoad, ExitClosesBothLinksOnTheGateway) {
    linkServer();
    linkInstrument(QStringLiteral("3"));
    ui().cmdExit->click();
    EXPECT_EQ(sim->liveLinks(), 0u);
    const auto destroyed = sim->destroyedLinks();
    ASSERT_GE(destroyed.size(), 2u);
    EXPECT_EQ(destroyed[destroyed.size() - 2].device, "gpib0,3");
    EXPECT_EQ(destroyed.back().device, "gpib0");
}

} // namespace
