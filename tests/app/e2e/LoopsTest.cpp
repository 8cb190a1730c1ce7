// Both test loops on the real 250 ms timer, with Auto Lock, against the counter at 3.
#include "app/e2e/E2eFixture.h"

#include <QLabel>
#include <QTimer>

namespace {

using e2e::E2e;

TEST_F(E2e, BothLoopsRunOnTheTimerUntilStopped) {
    linkServer();
    linkInstrument(3);
    ui().ckAutoLock->click();

    press(ui().cmdIDNtst);
    EXPECT_EQ(ui().combCmd->currentText(), QStringLiteral("*idn?"));
    typeInto(ui().combCmd, QStringLiteral("MEAS:FREQ?"));
    press(ui().cmdCmdtst);
    EXPECT_EQ(ui().Timer1->interval(), 250);

    const bool counted = QTest::qWaitFor([&] { return st().LpCount >= 4; }, 15000);
    ASSERT_TRUE(counted) << error();
    EXPECT_FALSE(ui().txtCount->isHidden());
    EXPECT_EQ(error(), "");
    // Each tick asks for the identity, then the frequency; the last answer shown is the
    // command loop's.
    EXPECT_EQ(results(), "+1.00000000E+07");
    EXPECT_EQ(sim->instrument(3)->lastCommand, "MEAS:FREQ?");
    EXPECT_FALSE(sim->lockHolder("gpib0,3").has_value()) << "each read unlocked";

    press(ui().cmdIDNtstoff);
    EXPECT_FALSE(ui().txtCount->isHidden()) << "the command loop still counts";
    const int atStop = st().LpCount;
    ASSERT_TRUE(QTest::qWaitFor([&] { return st().LpCount > atStop; }, 5000));

    press(ui().cmdCmdtstoff);
    EXPECT_TRUE(ui().txtCount->isHidden());
    EXPECT_FALSE(ui().Timer1->isActive());
    EXPECT_EQ(st().LpCount, 0);
    EXPECT_EQ(sim->instrument(3)->outputQueueBytes, 0u);
    EXPECT_EQ(beeps.count, 0);
}

} // namespace
