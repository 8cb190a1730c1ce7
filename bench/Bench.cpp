#include "bench/Bench.h"

#include "bench/Floor.h"

#include "lan/LanLibrary.h"
#include "net/TcpConnection.h"
#include "sicl/ForwardingLibrary.h"
#include "sicl/Sicl32Module.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

/// Counts the bus calls that pass through (those a discovery walk makes), for its figure.
class CountingLibrary final : public sicl::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;
    std::atomic<long> calls{0};

    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t r, std::int16_t& out) override {
        return ++calls, ForwardingLibrary::vb_igpibbusstatus(id, r, out);
    }
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t v) override {
        return ++calls, ForwardingLibrary::vb_igpibatnctl(id, v);
    }
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& c,
                                 std::int32_t n) override {
        return ++calls, ForwardingLibrary::vb_igpibsendcmd(id, c, n);
    }
};

/// Sizes on the wire of one call and its reply, record headers included.
struct Exchange {
    std::size_t call, reply;
};

std::size_t padded(std::size_t n) {
    return (n + 3) / 4 * 4;
}

/// The two exchanges of a query: device_write of "*IDN?" LF, then device_read of an answer of
/// `answerBytes`.
std::vector<Exchange> idnSizes(std::size_t answerBytes) {
    return {{4 + 40 + 20 + padded(6), 4 + 24 + 8},
            {4 + 40 + 24, 4 + 24 + 12 + padded(answerBytes)}};
}

/// One device_docmd of a discovery walk: three command bytes in, two bytes out at most.
std::vector<Exchange> docmdSizes() {
    return {{4 + 40 + 32 + 4 + padded(3), 4 + 24 + 8 + padded(2)}};
}

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

/// The floor of `count` cycles in each placement (see acrossPlacements).
Floor measureFloor(const std::vector<Exchange>& cycle, int count) {
    return acrossPlacements([&](Placement where) { return roundTripFloor(cycle, count, where); });
}

/// One discovery walk over addresses 0-30, call by call as the window makes it.
void discoveryWalk(sicl::Sicl32Module& wrappers, sicl::SessionId intf) {
    std::int16_t ctlr = 0;
    wrappers.igpibbusstatus(intf, 8, ctlr);
    for (int a = 0; a <= 30; ++a) {
        if (a == ctlr) {
            continue;
        }
        const std::string probe{'\x3F', static_cast<char>(0x40 + ctlr),
                                static_cast<char>(0x20 + a)};
        wrappers.igpibsendcmd(intf, probe, 3);
        wrappers.igpibatnctl(intf, 0);
        std::int16_t ndac = 0;
        wrappers.igpibbusstatus(intf, 3, ndac);
        wrappers.igpibsendcmd(intf, "?", 1);
    }
}

/// The value below which `share` of the sorted samples lie.
double percentile(std::vector<double> v, double share) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(share * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int run(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.clients > 0) {
        return runLoad(options, out, err);
    }
    if (options.bulk > 0) {
        return runBulk(options, out, err);
    }
    lan::LanLibrary vxi;
    CountingLibrary counting(vxi);
    sicl::Sicl32Module wrappers(counting);
    const std::string server = "lan;vxi-11[" + options.server + "]";
    const int count = std::max(1, options.count);
    const int walks = std::max(1, options.walks);
    try {
        // On a shared machine the load changes from one moment to the next, so each figure is
        // measured in blocks that take turns with blocks of its floor, and the ratio is the
        // median of the per-block ratios.
        constexpr int kBlocks = 5;
        const int perBlock = std::max(1, count / kBlocks);

        // The query exchange, as the window does it: write with LF and END, then read.
        const auto dev = wrappers.iopen(server + ":gpib, " + std::to_string(options.address));
        std::vector<double> samples, idnFloors, idnRatios, idnSame, idnCross;
        std::string buf(4096, ' ');
        for (int block = 0; block < kBlocks; ++block) {
            std::vector<double> blockSamples;
            std::size_t answerBytes = 0;
            for (int i = 0; i < perBlock; ++i) {
                std::int32_t actual = 0;
                std::int32_t reason = 0;
                const auto start = Clock::now();
                wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
                wrappers.iread(dev, buf, 4096, reason, actual);
                blockSamples.push_back(micros(Clock::now() - start));
                if (actual <= 0) {
                    throw std::runtime_error("empty answer to *IDN?");
                }
                answerBytes = static_cast<std::size_t>(actual);
            }
            const Floor floor = measureFloor(idnSizes(answerBytes), perBlock);
            idnFloors.push_back(floor.best());
            idnSame.push_back(floor.sameCpu);
            idnCross.push_back(floor.crossCpu);
            idnRatios.push_back(median(blockSamples) / floor.best());
            samples.insert(samples.end(), blockSamples.begin(), blockSamples.end());
        }
        wrappers.iclose(dev);

        // Discovery walks over 31 addresses, each followed by its floor: as many bare round
        // trips as the walk made calls.
        const auto intf = wrappers.iopen(server + ":gpib");
        std::vector<double> walkTimes, callFloors, walkRatios, callSame, callCross;
        long walkCalls = 0;
        for (int w = 0; w < walks; ++w) {
            const long before = counting.calls.load();
            const auto walkStart = Clock::now();
            discoveryWalk(wrappers, intf);
            const double walk = micros(Clock::now() - walkStart);
            walkCalls = counting.calls.load() - before;
            // A walk is a sum of round trips; its floor is as many times the median bare one,
            // which is below the bare round trips' own sum (their tail included).
            const Floor floor = measureFloor(docmdSizes(), static_cast<int>(walkCalls));
            const double perCall = floor.best();
            walkTimes.push_back(walk);
            callFloors.push_back(perCall);
            callSame.push_back(floor.sameCpu);
            callCross.push_back(floor.crossCpu);
            walkRatios.push_back(walk / (perCall * static_cast<double>(walkCalls)));
        }
        wrappers.iclose(intf);
        const double idnFloor = median(idnFloors);
        const double docmdFloor = median(callFloors);

        out << "roundtrip_floor_us " << idnFloor / 2 << '\n'
            << "idn_floor_us " << idnFloor << '\n'
            << "idn_exchange_us " << median(samples) << '\n'
            << "idn_ratio " << median(idnRatios) << '\n'
            << "docmd_roundtrip_us " << docmdFloor << '\n'
            << "discovery_walk_us " << median(walkTimes) << '\n'
            << "discovery_calls " << walkCalls << '\n'
            << "discovery_floor_us " << docmdFloor * static_cast<double>(walkCalls) << '\n'
            << "discovery_ratio " << median(walkRatios) << '\n'
            << "idn_floor_same_cpu_us " << median(idnSame) << '\n'
            << "docmd_floor_same_cpu_us " << median(callSame) << '\n';
        // Not measured when this process may use one CPU only.
        if (median(idnCross) > 0) {
            out << "idn_floor_cross_cpu_us " << median(idnCross) << '\n'
                << "docmd_floor_cross_cpu_us " << median(callCross) << '\n';
        }
        return 0;
    } catch (const sicl::SiclError& e) {
        err << "siclquill-bench: library error " << e.number() << ": " << e.description() << '\n';
    } catch (const std::exception& e) {
        err << "siclquill-bench: " << e.what() << '\n';
    }
    return 1;
}

