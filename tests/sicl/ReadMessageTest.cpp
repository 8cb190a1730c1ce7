#include "sicl/ReadMessage.h"
#include "support/FakeLibrary.h"

#include <gtest/gtest.h>

using sicl::MessageEnd;
using testsupport::FakeLibrary;

namespace {

class ReadMessageTest : public ::testing::Test {
protected:
    FakeLibrary lib;
    sicl::Sicl32Module sicl{lib};
    std::string message;
    std::string scratch;
};

TEST_F(ReadMessageTest, PiecesAreJoinedUntilEndAndAnAnswerThatFillsTheLimitExactlyIsWhole) {
    lib.queueRead("abc", 0); // no reason bit: read on
    lib.queueRead("de", sicl::reason::kEnd);
    EXPECT_EQ(sicl::readMessage(sicl, 1, 5, message, scratch), MessageEnd::End);
    EXPECT_EQ(message, "abcde");
    lib.queueRead("abcde", sicl::reason::kEnd);
    EXPECT_EQ(sicl::readMessage(sicl, 1, 5, message, scratch), MessageEnd::End);
    lib.queueRead("abcdef", sicl::reason::kEnd);
    EXPECT_EQ(sicl::readMessage(sicl, 1, 5, message, scratch), MessageEnd::Limit);
    EXPECT_EQ(message, "abcde");
}

TEST_F(ReadMessageTest, TheRestOfACutMessageIsDroppedUntilEnd) {
    lib.queueRead("xyz", sicl::reason::kReqCnt);
    lib.queueRead("end", sicl::reason::kEnd);
    lib.queueRead("next", sicl::reason::kEnd);
    const auto [dropped, ended] =
        sicl::discardMessage(sicl, 1, std::chrono::milliseconds(1000), scratch);
    EXPECT_EQ(dropped, 6u);
    EXPECT_TRUE(ended);
    EXPECT_EQ(sicl::readMessage(sicl, 1, 100, message, scratch), MessageEnd::End);
    EXPECT_EQ(message, "next");
    lib.failNext("vb_iread", 15, "I/O timeout");
    EXPECT_THROW(sicl::readMessage(sicl, 1, 100, message, scratch), sicl::SiclError);
}

TEST(BlockHeader, IsReadOnlyWhenWhole) {
    EXPECT_EQ(sicl::parseBlockHeader("#3123abc")->length, 123u);
    EXPECT_EQ(sicl::parseBlockHeader("#3123abc")->size, 5u);
    for (const char* bad : {"", "#", "#0", "#31", "#3a23", "x312"}) {
        EXPECT_FALSE(sicl::parseBlockHeader(bad)) << bad;
    }
}

} // namespace
