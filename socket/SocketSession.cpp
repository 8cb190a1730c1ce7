#include "socket/SocketSession.h"

#include "library/LibraryError.h"
#include "net/TransportError.h"

#include <array>
#include <cctype>
#include <string>

namespace rawsocket {

using library::LibraryError;
namespace liberr = library::liberr;

namespace {

constexpr std::string_view kStatusQuery = "*STB?\n";
constexpr std::string_view kTrigger = "*TRG\n";
/// Longest answer to `*STB?` taken: a number of three digits with a sign, blanks and CR LF
/// fit many times over.
constexpr std::size_t kMaxStatusAnswer = 32;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

bool isBlank(std::uint8_t byte) {
    return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

[[noreturn]] void badStatus(std::span<const std::uint8_t> answer) {
    std::string shown;
    for (const std::uint8_t byte : answer) {
        shown += std::isprint(byte) != 0 ? static_cast<char>(byte) : '.';
    }
    throw LibraryError(liberr::kBadStatusReply, shown);
}

} // namespace

std::uint8_t parseStatusByte(std::span<const std::uint8_t> answer) {
    std::size_t first = 0;
    std::size_t last = answer.size();
    while (first < last && isBlank(answer[first])) {
        ++first;
    }
    while (last > first && isBlank(answer[last - 1])) {
        --last;
    }
    if (first < last && answer[first] == '+') {
        ++first;
    }
    const auto digits = answer.subspan(first, last - first);
    unsigned value = 0;
    for (const std::uint8_t byte : digits) {
        if (byte < '0' || byte > '9' || value > 255) {
            badStatus(answer);
        }
        value = value * 10 + (byte - '0');
    }
    if (digits.empty() || value > 255) {
        badStatus(answer);
    }
    return static_cast<std::uint8_t>(value);
}

ssize_t SocketSession::CountingOps::send(int fd, const void* data, std::size_t length) {
    const ssize_t n = m_inner.send(fd, data, length);
    if (n > 0) {
        sent += static_cast<std::size_t>(n);
    }
    return n;
}

ssize_t SocketSession::CountingOps::sendv(int fd, const iovec* pieces, int count) {
    const ssize_t n = m_inner.sendv(fd, pieces, count);
    if (n > 0) {
        sent += static_cast<std::size_t>(n);
    }
    return n;
}

ssize_t SocketSession::CountingOps::recv(int fd, void* data, std::size_t length) {
    return m_inner.recv(fd, data, length);
}

SocketSession::SocketSession(std::vector<net::IpAddress> addresses, std::uint16_t port,
                             net::SocketOps& ops, const SocketOptions& options)
    : m_ops(ops), m_reader(options.blockAware), m_addresses(std::move(addresses)), m_port(port),
      m_defaultTermChar(options.defaultTermChar) {}

void SocketSession::connect(net::Deadline deadline) {
    m_connection = net::TcpConnection::connectAny(m_addresses, m_port, deadline, m_ops);
}

std::size_t SocketSession::receiveSome(std::span<std::uint8_t> out, net::Deadline deadline) {
    return m_connection.receiveUntilClose(out, deadline);
}

template <typename F>
void SocketSession::guarded(net::Deadline deadline, F&& body) {
    try {
        if (m_outOfStep) {
            // A stream cannot tell a late answer from the next one: a new connection can (an
            // instrument drops a closed connection's pending output with it).
            connect(deadline);
            m_outOfStep = false;
            m_resynced = true;
        }
        body();
    } catch (const net::TransportError& e) {
        // Whatever failed, what is kept of the stream is no longer to be trusted.
        m_connection.close();
        m_reader.discard();
        if (!e.onlyWaitEnded()) {
            throw; // lost: every later call says so, until a clear connects again
        }
        m_outOfStep = true;
        if (e.kind() == net::TransportError::Kind::Timeout) {
            throw LibraryError(liberr::kIoTimeout);
        }
        throw; // the caller's Ctrl-C
    }
}

void SocketSession::send(std::span<const std::uint8_t> bytes, net::Deadline deadline,
                         std::size_t& sent) {
    m_ops.sent = 0;
    try {
        m_connection.sendAll(bytes, deadline);
    } catch (...) {
        sent = m_ops.sent;
        throw;
    }
    sent = m_ops.sent;
}

void SocketSession::write(std::span<const std::uint8_t> data, bool /*end: a stream has none*/,
                          const library::CallTime& time, std::size_t& sent) {
    const net::Deadline deadline = time.ioDeadline();
    guarded(deadline, [&] { send(data, deadline, sent); });
}

void SocketSession::read(std::span<std::uint8_t> into, std::optional<std::uint8_t> termChar,
                         const library::CallTime& time, library::ReadProgress& progress) {
    const net::Deadline deadline = time.ioDeadline();
    guarded(deadline, [&] {
        m_reader.read(*this, into, termChar, deadline, progress);
        if (m_reader.peerClosed()) {
            m_connection.close(); // the block was whole; the session is lost from now on
            m_reader.discard();
        }
        if (m_resynced) {
            progress.reason |= sicl::reason::kResync;
            m_resynced = false;
        }
    });
}

void SocketSession::clear(const library::CallTime& time) {
    m_connection.close();
    m_reader.discard();
    m_outOfStep = false;
    m_resynced = false; // asked for: nothing to report
    const net::Deadline deadline = time.ioDeadline();
    guarded(deadline, [&] { connect(deadline); });
}

std::uint8_t SocketSession::readStb(const library::CallTime& time) {
    std::uint8_t stb = 0;
    const net::Deadline deadline = time.ioDeadline();
    guarded(deadline, [&] {
        std::size_t sent = 0;
        send(bytesOf(kStatusQuery), deadline, sent);
        std::array<std::uint8_t, kMaxStatusAnswer> answer{};
        library::ReadProgress progress;
        m_reader.read(*this, answer, '\n', deadline, progress);
        const auto got = std::span<const std::uint8_t>(answer).first(progress.count);
        if ((progress.reason & kReasonChr) == 0) {
            badStatus(got); // longer than any status byte
        }
        stb = parseStatusByte(got);
    });
    return stb;
}

void SocketSession::trigger(const library::CallTime& time) {
    const net::Deadline deadline = time.ioDeadline();
    guarded(deadline, [&] {
        std::size_t sent = 0;
        send(bytesOf(kTrigger), deadline, sent);
    });
}

void SocketSession::close(net::Deadline) noexcept {
    m_connection.close();
}

} // namespace rawsocket
