#include "gateway/serving/ReceiveBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>

namespace gateway {
namespace {

/// A connection whose receives fill its buffer: what a streaming client looks like.
void streamed(ReceiveBuffer& buffer) {
    buffer.received(buffer.space().size());
}

TEST(ReceiveBuffer, GrowsWhileAStreamFillsItAndShrinksWhenItEnds) {
    ReceiveBuffer buffer;
    EXPECT_EQ(buffer.space().size(), ReceiveBuffer::kSmall);
    buffer.received(100); // a query: stays small
    EXPECT_EQ(buffer.space().size(), ReceiveBuffer::kSmall);

    streamed(buffer);
    EXPECT_EQ(buffer.space().size(), ReceiveBuffer::kLarge);
    EXPECT_TRUE(buffer.holdsLarge());
    EXPECT_EQ(buffer.data(), buffer.space().data()); // received bytes are read where they went

    buffer.received(ReceiveBuffer::kSmall - 1); // the stream's last piece
    EXPECT_EQ(buffer.space().size(), ReceiveBuffer::kSmall);
    EXPECT_FALSE(buffer.holdsLarge());
}

TEST(ReceiveBuffer, TheProcessLendsOnlySoManyLargeBuffersAndTakesThemBack) {
    std::array<std::unique_ptr<ReceiveBuffer>, ReceiveBuffer::kLargeAtOnce> holders;
    for (auto& h : holders) {
        h = std::make_unique<ReceiveBuffer>();
        streamed(*h);
        ASSERT_EQ(h->space().size(), ReceiveBuffer::kLarge);
    }
    ReceiveBuffer extra;
    streamed(extra);
    EXPECT_EQ(extra.space().size(), ReceiveBuffer::kSmall) << "over the budget";

    holders[0]->received(0); // that stream ended: its buffer goes back
    EXPECT_EQ(holders[0]->space().size(), ReceiveBuffer::kSmall);
    streamed(extra);
    EXPECT_EQ(extra.space().size(), ReceiveBuffer::kLarge);

    holders[1].reset(); // a connection that closes gives its buffer back too
    streamed(*holders[0]);
    EXPECT_EQ(holders[0]->space().size(), ReceiveBuffer::kLarge);
}

} // namespace
} // namespace gateway
