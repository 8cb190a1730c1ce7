// Bulk mode of siclquill-bench: a large waveform block read and written through the library,
// against the same bytes through a bare TCP socket between two processes.
#include "bench/Bench.h"
#include "bench/Floor.h"

#include "lan/LanLibrary.h"
#include "sicl/Sicl32Module.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

/// Largest block the simulator's waveform makes.
constexpr std::uint64_t kMaxBulk = std::uint64_t{256} << 20;
/// The floor's peer sends from a buffer of this size, as the simulator sends its replies.
constexpr std::size_t kSendChunk = 1 << 20;
/// Time-out of the session: a block of 256 MiB takes seconds on a loaded machine.
constexpr std::int32_t kTimeoutMs = 120000;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

/// A field of /proc/self/status in bytes ("VmRSS", "VmHWM").
std::uint64_t statusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            std::istringstream value(line.substr(field.size() + 1));
            std::uint64_t kb = 0;
            value >> kb;
            return kb * 1024;
        }
    }
    return 0;
}

/// Resets the peak resident size (VmHWM) to the current one.
void resetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

/// Transfers on each floor connection; only the last is timed. The first transfers of a fresh
/// connection run at a fraction of the speed of later ones (the kernel grows its buffers as
/// the bytes flow), and the library's link is not fresh either.
constexpr int kFloorTransfers = 2;

/// The peer of the floor: for each one-byte request, sends `total` bytes from `chunk` as fast
/// as the socket takes them; then waits for the close. System calls only (after fork).
[[noreturn]] void streamChild(int listener, std::uint64_t total, const std::vector<char>& chunk) {
    const int fd = ::accept(listener, nullptr, nullptr);
    char request = 0;
    while (fd >= 0 && ::recv(fd, &request, 1, 0) == 1) {
        for (std::uint64_t sent = 0; sent < total;) {
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), total - sent));
            const ssize_t k = ::send(fd, chunk.data(), n, MSG_NOSIGNAL);
            if (k <= 0) {
                ::_exit(1);
            }
            sent += static_cast<std::uint64_t>(k);
        }
    }
    ::close(fd);
    ::_exit(0);
}

/// Seconds from a one-byte request to the last of `into.size()` bytes received through a bare
/// loopback socket from a peer process, both pinned as `where` says, on a connection that has
/// carried as much before: the least these bytes can take. The receiver asks for all that is
/// left at once, as the library does.
double streamFloor(std::string& into, Placement where, const std::vector<char>& chunk) {
    if (!runOnlyOn(where.client)) {
        throw std::runtime_error("floor: cannot run on CPU " + std::to_string(where.client));
    }
    const std::uint64_t total = into.size();
    LoopbackPeer peer;
    peer.start(where.peer, [&](int listener) { streamChild(listener, total, chunk); });
    const int fd = peer.connect();
    double took = 0;
    bool whole = true;
    for (int transfer = 0; whole && transfer < kFloorTransfers; ++transfer) {
        const auto start = Clock::now();
        whole = ::send(fd, "g", 1, MSG_NOSIGNAL) == 1;
        for (std::uint64_t got = 0; whole && got < total;) {
            const ssize_t n = ::recv(fd, into.data() + got, total - got, 0);
            whole = n > 0;
            got += whole ? static_cast<std::uint64_t>(n) : 0;
        }
        took = seconds(Clock::now() - start);
    }
    ::close(fd);
    peer.finish(!whole);
    if (!whole) {
        throw std::runtime_error("floor: peer closed early");
    }
    return took;
}

/// "#9" and nine digits for 123456789: the header of an IEEE 488.2 definite-length block.
std::string blockHeader(std::uint64_t length) {
    const std::string digits = std::to_string(length);
    return "#" + std::to_string(digits.size()) + digits;
}

std::string query(sicl::Sicl32Module& wrappers, sicl::SessionId id, const std::string& text) {
    std::int32_t actual = 0;
    std::int32_t reason = 0;
    wrappers.iwrite(id, text, static_cast<std::int32_t>(text.size()), 1, actual);
    std::string answer(256, '\0');
    wrappers.iread(id, answer, static_cast<std::int32_t>(answer.size()), reason, actual);
    answer.resize(static_cast<std::size_t>(actual));
    return answer.substr(0, answer.find_first_of("\r\n"));
}

} // namespace

