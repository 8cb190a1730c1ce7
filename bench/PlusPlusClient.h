#pragma once
// A bare `++` client: the adapter's language spoken directly over its TCP socket, with nothing
// between the caller and the adapter but the kernel. The floor the bridge to that adapter is
// measured against: whatever the bridge adds (VXI-11, its queue, its framing of reads, its
// confirmations) shows as the difference.

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

class PlusPlusClient {
public:
    /// Connects to the adapter at HOST:PORT (TCP_NODELAY) and sets it up as a client of its
    /// own would: controller, no automatic reads, END on each line's last byte, nothing
    /// appended, no end marker. Throws std::runtime_error.
    explicit PlusPlusClient(const std::string& hostPort);
    ~PlusPlusClient();
    PlusPlusClient(const PlusPlusClient&) = delete;
    PlusPlusClient& operator=(const PlusPlusClient&) = delete;

    /// True when the adapter said it is an AR488 (its 128-byte line buffer shapes writes).
    bool ar488() const noexcept { return m_ar488; }
    /// Makes the instrument at `primary` the target of what follows (sent when it changes).
    void address(int primary);
    /// Sends `message` as one message with END on its last byte only: escaped, in one line,
    /// or on an AR488 in lines of 128 bytes under `++eoi 0` and the last under `++eoi 1`.
    void write(std::string_view message);
    /// Sends `text` as one message, reads the answer up to its LF and returns it without its
    /// line end.
    std::string query(std::string_view text);
    /// Sends `text` as one message and reads exactly `into.size()` bytes of answer into
    /// `into` (a definite-length block and its LF, whose size the caller knows).
    void readExactly(std::string_view text, std::string& into);

private:
    void sendAll(std::string_view bytes);
    /// Receives one line (a reply, or an answer up to its LF), without its line end.
    std::string readLine();
    const std::string& encode(std::string_view message, bool readAfter);

    int m_fd = -1;
    bool m_ar488 = false;
    int m_address = -1;
    std::string m_out;
};

} // namespace bench
