// The lock table's two kinds of lock alone: every state a device can be in against every
// request and release, who may reach the device meanwhile, and a waiting request passed what a
// release frees.

#include "gateway/devices/LockTable.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace gateway;
using namespace std::chrono_literals;
using Request = LockTable::Request;
using Released = LockTable::Released;

namespace {

constexpr const char* kKey = "inst0";
constexpr LockTable::Holder kA = LockTable::kFirstOtherHolder;
constexpr LockTable::Holder kB = kA + 1;
constexpr LockTable::Holder kC = kA + 2;
const LockTable::Want kExclusive;
const LockTable::Want kShared{"k"};
const LockTable::Want kOtherKey{"x"};

/// The states of a device's locks, each made from nothing.
enum class State { None, Exclusive, Shared, Both };

/// A at the exclusive lock and/or A and B at the shared one ("k").
void enter(LockTable& t, State s) {
    if (s == State::Shared || s == State::Both) {
        ASSERT_EQ(t.tryRequest(kKey, kA, kShared), Request::Granted);
        ASSERT_EQ(t.tryRequest(kKey, kB, kShared), Request::Granted);
    }
    if (s == State::Exclusive || s == State::Both) {
        ASSERT_EQ(t.tryRequest(kKey, kA, kExclusive), Request::Granted);
    }
}

} // namespace

TEST(LockTable, RequestsAnswerAsTheStateOfBothLocksSays) {
    struct Row {
        State state;
        LockTable::Holder who;
        LockTable::Want want;
        Request answer;
    };
    const Row rows[] = {
        {State::None, kC, kShared, Request::Granted},
        {State::None, kC, kExclusive, Request::Granted},
        {State::Exclusive, kA, kShared, Request::Invalid},
        {State::Exclusive, kA, kExclusive, Request::Invalid},
        {State::Exclusive, kC, kShared, Request::Busy},
        {State::Exclusive, kC, kExclusive, Request::Busy},
        {State::Shared, kB, kShared, Request::Invalid},
        {State::Shared, kC, kShared, Request::Granted},
        {State::Shared, kC, kOtherKey, Request::Busy},
        {State::Shared, kB, kExclusive, Request::Granted},
        {State::Shared, kC, kExclusive, Request::Busy},
        {State::Both, kA, kShared, Request::Invalid},
        {State::Both, kB, kShared, Request::Invalid},
        {State::Both, kC, kShared, Request::Granted},
        {State::Both, kC, kOtherKey, Request::Busy},
        {State::Both, kA, kExclusive, Request::Invalid},
        {State::Both, kB, kExclusive, Request::Busy},
    };
    for (const Row& row : rows) {
        LockTable t;
        enter(t, row.state);
        EXPECT_EQ(t.tryRequest(kKey, row.who, row.want), row.answer)
            << "state " << int(row.state) << " holder " << row.who - kA << " wants "
            << row.want.value_or("exclusive");
    }
}

TEST(LockTable, ReleasesGiveUpTheExclusiveLockFirstAndOnlyTheHoldersReachTheDevice) {
    struct Row {
        State state;
        LockTable::Holder who;
        Released released;
        bool aReaches, bReaches, cReaches; // afterwards
    };
    const Row rows[] = {
        {State::None, kA, Released::Nothing, true, true, true},
        {State::Exclusive, kA, Released::Exclusive, true, true, true},
        {State::Exclusive, kC, Released::Nothing, true, false, false},
        {State::Shared, kA, Released::Shared, false, true, false},
        {State::Shared, kC, Released::Nothing, true, true, false},
        {State::Both, kA, Released::Exclusive, true, true, false},
        {State::Both, kB, Released::Shared, true, false, false},
        {State::Both, kC, Released::Nothing, true, false, false},
    };
    for (const Row& row : rows) {
        LockTable t;
        enter(t, row.state);
        EXPECT_EQ(t.releaseOne(kKey, row.who), row.released) << int(row.state);
        EXPECT_EQ(t.freeFor(kKey, kA), row.aReaches) << int(row.state);
        EXPECT_EQ(t.freeFor(kKey, kB), row.bReaches) << int(row.state);
        EXPECT_EQ(t.freeFor(kKey, kC), row.cReaches) << int(row.state);
    }
    LockTable both;
    enter(both, State::Both);
    EXPECT_EQ(both.info(kKey).exclusive, true);
    EXPECT_EQ(both.info(kKey).holders, 2u) << "A holds both and counts once";
    both.leave(kA);
    EXPECT_EQ(both.info(kKey).exclusive, false);
    EXPECT_EQ(both.info(kKey).holders, 1u);
}

TEST(LockTable, AReleaseGrantsEveryWaitingSharedRequestOfTheKeyAndOneExclusiveOne) {
    LockTable t;
    ASSERT_EQ(t.tryRequest(kKey, kA, kExclusive), Request::Granted);
    const auto deadline = Clock::now() + 10s;
    auto shared = [&](LockTable::Holder h) {
        return std::async(std::launch::async,
                          [&t, h, deadline] { return t.acquire(kKey, h, kShared, deadline, {}); });
    };
    auto b = shared(kB);
    auto c = shared(kC);
    auto other = std::async(std::launch::async, [&] {
        return t.acquire(kKey, kA + 3, kOtherKey, Clock::now() + 300ms, {});
    });
    while (t.waiting() < 3) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(t.release(kKey, kA));
    EXPECT_EQ(b.get(), WaitEnd::Ready);
    EXPECT_EQ(c.get(), WaitEnd::Ready);
    EXPECT_EQ(other.get(), WaitEnd::Timeout);
    EXPECT_EQ(t.info(kKey).holders, 2u);
    EXPECT_FALSE(t.release(kKey, kB)) << "VXI-11's unlock gives up the exclusive lock only";
}
