// Each time-out option against an instrument that never answers: the option's value reaches
// the gateway with the read, and the read ends when it says.
#include "app/e2e/E2eFixture.h"

#include "vxi11/transport/CoreLink.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <ostream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2e::E2e;

struct BoundedOption {
    int index;        ///< of optTimeout
    std::uint32_t ms; ///< the time-out the gateway is sent
};

void PrintTo(const BoundedOption& option, std::ostream* out) {
    *out << "optTimeout" << option.index << ", " << option.ms << " ms";
}

class E2eTimeout : public e2e::E2e, public ::testing::WithParamInterface<BoundedOption> {};

TEST_P(E2eTimeout, OptionBoundsASilentInstrumentsRead) {
    const BoundedOption option = GetParam();
    linkServer();
    linkInstrument(e2e::kSilentPad);
    ui().optTimeout[static_cast<std::size_t>(option.index)]->click();
    ASSERT_EQ(error(), "");

    const auto start = Clock::now();
    enterCommand(QStringLiteral("*IDN?")); // Auto Query reads after the write
    const auto elapsed = Clock::now() - start;

    EXPECT_EQ(error(), "Read error\r\nI/O timeout - Retry") << "the gateway ended the read";
    EXPECT_EQ(beeps.count, 1);
    const auto reads = ops.deviceReads();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].ioTimeout, option.ms);
    EXPECT_GE(elapsed, std::chrono::milliseconds(option.ms) - 50ms);
    // Generous: the machine may be busy with other tests.
    EXPECT_LT(elapsed, std::chrono::milliseconds(option.ms) + 2500ms);

    // The link survives its time-out.
    press(ui().cmdSpoll);
    EXPECT_EQ(error(), "");
    EXPECT_EQ(results().rfind("Serial poll response => ", 0), 0u) << results();
}

INSTANTIATE_TEST_SUITE_P(Options, E2eTimeout,
                         ::testing::Values(BoundedOption{0, 1000}, BoundedOption{1, 3000},
                                           BoundedOption{2, 10000}),
                         [](const ::testing::TestParamInfo<BoundedOption>& row) {
                             return std::to_string(row.param.ms / 1000) + "Sec";
                         });

TEST_F(E2e, NoneSendsNoTimeOutAndTheReadWaitsUntilAborted) {
    linkServer();
    linkInstrument(e2e::kSilentPad); // 3 s applied to both sessions
    ui().optTimeout[3]->click();
    ASSERT_EQ(error(), "");
    ui().ckAutoQuery->click(); // send only; the read comes from the button
    enterCommand(QStringLiteral("*IDN?"));
    ASSERT_EQ(error(), "");
    const auto lid = lidOf("gpib0," + std::to_string(e2e::kSilentPad));
    ASSERT_TRUE(lid.has_value());

    // Another client aborts the read once it has outlasted every bounded option but the
    // longest; an abort only ends a call in progress, so it repeats until the read is over.
    std::atomic<bool> readOver{false};
    constexpr auto kOutlast = 3500ms;
    std::thread aborter([&] {
        const auto abortFrom = Clock::now() + kOutlast;
        while (!readOver && Clock::now() < abortFrom) {
            std::this_thread::sleep_for(20ms);
        }
        while (!readOver) {
            try {
                vxi11::abortLink(net::IpAddress::fromIpv4(htonl(INADDR_LOOPBACK)), sim->abortPort(),
                                 *lid, net::Deadline::after(1s));
            } catch (const std::exception&) {
                // The next round tries again.
            }
            std::this_thread::sleep_for(50ms);
        }
    });
    const auto start = Clock::now();
    press(ui().cmdRead);
    const auto elapsed = Clock::now() - start;
    readOver = true;
    aborter.join();

    EXPECT_GE(elapsed, kOutlast - 50ms) << "the 3 s of the link did not stay in force";
    EXPECT_EQ(error(), "Read error\r\noperation aborted - Retry");
    const auto reads = ops.deviceReads();
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].ioTimeout, 0xFFFFFFFFu) << "no time-out, never 0 (which means at once)";
}

} // namespace
