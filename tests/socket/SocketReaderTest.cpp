// The reader between the stream and the caller's buffer: what a peer can make it allocate.
// (How reads end over any cut of the stream is the fuzz target's to check.)

#include "socket/SocketReader.h"

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
    t_counting = true;
    reader.read(source, buf, '\n', net::Deadline::never(), first);
    reader.read(source, buf, '\n', net::Deadline::never(), second);
    t_counting = false;
    EXPECT_EQ(t_allocations, 0u);
    EXPECT_EQ(first.count, buf.size());
    EXPECT_EQ(first.reason, rawsocket::kReasonReqCnt);
    EXPECT_EQ(second.count, buf.size());
    EXPECT_EQ(reader.scanner().blockDataLeft(), 999999999u - (2 * buf.size() - 11));
}
