#pragma once
// Where a stream connection (HiSLIP, the raw socket) receives: a small buffer of its own, and,
// while its client streams a large write, a large one lent from a budget the whole process
// shares. On one CPU a loopback sender has at most its send buffer in flight (4 MiB by
// default); a receiver that takes all of it at a time keeps the stream at the faster of the two
// paces such a stream runs at far more often than one taking 64 KiB at a time, which also
// sends an acknowledgement from inside every receive. The budget keeps 64 connections
// from holding 4 MiB each.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace gateway {

class ReceiveBuffer {
public:
    /// Bytes of the buffer every connection has.
    static constexpr std::size_t kSmall = 64 * 1024;
    /// Bytes of a large buffer.
    static constexpr std::size_t kLarge = 4 << 20;
    /// Large buffers lent at once, in the whole process.
    static constexpr std::size_t kLargeAtOnce = 4;

    ReceiveBuffer();
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    /// Where the next receive goes, once every byte received before has been used: the large
    /// buffer while the receives bring at least kSmall bytes each (and one can be had), else
    /// the small one. A large buffer no longer needed goes back here.
    std::span<std::uint8_t> space();
    /// The receive into space() brought `n` bytes.
    void received(std::size_t n) noexcept { m_last = n; }
    /// The bytes of the buffer space() gave last.
    std::uint8_t* data() noexcept { return m_large ? m_large.get() : m_small.get(); }
    bool holdsLarge() const noexcept { return m_large != nullptr; }

private:
    void giveBack() noexcept;

    std::unique_ptr<std::uint8_t[]> m_small;
    std::unique_ptr<std::uint8_t[]> m_large;
    std::size_t m_last = 0; ///< bytes the last receive brought
};

} // namespace gateway
