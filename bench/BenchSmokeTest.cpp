// The benchmark against an in-process simulator: it runs, succeeds and prints its figures.
#include "bench/Bench.h"
#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <map>
#include <sstream>

namespace {

std::map<std::string, double> figures(const std::string& text) {
    std::map<std::string, double> out;
    std::istringstream in(text);
    std::string name;
    double value = 0;
    while (in >> name >> value) {
        out[name] = value;
    }
    return out;
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