int runLoad(const Options& options, std::ostream& out, std::ostream& err) {
    lan::LanLibrary vxi;
    sicl::Sicl32Module wrappers(vxi);
    const int clients = std::clamp(options.clients, 1, kMaxLoadClients);
    const int count = std::max(1, options.count);

    struct Client {
        std::vector<double> samples;
        long errors = 0;
        std::string firstError;
    };
    std::vector<Client> results(static_cast<std::size_t>(clients));
    // Every link is open before the clock starts, so the figure is the exchanges alone.
    std::barrier ready(clients + 1);
    std::barrier go(clients + 1);
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client& me = results[static_cast<std::size_t>(c)];
            auto fail = [&me](long n, const std::string& why) {
                me.errors += n;
                if (me.firstError.empty()) {
                    me.firstError = why;
                }
            };
            sicl::SessionId id = 0;
            try {
                id = wrappers.iopen("lan;vxi-11[" + options.server + "]:gpib, " +
                                    std::to_string(loadAddress(c)));
            } catch (const sicl::SiclError& e) {
                fail(count, "open: " + e.description());
            }
            ready.arrive_and_wait();
            go.arrive_and_wait();
            if (id == 0) {
                return;
            }
            me.samples.reserve(static_cast<std::size_t>(count));
            std::string buf(4096, ' ');
            for (int i = 0; i < count; ++i) {
                std::int32_t actual = 0;
                std::int32_t reason = 0;
                try {
                    const auto start = Clock::now();
                    wrappers.iwrite(id, "*IDN?\n", 6, 1, actual);
                    wrappers.iread(id, buf, 4096, reason, actual);
                    me.samples.push_back(micros(Clock::now() - start));
                    if (actual <= 0) {
                        fail(1, "empty answer");
                    }
                } catch (const sicl::SiclError& e) {
                    fail(1, e.description());
                }
            }
            try {
                wrappers.iclose(id);
            } catch (const sicl::SiclError& e) {
                fail(1, "close: " + e.description());
            }
        });
    }
    ready.arrive_and_wait();
    const auto start = Clock::now();
    go.arrive_and_wait();
    for (auto& t : threads) {
        t.join();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double> all;
    long errors = 0;
    for (const Client& c : results) {
        all.insert(all.end(), c.samples.begin(), c.samples.end());
        errors += c.errors;
        if (!c.firstError.empty()) {
            err << "siclquill-bench: " << c.firstError << '\n';
        }
    }
    const auto done = static_cast<double>(all.size());
    out << "clients " << clients << '\n'
        << "exchanges " << all.size() << '\n'
        << "exchanges_per_s " << (seconds > 0 ? done / seconds : 0) << '\n'
        << "load_exchange_p50_us " << percentile(all, 0.5) << '\n'
        << "load_exchange_p99_us " << percentile(all, 0.99) << '\n'
        << "errors " << errors << '\n';
    return errors == 0 ? 0 : 1;
}

} // namespace bench
