// The reader between the stream and the caller's buffer: what a peer can make it allocate.
// (How reads end over any cut of the stream is the fuzz target's to check.)

#include "socket/SocketReader.h"

#include "support/CountingNew.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

/// Hands out `header`, then LF bytes for ever: a peer claiming a block of ~1 GB.
class HugeBlockSource final : public rawsocket::ByteSource {
public:
    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline) override {
        if (!m_headerSent) {
            m_headerSent = true;
            const std::string header = "#9999999999";
            std::memcpy(out.data(), header.data(), header.size());
            return header.size();
        }
        std::memset(out.data(), '\n', out.size());
        return out.size();
    }

private:
    bool m_headerSent = false;
};

} // namespace

TEST(SocketReader, AHugeBlockClaimAllocatesNothingAndEndsAtTheCount) {
    HugeBlockSource source;
    rawsocket::SocketReader reader;
    std::vector<std::uint8_t> buf(4096);
    library::ReadProgress first;
    library::ReadProgress second;
    testsupport::startCountingAllocations();
    reader.read(source, buf, '\n', net::Deadline::never(), first);
    reader.read(source, buf, '\n', net::Deadline::never(), second);
    EXPECT_EQ(testsupport::stopCountingAllocations().count, 0u);
    EXPECT_EQ(first.count, buf.size());
    EXPECT_EQ(first.reason, rawsocket::kReasonReqCnt);
    EXPECT_EQ(second.count, buf.size());
    EXPECT_EQ(reader.scanner().blockDataLeft(), 999999999u - (2 * buf.size() - 11));
}
