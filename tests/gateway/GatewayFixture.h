#pragma once
// A simulator with the demo bench on free loopback ports, and helpers for the VXI-11 calls
// tests make most (on any gateway's core channel).

#include "TestClient.h"
#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace testrpc {

/// The calls, made by `core` (or another client) once a derived fixture connected it.
class CoreCalls : public ::testing::Test {
protected:
    // Opens a link on `client` and returns its id (fails the test on an error).
    std::int32_t link(const std::string& device, TestClient* client = nullptr) {
        vxi11::CreateLinkParms p;
        p.device = device;
        const auto r = (client ? *client : core).call<vxi11::CreateLink>(p);
        EXPECT_TRUE(r.has_value());
        EXPECT_EQ(r ? r->error : -1, 0) << device;
        return r ? r->lid : -1;
    }

    std::int32_t write(std::int32_t lid, const std::string& text,
                       std::int32_t flagBits = vxi11::flags::kEnd, TestClient* client = nullptr,
                       std::uint32_t lockTimeout = 0) {
        vxi11::DeviceWriteParms p;
        p.lid = lid;
        p.ioTimeout = 1000;
        p.lockTimeout = lockTimeout;
        p.flags = flagBits;
        p.data.assign(text.begin(), text.end());
        const auto r = (client ? *client : core).call<vxi11::DeviceWrite>(p);
        return r ? r->error : -1;
    }

    std::optional<vxi11::DeviceReadResp> read(std::int32_t lid, std::uint32_t size = 4096,
                                              std::uint32_t ioTimeout = 1000,
                                              std::optional<char> term = std::nullopt,
                                              TestClient* client = nullptr) {
        vxi11::DeviceReadParms p;
        p.lid = lid;
        p.requestSize = size;
        p.ioTimeout = ioTimeout;
        if (term) {
            p.flags = vxi11::flags::kTermChrSet;
            p.termChar = static_cast<unsigned char>(*term);
        }
        return (client ? *client : core).call<vxi11::DeviceRead>(p);
    }

    static std::string text(const vxi11::DeviceReadResp& r) {
        return std::string(r.data.begin(), r.data.end());
    }

    std::optional<vxi11::DeviceDocmdResp> docmd(std::int32_t lid, std::int32_t cmd,
                                                std::vector<std::uint32_t> values, int datasize,
                                                bool networkOrder = true) {
        vxi11::DeviceDocmdParms p;
        p.lid = lid;
        p.ioTimeout = 1000;
        p.cmd = cmd;
        p.networkOrder = networkOrder;
        p.datasize = datasize;
        p.dataIn = vxi11::packElements(values, datasize, networkOrder);
        return core.call<vxi11::DeviceDocmd>(p);
    }

    // Bus status through docmd, network order; -1 on failure.
    int busStatus(std::int32_t lid, std::uint32_t request) {
        const auto r = docmd(lid, vxi11::docmd::kBusStatus, {request}, 2);
        if (!r || r->error != 0 || r->dataOut.size() != 2)
            return -1;
        return r->dataOut[0] * 256 + r->dataOut[1];
    }

    // Waits (bounded) until `pred` holds; for state the server changes on its own threads.
    template <typename Pred>
    static bool eventually(Pred pred) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    TestClient core;
};

/// The simulator serving the demo bench, or the instruments a test starts it with.
class GatewayFixture : public CoreCalls {
protected:
    void SetUp() override { startWith(gateway::demoBench()); }

    void startWith(std::vector<gateway::InstrumentConfig> instruments,
                   gateway::SimulatorLimits limits = {},
                   std::vector<gateway::InstrumentConfig> lanInstruments = {}) {
        gateway::SimulatorConfig config = testsupport::onFreePorts(std::move(instruments), limits);
        config.lanInstruments = std::move(lanInstruments);
        sim = std::make_unique<gateway::Simulator>(std::move(config));
        ASSERT_TRUE(testsupport::started(*sim));
        ASSERT_TRUE(core.connect(sim->corePort()));
    }

    std::unique_ptr<gateway::Simulator> sim;
};

/// The demo bench and its LAN instrument inst0, beside a second LAN instrument.
class GatewayLan : public GatewayFixture {
protected:
    void SetUp() override {
        startWith(gateway::demoBench(), {},
                  {gateway::demoLanInstrument(), gateway::lanInstrument("Scope_2", "Acme,S2,1,1")});
    }
};

} // namespace testrpc
