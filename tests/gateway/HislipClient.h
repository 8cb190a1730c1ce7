#pragma once
// A HiSLIP client that says exactly what a test wants, right or wrong, for the simulator's
// HiSLIP server: the channels are the scripted peer's (every receive ends after a few seconds),
// and the session keeps the MessageID and RMT-delivered as a conforming client would, so that
// tests only spell out what they break. Also the fixture: the simulator with the demo bench,
// inst0 and a second LAN instrument, HiSLIP and the raw socket on free ports.

#include "gateway/Simulator.h"
#include "hislip/HislipPeer.h"
#include "support/LoopbackSimulator.h"
#include "support/RawConnection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testhislip {

using hislip::MessageType;
using testsupport::Msg;
using testsupport::PeerChannel;
using namespace std::chrono_literals;

inline std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class RawSession {
public:
    explicit RawSession(std::uint16_t port) : m_port(port) {}

    /// A new connection to the server (not yet a channel).
    PeerChannel connect() const {
        return PeerChannel(
            net::TcpConnection::connect(testsupport::loopback(), m_port, net::Deadline::after(5s)),
            -1);
    }
    /// Connects the sync channel and sends Initialize; the server's answer.
    std::optional<Msg> initialize(std::string_view subAddress = "hislip0") {
        sync = connect();
        sync.send(
            hislip::initialize(hislip::kProtocolVersion, hislip::vendorId('Z', 'Z'), subAddress));
        auto answer = sync.receive();
        if (answer && answer->header.type == MessageType::InitializeResponse) {
            sessionId = hislip::low16(answer->header.parameter);
            overlapped = (answer->header.control & hislip::control::kOverlapped) != 0;
        }
        return answer;
    }
    /// Connects the async channel with `id` (the session's by default); the server's answer.
    std::optional<Msg> initializeAsync(std::optional<std::uint16_t> id = std::nullopt) {
        async = connect();
        async.send(hislip::asyncInitialize(id.value_or(sessionId)));
        return async.receive();
    }
    /// Both channels and the maximum size exchange; false if a step went wrong.
    bool open(std::string_view subAddress = "hislip0", std::uint64_t maxSize = 1 << 20) {
        const auto init = initialize(subAddress);
        const auto asyncInit = initializeAsync();
        const auto size = request(hislip::asyncMaximumMessageSize(maxSize));
        return init && init->header.type == MessageType::InitializeResponse && asyncInit &&
               asyncInit->header.type == MessageType::AsyncInitializeResponse && size &&
               size->header.type == MessageType::AsyncMaximumMessageSizeResponse;
    }

    /// Sends `text` as Data (or DataEND) with the next MessageID; returns the ID.
    std::uint32_t send(std::string_view text, bool end = true) {
        const std::uint32_t id = takeId();
        sync.send(hislip::data(end, rmtFlag(), id, bytesOf(text)));
        return id;
    }
    std::uint32_t trigger() {
        const std::uint32_t id = takeId();
        sync.send(hislip::trigger(rmtFlag() != 0, id));
        return id;
    }
    /// Reads Data... DataEND from the sync channel: the text, or nothing if something else
    /// came. The headers go to `headers`.
    std::optional<std::string> response(std::vector<hislip::Header>* headers = nullptr) {
        std::string text;
        for (;;) {
            auto m = sync.receive();
            if (!m || !hislip::isData(m->header.type)) {
                return std::nullopt;
            }
            if (headers != nullptr) {
                headers->push_back(m->header);
            }
            text += m->text();
            if (m->header.type == MessageType::DataEnd) {
                rmt = true;
                return text;
            }
        }
    }
    std::optional<std::string> query(std::string_view text) {
        send(text);
        return response();
    }

    /// Sends `message` on the async channel and returns the next async message.
    std::optional<Msg> request(const hislip::Bytes& message) {
        async.send(message);
        return async.receive();
    }
    /// AsyncStatusQuery with the last ID sent: the status byte, or -1.
    int status() {
        const auto m = request(hislip::asyncStatusQuery(rmtFlag() != 0, lastId));
        return m && m->header.type == MessageType::AsyncStatusResponse ? m->header.control : -1;
    }
    /// AsyncLock request: the answer's control code, or -1.
    int lock(std::uint32_t timeoutMs, std::string_view key = {}) {
        const auto m = request(hislip::asyncLockRequest(timeoutMs, key));
        return m && m->header.type == MessageType::AsyncLockResponse ? m->header.control : -1;
    }
    int release(std::optional<std::uint32_t> id = std::nullopt) {
        const auto m = request(hislip::asyncLockRelease(id.value_or(lastId)));
        return m && m->header.type == MessageType::AsyncLockResponse ? m->header.control : -1;
    }
    /// A whole device clear asking for `wantOverlapped`: the mode granted, or nothing.
    std::optional<bool> clear(bool wantOverlapped) {
        const auto ack = request(hislip::asyncDeviceClear());
        if (!ack || ack->header.type != MessageType::AsyncDeviceClearAcknowledge) {
            return std::nullopt;
        }
        sync.send(hislip::deviceClearComplete(wantOverlapped ? 1 : 0));
        for (;;) {
            const auto m = sync.receive();
            if (!m) {
                return std::nullopt;
            }
            if (m->header.type == MessageType::DeviceClearAcknowledge) {
                nextId = hislip::kFirstMessageId;
                lastId = hislip::kNoMessageId;
                rmt = false;
                overlapped = (m->header.control & hislip::control::kOverlapped) != 0;
                return overlapped;
            }
        }
    }
    PeerChannel sync;
    PeerChannel async;
    std::uint16_t sessionId = 0;
    bool overlapped = false;
    std::uint32_t nextId = hislip::kFirstMessageId;
    std::uint32_t lastId = hislip::kNoMessageId;
    bool rmt = false; ///< a response's END came and no message has said so yet

private:
    std::uint32_t takeId() {
        lastId = nextId;
        nextId += hislip::kMessageIdStep;
        return lastId;
    }
    std::uint8_t rmtFlag() { return std::exchange(rmt, false) ? 1 : 0; }

    std::uint16_t m_port;
};

