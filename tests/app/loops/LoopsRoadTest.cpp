// The *IDN? loop against the gateway simulator over VXI-11.
#include "app/device/RoadFixture.h"

#include "app/loops/TestLoops.h"

#include <QLineEdit>

namespace {

using LoopsRoadTest = roadtest::RoadFixture;

TEST_F(LoopsRoadTest, IdnLoopCountsTicksAndShowsTheAnswer) {
    ui().cmdIDNtst->click();
    for (int i = 0; i < 3; ++i) {
        window->testLoops().Timer1_Timer();
    }
    EXPECT_EQ(ui().txtCount->text(), QStringLiteral("3"));
    EXPECT_EQ(results(), roadtest::kIdentity);
    EXPECT_TRUE(ui().txtError->isHidden()) << ui().txtError->text().toStdString();
    EXPECT_EQ(sim->instrument(9)->outputQueueBytes, 0U);
}

} // namespace
