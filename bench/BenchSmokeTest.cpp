// The benchmark against an in-process simulator: it runs, succeeds and prints its figures.
#include "bench/Bench.h"
#include "bench/Floor.h"
#include "gateway/Bridge.h"
#include "gateway/Simulator.h"
#include "gateway/adapter/AdapterPlace.h"
#include "support/LoopbackSimulator.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <sstream>

namespace {

/// The numeric figures of `text` (NAME VALUE lines; a line with text for a value is left out).
std::map<std::string, double> figures(const std::string& text) {
    std::map<std::string, double> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string name;
        double value = 0;
        if (fields >> name >> value) {
            out[name] = value;
        }
    }
    return out;
}

/// The demo bench with its LAN instrument on every transport, on free ports.
gateway::SimulatorConfig everyTransport() {
    gateway::SimulatorConfig config = testsupport::onFreePorts(gateway::demoBench());
    config.lanInstruments = {gateway::demoLanInstrument()};
    config.hislipPort = 0;
    config.socketPort = 0;
    return config;
}

/// Minor page faults taken by this process while `body` runs.
template <typename F>
long minorFaults(F&& body) {
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    body();
    ::getrusage(RUSAGE_SELF, &after);
    return after.ru_minflt - before.ru_minflt;
}

/// Faults taken writing every page of `buffer` while a forked child is alive, as a floor's
/// peer is while the bench writes into its buffer.
long faultsWritingAfterFork(std::string& buffer) {
    int gate[2];
    EXPECT_EQ(::pipe(gate), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(gate[1]);
        char c = 0;
        [[maybe_unused]] const ssize_t n = ::read(gate[0], &c, 1);
        ::_exit(0);
    }
    const long faults = minorFaults([&] {
        for (std::size_t i = 0; i < buffer.size(); i += 4096) {
            buffer[i] = static_cast<char>(buffer[i] + 1);
        }
    });
    ::close(gate[1]);
    ::waitpid(child, nullptr, 0);
    ::close(gate[0]);
    return faults;
}

cpu_set_t threadCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    return set;
}

} // namespace

TEST(Bench, PrintsEveryFigureAndSucceedsAgainstTheSimulator) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(sim.start());
    std::ostringstream out, err;
    const cpu_set_t cpus = threadCpus();
    const int status =
        bench::run({"127.0.0.1:" + std::to_string(sim.portmapperPort()), 22, 5}, out, err);
    EXPECT_EQ(status, 0) << err.str();
    // The floor pins its ends; the library's own exchanges must stay where the caller had them.
    const cpu_set_t after = threadCpus();
    EXPECT_TRUE(CPU_EQUAL(&cpus, &after));
    const auto f = figures(out.str());
    for (const char* name :
         {"roundtrip_floor_us", "idn_floor_us", "idn_exchange_us", "idn_ratio",
          "docmd_roundtrip_us", "discovery_walk_us", "discovery_calls", "discovery_floor_us",
          "discovery_ratio", "idn_floor_same_cpu_us", "docmd_floor_same_cpu_us"}) {
        ASSERT_TRUE(f.contains(name)) << name << "\n" << out.str();
        EXPECT_GT(f.at(name), 0) << name;
    }
    // One bus status request, then four calls for each of the 30 probed addresses.
    EXPECT_EQ(f.at("discovery_calls"), 121);
    // With two CPUs both placements are tried, and the floor is no slower than either.
    if (CPU_COUNT(&cpus) > 1) {
        ASSERT_TRUE(f.contains("idn_floor_cross_cpu_us")) << out.str();
        ASSERT_TRUE(f.contains("docmd_floor_cross_cpu_us")) << out.str();
        EXPECT_LE(f.at("idn_floor_us"),
                  std::min(f.at("idn_floor_same_cpu_us"), f.at("idn_floor_cross_cpu_us")));
        EXPECT_LE(f.at("docmd_roundtrip_us"),
                  std::min(f.at("docmd_floor_same_cpu_us"), f.at("docmd_floor_cross_cpu_us")));
    }
}

TEST(Bench, ConfinedToOneCpuTheFloorTakesThatCpuAndLeavesItSo) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(sim.start());
    const cpu_set_t before = threadCpus();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(::sched_getcpu(), &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    std::ostringstream out, err;
    const int status =
        bench::run({"127.0.0.1:" + std::to_string(sim.portmapperPort()), 22, 5, 1}, out, err);
    const cpu_set_t after = threadCpus();
    ::sched_setaffinity(0, sizeof before, &before);
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_TRUE(CPU_EQUAL(&one, &after));
    auto f = figures(out.str());
    EXPECT_GT(f["idn_floor_same_cpu_us"], 0) << out.str();
    EXPECT_EQ(f["idn_floor_us"], f["idn_floor_same_cpu_us"]);
    EXPECT_FALSE(f.contains("idn_floor_cross_cpu_us"));
}

