// Service requests on the interrupt channel: each reaches the links that hear its source, as
// an independent client sees it on its own listener.

#include "GatewayFixture.h"
#include "InterruptListener.h"

using namespace vxi11;
using testrpc::GatewayLan;
using testrpc::InterruptListener;

class ServiceRequestRouting : public GatewayLan {
protected:
    void SetUp() override {
        GatewayLan::SetUp();
        ASSERT_EQ(core.call<CreateIntrChan>(channel.remoteFunc())->error, 0);
        ASSERT_TRUE(channel.accept());
    }

    void enableSrq(std::int32_t lid, const std::string& handle) {
        DeviceEnableSrqParms e;
        e.lid = lid;
        e.enable = true;
        e.handle.assign(handle.begin(), handle.end());
        ASSERT_EQ(core.call<DeviceEnableSrq>(e)->error, 0);
    }

    InterruptListener channel;
};

TEST_F(ServiceRequestRouting, ALanInstrumentsRequestReachesItsOwnLink) {
    const std::int32_t inst = link("inst0");
    enableSrq(inst, "inst0");
    ASSERT_EQ(write(inst, "*CLS;*ESE 1;*SRE 32;*OPC\n"), 0);
    EXPECT_EQ(channel.nextHandle().value_or("nothing"), "inst0");
}

TEST_F(ServiceRequestRouting, TheBusLineReachesBusLinksButNotALanInstrumentsLink) {
    const std::int32_t inst = link("inst0");
    const std::int32_t counter = link("gpib0,3");
    const std::int32_t iface = link("gpib0");
    enableSrq(inst, "inst0 before");
    enableSrq(counter, "counter");
    enableSrq(iface, "interface");
    ASSERT_EQ(write(counter, "*SRE 16;*IDN?\n"), 0); // MAV, RQS, and the bus's SRQ line rises

    // The calls go out before the write is answered, so the channel holds them in order: the
    // two links on the bus, then (with its handle changed) inst0's own request.
    enableSrq(inst, "inst0 after");
    ASSERT_EQ(write(inst, "*CLS;*ESE 1;*SRE 32;*OPC\n"), 0);
    std::vector<std::string> heard;
    for (int i = 0; i < 3; ++i) {
        heard.push_back(channel.nextHandle().value_or("nothing"));
    }
    EXPECT_EQ(heard, (std::vector<std::string>{"counter", "interface", "inst0 after"}));
}
