#pragma once
// A bare `++` client: the adapter's language spoken directly over its TCP socket, with nothing
// between the caller and the adapter but the kernel. The floor the bridge to that adapter is
// measured against: whatever the bridge adds (VXI-11, its queue, its framing of reads, its
// confirmations) shows as the difference.

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

/// Where a TCP adapter listens, resolved.
struct AdapterAddress {
    sockaddr_storage address{};
    socklen_t length = 0;
};

/// Resolves HOST:PORT; throws std::runtime_error.
AdapterAddress resolveAdapter(const std::string& hostPort);
/// A connection to the adapter (TCP_NODELAY); throws std::runtime_error.
int connectAdapter(const AdapterAddress& to);
/// Takes one client on `listener` and passes bytes both ways between it and the adapter at
/// `to`, until either closes: a bridge that does nothing else, so the least any bridge costs.
/// System calls only (it runs in a forked process).
void relay(int listener, const AdapterAddress& to);

class PlusPlusClient {
public:
    /// Takes the connection to an adapter (directly or through a relay) and sets the adapter
    /// up as a client of its own would: controller, no automatic reads, END on each line's
    /// last byte, nothing appended, no end marker. Throws std::runtime_error.
    explicit PlusPlusClient(int connection);
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
