// A stream session's reach to its device (DeviceAccess) over the fake bus: its waits for a lock
// another holder has and for an answer, how its Stop ends them, and what it does while locked.

#include "gateway/devices/DeviceAccess.h"
#include "FakeBus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace gateway;
using namespace std::chrono_literals;
using testfake::FakeBus;

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class DeviceAccessTest : public ::testing::Test {
protected:
    static Device device5(FakeBus& bus) {
        DeviceName name;
        name.isInterface = false;
        name.pad = 5;
        return bus.find(name);
    }
    /// Waits (bounded) until some call waits for a lock.
    bool someoneWaitsForALock() const {
        const auto until = Clock::now() + 5s;
        while (locks.waiting() == 0) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    template <typename T>
    static bool endsSoon(const std::future<T>& f) {
        return f.wait_for(5s) == std::future_status::ready;
    }

    FakeBus bus;
    LockTable locks;
    const std::string key = FakeBus::kDevice5;
    DeviceAccess access{bus, locks, device5(bus), locks.newHolder()};
    const LockTable::Holder other = locks.newHolder();
    std::atomic<bool> stop = false;
    const DeviceAccess::Stop stopped = [this] { return stop.load(); };
};

TEST_F(DeviceAccessTest, FeedingWaitsWhileAnotherHolderHasTheLockAndGoesOnOnceItIsReleased) {
    ASSERT_TRUE(locks.tryLock(key, other));
    auto fed = std::async(std::launch::async,
                          [&] { return access.feed(bytesOf("*IDN?\n*OPC?\n"), true, stopped); });
    ASSERT_TRUE(someoneWaitsForALock());
    EXPECT_TRUE(bus.device(key).written.empty());
    ASSERT_TRUE(locks.release(key, other));
    ASSERT_TRUE(endsSoon(fed));
    EXPECT_EQ(fed.get(), 6u) << "up to the end of the first program message";
    const auto written = bus.device(key).written;
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].bytes, "*IDN?\n");
    EXPECT_EQ(written[0].who, access.holder());
    EXPECT_EQ(written[0].split, Split::AtMessageEnd);
}

TEST_F(DeviceAccessTest, ItsStopEndsTheWaitForALockAndForAnAnswer) {
    ASSERT_TRUE(locks.tryLock(key, other));
    auto fed = std::async(std::launch::async,
                          [&] { return access.feed(bytesOf("*RST\n"), true, stopped); });
    ASSERT_TRUE(someoneWaitsForALock());
    stop = true;
    access.wake();
    ASSERT_TRUE(endsSoon(fed));
    EXPECT_FALSE(fed.get().has_value());
    EXPECT_TRUE(bus.device(key).written.empty());

    // An answer queued but not readable yet: the wait is on the bus.
    stop = false;
    bus.holdAnswers(key, true);
    bus.answer(key, "1\n");
    auto stoppedWait = std::async(std::launch::async, [&] { return access.awaitAnswer(stopped); });
    stop = true;
    access.wake();
    ASSERT_TRUE(endsSoon(stoppedWait));
    EXPECT_FALSE(stoppedWait.get());

    stop = false;
    auto awaited = std::async(std::launch::async, [&] { return access.awaitAnswer(stopped); });
    bus.holdAnswers(key, false);
    ASSERT_TRUE(endsSoon(awaited));
    EXPECT_TRUE(awaited.get());
    AnswerBytes out;
    EXPECT_TRUE(access.take(100, out));
    EXPECT_EQ(std::string(out.head.begin(), out.head.end()), "1\n");
}

TEST_F(DeviceAccessTest, WithIfFreeDoesNothingWhileAnotherHolderHasTheLock) {
    int ran = 0;
    const auto act = [&](BusTurn&) { ++ran; };
    ASSERT_TRUE(locks.tryLock(key, other));
    EXPECT_FALSE(access.withIfFree(act));
    EXPECT_EQ(ran, 0);
    ASSERT_TRUE(locks.release(key, other));
    ASSERT_TRUE(locks.tryLock(key, access.holder()));
    EXPECT_TRUE(access.withIfFree(act)) << "its own lock lets it through";
    EXPECT_EQ(ran, 1);
}

} // namespace
