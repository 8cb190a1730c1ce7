#pragma once
// The bridge end to end, for each flavour of adapter over TCP and over a pseudo-terminal: a
// VXI-11 client (the library's RPC client) on the bridge's core channel, and the calls the
// tests make most. The bench is the demo one, with one instrument more at 7 that answers
// `BIN?` with every byte value.

#include "../TestClient.h"
#include "support/LoopbackBridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace bridgetest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::BridgeCase;
using testsupport::BridgeOptions;

/// The instrument at 7, whose answer holds every byte value once, in order.
constexpr int kBinaryPad = 7;
/// An address nobody is at.
constexpr int kAbsentPad = 14;

/// Every byte value, 0 to 255.
inline std::string everyByte() {
    std::string bytes(256, '\0');
    for (int i = 0; i < 256; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(i);
    }
    return bytes;
}

/// The demo bench and the instrument at 7.
inline std::vector<gateway::InstrumentConfig> bridgeBench() {
    std::vector<gateway::InstrumentConfig> bench = gateway::demoBench();
    gateway::InstrumentConfig binary = testsupport::instrumentAt(kBinaryPad, "Bin,1,2,3");
    binary.queries = {{"BIN?", everyByte()}};
    bench.push_back(binary);
    return bench;
}

/// Whether a call that took `took` ended within max(0.2 s, 5 %) of its time-out `timeout`.
inline ::testing::AssertionResult endedBy(Clock::duration took, std::chrono::milliseconds timeout) {
    const auto bound = timeout + std::max<Clock::duration>(200ms, timeout / 20);
    if (took <= bound) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
           << " ms, time-out " << timeout.count() << " ms";
}

class Bridge : public ::testing::TestWithParam<BridgeCase> {
protected:
    void SetUp() override { start({bridgeBench()}); }

    void start(BridgeOptions options) {
        road = std::make_unique<testsupport::LoopbackBridge>(GetParam(), std::move(options));
        ASSERT_TRUE(road->start());
        ASSERT_TRUE(core.connect(road->gateway().corePort()));
    }

    bool ar488() const { return road->ar488(); }
    gateway::Simulator& sim() { return road->sim(); }

    /// Opens a link on `client` (the core client by default); fails the test on an error.
    std::int32_t link(const std::string& device, testrpc::TestClient* client = nullptr) {
        vxi11::CreateLinkParms p;
        p.device = device;
        const auto r = (client ? *client : core).call<vxi11::CreateLink>(p);
        EXPECT_TRUE(r && r->error == 0) << device;
        return r ? r->lid : -1;
    }

    std::optional<vxi11::DeviceWriteResp> write(std::int32_t lid, std::string_view data,
                                                std::int32_t flags = vxi11::flags::kEnd,
                                                std::uint32_t ioTimeout = 2000,
                                                testrpc::TestClient* client = nullptr) {
        vxi11::DeviceWriteParms p;
        p.lid = lid;
        p.ioTimeout = ioTimeout;
        p.flags = flags;
        p.data.assign(data.begin(), data.end());
        return (client ? *client : core).call<vxi11::DeviceWrite>(p);
    }

    std::optional<vxi11::DeviceReadResp> read(std::int32_t lid, std::uint32_t size = 1 << 16,
                                              std::uint32_t ioTimeout = 2000,
                                              std::optional<char> term = std::nullopt,
                                              testrpc::TestClient* client = nullptr) {
        vxi11::DeviceReadParms p;
        p.lid = lid;
        p.requestSize = size;
        p.ioTimeout = ioTimeout;
        if (term) {
            p.flags = vxi11::flags::kTermChrSet;
            p.termChar = static_cast<unsigned char>(*term);
        }
        return (client ? *client : core)
            .call<vxi11::DeviceRead>(p, 10s, size + vxi11::rpc::kSmallReplyCap);
    }

    /// Reads until END (or a failure, or 10 s); the bytes, or nothing on a failure.
    std::optional<std::string> readMessage(std::int32_t lid,
                                           testrpc::TestClient* client = nullptr) {
        std::string all;
        for (const auto until = Clock::now() + 10s; Clock::now() < until;) {
            const auto r = read(lid, 1 << 20, 2000, std::nullopt, client);
            if (!r || r->error != 0) {
                return std::nullopt;
            }
            all.append(r->data.begin(), r->data.end());
            if ((r->reason & vxi11::reason::kEnd) != 0) {
                return all;
            }
        }
        return std::nullopt;
    }

    /// Writes `text` with END and reads the whole answer; empty on any failure.
    std::string query(std::int32_t lid, std::string_view text,
                      testrpc::TestClient* client = nullptr) {
        const auto w = write(lid, text, vxi11::flags::kEnd, 2000, client);
        if (!w || w->error != 0) {
            return {};
        }
        return readMessage(lid, client).value_or("");
    }

    /// A call taking Device_GenericParms (readstb, trigger, clear, remote, local).
    template <typename P>
    auto generic(std::int32_t lid, std::uint32_t ioTimeout = 2000) {
        vxi11::DeviceGenericParms p;
        p.lid = lid;
        p.ioTimeout = ioTimeout;
        return core.call<P>(p);
    }

    std::optional<vxi11::DeviceDocmdResp> docmd(std::int32_t lid, std::int32_t cmd,
                                                std::vector<std::uint32_t> values, int datasize) {
        vxi11::DeviceDocmdParms p;
        p.lid = lid;
        p.ioTimeout = 2000;
        p.cmd = cmd;
        p.datasize = datasize;
        p.dataIn = vxi11::packElements(values, datasize, true);
        return core.call<vxi11::DeviceDocmd>(p);
    }

    /// The error of sending `bytes` as commands on interface link `lid`.
    std::int32_t sendCommand(std::int32_t lid, std::vector<std::uint32_t> bytes) {
        const auto r = docmd(lid, vxi11::docmd::kSendCommand, std::move(bytes), 1);
        return r ? r->error : -1;
    }

    /// A bus status (docmd) on `lid`: its value, or minus its error.
    int busStatus(std::int32_t lid, std::uint32_t request) {
        const auto r = docmd(lid, vxi11::docmd::kBusStatus, {request}, 2);
        if (!r || (r->error == 0 && r->dataOut.size() != 2)) {
            return -1000;
        }
        return r->error != 0 ? -r->error : r->dataOut[0] * 256 + r->dataOut[1];
    }

    /// How long `call` took.
    template <typename F>
    static Clock::duration timed(F&& call) {
        const auto start = Clock::now();
        call();
        return Clock::now() - start;
    }

    /// Waits (bounded) until `pred` holds; for what the bridge does on its own threads.
    template <typename Pred>
    static bool eventually(Pred pred, Clock::duration limit = 5s) {
        const auto until = Clock::now() + limit;
        while (!pred()) {
            if (Clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    std::unique_ptr<testsupport::LoopbackBridge> road;
    testrpc::TestClient core;
};

} // namespace bridgetest
