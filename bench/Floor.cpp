#include "bench/Floor.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

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

} // namespace

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
