// Bulk mode of siclquill-bench: a large waveform block read and written through the library,
// against the same bytes through a bare TCP socket between two processes.
#include "bench/Floor.h"
#include "bench/Modes.h"

#include "lan/LanLibrary.h"
#include "sicl/Sicl32Module.h"

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
/// The read floor's peer sends pieces of this size, as the simulator sends a waveform.
constexpr std::size_t kFloorSendPiece = 256 * 1024;
/// The write floor's peer receives up to this much at a time: few system calls.
constexpr std::size_t kFloorReceivePiece = 4 << 20;
/// Time-out of the session: a block of 256 MiB takes seconds on a loaded machine.
constexpr std::int32_t kTimeoutMs = 120000;
/// Why a read ended: END came, or the termination character.
constexpr std::int32_t kTermChar = 2;
constexpr std::int32_t kEnd = 4;

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

/// The link to the instrument whose block is read and written, with that block set up.
class BulkLink {
public:
    /// Opens a session at `address` and sets the instrument's waveform to `n` points.
    BulkLink(sicl::Sicl32Module& wrappers, const std::string& address, std::uint64_t n)
        : m_wrappers(wrappers), m_id(wrappers.iopen(address)), m_n(n), m_header(blockHeader(n)),
          m_dataHeader(":DATA " + m_header) {
        m_wrappers.itimeout(m_id, kTimeoutMs);
        std::int32_t actual = 0;
        const std::string points = ":WAV:POIN " + std::to_string(n) + "\n";
        m_wrappers.iwrite(m_id, points, static_cast<std::int32_t>(points.size()), 1, actual);
        if (query(m_wrappers, m_id, ":WAV:POIN?\n") != std::to_string(n)) {
            throw std::runtime_error("the instrument did not take :WAV:POIN " + std::to_string(n));
        }
        m_acceptedBefore = std::stoull(query(m_wrappers, m_id, ":DATA:COUN?\n"));
    }

    /// Bytes of the block as it is read: its header, data and LF.
    std::uint64_t total() const { return m_header.size() + m_n + 1; }

    /// Reads the block into `buf` (total() bytes) with one iread; throws unless it came whole,
    /// ended by END (VXI-11, HiSLIP) or by the LF after the block (a raw socket has no END).
    void read(std::string& buf) {
        std::int32_t actual = 0;
        std::int32_t reason = 0;
        m_wrappers.iwrite(m_id, ":WAV:DATA?\n", 11, 1, actual);
        m_wrappers.iread(m_id, buf, static_cast<std::int32_t>(total()), reason, actual);
        if (static_cast<std::uint64_t>(actual) != total() || (reason & (kEnd | kTermChar)) == 0 ||
            buf.compare(0, m_header.size(), m_header) != 0 || buf.back() != '\n') {
            throw std::runtime_error("the block did not arrive whole: " + std::to_string(actual) +
                                     " of " + std::to_string(total()) + " bytes");
        }
    }

    /// Writes a block of the first n bytes of `buf` (the block's data is whatever the buffer
    /// holds, since the instrument only counts it), then asks *OPC?: a write over HiSLIP or a
    /// socket is done when the bytes are in the socket's buffer, the instrument has them only
    /// when it answers.
    void write(const std::string& buf) {
        std::int32_t actual = 0;
        m_wrappers.iwrite(m_id, m_dataHeader, static_cast<std::int32_t>(m_dataHeader.size()), 0,
                          actual);
        m_wrappers.iwrite(m_id, buf, static_cast<std::int32_t>(m_n), 0, actual);
        m_wrappers.iwrite(m_id, "\n", 1, 1, actual);
        if (query(m_wrappers, m_id, "*OPC?\n") != "1") {
            throw std::runtime_error("the instrument did not answer *OPC? after a block");
        }
    }

    /// Checks that the instrument took the data of `blocks` blocks since the link was set up;
    /// then closes the session.
    void close(std::uint64_t blocks) {
        const std::uint64_t accepted = std::stoull(query(m_wrappers, m_id, ":DATA:COUN?\n"));
        if (accepted - m_acceptedBefore != blocks * m_n) {
            throw std::runtime_error("the instrument took " +
                                     std::to_string(accepted - m_acceptedBefore) + " bytes of " +
                                     std::to_string(blocks * m_n));
        }
        m_wrappers.iclose(m_id);
    }

private:
    sicl::Sicl32Module& m_wrappers;
    sicl::SessionId m_id;
    std::uint64_t m_n;
    std::string m_header;
    std::string m_dataHeader;
    std::uint64_t m_acceptedBefore = 0;
};

/// Per run: the read and write rates (MB/s), their floors' (fastest placement; the read
/// floor's in each placement too) and the ratios of each to its floor.
struct BulkRuns {
    std::vector<double> reads, writes, floors, writeFloors, readRatios, writeRatios, same, cross;
};

