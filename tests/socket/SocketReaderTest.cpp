// The reader between the stream and the caller's buffer, over a scripted source: what a peer
// can make it receive and allocate.

#include "socket/SocketReader.h"
#include "net/TransportError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

thread_local bool t_counting = false;
thread_local std::size_t t_allocations = 0;

} // namespace

// Every allocation of the test program passes here, so a test can count those of one call.
void* operator new(std::size_t size) {
    if (t_counting) {
        ++t_allocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// GCC takes the free() in a replaced delete for a mismatch with new, which it is not here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

using rawsocket::kReasonChr;
using rawsocket::kReasonReqCnt;

/// Hands out its pieces in order, as much of the current one as asked for; then `fill`
/// bytes for ever, or a time-out when `fill` is 0.
class ScriptSource final : public rawsocket::ByteSource {
public:
    std::vector<std::string> pieces;
    char fill = 0;

    std::size_t receiveSome(std::span<std::uint8_t> out, net::Deadline) override {
        if (m_next == pieces.size()) {
            if (fill == 0) {
                throw net::TransportError(net::TransportError::Kind::Timeout);
            }
            std::memset(out.data(), fill, out.size());
            return out.size();
        }
        const std::string& piece = pieces[m_next];
        const std::size_t n = std::min(out.size(), piece.size() - m_at);
        std::memcpy(out.data(), piece.data() + m_at, n);
        m_at += n;
        if (m_at == piece.size()) {
            ++m_next;
            m_at = 0;
        }
        return n;
    }

private:
    std::size_t m_next = 0;
    std::size_t m_at = 0;
};

std::string readOnce(rawsocket::SocketReader& reader, ScriptSource& source, std::size_t size,
                     std::int32_t& reason) {
    std::vector<std::uint8_t> buf(size);
    library::ReadProgress progress;
    reader.read(source, buf, '\n', net::Deadline::never(), progress);
    reason = progress.reason;
    return {buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(progress.count)};
}

} // namespace

TEST(SocketReader, BlockDataGoesStraightToTheCallerButNeverPastTheBlock) {
    // The header arrives alone, so the data is received straight into the caller's buffer; the
    // source would hand over the next reply too if asked for more than the block holds.
    ScriptSource source;
    source.pieces = {"#15", "hel\no\nnext\n"};
    rawsocket::SocketReader reader;
    std::int32_t reason = 0;
    EXPECT_EQ(readOnce(reader, source, 100, reason), "#15hel\no\n");
    EXPECT_EQ(reason, kReasonChr);
    EXPECT_EQ(readOnce(reader, source, 5, reason), "next\n");
    EXPECT_EQ(reason, kReasonChr | kReasonReqCnt);
}

TEST(SocketReader, AHugeBlockClaimAllocatesNothingAndEndsAtTheCount) {
    ScriptSource source;
    source.pieces = {"#9999999999"};
    source.fill = '\n';
    rawsocket::SocketReader reader;
    std::vector<std::uint8_t> buf(4096);
    library::ReadProgress first;
    library::ReadProgress second;
    t_counting = true;
    reader.read(source, buf, '\n', net::Deadline::never(), first);
    reader.read(source, buf, '\n', net::Deadline::never(), second);
    t_counting = false;
    EXPECT_EQ(t_allocations, 0u);
    EXPECT_EQ(first.count, buf.size());
    EXPECT_EQ(first.reason, kReasonReqCnt);
    EXPECT_EQ(second.count, buf.size());
    EXPECT_EQ(reader.scanner().blockDataLeft(), 999999999u - (2 * buf.size() - 11));
}
