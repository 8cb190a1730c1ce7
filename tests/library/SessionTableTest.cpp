#include "library/SessionTable.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using Table = library::SessionTable<int>;

TEST(SessionTable, IdsArePositiveAndNotReusedWhileOpen) {
    Table t;
    const auto a = t.add(std::make_shared<int>(1));
    const auto second = std::make_shared<int>(2);
    const auto b = t.add(second);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    ASSERT_NE(t.take(a), nullptr);
    EXPECT_EQ(t.take(a), nullptr) << "closing twice finds nothing";
    // The freed id is not handed out next; b stays b.
    const auto c = t.add(std::make_shared<int>(3));
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(t.find(b), second);
    EXPECT_EQ(t.find(0), nullptr);
    EXPECT_EQ(t.find(-1), nullptr);
}

TEST(SessionTable, WrapsAroundSkippingOpenIdsAndNeverGivesZero) {
    Table t;
    const auto keep = t.add(std::make_shared<int>(0)); // id 1 stays open throughout
    for (int i = 0; i < 40000; ++i) {
        const auto id = t.add(std::make_shared<int>(i));
        ASSERT_GT(id, 0);
        ASSERT_NE(id, keep);
        t.take(id);
    }
    EXPECT_NE(t.find(keep), nullptr);
}

TEST(SessionTable, FullTableRefusesWithZero) {
    Table t;
    for (int i = 0; i < Table::kMaxId; ++i) {
        ASSERT_GT(t.add(std::make_shared<int>(i)), 0);
    }
    EXPECT_EQ(t.add(std::make_shared<int>(-1)), 0);
    t.take(77);
    EXPECT_EQ(t.add(std::make_shared<int>(-1)), 77);
}

TEST(SessionTable, ConcurrentOpensGetDistinctIds) {
    Table t;
    std::vector<std::vector<Table::Id>> ids(4);
    std::vector<std::thread> threads;
    for (auto& mine : ids) {
        threads.emplace_back([&t, &mine] {
            for (int i = 0; i < 500; ++i) {
                mine.push_back(t.add(std::make_shared<int>(i)));
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::set<Table::Id> all;
    for (const auto& mine : ids) {
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(all.size(), 2000u);
    EXPECT_EQ(all.count(0), 0u);
}
