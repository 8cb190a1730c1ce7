#include "bench/PlusPlusClient.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace bench {

namespace {

constexpr char kEsc = 27;
/// An AR488 sends a longer data line to the bus in pieces, each a message of its own.
constexpr std::size_t kAr488Line = 128;
/// How long the adapter may take to say anything; far more than any figure measured.
constexpr int kReplyTimeoutMs = 30000;

/// A TCP connection to `to` with TCP_NODELAY; -1 when it cannot be made. System calls only.
int connectTo(const AdapterAddress& to) {
    const int fd = ::socket(to.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to.address), to.length) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

/// Writes all of `bytes` to `fd`; false when the peer is gone. A system call only.
bool writeAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0 && !(n < 0 && errno == EINTR)) {
            return false;
        }
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    return true;
}

/// Receives what has come into `into`, waiting for at least one byte; throws on a silence of
/// kReplyTimeoutMs or the close.
std::size_t receiveSome(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, into, size, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        if (n == 0) {
            throw std::runtime_error("the adapter closed the connection");
        }
        if (errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("receive from the adapter failed");
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReplyTimeoutMs) == 0) {
            throw std::runtime_error("the adapter fell silent");
        }
    }
}

} // namespace

AdapterAddress resolveAdapter(const std::string& hostPort) {
    const std::size_t colon = hostPort.rfind(':');
    if (colon == std::string::npos) {
        throw std::runtime_error("--plusplus needs HOST:PORT, not " + hostPort);
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(), &hints,
                      &found) != 0) {
        throw std::runtime_error("cannot resolve " + hostPort);
    }
    AdapterAddress to;
    std::memcpy(&to.address, found->ai_addr, found->ai_addrlen);
    to.length = found->ai_addrlen;
    ::freeaddrinfo(found);
    return to;
}

int connectAdapter(const AdapterAddress& to) {
    const int fd = connectTo(to);
    if (fd < 0) {
        throw std::runtime_error("cannot connect to the adapter");
    }
    return fd;
}

void relay(int listener, const AdapterAddress& to) {
    const int client = ::accept(listener, nullptr, nullptr);
    const int adapter = client < 0 ? -1 : connectTo(to);
    if (adapter >= 0) {
        const int one = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        static char buffer[64 * 1024];
        pollfd ends[2] = {{client, POLLIN, 0}, {adapter, POLLIN, 0}};
        for (bool open = true; open && ::poll(ends, 2, -1) > 0;) {
            for (int from = 0; open && from < 2; ++from) {
                if (ends[from].revents == 0) {
                    continue;
                }
                const ssize_t n = ::recv(ends[from].fd, buffer, sizeof buffer, 0);
                open = n > 0 && writeAll(ends[1 - from].fd, buffer, static_cast<std::size_t>(n));
            }
        }
    }
    ::close(client);
    ::close(adapter);
}

PlusPlusClient::PlusPlusClient(int connection) : m_fd(connection) {
    // The empty line ends whatever a client before may have left half-typed.
    sendAll("\r\n++ver\r\n");
    const std::string version = readLine();
    m_ar488 = version.rfind("AR488", 0) == 0;
    if (!m_ar488 && version.rfind("Prologix", 0) != 0) {
        ::close(m_fd);
        throw std::runtime_error("not a ++ adapter: " + version);
    }
    sendAll("++mode 1\n++auto 0\n++eoi 1\n++eos 3\n++eot_enable 0\n++read_tmo_ms 500\n");
    sendAll("++mode\n");
    if (readLine() != "1") {
        ::close(m_fd);
        throw std::runtime_error("the adapter did not take controller mode");
    }
}

PlusPlusClient::~PlusPlusClient() {
    ::close(m_fd);
}

void PlusPlusClient::address(int primary) {
    if (primary != m_address) {
        sendAll("++addr " + std::to_string(primary) + "\n");
        m_address = primary;
    }
}

void PlusPlusClient::sendAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("send to the adapter failed");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

const std::string& PlusPlusClient::encode(std::string_view message, bool readAfter) {
    m_out.clear();
    const std::size_t line = m_ar488 ? kAr488Line : std::max<std::size_t>(message.size(), 1);
    const bool pieces = message.size() > line;
    if (pieces) {
        m_out += "++eoi 0\n";
    }
    for (std::size_t at = 0; at < message.size(); at += line) {
        const std::string_view part = message.substr(at, line);
        if (pieces && at + part.size() == message.size()) {
            m_out += "++eoi 1\n";
        }
        for (const char c : part) {
            if (c == '\r' || c == '\n' || c == kEsc || c == '+') {
                m_out += kEsc;
            }
            m_out += c;
        }
        m_out += '\n';
    }
    if (readAfter) {
        m_out += "++read eoi\n";
    }
    return m_out;
}

void PlusPlusClient::write(std::string_view message) {
    sendAll(encode(message, false));
}

std::string PlusPlusClient::query(std::string_view text) {
    sendAll(encode(text, true));
    return readLine();
}

std::string PlusPlusClient::readLine() {
    std::string answer;
    char piece[512];
    while (answer.empty() || answer.back() != '\n') {
        answer.append(piece, receiveSome(m_fd, piece, sizeof piece));
    }
    // A reply, or an answer read to EOI, ends at its LF: nothing follows it.
    answer.pop_back();
    if (!answer.empty() && answer.back() == '\r') {
        answer.pop_back();
    }
    return answer;
}

void PlusPlusClient::readExactly(std::string_view text, std::string& into) {
    sendAll(encode(text, true));
    for (std::size_t got = 0; got < into.size();) {
        got += receiveSome(m_fd, into.data() + got, into.size() - got);
    }
}

} // namespace bench
