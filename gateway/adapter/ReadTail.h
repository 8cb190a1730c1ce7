#pragma once
// The rest of a message that the adapter is still reading after its reader was answered (a
// slice of time passed with bytes in hand, or its count or its character came). A running read
// cannot be interrupted, so the address's next read takes these bytes as they come instead of
// queueing behind the adapter's whole read: a long answer over a slow serial link reaches the
// client read by read, each bounded by its own time-out.

#include "gateway/adapter/AdapterTypes.h"
#include "net/Deadline.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace gateway::adapter {

class ReadTail {
public:
    explicit ReadTail(std::size_t most) : m_most(most) {}

    /// On the adapter's thread: bytes of the message after those its reader took (`eoi`: the
    /// message ends with them). False, and nothing kept, when they would pass the bound.
    bool add(std::span<const std::uint8_t> bytes, bool eoi);
    /// On the adapter's thread, as its read ends: the bytes nobody took and whether the
    /// message ended with them, no reader told yet (`eoi`). No reader takes any more.
    std::vector<std::uint8_t> close(bool& eoi);

    /// A read of the address while the tail is open: up to `max` bytes (to `termChar` when it
    /// comes), answered as a read through the adapter would be (END, the character, the count,
    /// or a `slice` of time after the first byte), or by `deadline` or `stop` with what it has.
    /// Nothing when the tail closed before a byte came: the caller reads through the queue.
    std::optional<ReadResult> take(std::size_t max, std::optional<std::uint8_t> termChar,
                                   std::chrono::milliseconds slice, const Sink& sink,
                                   net::Deadline deadline, const Stop& stop);

private:
    /// Moves what it may of the kept bytes into `got` (m_mutex held).
    void takeKept(std::vector<std::uint8_t>& got, ReadResult& result, std::size_t max,
                  std::optional<std::uint8_t> termChar);

    const std::size_t m_most;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::uint8_t> m_bytes;
    bool m_eoi = false;   ///< the message ended, and no reader was told yet
    bool m_ended = false; ///< a reader was told the message ended: nothing more comes
    bool m_closed = false;
    int m_readers = 0; ///< callers inside take()
};

/// The open tails, one per address at most; shared by the adapter's thread and its callers.
class ReadTails {
public:
    using Key = std::pair<int, int>;
    static Key keyOf(const GpibAddress& address) {
        return {address.primary, address.secondary ? *address.secondary : -1};
    }

    std::shared_ptr<ReadTail> open(const GpibAddress& address, std::size_t most);
    std::shared_ptr<ReadTail> find(const GpibAddress& address);
    void remove(const GpibAddress& address, const std::shared_ptr<ReadTail>& tail);

private:
    std::mutex m_mutex;
    std::map<Key, std::shared_ptr<ReadTail>> m_open;
};

} // namespace gateway::adapter
