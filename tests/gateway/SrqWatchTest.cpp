// What the service-request watcher reports when it looks: a call that only lets a request fall
// does not look, so a request that fell and rose again between two looks must still count.

#include "gateway/GuardedBus.h"

#include <gtest/gtest.h>

#include <limits>

namespace gateway {
namespace {

using Names = std::vector<std::string>;

class SrqWatch : public ::testing::Test {
protected:
    Instrument& dmm() { return *bus.bus().find(22, std::nullopt); }
    Instrument& counter() { return *bus.bus().find(3, std::nullopt); }

    void send(Instrument& i, std::string_view text) {
        const GuardedBus::Lock lk = bus.lock();
        i.receiveOne(text, true, Clock::now());
    }
    /// Reads the whole answer, as a client does, without looking.
    void readAnswer(Instrument& i) {
        const GuardedBus::Lock lk = bus.lock();
        AnswerBytes out;
        bool end = false;
        i.takeOutput(std::numeric_limits<std::uint64_t>::max(), out, end, Clock::now());
        ASSERT_TRUE(end);
    }

    GuardedBus bus{demoBench(), {demoLanInstrument()}, 0, 1 << 20};
};

TEST_F(SrqWatch, EachAnswerRaisesItsOwnRequestThoughTheFallWasNeverSeen) {
    send(dmm(), "*SRE 16;*IDN?\n");
    EXPECT_EQ(bus.srqRisen(), (Names{"gpib0", "gpib0,22"}));
    EXPECT_EQ(bus.srqRisen(), Names{}) << "a request stands: reported once";

    readAnswer(dmm()); // MAV falls; nobody looks
    send(dmm(), "*IDN?\n");
    EXPECT_EQ(bus.srqRisen(), (Names{"gpib0", "gpib0,22"}));

    // A server holds MAV from before it takes the answer until its client says it arrived,
    // and lets it go without a look.
    {
        const GuardedBus::Lock lk = bus.lock();
        EXPECT_FALSE(dmm().holdMessage(Clock::now())) << "the answer is readable: MAV stands";
    }
    readAnswer(dmm());
    EXPECT_EQ(bus.srqRisen(), Names{}) << "MAV held";
    {
        const GuardedBus::Lock lk = bus.lock();
        dmm().releaseMessage(Clock::now());
        EXPECT_TRUE(dmm().holdMessage(Clock::now())) << "nothing readable: MAV rises with it";
        dmm().releaseMessage(Clock::now());
    }
    send(dmm(), "*IDN?\n");
    EXPECT_EQ(bus.srqRisen(), (Names{"gpib0", "gpib0,22"}));
}

TEST_F(SrqWatch, TheLineRisesOnlyWhenNobodyHeldItAllAlong) {
    send(dmm(), "*SRE 16;*IDN?\n");
    EXPECT_EQ(bus.srqRisen(), (Names{"gpib0", "gpib0,22"}));
    send(counter(), "*SRE 16;*IDN?\n"); // the DMM still holds the line
    EXPECT_EQ(bus.srqRisen(), Names{"gpib0,3"});

    readAnswer(dmm());
    readAnswer(counter());
    EXPECT_EQ(bus.srqRisen(), Names{});
    send(counter(), "*IDN?\n");
    EXPECT_EQ(bus.srqRisen(), (Names{"gpib0", "gpib0,3"}));
}

} // namespace
} // namespace gateway
