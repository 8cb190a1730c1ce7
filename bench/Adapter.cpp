// Adapter mode of siclquill-bench: instruments behind a `++` adapter reached through the bridge
// (the library's VXI-11 client, siclquill-gateway --adapter, the adapter), against a bare `++`
// client that speaks to an adapter of the same kind directly.
#include "bench/Bench.h"
#include "bench/PlusPlusClient.h"
#include "bench/Query.h"

#include "lan/LanLibrary.h"
#include "sicl/Sicl32Module.h"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

/// The demo bench's DMM (its identity is the exchange) and scope (its block is the transfer).
constexpr int kIdnAddress = 22;
constexpr int kBlockAddress = 9;
/// Time-out of the bridge's sessions: a block crosses a loaded machine in far less.
constexpr std::int32_t kTimeoutMs = 60000;
/// Why a read ended: END came.
constexpr std::int32_t kEnd = 4;

/// One instrument, reached one way or the other.
class Road {
public:
    virtual ~Road() = default;
    /// Writes `text` as one message and returns the answer's first line.
    virtual std::string query(const std::string& text) = 0;
    /// Writes `message` as one message, END on its last byte.
    virtual void write(const std::string& message) = 0;
    /// Writes `text`, then reads exactly `into.size()` bytes of answer.
    virtual void readExactly(const std::string& text, std::string& into) = 0;
};

/// Through the bridge: a VXI-11 link to `gpib0,ADDRESS`, as the window and the command line
/// make one.
class BridgeRoad final : public Road {
public:
    BridgeRoad(sicl::Sicl32Module& wrappers, const std::string& server, int address)
        : m_wrappers(wrappers),
          m_id(wrappers.iopen("lan;vxi-11[" + server + "]:gpib0," + std::to_string(address))) {
        m_wrappers.itimeout(m_id, kTimeoutMs);
    }
    ~BridgeRoad() override { m_wrappers.iclose(m_id); }
    BridgeRoad(const BridgeRoad&) = delete;
    BridgeRoad& operator=(const BridgeRoad&) = delete;

    std::string query(const std::string& text) override {
        write(text);
        std::string answer(256, '\0');
        std::int32_t reason = 0;
        std::int32_t actual = 0;
        m_wrappers.iread(m_id, answer, static_cast<std::int32_t>(answer.size()), reason, actual);
        answer.resize(static_cast<std::size_t>(actual));
        return answer.substr(0, answer.find_first_of("\r\n"));
    }
    void write(const std::string& message) override {
        std::int32_t actual = 0;
        m_wrappers.iwrite(m_id, message, static_cast<std::int32_t>(message.size()), 1, actual);
    }
    void readExactly(const std::string& text, std::string& into) override {
        write(text);
        std::int32_t reason = 0;
        std::int32_t actual = 0;
        m_wrappers.iread(m_id, into, static_cast<std::int32_t>(into.size()), reason, actual);
        if (static_cast<std::size_t>(actual) != into.size() || (reason & kEnd) == 0) {
            throw std::runtime_error("the bridge's block came with " + std::to_string(actual) +
                                     " of " + std::to_string(into.size()) + " bytes");
        }
    }

private:
    sicl::Sicl32Module& m_wrappers;
    sicl::SessionId m_id;
};

/// Straight to the adapter: the bare client, addressing the instrument before each use.
class BareRoad final : public Road {
public:
    BareRoad(PlusPlusClient& client, int address) : m_client(client), m_address(address) {}

    std::string query(const std::string& text) override {
        m_client.address(m_address);
        return m_client.query(text);
    }
    void write(const std::string& message) override {
        m_client.address(m_address);
        m_client.write(message);
    }
    void readExactly(const std::string& text, std::string& into) override {
        m_client.address(m_address);
        m_client.readExactly(text, into);
    }

private:
    PlusPlusClient& m_client;
    int m_address;
};

/// A figure taken both ways in turns: the samples of each, and the ratio of each turn.
struct Both {
    std::vector<double> bridge, bare, ratios;
};

/// `count` "*IDN?" exchanges each way, in kBlocks blocks taking turns; microseconds each.
Both measureIdn(Road& bridge, Road& bare, int count) {
    const std::string idn = bridge.query("*IDN?\n");
    if (idn.empty() || bare.query("*IDN?\n") != idn) {
        throw std::runtime_error("the two roads do not reach the same instrument");
    }
    Both r;
    const int perBlock = std::max(1, count / kBlocks);
    for (int block = 0; block < kBlocks; ++block) {
        std::vector<double> turn[2];
        for (int side = 0; side < 2; ++side) {
            Road& road = side == 0 ? bridge : bare;
            for (int i = 0; i < perBlock; ++i) {
                const auto start = Clock::now();
                const std::string answer = road.query("*IDN?\n");
                turn[side].push_back(micros(Clock::now() - start));
                if (answer != idn) {
                    throw std::runtime_error("a wrong answer to *IDN?: " + answer);
                }
            }
        }
        r.bridge.insert(r.bridge.end(), turn[0].begin(), turn[0].end());
        r.bare.insert(r.bare.end(), turn[1].begin(), turn[1].end());
        r.ratios.push_back(median(turn[0]) / median(turn[1]));
    }
    return r;
}

