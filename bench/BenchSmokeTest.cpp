// The benchmark against an in-process simulator: it runs, succeeds and prints its figures.
#include "bench/Bench.h"
#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"

#include <gtest/gtest.h>

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

} // namespace

TEST(Bench, PrintsEveryFigureAndSucceedsAgainstTheSimulator) {
    gateway::Simulator sim(testsupport::onFreePorts(gateway::demoBench()));
    ASSERT_TRUE(sim.start());
    std::ostringstream out, err;
    const int status =
        bench::run({"127.0.0.1:" + std::to_string(sim.portmapperPort()), 22, 5}, out, err);
    EXPECT_EQ(status, 0) << err.str();
    const auto f = figures(out.str());
    for (const char* name : {"roundtrip_floor_us", "idn_floor_us", "idn_exchange_us", "idn_ratio",
                             "docmd_roundtrip_us", "discovery_walk_us", "discovery_calls",
                             "discovery_floor_us", "discovery_ratio"}) {
        ASSERT_TRUE(f.contains(name)) << name << "\n" << out.str();
        EXPECT_GT(f.at(name), 0) << name;
    }
    // One bus status request, then four calls for each of the 30 probed addresses.
    EXPECT_EQ(f.at("discovery_calls"), 121);
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
