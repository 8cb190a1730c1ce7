// The gateway commands of device_docmd carried out in a turn on a bus (the fake one): their
// data in the client's element size and byte order both ways, what is refused before anything
// reaches the bus, and what the bus answered, as VXI-11 errors.

#include "gateway/vxi11/Docmd.h"
#include "FakeBus.h"

#include <gtest/gtest.h>

using namespace gateway;
using namespace vxi11;
using testfake::FakeBus;
using testfake::Op;

namespace {

class DocmdTest : public ::testing::Test {
protected:
    /// Runs `cmd` with `values` packed as the client would; the response, or nothing when the
    /// call is to get no reply.
    std::optional<DeviceDocmdResp> run(std::int32_t cmd, std::vector<std::uint32_t> values,
                                       int datasize, bool networkOrder = true) {
        DeviceDocmdParms a;
        a.cmd = cmd;
        a.datasize = datasize;
        a.networkOrder = networkOrder;
        a.dataIn = packElements(values, datasize, networkOrder);
        return runRaw(a);
    }
    std::optional<DeviceDocmdResp> runRaw(const DeviceDocmdParms& a) {
        DeviceDocmdResp r;
        bool replied = false;
        const BusStatus held = bus.hold(Until{Clock::now() + std::chrono::seconds(5)},
                                        [&](BusTurn& turn) { replied = runDocmd(turn, a, r); });
        EXPECT_EQ(held, BusStatus::Done);
        return replied ? std::optional(r) : std::nullopt;
    }
    /// The error of `cmd`, with its data dropped on an error.
    std::int32_t error(std::int32_t cmd, std::vector<std::uint32_t> values, int datasize) {
        const auto r = run(cmd, std::move(values), datasize);
        EXPECT_TRUE(r);
        if (r && r->error != 0) {
            EXPECT_TRUE(r->dataOut.empty()) << cmd;
        }
        return r ? r->error : -1;
    }

    FakeBus bus;
};

using Bytes = std::vector<std::uint8_t>;

TEST_F(DocmdTest, ElementsComeAndGoInTheClientsSizeAndByteOrder) {
    bus.setBusStatus(busstatus::kNdac, 0x0102);
    auto r = run(docmd::kBusStatus, {busstatus::kNdac}, 2, false);
    EXPECT_EQ(r->error, 0);
    EXPECT_EQ(r->dataOut, (Bytes{0x02, 0x01}));
    r = run(docmd::kBusStatus, {busstatus::kNdac}, 2, true);
    EXPECT_EQ(r->dataOut, (Bytes{0x01, 0x02}));

    r = run(docmd::kBusAddress, {7}, 4, false);
    EXPECT_EQ(r->dataOut, (Bytes{7, 0, 0, 0}));
    EXPECT_EQ(bus.iface().busAddress, 7u);
    r = run(docmd::kBusAddress, {9}, 4, true);
    EXPECT_EQ(r->dataOut, (Bytes{0, 0, 0, 9}));
    EXPECT_EQ(bus.iface().busAddress, 9u);

    // Any bit of the word asserts the line; the word comes back as it was.
    r = run(docmd::kAtnControl, {0x0100}, 2, false);
    EXPECT_EQ(r->dataOut, (Bytes{0x00, 0x01}));
    EXPECT_EQ(bus.iface().atn, true);
    run(docmd::kRenControl, {0x0100}, 2, true);
    EXPECT_EQ(bus.iface().ren, true);
    run(docmd::kRenControl, {0}, 2, false);
    EXPECT_EQ(bus.iface().ren, false);

    r = run(docmd::kSendCommand, {0x3F, 0x48, 0x25}, 1);
    EXPECT_EQ(r->dataOut, (Bytes{0x3F, 0x48, 0x25}));
    EXPECT_EQ(bus.iface().commands, "\x3F\x48\x25");
    EXPECT_EQ(run(docmd::kIfcControl, {}, 1)->error, 0);
    EXPECT_EQ(bus.iface().ifcs, 1u);
}

TEST_F(DocmdTest, BadSizesAndCountsAreParameterErrorsThatReachNothing) {
    EXPECT_EQ(error(docmd::kSendCommand, {0x3F}, 2), err::kParameterError);
    EXPECT_EQ(error(docmd::kSendCommand, std::vector<std::uint32_t>(129, 0x3F), 1),
              err::kParameterError);
    EXPECT_EQ(error(docmd::kBusStatus, {busstatus::kNdac}, 4), err::kParameterError);
    EXPECT_EQ(error(docmd::kBusStatus, {1, 2}, 2), err::kParameterError);
    EXPECT_EQ(error(docmd::kAtnControl, {}, 2), err::kParameterError);
    EXPECT_EQ(error(docmd::kRenControl, {1}, 1), err::kParameterError);
    EXPECT_EQ(error(docmd::kBusAddress, {5}, 2), err::kParameterError);
    DeviceDocmdParms ragged;
    ragged.cmd = docmd::kAtnControl;
    ragged.datasize = 2;
    ragged.dataIn = {0, 1, 0};
    EXPECT_EQ(runRaw(ragged)->error, err::kParameterError) << "not a whole number of elements";
    const testfake::FakeInterface untouched = bus.iface();
    EXPECT_TRUE(untouched.commands.empty());
    EXPECT_FALSE(untouched.atn || untouched.ren || untouched.busAddress);
}

TEST_F(DocmdTest, UnknownCommandsAreNotSupportedAndTheBussAnswersMapBack) {
    EXPECT_EQ(error(0x020099, {}, 1), err::kOperationNotSupported);
    EXPECT_EQ(error(docmd::kPassControl, {5}, 4), err::kOperationNotSupported);

    EXPECT_EQ(error(docmd::kBusStatus, {99}, 2), err::kParameterError) << "a request unknown";
    EXPECT_EQ(error(docmd::kBusAddress, {31}, 4), err::kParameterError) << "refused by the bus";
    bus.failWith(Op::SendCommand, BusStatus::NoListener);
    EXPECT_EQ(error(docmd::kSendCommand, {0x3F}, 1), err::kIoError);
    bus.failWith(Op::Ifc, BusStatus::Timeout);
    EXPECT_EQ(error(docmd::kIfcControl, {}, 1), err::kIoTimeout);
    bus.failWith(Op::Atn, BusStatus::NotSupported);
    EXPECT_EQ(error(docmd::kAtnControl, {1}, 2), err::kOperationNotSupported);
    bus.failWith(Op::Ren, BusStatus::Aborted);
    EXPECT_EQ(error(docmd::kRenControl, {1}, 2), err::kAbort);
    bus.failWith(Op::BusStatus, BusStatus::Lost);
    EXPECT_EQ(error(docmd::kBusStatus, {1}, 2), err::kIoError);
    bus.failWith(Op::BusAddress, BusStatus::Gone);
    EXPECT_FALSE(run(docmd::kBusAddress, {3}, 4)) << "its client went away: no reply";
}

} // namespace
