#include "bench/Floor.h"

#include "bench/Common.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

/// Keeps this thread's CPU mask and puts it back when the floor is done, so that the library's
/// own exchanges go on running wherever the scheduler puts them.
class AffinityGuard {
public:
    AffinityGuard() {
        CPU_ZERO(&m_saved);
        m_valid = ::sched_getaffinity(0, sizeof m_saved, &m_saved) == 0;
    }
    ~AffinityGuard() {
        if (m_valid) {
            ::sched_setaffinity(0, sizeof m_saved, &m_saved);
        }
    }
    AffinityGuard(const AffinityGuard&) = delete;
    AffinityGuard& operator=(const AffinityGuard&) = delete;
    const cpu_set_t& saved() const { return m_saved; }
    bool valid() const { return m_valid; }

private:
    cpu_set_t m_saved;
    bool m_valid = false;
};

using Clock = std::chrono::steady_clock;

void sendAll(int fd, const std::vector<char>& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("floor: send failed");
        }
        sent += static_cast<std::size_t>(n);
    }
}

bool receiveAll(int fd, std::vector<char>& data) {
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::recv(fd, data.data() + got, data.size() - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

/// The echo side of the floor, in the peer process: it waits as the simulator does (a blocking
/// receive, then the reply) and makes only system calls that are safe after fork() in a
/// program with threads (no allocation, no exceptions).
[[noreturn]] void echoChild(int listener, const std::vector<Exchange>& cycle, std::size_t rounds,
                            std::vector<char>& in, const std::vector<char>& out) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
        ::_exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    for (std::size_t i = 0; i < rounds; ++i) {
        const Exchange& x = cycle[i % cycle.size()];
        for (std::size_t got = 0; got < x.call;) {
            const ssize_t n = ::recv(fd, in.data() + got, x.call - got, 0);
            if (n <= 0) {
                ::_exit(1);
            }
            got += static_cast<std::size_t>(n);
        }
        for (std::size_t sent = 0; sent < x.reply;) {
            const ssize_t n = ::send(fd, out.data() + sent, x.reply - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                ::_exit(1);
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    // Ends only once the peer has closed: on a shared CPU, ending at once would run this
    // process's exit before the peer reads the last reply, and that cycle would take ten
    // times as long.
    while (::recv(fd, in.data(), in.size(), 0) > 0) {
    }
    ::close(fd);
    ::_exit(0);
}

/// Cycles run on a fresh connection before the timed ones: the first few exchanges after the
/// fork meet copy-on-write faults and cold paths, which are no part of what an exchange costs.
constexpr int kWarmUpCycles = 10;

/// Median time of one cycle of bare TCP ping-pongs on loopback with the given sizes, one
/// after the other as the calls go, with both ends pinned as `where` says. The echo side is a
/// process of its own, as the gateway is: a switch between processes costs more than one
/// between threads, and the floor must not leave that out. Each side makes the system calls
/// the simulator makes for a call (one blocking receive, one send); the pinging side makes
/// fewer than the library, which tries a receive first and waits in poll() when the reply is
/// not there yet: the floor is the least these bytes can cost.
double roundTripFloor(const std::vector<Exchange>& cycle, int count, Placement where) {
    if (!runOnlyOn(where.client)) {
        throw std::runtime_error("floor: cannot run on CPU " + std::to_string(where.client));
    }
    std::size_t largestCall = 0, largestReply = 0;
    for (const Exchange& x : cycle) {
        largestCall = std::max(largestCall, x.call);
        largestReply = std::max(largestReply, x.reply);
    }
    std::vector<char> echoIn(largestCall), echoOut(largestReply, 'r');
    const std::size_t rounds = static_cast<std::size_t>(kWarmUpCycles + count) * cycle.size();
    LoopbackPeer peer;
    peer.start(where.peer,
               [&](int listener) { echoChild(listener, cycle, rounds, echoIn, echoOut); });
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    std::vector<std::vector<char>> calls, replies;
    for (const Exchange& x : cycle) {
        calls.emplace_back(x.call, 'c');
        replies.emplace_back(x.reply);
    }
    const int fd = peer.connect();
    try {
        for (int i = 0; i < kWarmUpCycles + count; ++i) {
            const auto start = Clock::now();
            for (std::size_t k = 0; k < cycle.size(); ++k) {
                sendAll(fd, calls[k]);
                if (!receiveAll(fd, replies[k])) {
                    throw std::runtime_error("floor: peer closed");
                }
            }
            if (i >= kWarmUpCycles) {
                samples.push_back(micros(Clock::now() - start));
            }
        }
    } catch (...) {
        ::close(fd);
        peer.finish(true);
        throw;
    }
    ::close(fd);
    peer.finish(false);
    return median(samples);
}

} // namespace

Floor measureFloor(const std::vector<Exchange>& cycle, int count) {
    return acrossPlacements([&](Placement where) { return roundTripFloor(cycle, count, where); });
}

bool runOnlyOn(int cpu) {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    return ::sched_setaffinity(0, sizeof only, &only) == 0;
}

Floor acrossPlacements(const std::function<double(Placement)>& measure) {
    AffinityGuard guard;
    const int here = ::sched_getcpu();
    if (!guard.valid() || here < 0 || !CPU_ISSET(here, &guard.saved())) {
        throw std::runtime_error("floor: cannot tell which CPUs this process may use");
    }
    int other = -1;
    for (int step = 1; step < CPU_SETSIZE && other < 0; ++step) {
        const int cpu = (here + step) % CPU_SETSIZE;
        if (CPU_ISSET(cpu, &guard.saved())) {
            other = cpu;
        }
    }
    Floor floor;
    floor.sameCpu = measure({here, here});
    if (other >= 0) {
        floor.sameCpu = std::min(floor.sameCpu, measure({other, other}));
        // Last, so that this thread ends on the CPU it started from.
        floor.crossCpu = measure({here, other});
    }
    return floor;
}

LoopbackPeer::LoopbackPeer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (m_listener < 0 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listener, 1) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        if (m_listener >= 0) {
            ::close(m_listener);
        }
        throw std::runtime_error("floor: cannot listen on loopback");
    }
    m_port = ntohs(addr.sin_port);
}

LoopbackPeer::~LoopbackPeer() {
    finish(true);
    if (m_listener >= 0) {
        ::close(m_listener);
    }
}

void LoopbackPeer::start(int cpu, const std::function<void(int)>& serve) {
    m_child = ::fork();
    if (m_child < 0) {
        throw std::runtime_error("floor: cannot start the peer process");
    }
    if (m_child == 0) {
        if (!runOnlyOn(cpu)) {
            ::_exit(1);
        }
        serve(m_listener);
        ::_exit(0);
    }
    // The child serves the socket; here it only has to be connected to.
    ::close(m_listener);
    m_listener = -1;
}

int LoopbackPeer::connect() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(m_port);
    const int one = 1;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("floor: no socket");
    }
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error("floor: cannot connect on loopback");
    }
    return fd;
}

void LoopbackPeer::finish(bool kill) {
    if (m_child <= 0) {
        return;
    }
    if (kill) {
        // The peer may still wait in accept() or recv(): end it rather than wait for it.
        ::kill(m_child, SIGKILL);
    }
    int status = 0;
    ::waitpid(m_child, &status, 0);
    m_child = -1;
}

} // namespace bench