TEST(Bench, LoadModeRunsEveryClientOnItsOwnLinkWithoutError) {
    auto instruments = gateway::demoBench();
    for (int c = 0; c < 6; ++c) {
        const int address = bench::loadAddress(c);
        gateway::InstrumentConfig load;
        load.pad = address / 100;
        load.sad = address % 100;
        load.idn = "LOAD," + std::to_string(c);
        instruments.push_back(load);
    }
    gateway::Simulator sim(testsupport::onFreePorts(instruments));
    ASSERT_TRUE(sim.start());
    std::ostringstream out, err;
    bench::Options options{"127.0.0.1:" + std::to_string(sim.portmapperPort()), 22, 25};
    options.clients = 6;
    const std::uint64_t callsBefore = sim.callCount();
    EXPECT_EQ(bench::run(options, out, err), 0) << err.str();
    const auto f = figures(out.str());
    ASSERT_TRUE(f.contains("exchanges_per_s")) << out.str();
    EXPECT_EQ(f.at("errors"), 0);
    EXPECT_EQ(f.at("exchanges"), 6 * 25);
    EXPECT_GT(f.at("exchanges_per_s"), 0);
    // Each exchange is a write and a read on the gateway, besides opening and closing links.
    EXPECT_GE(sim.callCount() - callsBefore, 6u * 25u * 2u);
}

TEST(Bench, LoadModeCountsEveryFailedExchange) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(sim.start());
    std::ostringstream out, err;
    // The demo bench has nobody at the load addresses: every write fails, and each failure is
    // counted, none hidden.
    bench::Options options{"127.0.0.1:" + std::to_string(sim.portmapperPort()), 22, 4};
    options.clients = 3;
    EXPECT_EQ(bench::run(options, out, err), 1);
    const auto f = figures(out.str());
    EXPECT_EQ(f.at("errors"), 3 * 4) << out.str();
    EXPECT_EQ(f.at("exchanges"), 0);
}

TEST(Bench, FailsWhenAnExchangeFails) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(sim.start());
    std::ostringstream out, err;
    // Nobody at 17: the write meets no listener.
    EXPECT_EQ(bench::run({"127.0.0.1:" + std::to_string(sim.portmapperPort()), 17, 3}, out, err),
              1);
    EXPECT_NE(err.str().find("I/O error"), std::string::npos) << err.str();
}

TEST(Bench, ResourceModeMeasuresEachTransportAgainstItsOwnRoundTrips) {
    gateway::Simulator sim(everyTransport());
    ASSERT_TRUE(testsupport::started(sim));
    const std::string host = "127.0.0.1::";
    const struct {
        std::string resource, transport;
        double roundTrips;
    } cases[] = {
        {"lan;vxi-11[" + testsupport::serverOf(sim) + "]:inst0", "vxi-11", 2},
        {"TCPIP::" + host + "hislip0," + std::to_string(sim.hislipPort()) + "::INSTR", "hislip", 1},
        {"tcpip::" + host + std::to_string(sim.socketPort()) + "::socket", "socket", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resource);
        bench::Options options;
        options.resource = c.resource;
        options.count = 5;
        options.bulk = 300000; // a block with LF bytes inside, read whole on every transport
        options.runs = 1;
        std::ostringstream out, err;
        ASSERT_EQ(bench::run(options, out, err), 0) << err.str();
        EXPECT_NE(out.str().find("transport " + c.transport + "\n"), std::string::npos)
            << out.str();
        const auto f = figures(out.str());
        EXPECT_EQ(f.at("idn_round_trips"), c.roundTrips);
        for (const char* name :
             {"idn_exchange_us", "idn_floor_us", "idn_ratio", "roundtrip_floor_us",
              "bulk_read_mb_s", "bulk_write_mb_s", "bulk_floor_mb_s", "bulk_write_floor_mb_s",
              "bulk_read_ratio", "bulk_write_ratio"}) {
            ASSERT_TRUE(f.contains(name)) << name << "\n" << out.str();
            EXPECT_GT(f.at(name), 0) << name;
        }
        EXPECT_EQ(f.at("bulk_bytes"), 300000);
    }
}