/// `runs` times: a read of the block into `buf`, its floor (the same bytes from a peer), a
/// write of the block and its floor (the same bytes to a peer).
BulkRuns measureRuns(BulkLink& link, std::string& buf, int runs) {
    const double mb = static_cast<double>(link.total()) / 1e6;
    BulkRuns r;
    for (int run = 0; run < runs; ++run) {
        const auto readStart = Clock::now();
        link.read(buf);
        const double readTook = seconds(Clock::now() - readStart);

        const Floor floor = measureStreamFloor(buf, kFloorSendPiece);

        const auto writeStart = Clock::now();
        link.write(buf);
        const double writeTook = seconds(Clock::now() - writeStart);

        const Floor writeFloor = measureSinkFloor(buf, kFloorReceivePiece);

        const double floorRate = mb / floor.best();
        const double writeFloorRate = mb / writeFloor.best();
        r.reads.push_back(mb / readTook);
        r.writes.push_back(mb / writeTook);
        r.floors.push_back(floorRate);
        r.writeFloors.push_back(writeFloorRate);
        r.same.push_back(mb / floor.sameCpu);
        r.cross.push_back(floor.crossCpu > 0 ? mb / floor.crossCpu : 0);
        r.readRatios.push_back(r.reads.back() / floorRate);
        r.writeRatios.push_back(r.writes.back() / writeFloorRate);
    }
    return r;
}

double fastest(const std::vector<double>& rates) {
    return rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
}

void printBulk(std::ostream& out, std::uint64_t n, const BulkRuns& r, std::uint64_t rssGrowth) {
    out << "bulk_bytes " << n << '\n'
        << "bulk_read_mb_s " << median(r.reads) << '\n'
        << "bulk_write_mb_s " << median(r.writes) << '\n'
        << "bulk_floor_mb_s " << median(r.floors) << '\n'
        << "bulk_write_floor_mb_s " << median(r.writeFloors) << '\n'
        << "bulk_read_ratio " << median(r.readRatios) << '\n'
        << "bulk_write_ratio " << median(r.writeRatios) << '\n'
        << "bulk_rss_growth_mb " << static_cast<double>(rssGrowth) / (1 << 20) << '\n'
        << "bulk_block_mb " << static_cast<double>(n) / (1 << 20) << '\n'
        << "bulk_floor_same_cpu_mb_s " << median(r.same)
        << '\n'
        // Streams between two processes on one CPU run at one of two paces, about twofold
        // apart: the fastest of each shows whether a side reached the quicker one.
        << "bulk_read_fastest_mb_s " << fastest(r.reads) << '\n'
        << "bulk_floor_fastest_mb_s " << fastest(r.floors) << '\n'
        << "bulk_write_fastest_mb_s " << fastest(r.writes) << '\n'
        << "bulk_write_floor_fastest_mb_s " << fastest(r.writeFloors) << '\n';
    if (median(r.cross) > 0) {
        out << "bulk_floor_cross_cpu_mb_s " << median(r.cross) << '\n';
    }
}

} // namespace

int runBulk(const Options& options, std::ostream& out, std::ostream& err) {
    const std::string address =
        "lan;vxi-11[" + options.server + "]:" +
        (options.device.empty() ? "gpib, " + std::to_string(options.address) : options.device);
    return runBulkAt(address, options.bulk, options.runs, out, err);
}

int runBulkAt(const std::string& address, std::uint64_t n, int runs, std::ostream& out,
              std::ostream& err) {
    if (n == 0 || n > kMaxBulk) {
        err << "siclquill-bench: --bulk takes 1 to " << kMaxBulk << " bytes\n";
        return 1;
    }
    lan::LanLibrary library;
    sicl::Sicl32Module wrappers(library);
    try {
        BulkLink link(wrappers, address, n);
        // The caller's buffer is all the memory a block needs; what the library adds shows in
        // the growth of the peak beyond it.
        const std::uint64_t rssBefore = statusBytes("VmRSS");
        resetPeak();
        std::string buf(link.total(), '\0');
        const OutOfForks outOfForks(buf);
        // One transfer of each kind first, unmeasured, as the floor has on its connections.
        link.read(buf);
        link.write(buf);
        runs = std::max(1, runs);
        const BulkRuns figures = measureRuns(link, buf, runs);
        const std::uint64_t peak = statusBytes("VmHWM");
        link.close(static_cast<std::uint64_t>(runs) + 1);
        printBulk(out, n, figures, peak > rssBefore ? peak - rssBefore : 0);
        return 0;
    } catch (...) {
        return reportFailure(err);
    }
}

} // namespace bench
