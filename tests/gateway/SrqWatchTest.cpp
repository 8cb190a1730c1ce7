// What the simulated bench reports as risen at the end of each turn: a request that fell and
// rose again within one turn (between two looks) must still count, and the line rises only
// when nobody held it all along.

#include "gateway/simbus/SimulatedBus.h"

#include <gtest/gtest.h>

#include <limits>
#include <string_view>

namespace gateway {
namespace {

using Names = std::vector<std::string>;

class SrqWatch : public ::testing::Test {
protected:
    SrqWatch() {
        bus.routeServiceRequests([this](const std::string& source) { m_risen.push_back(source); },
                                 [] { return true; });
    }

    static Device at(SimulatedBus& b, int pad) {
        DeviceName name;
        name.isInterface = false;
        name.pad = pad;
        return b.find(name);
    }
    /// Runs `act` in one turn; the requests that rose in it.
    Names turn(FunctionRef<void(BusTurn&)> act) {
        m_risen.clear();
        EXPECT_EQ(bus.hold(Until{Clock::now() + std::chrono::seconds(5)}, act), BusStatus::Done);
        return m_risen;
    }
    static void send(BusTurn& t, const Device& d, std::string_view text) {
        std::size_t taken = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        EXPECT_EQ(t.write(d, 1, std::span(bytes, text.size()), true, Split::None, taken),
                  BusStatus::Done);
    }
    /// Reads the whole answer, as a server does.
    static void readAnswer(BusTurn& t, const Device& d) {
        AnswerBytes out;
        bool end = false;
        EXPECT_EQ(t.take(d, std::numeric_limits<std::uint64_t>::max(), out, end), BusStatus::Done);
        EXPECT_TRUE(end);
    }

    SimulatedBus bus{demoBench(), {demoLanInstrument()}, 0, 1 << 20};
    const Device dmm = at(bus, 22);
    const Device counter = at(bus, 3);

private:
    Names m_risen;
};

TEST_F(SrqWatch, EachAnswerRaisesItsOwnRequestThoughTheFallWasNeverSeen) {
    EXPECT_EQ(turn([&](BusTurn& t) { send(t, dmm, "*SRE 16;*IDN?\n"); }),
              (Names{"gpib0", "gpib0,22"}));
    EXPECT_EQ(turn([](BusTurn&) {}), Names{}) << "a request stands: reported once";

    // MAV falls and rises again within one turn: nobody saw the fall.
    EXPECT_EQ(turn([&](BusTurn& t) {
                  readAnswer(t, dmm);
                  send(t, dmm, "*IDN?\n");
              }),
              (Names{"gpib0", "gpib0,22"}));

    // A server holds MAV from before it takes the answer until its client says it arrived.
    EXPECT_EQ(turn([&](BusTurn& t) {
                  t.holdMessage(dmm);
                  readAnswer(t, dmm);
              }),
              Names{})
        << "MAV held";
    EXPECT_EQ(turn([&](BusTurn& t) {
                  t.releaseMessage(dmm);
                  send(t, dmm, "*IDN?\n");
              }),
              (Names{"gpib0", "gpib0,22"}));
}

TEST_F(SrqWatch, TheLineRisesOnlyWhenNobodyHeldItAllAlong) {
    EXPECT_EQ(turn([&](BusTurn& t) { send(t, dmm, "*SRE 16;*IDN?\n"); }),
              (Names{"gpib0", "gpib0,22"}));
    // The DMM still holds the line.
    EXPECT_EQ(turn([&](BusTurn& t) { send(t, counter, "*SRE 16;*IDN?\n"); }), Names{"gpib0,3"});

    EXPECT_EQ(turn([&](BusTurn& t) {
                  readAnswer(t, dmm);
                  readAnswer(t, counter);
              }),
              Names{});
    EXPECT_EQ(turn([&](BusTurn& t) { send(t, counter, "*IDN?\n"); }), (Names{"gpib0", "gpib0,3"}));
}

} // namespace
} // namespace gateway
