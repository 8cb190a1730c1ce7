#pragma once

#include "net/Deadline.h"
#include "net/Fd.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace net {

/// A serial device (a USB serial adapter, a pseudo-terminal's slave) as a byte stream: raw 8N1,
/// no flow control, every wait bounded by a deadline over poll(). It knows no protocol.
/// Failures throw TransportError: ConnectionLost when the device went away (unplugged, the
/// pty's master closed), Timeout at the deadline, ConnectionRefused when another program holds
/// the port, System for anything else.
class SerialPort {
public:
    SerialPort() = default;

    /// Opens `path` for this program alone at `baud` (raw 8N1, no flow control).
    static SerialPort open(const std::string& path, int baud);

    bool isOpen() const noexcept { return m_fd.valid(); }
    void close() noexcept { m_fd.reset(); }
    int fd() const noexcept { return m_fd.get(); }
    const std::string& path() const noexcept { return m_path; }

    /// Sends every byte or throws.
    void sendAll(std::span<const std::uint8_t> bytes, Deadline deadline);
    /// Receives what is there (at least one byte), waiting up to `deadline`; throws.
    std::size_t receiveSome(std::span<std::uint8_t> out, Deadline deadline);
    /// True once the device has hung up (reads nothing, never blocks).
    bool hungUp() const noexcept;

private:
    SerialPort(Fd fd, std::string path) : m_fd(std::move(fd)), m_path(std::move(path)) {}
    /// Waits until `events` are ready; throws on time-out or hang-up without data.
    void waitFor(short events, Deadline deadline);
    [[noreturn]] void fail(int error) const;

    Fd m_fd;
    std::string m_path;
};

} // namespace net
