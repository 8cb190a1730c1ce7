#include "bench/Bench.h"

#include "sicl/Sicl32Module.h"
#include "vxi11/Transport.h"
#include "vxi11/Vxi11Library.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// Counts the library calls that pass through, for the discovery figure.
class CountingLibrary final : public sicl::InstrumentLibrary {
public:
    explicit CountingLibrary(sicl::InstrumentLibrary& inner) : m_inner(inner) {}
    std::atomic<long> calls{0};

    std::int16_t vb_iopen(const std::string& a) override { return ++calls, m_inner.vb_iopen(a); }
    std::int16_t vb_iclose(sicl::SessionId id) override { return ++calls, m_inner.vb_iclose(id); }
    std::int16_t vb_iwrite(std::int32_t one, sicl::SessionId id, std::string_view buf,
                           std::int32_t n, std::int16_t endi, std::int32_t& actual) override {
        return ++calls, m_inner.vb_iwrite(one, id, buf, n, endi, actual);
    }
    std::int16_t vb_iread(std::int32_t one, sicl::SessionId id, std::string& buf, std::int32_t size,
                          std::int32_t& reason, std::int32_t& actual) override {
        return ++calls, m_inner.vb_iread(one, id, buf, size, reason, actual);
    }
    std::int16_t vb_itermchr(sicl::SessionId id, std::int16_t c) override {
        return ++calls, m_inner.vb_itermchr(id, c);
    }
    std::int16_t vb_iclear(sicl::SessionId id) override { return ++calls, m_inner.vb_iclear(id); }
    std::int16_t vb_ireadstb(sicl::SessionId id, std::int16_t& stb) override {
        return ++calls, m_inner.vb_ireadstb(id, stb);
    }
    std::int16_t vb_itrigger(sicl::SessionId id) override {
        return ++calls, m_inner.vb_itrigger(id);
    }
    std::int16_t vb_ilock(sicl::SessionId id) override { return ++calls, m_inner.vb_ilock(id); }
    std::int16_t vb_iunlock(sicl::SessionId id) override { return ++calls, m_inner.vb_iunlock(id); }
    std::int16_t vb_itimeout(sicl::SessionId id, std::int32_t t) override {
        return ++calls, m_inner.vb_itimeout(id, t);
    }
    std::int16_t vb_igpibbusstatus(sicl::SessionId id, std::int16_t r, std::int16_t& out) override {
        return ++calls, m_inner.vb_igpibbusstatus(id, r, out);
    }
    std::int16_t vb_igpibrenctl(sicl::SessionId id, std::int16_t v) override {
        return ++calls, m_inner.vb_igpibrenctl(id, v);
    }
    std::int16_t vb_igpibatnctl(sicl::SessionId id, std::int16_t v) override {
        return ++calls, m_inner.vb_igpibatnctl(id, v);
    }
    std::int16_t vb_igpibsendcmd(sicl::SessionId id, const std::string& c,
                                 std::int32_t n) override {
        return ++calls, m_inner.vb_igpibsendcmd(id, c, n);
    }
    std::int16_t vb_igeterrno() override { return m_inner.vb_igeterrno(); }
    std::int16_t vb_igeterrstr(std::int16_t n, char* buf) override {
        return m_inner.vb_igeterrstr(n, buf);
    }

private:
    sicl::InstrumentLibrary& m_inner;
};

/// Sizes on the wire of one write call and its reply, and one read call and its reply, for
/// "*IDN?" LF and an answer of `answerBytes` (record headers included).
struct ExchangeSizes {
    std::size_t writeCall, writeReply, readCall, readReply;
};

ExchangeSizes idnSizes(std::size_t answerBytes) {
    const auto padded = [](std::size_t n) { return (n + 3) / 4 * 4; };
    return {4 + 40 + 20 + padded(6), 4 + 24 + 8, 4 + 40 + 24, 4 + 24 + 12 + padded(answerBytes)};
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

/// Median round trip of a bare TCP ping-pong on loopback with the sizes of the two RPC
/// exchanges of a query, alternating as the query does: the least a call can cost here.
double roundTripFloor(const ExchangeSizes& sizes, int count) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::runtime_error("floor: cannot listen on loopback");
    }
    const int one = 1;
    const int rounds = count * 2;
    std::thread echo([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::vector<char> write(sizes.writeCall), read(sizes.readCall);
        const std::vector<char> writeReply(sizes.writeReply, 'w'), readReply(sizes.readReply, 'r');
        for (int i = 0; i < rounds; ++i) {
            auto& in = i % 2 == 0 ? write : read;
            if (!receiveAll(fd, in)) {
                break;
            }
            sendAll(fd, i % 2 == 0 ? writeReply : readReply);
        }
        ::close(fd);
    });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<double> samples;
    try {
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("floor: cannot connect on loopback");
        }
        const std::vector<char> write(sizes.writeCall, 'W'), read(sizes.readCall, 'R');
        std::vector<char> writeReply(sizes.writeReply), readReply(sizes.readReply);
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            sendAll(fd, i % 2 == 0 ? write : read);
            if (!receiveAll(fd, i % 2 == 0 ? writeReply : readReply)) {
                throw std::runtime_error("floor: peer closed");
            }
            samples.push_back(micros(Clock::now() - start));
        }
    } catch (...) {
        ::close(fd);
        ::close(listener);
        echo.join();
        throw;
    }
    ::close(fd);
    ::close(listener);
    echo.join();
    return median(samples);
}

} // namespace

int run(const Options& options, std::ostream& out, std::ostream& err) {
    vxi11::Vxi11Library vxi;
    CountingLibrary counting(vxi);
    sicl::Sicl32Module wrappers(counting);
    const std::string server = "lan;vxi-11[" + options.server + "]";
    const int count = std::max(1, options.count);
    try {
        // The query exchange, as the window does it: write with LF and END, then read.
        const auto dev = wrappers.iopen(server + ":gpib, " + std::to_string(options.address));
        std::vector<double> samples;
        std::size_t answerBytes = 0;
        for (int i = 0; i < count; ++i) {
            std::int32_t actual = 0;
            std::int32_t reason = 0;
            std::string buf(4096, ' ');
            const auto start = Clock::now();
            wrappers.iwrite(dev, "*IDN?\n", 6, 1, actual);
            wrappers.iread(dev, buf, 4096, reason, actual);
            samples.push_back(micros(Clock::now() - start));
            if (actual <= 0) {
                throw std::runtime_error("empty answer to *IDN?");
            }
            answerBytes = static_cast<std::size_t>(actual);
        }
        wrappers.iclose(dev);

        const double floor = roundTripFloor(idnSizes(answerBytes), count);

        // One discovery walk over 31 addresses, call by call as the window makes it.
        const auto intf = wrappers.iopen(server + ":gpib");
        const long before = counting.calls.load();
        const auto walkStart = Clock::now();
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
        const double walk = micros(Clock::now() - walkStart);
        const long walkCalls = counting.calls.load() - before;
        wrappers.iclose(intf);

        out << "roundtrip_floor_us " << floor << '\n'
            << "idn_exchange_us " << median(samples) << '\n'
            << "discovery_walk_us " << walk << '\n'
            << "discovery_calls " << walkCalls << '\n';
        return 0;
    } catch (const sicl::SiclError& e) {
        err << "siclquill-bench: library error " << e.number() << ": " << e.description() << '\n';
    } catch (const std::exception& e) {
        err << "siclquill-bench: " << e.what() << '\n';
    }
    return 1;
}

} // namespace bench
