#pragma once
// The floors the benchmarks measure against: bare TCP on loopback between two processes, with
// both ends pinned in every placement the library's client and the gateway can be given.

#include <sched.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

/// The CPU that the measuring side (this thread) and the peer process of a floor run on.
struct Placement {
    int client, peer;
};

/// A floor in each placement that the library's client and the gateway can be given.
struct Floor {
    double sameCpu = 0;  ///< both ends on one CPU: the faster of two CPUs when there are two
    double crossCpu = 0; ///< the ends on two CPUs; 0 when this process may use only one
    /// The floor proper: the fastest of the placements.
    double best() const { return crossCpu > 0 ? std::min(sameCpu, crossCpu) : sameCpu; }
};

/// Runs `measure` (lower is faster) in each placement and keeps the fastest. Where the two
/// processes of an exchange run decides what it costs more than anything they do: on an idle
/// machine of two virtual CPUs the scheduler may put them on one CPU (a switch there costs a
/// few microseconds) or on both (then every message wakes the other CPU through the
/// hypervisor, several times dearer), and it decides anew for each new pair of processes. A
/// floor left to the scheduler therefore could land on the slow placement while what it bounds
/// landed on the fast one. So both ends are pinned, once on the CPU this thread runs on, once
/// on another CPU (which may be the one without load) and once across the two, and the floor
/// is the fastest: nothing measured can beat it, wherever it ran. With more CPUs, the other
/// CPU is the next one this process may use; other pairs are not tried. This thread's CPU
/// mask is put back afterwards.
Floor acrossPlacements(const std::function<double(Placement)>& measure);

/// Sizes on the wire of one call and its reply, record headers included.
struct Exchange {
    std::size_t call, reply;
};

/// The floor of a cycle of exchanges: the median time in microseconds of one cycle of bare TCP
/// ping-pongs with these sizes over `count` cycles, in each placement (see roundTripFloor in
/// Floor.cpp).
Floor measureFloor(const std::vector<Exchange>& cycle, int count);

/// The floor of a bulk read: seconds to receive `into.size()` bytes through a bare loopback
/// socket from a peer process that sends them `sendPiece` bytes at a time, in each placement
/// (the fastest of a few transfers on a fresh connection that has carried as much before).
Floor measureStreamFloor(std::string& into, std::size_t sendPiece);

/// The floor of a bulk write: seconds to send `from` through a bare loopback socket to a peer
/// process that receives it `receivePiece` bytes at a time and answers once all came, in each
/// placement (as measureStreamFloor).
Floor measureSinkFloor(const std::string& from, std::size_t receivePiece);

/// Leaves the pages of a buffer out of every process forked while it lives (MADV_DONTFORK).
/// A fork marks the parent's memory copy-on-write, so writing into a large buffer after a
/// floor's peer had been forked would take a page fault per page (16 384 for 64 MiB) that no
/// transfer really has. The buffer must outlive this.
class OutOfForks {
public:
    explicit OutOfForks(std::string& buffer);
    ~OutOfForks();
    OutOfForks(const OutOfForks&) = delete;
    OutOfForks& operator=(const OutOfForks&) = delete;

private:
    std::uintptr_t m_begin = 0;
    std::size_t m_size = 0;
};

/// Lets this thread run on `cpu` alone; a plain system call, so safe after fork().
bool runOnlyOn(int cpu);

/// A listening TCP socket on a free loopback port, and a peer process forked to serve it.
class LoopbackPeer {
public:
    /// Listens on a free loopback port; throws std::runtime_error.
    LoopbackPeer();
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    /// Forks the peer: in the child, `serve(listener)` runs pinned to `cpu` and must end with
    /// _exit (it may make only system calls: the parent may have threads).
    void start(int cpu, const std::function<void(int listener)>& serve);
    /// Connects to the peer with TCP_NODELAY; throws std::runtime_error.
    int connect();
    /// Waits for the peer to end (after the connection is closed); kills it if `kill`.
    void finish(bool kill);

private:
    int m_listener = -1;
    unsigned short m_port = 0;
    pid_t m_child = -1;
};

} // namespace bench
