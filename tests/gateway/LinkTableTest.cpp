// The link and lock table alone, without sockets: who gets a lock when it is released, and
// how waits end. Calls wait on threads of their own, as connections do in the simulator.

#include "gateway/vxi11/LinkTable.h"
#include "vxi11/codec/Vxi11Types.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace gateway;
using namespace std::chrono_literals;

namespace {

class LinkTableTest : public ::testing::Test {
protected:
    /// A new link to the device at primary address 5, on connection `connection`.
    std::int32_t link(std::uint64_t connection) {
        DeviceName name;
        name.isInterface = false;
        name.pad = 5;
        const auto created =
            table.create(connection, Device{name, name.canonical(), 0}, "gpib0", false, 0, {});
        EXPECT_TRUE(created && created->error == 0);
        return created ? created->lid : -1;
    }

    /// Waits (bounded) until `n` calls wait for a lock.
    void waitingAre(std::size_t n) {
        const auto until = Clock::now() + 5s;
        while (table.waiting() != n && Clock::now() < until) {
            std::this_thread::yield();
        }
        ASSERT_EQ(table.waiting(), n);
    }

    std::future<WaitEnd> acquireLater(std::int32_t lid, std::chrono::milliseconds timeout) {
        return std::async(std::launch::async, [this, lid, timeout] {
            const LinkTable::Call call(table, lid);
            return table.acquireLock(kKey, lid, Clock::now() + timeout, {});
        });
    }

    static constexpr const char* kKey = "gpib0,5";
    LockTable locks;
    LinkTable table{16, locks};
};

} // namespace

TEST_F(LinkTableTest, ALockReleasedWhileTwoLinksWaitGoesToExactlyOneTheLongestWaiting) {
    const std::int32_t holder = link(1);
    const std::int32_t first = link(2);
    const std::int32_t second = link(3);
    ASSERT_TRUE(table.tryLock(kKey, holder));
    auto a = acquireLater(first, 10s);
    waitingAre(1);
    auto b = acquireLater(second, 10s);
    waitingAre(2);
    ASSERT_EQ(table.unlock(holder, 1), 0);
    EXPECT_EQ(a.get(), WaitEnd::Ready);
    EXPECT_EQ(table.lockHolder(kKey), first);
    EXPECT_EQ(table.waiting(), 1u) << "the other one waits on";
    ASSERT_EQ(table.unlock(first, 2), 0);
    EXPECT_EQ(b.get(), WaitEnd::Ready);
    EXPECT_EQ(table.lockHolder(kKey), second);
}

TEST_F(LinkTableTest, AWaiterWhoseTimeOutPassesGivesUpAndTheLockStaysWithItsHolder) {
    const std::int32_t holder = link(1);
    const std::int32_t waiter = link(2);
    ASSERT_TRUE(table.tryLock(kKey, holder));
    const auto start = Clock::now();
    EXPECT_EQ(acquireLater(waiter, 200ms).get(), WaitEnd::Timeout);
    EXPECT_GE(Clock::now() - start, 200ms);
    EXPECT_EQ(table.lockHolder(kKey), holder);
    EXPECT_EQ(table.awaitLockFree(kKey, waiter, Clock::now() + 50ms, {}), WaitEnd::Timeout);
}

TEST_F(LinkTableTest, ALinkDestroyedOrDroppedWhileHoldingTheLockFreesItForAWaiter) {
    const std::int32_t holder = link(1);
    const std::int32_t waiter = link(2);
    ASSERT_TRUE(table.tryLock(kKey, holder));
    auto pending = acquireLater(waiter, 10s);
    waitingAre(1);
    ASSERT_EQ(table.destroy(holder, 1), 0);
    EXPECT_EQ(pending.get(), WaitEnd::Ready);
    EXPECT_EQ(table.lockHolder(kKey), waiter);

    // A connection that ends takes its links' locks with it, and a call waiting only for the
    // device to be free goes on.
    const std::int32_t third = link(3);
    auto free = std::async(std::launch::async, [&] {
        return table.awaitLockFree(kKey, third, Clock::now() + 10s, {});
    });
    waitingAre(1);
    table.dropConnection(2);
    EXPECT_EQ(free.get(), WaitEnd::Ready);
    EXPECT_FALSE(table.lockHolder(kKey).has_value());
}

TEST_F(LinkTableTest, AbortWakesAWaiterAndReachesOnlyLinksWithACallInProgress) {
    const std::int32_t holder = link(1);
    const std::int32_t waiter = link(2);
    ASSERT_TRUE(table.tryLock(kKey, holder));
    EXPECT_EQ(table.abort(holder), 0);
    EXPECT_FALSE(table.takeAbort(holder)) << "no call in progress to abort";
    auto pending = acquireLater(waiter, 10s);
    waitingAre(1);
    const auto start = Clock::now();
    EXPECT_EQ(table.abort(waiter), 0);
    EXPECT_EQ(pending.get(), WaitEnd::Aborted);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_EQ(table.abort(999), vxi11::err::kInvalidLinkIdentifier);
}

TEST_F(LinkTableTest, AWaiterWhoseClientLeavesOrTheServerStopsEndsGone) {
    const std::int32_t holder = link(1);
    const std::int32_t waiter = link(2);
    ASSERT_TRUE(table.tryLock(kKey, holder));
    std::atomic<bool> left{false};
    auto pending = std::async(std::launch::async, [&] {
        return table.acquireLock(kKey, waiter, Clock::now() + 10s, [&] { return left.load(); });
    });
    left = true;
    EXPECT_EQ(pending.get(), WaitEnd::Gone);
    auto stopped = acquireLater(waiter, 10s);
    waitingAre(1);
    table.stop();
    EXPECT_EQ(stopped.get(), WaitEnd::Gone);
}

TEST_F(LinkTableTest, ALockHeldByAClientOfAnotherProtocolHoldsOffALinkUntilThatClientLeaves) {
    const LockTable::Holder session = LockTable::kFirstOtherHolder; // not a link
    const std::int32_t lid = link(1);
    ASSERT_TRUE(locks.tryLock(kKey, session));
    EXPECT_FALSE(table.lockFreeFor(kKey, lid));
    EXPECT_FALSE(table.tryLock(kKey, lid));
    EXPECT_FALSE(table.lockHolder(kKey).has_value()) << "no link holds it";
    EXPECT_EQ(table.infos().at(0).holdsLock, false);
    auto pending = acquireLater(lid, 10s);
    waitingAre(1);
    locks.leave(session);
    EXPECT_EQ(pending.get(), WaitEnd::Ready);
    EXPECT_EQ(table.lockHolder(kKey), lid);
}
