// The raw SCPI socket: inst0 on a plain TCP stream. Messages split at LF outside blocks and
// strings, every query answered in order, blocks both ways, partial input forgotten when the
// client leaves, and another protocol's lock holding the stream up.

#include "HislipClient.h"
#include "TestClient.h"

#include <cstring>

using namespace testhislip;

namespace {

const std::string kInst0Idn =
    "Marrow Scientific,MX-3012 LAN Oscilloscope 200 MHz,MS3012-0417,2.1.0\n";

/// A client of the raw socket.
class SocketClient {
public:
    explicit SocketClient(std::uint16_t port)
        : m_socket(net::TcpConnection::connect(testsupport::loopback(), port,
                                               net::Deadline::after(5s))) {}

    void send(std::string_view text) { m_socket.sendAll(bytesOf(text), net::Deadline::after(5s)); }
    /// Exactly `n` bytes, or what came before the time-out or the close.
    std::string receive(std::size_t n) {
        std::string out;
        std::uint8_t buffer[65536];
        const auto deadline = net::Deadline::after(10s);
        try {
            while (out.size() < n) {
                const std::size_t got = m_socket.receiveSome(
                    std::span(buffer).first(std::min(sizeof buffer, n - out.size())), deadline);
                out.append(reinterpret_cast<const char*>(buffer), got);
            }
        } catch (const net::TransportError&) {
        }
        return out;
    }
    /// One line, LF included (for answers without a block).
    std::string line() {
        std::string out;
        while (out.empty() || out.back() != '\n') {
            const std::string c = receive(1);
            if (c.empty()) {
                break;
            }
            out += c;
        }
        return out;
    }
    void close() { m_socket.close(); }

private:
    net::TcpConnection m_socket;
};

} // namespace

TEST_F(HislipFixture, SocketAnswersEveryQueryInOrderHoweverTheBytesAreSplit) {
    SocketClient c(sim->socketPort());
    c.send("*IDN?\n:ACQ:STATE?\n*OPC?");
    c.send(";MEAS:VPP?\n");
    EXPECT_EQ(c.line(), kInst0Idn);
    EXPECT_EQ(c.line(), "STOP\n");
    EXPECT_EQ(c.line(), "1;+2.0137E+00\n");
    // An LF inside a string is part of it: one message, one error.
    c.send("DISP:TEXT \"two\nlines\"\nSYST:ERR?\nSYST:ERR?\n");
    EXPECT_EQ(c.line(), "-113,\"Undefined header\"\n");
    EXPECT_EQ(c.line(), "0,\"No error\"\n");
}

TEST_F(HislipFixture, SocketBlocksGoBothWaysWithLineFeedsInside) {
    SocketClient c(sim->socketPort());
    constexpr std::size_t kPoints = 200000;
    c.send(":WAV:POIN " + std::to_string(kPoints) + "\n:WAV:DATA?\n");
    const std::string block = c.receive(2 + 6 + kPoints + 1);
    ASSERT_EQ(block.size(), 2 + 6 + kPoints + 1);
    EXPECT_EQ(block.substr(0, 8), "#6200000");
    std::vector<std::uint8_t> expected(kPoints);
    gateway::waveformBytes(0, expected);
    EXPECT_NE(std::find(expected.begin(), expected.end(), '\n'), expected.end());
    EXPECT_EQ(std::memcmp(block.data() + 8, expected.data(), kPoints), 0);
    EXPECT_EQ(block.back(), '\n');

    std::string data(100000, '\n');
    data[7] = '"';
    c.send(":DATA #6100000" + data + "\n:DATA:COUN?\n");
    EXPECT_EQ(c.line(), "100000\n");
}

TEST_F(HislipFixture, SocketForgetsAPartialMessageWhenItsClientLeaves) {
    {
        SocketClient c(sim->socketPort());
        c.send("*IDN");
        ASSERT_TRUE(eventually([&] { return sim->instrument("inst0")->inputQueue == "*IDN"; }));
        c.close();
    }
    EXPECT_TRUE(eventually([&] { return sim->instrument("inst0")->inputQueue.empty(); }));
    SocketClient next(sim->socketPort());
    next.send("?\n*OPC?\n");
    EXPECT_EQ(next.line(), "1\n");
    next.send("SYST:ERR?\n");
    EXPECT_EQ(next.line(), "-113,\"Undefined header\"\n") << "the lone ? of the new client";
}

TEST_F(HislipFixture, EachClientsUnfinishedMessageStaysItsOwnAndLeavesWithIt) {
    SocketClient socket(sim->socketPort());
    socket.send("*ESE 3");
    ASSERT_TRUE(eventually([&] { return sim->instrument("inst0")->inputQueue == "*ESE 3"; }));
    {
        RawSession h = opened();
        EXPECT_EQ(h.query("0;*ESE?\n"), "0\n") << "not glued to the socket's *ESE 3";
        h.send("*IDN", false); // and this session leaves halfway through a message
    }
    socket.send("\n*ESE?\n");
    EXPECT_EQ(socket.line(), "3\n");
    socket.send("*OPC?\n");
    EXPECT_EQ(socket.line(), "1\n") << "the departed session's *IDN is not the socket's";
}

TEST_F(HislipFixture, IdleClientsOfOneProtocolLockNoOtherOutAndARefusedClientHearsWhy) {
    gateway::SimulatorLimits limits;
    limits.maxConnections = 3;
    start({}, limits);
    std::vector<std::unique_ptr<SocketClient>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<SocketClient>(sim->socketPort()));
        idle.back()->send("*OPC?\n");
        ASSERT_EQ(idle.back()->line(), "1\n");
    }
    vxi11::CreateLinkParms parms;
    parms.device = "gpib0,22";
    std::vector<testrpc::TestClient> linked(3);
    for (testrpc::TestClient& client : linked) {
        ASSERT_TRUE(client.connect(sim->corePort()));
        const auto r = client.call<vxi11::CreateLink>(parms);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->error, 0) << "the raw sockets' idle clients hold no VXI-11 slot";
    }
    testrpc::TestClient over;
    ASSERT_TRUE(over.connect(sim->corePort()));
    const auto r = over.call<vxi11::CreateLink>(parms);
    ASSERT_TRUE(r) << "answered, not cut off";
    EXPECT_EQ(r->error, vxi11::err::kOutOfResources);
}

TEST_F(HislipFixture, SocketWaitsWhileAnotherProtocolHoldsTheLock) {
    RawSession hislipClient = opened();
    ASSERT_EQ(hislipClient.lock(0), hislip::control::kLockGranted);
    SocketClient c(sim->socketPort());
    c.send("*IDN?\n");
    EXPECT_EQ(hislipClient.query("*OPC?\n"), "1\n");
    EXPECT_EQ(sim->instrument("inst0")->lastCommand, "*OPC?") << "the socket's query waits";
    ASSERT_EQ(hislipClient.release(), hislip::control::kReleasedExclusive);
    EXPECT_EQ(c.line(), kInst0Idn);
}
