// A quick loopback measurement (not a test: the bench holds the targets): a large block read
// and written through a raw socket session of the library, against the same bytes over a bare
// TCP socket, both against one peer thread that serves each the same way.
// Usage: socket_bulk_check [MiB] [rounds]   (default 64 MiB, best of 5)

#include "lan/LanLibrary.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void sendAll(int fd, const char* data, std::size_t size) {
    for (std::size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

/// Receives `size` bytes into `into` (reused from its start when smaller); false on close.
bool receiveAll(int fd, std::vector<char>& into, std::size_t size) {
    for (std::size_t got = 0; got < size;) {
        const std::size_t at = got % into.size();
        const ssize_t n = ::recv(fd, into.data() + at, std::min(size - got, into.size() - at), 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

/// Serves one connection: "READ\n" sends the block and LF, "WRITE N\n" takes N bytes and
/// answers "OK\n".
void serve(int fd, const std::string& block) {
    std::vector<char> sink(1 << 20);
    for (std::string line;;) {
        char c = 0;
        if (::recv(fd, &c, 1, 0) != 1) {
            break;
        }
        if (c != '\n') {
            line += c;
            continue;
        }
        if (line == "READ") {
            sendAll(fd, block.data(), block.size());
        } else if (line.rfind("WRITE ", 0) == 0) {
            if (!receiveAll(fd, sink, std::stoull(line.substr(6)))) {
                break;
            }
            sendAll(fd, "OK\n", 3);
        }
        line.clear();
    }
    ::close(fd);
}

struct Figures {
    double read = 1e9;  ///< seconds for one block, the best round
    double write = 1e9; ///< seconds for one block, the best round
};

/// Keeps the faster of `best` and the time `once` takes.
void timed(double& best, const std::function<void()>& once) {
    const auto start = Clock::now();
    once();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
}

/// The bare floor: the same bytes with plain blocking socket calls, into one buffer.
class BareTcp {
public:
    BareTcp(const sockaddr_in& addr, const std::string& block)
        : m_block(block), m_into(block.size()),
          m_writeCommand("WRITE " + std::to_string(block.size()) + "\n") {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::connect(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    ~BareTcp() { ::close(m_fd); }
    void round(Figures& f) {
        timed(f.read, [&] {
            sendAll(m_fd, "READ\n", 5);
            receiveAll(m_fd, m_into, m_block.size());
        });
        timed(f.write, [&] {
            sendAll(m_fd, m_writeCommand.data(), m_writeCommand.size());
            sendAll(m_fd, m_block.data(), m_block.size());
            receiveAll(m_fd, m_into, 3);
        });
    }

private:
    const std::string& m_block;
    std::vector<char> m_into;
    std::string m_writeCommand;
    int m_fd = -1;
};

/// The same through a raw socket session of the library.
class Session {
public:
    Session(std::uint16_t port, const std::string& block)
        : m_block(block), m_buf(block.size() + 16, '\0'),
          m_writeCommand("WRITE " + std::to_string(block.size()) + "\n") {
        m_id = m_lib.vb_iopen("TCPIP::127.0.0.1::" + std::to_string(port) + "::SOCKET");
    }
    ~Session() { m_lib.vb_iclose(m_id); }
    /// One round; false if the block did not come back byte for byte.
    bool round(Figures& f) {
        std::int32_t reason = 0;
        std::int32_t actual = 0;
        timed(f.read, [&] {
            m_lib.vb_iwrite(1, m_id, "READ\n", 5, 1, actual);
            m_lib.vb_iread(1, m_id, m_buf, static_cast<std::int32_t>(m_buf.size()), reason, actual);
        });
        const bool whole = static_cast<std::size_t>(actual) == m_block.size() &&
                           m_buf.compare(0, m_block.size(), m_block) == 0;
        timed(f.write, [&] {
            m_lib.vb_iwrite(1, m_id, m_writeCommand,
                            static_cast<std::int32_t>(m_writeCommand.size()), 1, actual);
            m_lib.vb_iwrite(1, m_id, m_block, static_cast<std::int32_t>(m_block.size()), 1, actual);
            m_lib.vb_iread(1, m_id, m_buf, 16, reason, actual);
        });
        return whole;
    }

private:
    lan::LanLibrary m_lib;
    const std::string& m_block;
    std::string m_buf;
    std::string m_writeCommand;
    sicl::SessionId m_id = 0;
};

} // namespace

int main(int argc, char** argv) {
    const std::size_t size = (argc > 1 ? std::stoul(argv[1]) : 64) << 20;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string length = std::to_string(size);
    std::string block = "#" + std::to_string(length.size()) + length;
    for (std::size_t i = 0; i < size; ++i) {
        block += static_cast<char>(i % 251); // LF bytes inside
    }
    block += '\n';

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addrLength = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &addrLength) != 0) {
        std::perror("listen");
        return 1;
    }
    std::thread peers[2];
    for (auto& peer : peers) {
        peer = std::thread([&] { serve(::accept(listener, nullptr, nullptr), block); });
    }
    Figures floor;
    Figures lib;
    bool whole = true;
    {
        // Rounds alternate, so a change in the machine's load falls on both alike.
        BareTcp bare(addr, block);
        Session session(ntohs(addr.sin_port), block);
        for (int i = 0; i < rounds; ++i) {
            bare.round(floor);
            whole = session.round(lib) && whole;
        }
    }
    for (auto& peer : peers) {
        peer.join();
    }
    ::close(listener);

    const double mib = static_cast<double>(size) / (1 << 20);
    std::printf("block of %zu MiB, best of %d, read %s\n", size >> 20, rounds,
                whole ? "whole" : "WRONG");
    std::printf("read:  socket session %7.1f MiB/s, bare TCP %7.1f MiB/s, ratio %.2f\n",
                mib / lib.read, mib / floor.read, floor.read / lib.read);
    std::printf("write: socket session %7.1f MiB/s, bare TCP %7.1f MiB/s, ratio %.2f\n",
                mib / lib.write, mib / floor.write, floor.write / lib.write);
    return whole ? 0 : 1;
}