int runBulk(const Options& options, std::ostream& out, std::ostream& err) {
    const std::uint64_t n = options.bulk;
    if (n == 0 || n > kMaxBulk) {
        err << "siclquill-bench: --bulk takes 1 to " << kMaxBulk << " bytes\n";
        return 1;
    }
    lan::LanLibrary vxi;
    sicl::Sicl32Module wrappers(vxi);
    const std::string address =
        "lan;vxi-11[" + options.server + "]:" +
        (options.device.empty() ? "gpib, " + std::to_string(options.address) : options.device);
    try {
        const sicl::SessionId id = wrappers.iopen(address);
        wrappers.itimeout(id, kTimeoutMs);
        std::int32_t actual = 0;
        const std::string points = ":WAV:POIN " + std::to_string(n) + "\n";
        wrappers.iwrite(id, points, static_cast<std::int32_t>(points.size()), 1, actual);
        if (query(wrappers, id, ":WAV:POIN?\n") != std::to_string(n)) {
            throw std::runtime_error("the instrument did not take :WAV:POIN " + std::to_string(n));
        }
        const std::uint64_t acceptedBefore = std::stoull(query(wrappers, id, ":DATA:COUN?\n"));
        const std::string header = blockHeader(n);
        const std::uint64_t total = header.size() + n + 1;
        const std::vector<char> chunk(kSendChunk, 'w');

        // The caller's buffer is all the memory a block needs; what the library adds shows in
        // the growth of the peak beyond it.
        const std::uint64_t rssBefore = statusBytes("VmRSS");
        resetPeak();
        std::string buf(total, '\0');
        std::vector<double> reads, writes, floors, readRatios, writeRatios, same, cross;
        // One transfer of each kind first, unmeasured, as the floor has on its connections.
        const auto readBlock = [&] {
            std::int32_t reason = 0;
            wrappers.iwrite(id, ":WAV:DATA?\n", 11, 1, actual);
            wrappers.iread(id, buf, static_cast<std::int32_t>(total), reason, actual);
            if (static_cast<std::uint64_t>(actual) != total || (reason & 4) == 0 ||
                buf.compare(0, header.size(), header) != 0 || buf.back() != '\n') {
                throw std::runtime_error(
                    "the block did not arrive whole: " + std::to_string(actual) + " of " +
                    std::to_string(total) + " bytes");
            }
        };
        // The block's data is whatever the buffer holds: the instrument only counts it.
        const std::string dataHeader = ":DATA " + header;
        const auto writeBlock = [&] {
            wrappers.iwrite(id, dataHeader, static_cast<std::int32_t>(dataHeader.size()), 0,
                            actual);
            wrappers.iwrite(id, buf, static_cast<std::int32_t>(n), 0, actual);
            wrappers.iwrite(id, "\n", 1, 1, actual);
        };
        readBlock();
        writeBlock();
        const double mb = static_cast<double>(total) / 1e6;
        for (int run = 0; run < std::max(1, options.runs); ++run) {
            const auto readStart = Clock::now();
            readBlock();
            const double readTook = seconds(Clock::now() - readStart);

            const Floor floor =
                acrossPlacements([&](Placement where) { return streamFloor(buf, where, chunk); });

            const auto writeStart = Clock::now();
            writeBlock();
            const double writeTook = seconds(Clock::now() - writeStart);

            const double floorRate = mb / floor.best();
            reads.push_back(mb / readTook);
            writes.push_back(mb / writeTook);
            floors.push_back(floorRate);
            same.push_back(mb / floor.sameCpu);
            cross.push_back(floor.crossCpu > 0 ? mb / floor.crossCpu : 0);
            readRatios.push_back(reads.back() / floorRate);
            writeRatios.push_back(writes.back() / floorRate);
        }
        const std::uint64_t peak = statusBytes("VmHWM");
        const std::uint64_t accepted = std::stoull(query(wrappers, id, ":DATA:COUN?\n"));
        const auto runs = static_cast<std::uint64_t>(std::max(1, options.runs)) + 1;
        if (accepted - acceptedBefore != runs * n) {
            throw std::runtime_error("the instrument took " +
                                     std::to_string(accepted - acceptedBefore) + " bytes of " +
                                     std::to_string(runs * n));
        }
        wrappers.iclose(id);
        out << "bulk_bytes " << n << '\n'
            << "bulk_read_mb_s " << median(reads) << '\n'
            << "bulk_write_mb_s " << median(writes) << '\n'
            << "bulk_floor_mb_s " << median(floors) << '\n'
            << "bulk_read_ratio " << median(readRatios) << '\n'
            << "bulk_write_ratio " << median(writeRatios) << '\n'
            << "bulk_rss_growth_mb "
            << static_cast<double>(peak > rssBefore ? peak - rssBefore : 0) / (1 << 20) << '\n'
            << "bulk_block_mb " << static_cast<double>(n) / (1 << 20) << '\n'
            << "bulk_floor_same_cpu_mb_s " << median(same) << '\n';
        if (median(cross) > 0) {
            out << "bulk_floor_cross_cpu_mb_s " << median(cross) << '\n';
        }
        return 0;
    } catch (const sicl::SiclError& e) {
        err << "siclquill-bench: library error " << e.number() << ": " << e.description() << '\n';
    } catch (const std::exception& e) {
        err << "siclquill-bench: " << e.what() << '\n';
    }
    return 1;
}

} // namespace bench