/// The next message on `channel` is FatalError `code`, and then the server closes it.
inline void expectFatal(PeerChannel& channel, std::uint8_t code) {
    const auto m = channel.receive();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->header.type, MessageType::FatalError);
    EXPECT_EQ(m->header.control, code);
    EXPECT_TRUE(channel.waitClosed());
}

/// The next message on `channel` is Error `code`.
inline void expectError(PeerChannel& channel, std::uint8_t code) {
    const auto m = channel.receive();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->header.type, MessageType::Error);
    EXPECT_EQ(m->header.control, code);
}

/// The simulator serving HiSLIP (and the raw socket) on free ports.
class HislipFixture : public ::testing::Test {
protected:
    void SetUp() override { start({}); }

    void start(gateway::HislipSettings settings, gateway::SimulatorLimits limits = {}) {
        sim.reset();
        gateway::SimulatorConfig config = testsupport::onFreePorts(gateway::demoBench(), limits);
        config.lanInstruments = {gateway::demoLanInstrument(),
                                 gateway::lanInstrument("Scope_2", "Acme,S2,1,1")};
        config.hislipPort = 0;
        config.socketPort = 0;
        config.hislip = settings;
        config.log = [this](std::string_view line) {
            const std::lock_guard lk(logMutex);
            log.emplace_back(line);
        };
        sim = std::make_unique<gateway::Simulator>(std::move(config));
        ASSERT_TRUE(testsupport::started(*sim));
    }
    RawSession session() const { return RawSession(sim->hislipPort()); }
    /// A session opened on `subAddress` (fails the test if it did not open).
    RawSession opened(std::string_view subAddress = "hislip0", std::uint64_t maxSize = 1 << 20) {
        RawSession s = session();
        EXPECT_TRUE(s.open(subAddress, maxSize)) << subAddress;
        return s;
    }
    /// Waits (bounded) until `pred` holds; for state the server changes on its own threads.
    template <typename Pred>
    static bool eventually(Pred pred) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
    std::vector<std::string> logLines() {
        const std::lock_guard lk(logMutex);
        return log;
    }

    std::mutex logMutex;
    std::vector<std::string> log;
    std::unique_ptr<gateway::Simulator> sim;
};

} // namespace testhislip
