// The interface operations against the gateway simulator over VXI-11.
#include "app/device/RoadFixture.h"

namespace {

using InterfaceRoadTest = roadtest::RoadFixture;

TEST_F(InterfaceRoadTest, RenBoxBusStatusAndIfcReachTheBus) {
    ui().ckRen->setChecked(false);
    EXPECT_FALSE(sim->bus().ren);
    ui().ckRen->setChecked(true);
    EXPECT_TRUE(sim->bus().ren);
    ui().cmdStatus->click();
    EXPECT_EQ(results().substr(0, 7), "REN = 1");

    ASSERT_TRUE(sim->bus().atn); // the server link checked ATN, which asserted it
    const unsigned before = sim->bus().ifcCount;
    ui().cmdIFC->click();
    EXPECT_EQ(results(), "IFC Sent");
    EXPECT_EQ(sim->bus().ifcCount, before + 1);
    EXPECT_FALSE(sim->bus().atn); // unchecking the box released it
}

} // namespace