/// The scope's waveform set to `n` points on the road; throws unless it took it.
void setPoints(Road& road, std::uint64_t n) {
    road.write(":WAV:POIN " + std::to_string(n) + "\n");
    if (road.query(":WAV:POIN?\n") != std::to_string(n)) {
        throw std::runtime_error("the scope did not take :WAV:POIN " + std::to_string(n));
    }
}

/// One block read into `buf` (`header`, data, LF): MB/s.
double readRate(Road& road, std::string& buf, const std::string& header) {
    buf.assign(buf.size(), '\0');
    const auto start = Clock::now();
    road.readExactly(":WAV:DATA?\n", buf);
    const double took = seconds(Clock::now() - start);
    if (buf.compare(0, header.size(), header) != 0 || buf.back() != '\n') {
        throw std::runtime_error("the block did not arrive whole");
    }
    return static_cast<double>(buf.size()) / 1e6 / took;
}

/// One `:DATA` block written, then `*OPC?` (the bytes reached the instrument once it answers):
/// MB/s.
double writeRate(Road& road, const std::string& message) {
    const auto start = Clock::now();
    road.write(message);
    if (road.query("*OPC?\n") != "1") {
        throw std::runtime_error("the scope did not answer *OPC? after a block");
    }
    return static_cast<double>(message.size()) / 1e6 / seconds(Clock::now() - start);
}

/// `runs` transfers each way, taking turns, after one unmeasured of each.
template <typename Transfer>
Both measureTransfers(Road& bridge, Road& bare, int runs, Transfer transfer) {
    transfer(bridge);
    transfer(bare);
    Both r;
    for (int run = 0; run < runs; ++run) {
        r.bridge.push_back(transfer(bridge));
        r.bare.push_back(transfer(bare));
        r.ratios.push_back(r.bridge.back() / r.bare.back());
    }
    return r;
}

/// "#6100000", N bytes of every value in turn (so CR, LF, ESC and '+' are escaped as often as
/// in binary data) and LF: a message for the scope's `:DATA`.
std::string dataMessage(std::size_t n) {
    const std::string digits = std::to_string(n);
    std::string message = ":DATA #" + std::to_string(digits.size()) + digits;
    for (std::size_t i = 0; i < n; ++i) {
        message += static_cast<char>(i & 0xFF);
    }
    return message + "\n";
}

/// The bytes the scope has taken with `:DATA` so far.
std::uint64_t dataCount(Road& road) {
    return std::stoull(road.query(":DATA:COUN?\n"));
}

void print(std::ostream& out, const char* name, const Both& r) {
    out << name << ' ' << median(r.bridge) << '\n'
        << name << "_bare " << median(r.bare) << '\n'
        << name << "_ratio " << median(r.ratios) << '\n';
}

} // namespace

int runAdapter(const Options& options, std::ostream& out, std::ostream& err) {
    lan::LanLibrary lan;
    sicl::Sicl32Module wrappers(lan);
    try {
        PlusPlusClient client(options.plusplus);
        BridgeRoad bridgeDmm(wrappers, options.server, kIdnAddress);
        BareRoad bareDmm(client, kIdnAddress);
        const Both idn = measureIdn(bridgeDmm, bareDmm, std::max(1, options.count));

        BridgeRoad bridgeScope(wrappers, options.server, kBlockAddress);
        BareRoad bareScope(client, kBlockAddress);
        const std::uint64_t n = options.bulk > 0 ? options.bulk : kAdapterBulk;
        setPoints(bridgeScope, n);
        setPoints(bareScope, n);
        const std::string header =
            "#" + std::to_string(std::to_string(n).size()) + std::to_string(n);
        std::string buf(header.size() + n + 1, '\0');
        const int runs = std::max(1, options.runs);
        const Both read = measureTransfers(bridgeScope, bareScope, runs,
                                           [&](Road& road) { return readRate(road, buf, header); });

        const std::string message = dataMessage(kAdapterWrite);
        const std::uint64_t before[] = {dataCount(bridgeScope), dataCount(bareScope)};
        const Both write = measureTransfers(bridgeScope, bareScope, runs,
                                            [&](Road& road) { return writeRate(road, message); });
        const std::uint64_t taken = static_cast<std::uint64_t>(runs + 1) * kAdapterWrite;
        if (dataCount(bridgeScope) - before[0] != taken ||
            dataCount(bareScope) - before[1] != taken) {
            throw std::runtime_error("a scope did not take every byte written");
        }

        out << "adapter_flavour " << (client.ar488() ? "ar488" : "prologix") << '\n';
        print(out, "adapter_idn_us", idn);
        out << "adapter_idn_added_us " << median(idn.bridge) - median(idn.bare) << '\n'
            << "adapter_read_bytes " << buf.size() << '\n';
        print(out, "adapter_read_mb_s", read);
        out << "adapter_write_bytes " << message.size() << '\n';
        print(out, "adapter_write_mb_s", write);
        return 0;
    } catch (...) {
        return reportFailure(err);
    }
}

} // namespace bench
