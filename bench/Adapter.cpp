// Adapter mode of siclquill-bench: instruments behind a `++` adapter reached through the bridge
// (the library's VXI-11 client, siclquill-gateway --adapter, the adapter), against a bare `++`
// client that speaks to an adapter of the same kind directly.
#include "bench/Floor.h"
#include "bench/Modes.h"
#include "bench/PlusPlusClient.h"
#include "bench/Query.h"

#include "lan/LanLibrary.h"
#include "sicl/Sicl32Module.h"

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
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

/// The roads of one instrument: through the bridge, bare, and bare through a relay if asked.
using Roads = std::vector<Road*>;

/// A figure taken on each road in turns: each road's samples, and per turn its ratio to the
/// bare road's (the second).
struct RoadTurns {
    std::vector<std::vector<double>> samples, ratios;

    explicit RoadTurns(std::size_t roads) : samples(roads), ratios(roads) {}
    /// Adds one turn: `values[i]` taken on road i (one or more samples each).
    void add(const std::vector<std::vector<double>>& values) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            samples[i].insert(samples[i].end(), values[i].begin(), values[i].end());
            ratios[i].push_back(median(values[i]) / median(values[1]));
        }
    }
};

/// `count` "*IDN?" exchanges on each road, in kBlocks blocks taking turns; microseconds each.
RoadTurns measureIdn(const Roads& roads, int count) {
    const std::string idn = roads[0]->query("*IDN?\n");
    for (Road* road : roads) {
        if (idn.empty() || road->query("*IDN?\n") != idn) {
            throw std::runtime_error("the roads do not reach the same instrument");
        }
    }
    RoadTurns r(roads.size());
    const int perBlock = std::max(1, count / kBlocks);
    for (int block = 0; block < kBlocks; ++block) {
        std::vector<std::vector<double>> turn(roads.size());
        for (std::size_t i = 0; i < roads.size(); ++i) {
            for (int k = 0; k < perBlock; ++k) {
                const auto start = Clock::now();
                const std::string answer = roads[i]->query("*IDN?\n");
                turn[i].push_back(micros(Clock::now() - start));
                if (answer != idn) {
                    throw std::runtime_error("a wrong answer to *IDN?: " + answer);
                }
            }
        }
        r.add(turn);
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

/// `runs` transfers on each road, taking turns, after one unmeasured on each.
template <typename Transfer>
RoadTurns measureTransfers(const Roads& roads, int runs, Transfer transfer) {
    for (Road* road : roads) {
        transfer(*road);
    }
    RoadTurns r(roads.size());
    for (int run = 0; run < runs; ++run) {
        std::vector<std::vector<double>> turn(roads.size());
        for (std::size_t i = 0; i < roads.size(); ++i) {
            turn[i].push_back(transfer(*roads[i]));
        }
        r.add(turn);
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

/// The figure on each road: NAME (the bridge), NAME_bare, NAME_relay, and each one's ratio
/// to the bare road.
void print(std::ostream& out, const std::string& name, const RoadTurns& r) {
    const char* suffix[] = {"", "_bare", "_relay"};
    out << name << ' ' << median(r.samples[0]) << '\n'
        << name << "_bare " << median(r.samples[1]) << '\n'
        << name << "_ratio " << median(r.ratios[0]) << '\n';
    if (r.samples.size() > 2) {
        out << name << suffix[2] << ' ' << median(r.samples[2]) << '\n'
            << name << "_relay_ratio " << median(r.ratios[2]) << '\n';
    }
}

/// The instrument at `address` on each road.
struct Instrument {
    Instrument(sicl::Sicl32Module& wrappers, const std::string& server, int address,
               PlusPlusClient& direct, PlusPlusClient* throughRelay)
        : bridge(wrappers, server, address), bare(direct, address) {
        if (throughRelay != nullptr) {
            relayed.emplace(*throughRelay, address);
        }
    }
    Roads roads() {
        Roads all{&bridge, &bare};
        if (relayed) {
            all.push_back(&*relayed);
        }
        return all;
    }

    BridgeRoad bridge;
    BareRoad bare;
    std::optional<BareRoad> relayed;
};

} // namespace

int runAdapter(const Options& options, std::ostream& out, std::ostream& err) {
    lan::LanLibrary lan;
    sicl::Sicl32Module wrappers(lan);
    try {
        PlusPlusClient client(connectAdapter(resolveAdapter(options.plusplus)));
        // The relay runs as a process of its own, as the bridge does, on this CPU.
        LoopbackPeer relayPeer;
        std::optional<PlusPlusClient> relayed;
        if (!options.relay.empty()) {
            const AdapterAddress to = resolveAdapter(options.relay);
            relayPeer.start(::sched_getcpu(), [&to](int listener) { relay(listener, to); });
            relayed.emplace(relayPeer.connect());
        }
        const auto instrument = [&](int address) {
            return std::make_unique<Instrument>(wrappers, options.server, address, client,
                                                relayed ? &*relayed : nullptr);
        };
        const auto dmm = instrument(kIdnAddress);
        const RoadTurns idn = measureIdn(dmm->roads(), std::max(1, options.count));

        const auto scope = instrument(kBlockAddress);
        const Roads roads = scope->roads();
        const std::uint64_t n = options.bulk > 0 ? options.bulk : kAdapterBulk;
        for (Road* road : roads) {
            setPoints(*road, n);
        }
        const std::string header =
            "#" + std::to_string(std::to_string(n).size()) + std::to_string(n);
        std::string buf(header.size() + n + 1, '\0');
        const int runs = std::max(1, options.runs);
        const RoadTurns read =
            measureTransfers(roads, runs, [&](Road& road) { return readRate(road, buf, header); });

        const std::string message = dataMessage(kAdapterWrite);
        std::vector<std::uint64_t> before;
        for (Road* road : roads) {
            before.push_back(dataCount(*road));
        }
        const RoadTurns write =
            measureTransfers(roads, runs, [&](Road& road) { return writeRate(road, message); });
        for (std::size_t i = 0; i < roads.size(); ++i) {
            if (dataCount(*roads[i]) - before[i] !=
                static_cast<std::uint64_t>(runs + 1) * kAdapterWrite) {
                throw std::runtime_error("a scope did not take every byte written");
            }
        }

        out << "adapter_flavour " << (client.ar488() ? "ar488" : "prologix") << '\n';
        print(out, "adapter_idn_us", idn);
        out << "adapter_idn_added_us " << median(idn.samples[0]) - median(idn.samples[1]) << '\n'
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
