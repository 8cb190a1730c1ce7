// The floors of bulk transfers: a block's bytes through a bare loopback socket between this
// process and a peer process, one way or the other.
#include "bench/Common.h"
#include "bench/Floor.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

/// Transfers on each floor connection before the timed ones: the kernel grows a fresh
/// connection's buffers as the bytes flow, and the library's link is not fresh either.
constexpr int kWarmUpTransfers = 1;
/// Timed transfers on each floor connection; the fastest is the floor. Two processes streaming
/// on one CPU settle into one of two paces that differ about twofold for the same bytes and
/// the same system calls, and a connection mostly keeps the pace it took: each run's floor
/// is on a fresh connection, so the runs sample both paces as the library's sessions do.
constexpr int kTimedTransfers = 3;

/// Sends what it can of `bytes` without blocking, waiting in poll() while the socket is full,
/// as the library and the simulator do (a blocking send of the same bytes settles into the
/// slower pace more often). The bytes sent; 0 on a failure. A system call only (after fork).
std::size_t sendSome(int fd, const char* bytes, std::size_t size) {
    for (;;) {
        const ssize_t n = ::send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        pollfd p{fd, POLLOUT, 0};
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || ::poll(&p, 1, -1) < 0) {
            return 0;
        }
    }
}

/// Receives what has come, up to `size` bytes, waiting in poll() while nothing has, as the
/// library does. The bytes received; 0 on a failure or the close. A system call only.
std::size_t receiveSome(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(fd, into, size, MSG_DONTWAIT);
        if (n > 0) {
            return static_cast<std::size_t>(n);
        }
        pollfd p{fd, POLLIN, 0};
        if (n == 0 || (errno != EAGAIN && errno != EINTR) || ::poll(&p, 1, -1) < 0) {
            return 0;
        }
    }
}

/// A buffer of `size` bytes filled with `fill`, mapped in the peer process itself: made in the
/// parent, it would count in the bench's own memory, whose growth is a figure. System calls
/// only (after fork); ends the process when there is no memory.
std::span<char> peerBuffer(std::size_t size, char fill) {
    void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        ::_exit(1);
    }
    std::memset(p, fill, size);
    return {static_cast<char*>(p), size};
}

/// The peer of the read floor: for each one-byte request, sends `total` bytes a piece of
/// `pieceSize` at a time, as the simulator sends a waveform; then waits for the close.
[[noreturn]] void streamChild(int listener, std::uint64_t total, std::size_t pieceSize) {
    const std::span<char> piece = peerBuffer(pieceSize, 'w');
    const int fd = ::accept(listener, nullptr, nullptr);
    char request = 0;
    while (fd >= 0 && ::recv(fd, &request, 1, 0) == 1) {
        for (std::uint64_t sent = 0; sent < total;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), total - sent));
            for (std::size_t done = 0; done < n;) {
                const std::size_t k = sendSome(fd, piece.data() + done, n - done);
                if (k == 0) {
                    ::_exit(1);
                }
                done += k;
            }
            sent += n;
        }
    }
    ::close(fd);
    ::_exit(0);
}

/// The peer of the write floor: takes `total` bytes into `sink` as they come, then answers
/// one byte; again for each transfer, until the close.
[[noreturn]] void sinkChild(int listener, std::uint64_t total, std::size_t sinkSize) {
    const std::span<char> sink = peerBuffer(sinkSize, 0);
    const int fd = ::accept(listener, nullptr, nullptr);
    for (bool open = fd >= 0; open;) {
        for (std::uint64_t got = 0; open && got < total;) {
            const auto want =
                static_cast<std::size_t>(std::min<std::uint64_t>(sink.size(), total - got));
            const std::size_t n = receiveSome(fd, sink.data(), want);
            open = n > 0;
            got += n;
        }
        open = open && ::send(fd, "k", 1, MSG_NOSIGNAL) == 1;
    }
    ::close(fd);
    ::_exit(0);
}

/// One transfer of the read floor: a one-byte request, then `into.size()` bytes received,
/// all that is left asked for at once, as the library does. False if the peer failed.
bool receiveBlock(int fd, std::string& into) {
    if (::send(fd, "g", 1, MSG_NOSIGNAL) != 1) {
        return false;
    }
    for (std::size_t got = 0; got < into.size();) {
        const std::size_t n = receiveSome(fd, into.data() + got, into.size() - got);
        if (n == 0) {
            return false;
        }
        got += n;
    }
    return true;
}

/// One transfer of the write floor: `from` sent, all that is left handed over at once, as the
/// library does, then the peer's answer that all came. False if the peer failed.
bool sendBlock(int fd, const std::string& from) {
    for (std::size_t sent = 0; sent < from.size();) {
        const std::size_t n = sendSome(fd, from.data() + sent, from.size() - sent);
        if (n == 0) {
            return false;
        }
        sent += n;
    }
    char answer = 0;
    return ::recv(fd, &answer, 1, 0) == 1;
}

/// Seconds of the fastest timed `transfer` on a fresh connection to the peer that `serve`
/// runs, both pinned as `where` says.
double fastestTransfer(Placement where, const std::function<void(int listener)>& serve,
                       const std::function<bool(int fd)>& transfer) {
    if (!runOnlyOn(where.client)) {
        throw std::runtime_error("floor: cannot run on CPU " + std::to_string(where.client));
    }
    LoopbackPeer peer;
    peer.start(where.peer, serve);
    const int fd = peer.connect();
    double fastest = 0;
    bool whole = true;
    for (int i = 0; whole && i < kWarmUpTransfers + kTimedTransfers; ++i) {
        const auto start = Clock::now();
        whole = transfer(fd);
        const double took = seconds(Clock::now() - start);
        if (i >= kWarmUpTransfers && (fastest == 0 || took < fastest)) {
            fastest = took;
        }
    }
    ::close(fd);
    peer.finish(!whole);
    if (!whole) {
        throw std::runtime_error("floor: the peer failed mid-transfer");
    }
    return fastest;
}

} // namespace

OutOfForks::OutOfForks(std::string& buffer) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    const std::uintptr_t first = (begin + page - 1) / page * page;
    const std::uintptr_t last = (begin + buffer.size()) / page * page;
    // Whole pages only: the pages at either end may hold other data the peer needs.
    if (last > first &&
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTFORK) == 0) {
        m_begin = first;
        m_size = last - first;
    }
}

OutOfForks::~OutOfForks() {
    // The mark belongs to the pages, not to the buffer: pages of the heap outlive it, and
    // whatever is put there next must reach the peers again.
    if (m_size > 0) {
        ::madvise(reinterpret_cast<void*>(m_begin), m_size, MADV_DOFORK);
    }
}

Floor measureStreamFloor(std::string& into, std::size_t sendPiece) {
    const std::uint64_t total = into.size();
    return acrossPlacements([&](Placement where) {
        return fastestTransfer(
            where, [&](int listener) { streamChild(listener, total, sendPiece); },
            [&](int fd) { return receiveBlock(fd, into); });
    });
}

Floor measureSinkFloor(const std::string& from, std::size_t receivePiece) {
    const std::uint64_t total = from.size();
    return acrossPlacements([&](Placement where) {
        return fastestTransfer(
            where, [&](int listener) { sinkChild(listener, total, receivePiece); },
            [&](int fd) { return sendBlock(fd, from); });
    });
}

} // namespace bench