TEST(Bench, ResourceModeFailsOnABadOrDeadResource) {
    bench::Options options;
    options.resource = "TCPIP::127.0.0.1::hislip0,notaport::INSTR";
    std::ostringstream out, err;
    EXPECT_EQ(bench::run(options, out, err), 1);
    EXPECT_FALSE(err.str().empty());

    // A port nobody listens on: the socket is closed again before it is tried.
    gateway::Simulator sim(everyTransport());
    ASSERT_TRUE(testsupport::started(sim));
    const std::uint16_t port = sim.socketPort();
    sim.stop();
    options.resource = "TCPIP::127.0.0.1::" + std::to_string(port) + "::SOCKET";
    std::ostringstream out2, err2;
    EXPECT_EQ(bench::run(options, out2, err2), 1);
    EXPECT_EQ(out2.str().find("bulk_read_mb_s"), std::string::npos) << out2.str();
}

TEST(Bench, AdapterModeMeasuresTheBridgeAgainstABareClientOnEachFlavour) {
    for (const auto flavour :
         {gateway::emulator::Flavour::Ar488, gateway::emulator::Flavour::Prologix}) {
        // One adapter behind the bridge, one for the bare client, one behind the relay: a TCP
        // adapter serves one client at a time.
        gateway::SimulatorConfig adapters = testsupport::onFreePorts(gateway::demoBench());
        adapters.plusplus = "0";
        adapters.plusplusFlavour = flavour;
        gateway::Simulator behindBridge(adapters), bare(adapters), behindRelay(adapters);
        ASSERT_TRUE(testsupport::started(behindBridge));
        ASSERT_TRUE(testsupport::started(bare));
        ASSERT_TRUE(testsupport::started(behindRelay));
        gateway::BridgeConfig config;
        config.link.device =
            *gateway::adapter::parseAdapterPlace("127.0.0.1:" + behindBridge.plusplusWhere());
        gateway::Bridge bridge(config);
        std::string error;
        ASSERT_TRUE(bridge.start(&error)) << error;

        bench::Options options;
        options.server = "127.0.0.1:" + std::to_string(bridge.gateway().portmapperPort());
        options.plusplus = "127.0.0.1:" + bare.plusplusWhere();
        options.relay = "127.0.0.1:" + behindRelay.plusplusWhere();
        options.count = 5;
        options.bulk = 300000; // several of the driver's receive buffers
        options.runs = 1;
        std::ostringstream out, err;
        ASSERT_EQ(bench::run(options, out, err), 0) << err.str();
        const bool ar488 = flavour == gateway::emulator::Flavour::Ar488;
        EXPECT_NE(out.str().find(ar488 ? "adapter_flavour ar488\n" : "adapter_flavour prologix\n"),
                  std::string::npos)
            << out.str();
        const auto f = figures(out.str());
        for (const char* name :
             {"adapter_idn_us", "adapter_idn_us_bare", "adapter_idn_us_ratio", "adapter_read_mb_s",
              "adapter_read_mb_s_bare", "adapter_read_mb_s_ratio", "adapter_write_mb_s",
              "adapter_write_mb_s_bare", "adapter_write_mb_s_ratio", "adapter_idn_us_relay",
              "adapter_read_mb_s_relay", "adapter_read_mb_s_relay_ratio"}) {
            ASSERT_TRUE(f.contains(name)) << name << "\n" << out.str();
            EXPECT_GT(f.at(name), 0) << name;
        }
        // The block's header, its data and LF; the :DATA message of 100,000 bytes.
        EXPECT_EQ(f.at("adapter_read_bytes"), 300000 + 8 + 1);
        EXPECT_EQ(f.at("adapter_write_bytes"), 100000 + 14 + 1);
    }
}

TEST(Bench, StreamFloorsCarryEveryByteAndTheBufferStaysOutOfThePeers) {
    std::string block(1 << 20, '\0');
    const bench::Floor read = bench::measureStreamFloor(block, 64 * 1024);
    EXPECT_GT(read.sameCpu, 0);
    EXPECT_EQ(block.find_first_not_of('w'), std::string::npos);
    EXPECT_GT(bench::measureSinkFloor(block, 64 * 1024).sameCpu, 0);

    // Without it, every page written while a peer is alive is copied; with it, none is. No huge
    // pages, so that each 4 KiB page copied counts once whatever the system's setting.
    ASSERT_EQ(::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0), 0);
    std::string shared(4 << 20, 'a');
    EXPECT_GE(faultsWritingAfterFork(shared), 1000);
    std::string kept(4 << 20, 'a');
    {
        const bench::OutOfForks outOfForks(kept);
        EXPECT_LT(faultsWritingAfterFork(kept), 10);
    }
    // Afterwards a forked process sees those pages again (they may be reused by the heap).
    EXPECT_GE(faultsWritingAfterFork(kept), 1000);
}
