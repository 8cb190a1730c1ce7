#include "FakeAdapter.h"

#include "gateway/adapter/AdapterPlace.h"
#include "gateway/adapter/PlusPlusAdapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace gateway::adapter::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Transport = FakeAdapter::Transport;

struct Setup {
    Flavour flavour;
    Transport transport;
};

std::string nameOf(const ::testing::TestParamInfo<Setup>& info) {
    return std::string(flavourName(info.param.flavour)) +
           (info.param.transport == Transport::Pty ? "Pty" : "Tcp");
}

Bytes bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

const GpibAddress kDmm{5, std::nullopt};
const GpibAddress kScope{6, std::nullopt};

class AdapterDriver : public ::testing::TestWithParam<Setup> {
protected:
    AdapterDriver()
        : fake(GetParam().flavour, GetParam().transport), adapter(configFor(fake.device())) {}

    void SetUp() override { ASSERT_EQ(adapter.start(net::Deadline::after(5s)), ""); }

    LinkConfig configFor(const std::string& device) {
        LinkConfig config;
        config.device = *parseAdapterPlace(device);
        config.perByte = 100ms;
        config.probeWindow = 2s;
        config.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            logs += line + "\n";
        };
        return config;
    }
    bool ar488() const { return GetParam().flavour == Flavour::Ar488; }

    /// Reads into `text` with a time-out of `timeout`.
    ReadResult read(const GpibAddress& address, std::string& text, std::size_t max = 1 << 20,
                    std::optional<std::uint8_t> termChar = {}, Millis timeout = 3000ms) {
        text.clear();
        return adapter.read(
            address, max, termChar,
            [&](std::span<const std::uint8_t> b) { text.append(b.begin(), b.end()); },
            {net::Deadline::after(timeout), {}});
    }
    /// The message `address` received: its bytes and how many of its transfers carried END.
    std::pair<Bytes, int> received(const GpibAddress& address) const {
        std::pair<Bytes, int> message;
        for (const BusWrite& w : fake.writes()) {
            if (w.address == address) {
                message.first.insert(message.first.end(), w.bytes.begin(), w.bytes.end());
                message.second += w.eoi ? 1 : 0;
            }
        }
        return message;
    }
    static CallLimits within(Millis timeout) { return {net::Deadline::after(timeout), {}}; }

    FakeAdapter fake;
    std::mutex logMutex;
    std::string logs;
    PlusPlusAdapter adapter;
};

TEST_P(AdapterDriver, SetsEverythingUpItselfAndKnowsItsFlavour) {
    EXPECT_EQ(adapter.flavour(), GetParam().flavour);
    const std::vector<std::string> forPrologix = {
        "++ver",   "++savecfg 0",    "++mode 1",       "++auto 0",          "++eoi 1",
        "++eos 3", "++eot_enable 1", "++eot_char 254", "++read_tmo_ms 100", "++ver"};
    const std::vector<std::string> forAr488 = {
        "++ver",   "++ver real",     "++mode 1",       "++auto 0",          "++eoi 1", "++eos 3",
        "++eor 7", "++eot_enable 1", "++eot_char 254", "++read_tmo_ms 100", "++ver"};
    EXPECT_EQ(fake.commands(), ar488() ? forAr488 : forPrologix);
}

TEST_P(AdapterDriver, MessagesAreByteExactAndWholeWhateverTheirLength) {
    Bytes all(256);
    for (int b = 0; b < 256; ++b) {
        all[b] = static_cast<std::uint8_t>(b);
    }
    EXPECT_EQ(adapter.write(kDmm, all, true, within(2s)).outcome, Outcome::Done);
    EXPECT_EQ(received(kDmm), std::make_pair(all, 1));
    EXPECT_TRUE(fake.writes().back().eoi) << "END on the last byte";

    Bytes block(100'000);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    const WriteResult w = adapter.write(kScope, block, true, within(20s));
    EXPECT_EQ(w.outcome, Outcome::Done);
    EXPECT_EQ(w.written, block.size());
    EXPECT_EQ(received(kScope), std::make_pair(block, 1)) << "one message, END only at its end";
    EXPECT_TRUE(fake.writes().back().eoi);

    fake.talk(kDmm, {{all, 0ms, true}});
    std::string text;
    EXPECT_TRUE(read(kDmm, text).end);
    EXPECT_EQ(Bytes(text.begin(), text.end()), all);
}

TEST_P(AdapterDriver, ReadReportsEndIfAndOnlyIfTheInstrumentAssertedEoi) {
    struct Row {
        std::vector<Chunk> chunks;
        std::string expected;
        bool end;
    };
    const std::vector<Row> rows = {
        {{{bytesOf("hello\r\n"), 0ms, true}}, "hello\r\n", true},
        {{{bytesOf("ab\xFE"), 0ms, true}}, "ab\xFE", true},   // ends in the marker, with EOI
        {{{bytesOf("ab\xFE"), 0ms, false}}, "ab\xFE", false}, // and without
        {{{bytesOf("1\r\n"), 0ms, true}}, "1\r\n", true},     // the sentinel's reply as data
        {{{bytesOf("1\r\n"), 0ms, false}, {bytesOf("2\r\n"), 30ms, true}},
         "1\r\n2\r\n",
         true}, // ... followed by a pause
    };
    for (const Row& row : rows) {
        fake.talk(kDmm, row.chunks);
        std::string text;
        const ReadResult r = read(kDmm, text, row.expected.size());
        EXPECT_EQ(r.outcome, Outcome::Done);
        EXPECT_EQ(text, row.expected);
        EXPECT_EQ(r.end, row.end) << row.expected;
    }
}

TEST_P(AdapterDriver, ShortReadsLeaveTheRestToTheSameAddressOnly) {
    fake.talk(kDmm, {{bytesOf("one\ntwo\nthree"), 0ms, true}});
    fake.talk(kScope, {{bytesOf("scope"), 0ms, true}});
    std::string text;
    ReadResult r = read(kDmm, text, 100, '\n');
    EXPECT_EQ(text, "one\n");
    EXPECT_TRUE(r.termChar && !r.end);
    EXPECT_EQ(read(kScope, text).outcome, Outcome::Done);
    EXPECT_EQ(text, "scope");
    r = read(kDmm, text, 4);
    EXPECT_EQ(text, "two\n");
    EXPECT_TRUE(r.countReached && !r.termChar && !r.end);
    r = read(kDmm, text);
    EXPECT_EQ(text, "three");
    EXPECT_TRUE(r.end);
    EXPECT_EQ(fake.readsBegun(), 2) << "the rest came from the driver, not a second ++read";
}

TEST_P(AdapterDriver, EveryCallEndsAtItsTimeOutAndTheNextOneWorks) {
    const auto timed = [](Millis timeout, const std::function<Outcome()>& call) {
        const auto start = Clock::now();
        const Outcome outcome = call(); // busy if a loaded machine had not yet started it
        EXPECT_TRUE(outcome == Outcome::TimedOut || outcome == Outcome::AdapterBusy)
            << outcomeText(outcome) << " after " << timeout.count() << " ms";
        const auto took = Clock::now() - start;
        EXPECT_GE(took, timeout);
        EXPECT_LE(took, timeout + 200ms);
    };
    std::string text;
    timed(50ms, [&] { return adapter.serialPoll({7, std::nullopt}, within(50ms)).outcome; });
    timed(500ms, [&] { return read(kScope, text, 100, {}, 500ms).outcome; });   // absent
    fake.talk(kDmm, std::vector<Chunk>(20, Chunk{bytesOf("x"), 150ms, false})); // trickles
    timed(700ms, [&] { return read(kDmm, text, 100, {}, 700ms).outcome; });
    EXPECT_FALSE(text.empty()) << "what came before the time-out was handed on";
    const auto stopAt = Clock::now() + 300ms;
    const ReadResult stopped =
        adapter.read(kScope, 100, {}, [](std::span<const std::uint8_t>) {},
                     {net::Deadline::after(5s), [&] { return Clock::now() >= stopAt; }});
    EXPECT_EQ(stopped.outcome, Outcome::Stopped);
    EXPECT_LE(Clock::now() - stopAt, 100ms);

    fake.answerPolls(kDmm, 0x41);
    const PollResult poll = adapter.serialPoll(kDmm, within(2s));
    EXPECT_EQ(poll.outcome, Outcome::Done);
    EXPECT_EQ(poll.status, 0x41);
    EXPECT_EQ(adapter.serialPoll({7, std::nullopt}, within(2s)).outcome, Outcome::IoError);
}

TEST_P(AdapterDriver, AReadOutOfTimeLeavesTheRestToTheNextReadAndAStoppedOneToNobody) {
    // A talker faster than the per-byte time-out holds the adapter's read until its END.
    fake.talk(kDmm, {{bytesOf("first part, "), 0ms, false},
                     {bytesOf("the "), 80ms, false},
                     {bytesOf("long, "), 80ms, false},
                     {bytesOf("long "), 80ms, false},
                     {bytesOf("rest"), 80ms, true},
                     {bytesOf("stopped "), 0ms, false},
                     {bytesOf("message"), 80ms, true},
                     {bytesOf("next message"), 0ms, true}});
    std::string first;
    EXPECT_EQ(read(kDmm, first, 100, {}, 100ms).outcome, Outcome::TimedOut);
    EXPECT_EQ(first.rfind("first pa", 0), 0u) << "bytes are handed on as they come";
    // The adapter's read cannot be interrupted: other addresses wait for its end...
    std::string text;
    EXPECT_EQ(read(kScope, text, 100, {}, 50ms).outcome, Outcome::AdapterBusy);
    EXPECT_EQ(adapter.write(kScope, bytesOf("*CLS"), true, within(50ms)).outcome,
              Outcome::AdapterBusy);
    EXPECT_TRUE(received(kScope).first.empty()) << "a write that was never started sent nothing";
    // ...while the next read of the same address takes the rest of the message.
    ReadResult r = read(kDmm, text);
    EXPECT_EQ(first + text, "first part, the long, long rest");
    EXPECT_TRUE(r.end);

    // A read whose caller was stopped is drained, and nothing of it is handed on.
    const auto stopAt = Clock::now() + 40ms;
    r = adapter.read(kDmm, 100, {}, [](std::span<const std::uint8_t>) {},
                     {net::Deadline::after(3s), [&] { return Clock::now() >= stopAt; }});
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    r = read(kDmm, text);
    EXPECT_EQ(text, "next message");
    EXPECT_TRUE(r.end);
}

TEST_P(AdapterDriver, UnpluggedCallsSayGoneAndTheAdapterIsSetUpAgainWhenItReturns) {
    fake.unplug();
    const auto gone = [&] {
        return adapter.write(kDmm, bytesOf("x"), true, within(1s)).outcome == Outcome::AdapterGone;
    };
    EXPECT_TRUE(fake.waitUntil(gone, 3s));
    fake.plugIn();
    EXPECT_TRUE(fake.waitUntil([&] { return adapter.connected(); }, 5s));
    fake.talk(kDmm, {{bytesOf("back"), 0ms, true}});
    std::string text;
    EXPECT_TRUE(read(kDmm, text).end);
    EXPECT_EQ(text, "back");
    std::lock_guard lock(logMutex);
    EXPECT_NE(logs.find("lost"), std::string::npos) << logs;
    EXPECT_NE(logs.find("back: "), std::string::npos) << logs;
    const auto commands = fake.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "++eot_char 254"), 2) << "set up again";
}

TEST_P(AdapterDriver, OperationsUseTheFlavoursCommandsOrAreRefusedUnsent) {
    const auto after = [&](const std::function<Outcome()>& call) {
        const std::size_t before = fake.commands().size();
        const Outcome outcome = call();
        const auto all = fake.commands();
        std::string sent;
        for (std::size_t i = before; i < all.size(); ++i) {
            sent += all[i] + ";";
        }
        return std::make_pair(outcome, sent);
    };
    using R = std::pair<Outcome, std::string>;
    EXPECT_EQ(after([&] { return adapter.clear(kDmm, within(1s)); }),
              R(Outcome::Done, "++addr 5;++clr;++mode;"));
    EXPECT_EQ(after([&] {
                  return adapter.sendCommand(Bytes{0x3F, 0x26, 0x68, 0x08}, within(1s));
              }),
              R(Outcome::Done, "++addr 6 104;++trg;++mode;"));
    EXPECT_EQ(after([&] { return adapter.sendCommand(Bytes{0x05}, within(1s)); }),
              R(Outcome::NotSupported, ""));
    fake.listeners("5,9:96");
    fake.answerPolls(kDmm, 0);
    const auto found = adapter.findListeners(within(2s));
    const auto polled = adapter.answeringSerialPoll({{4, {}}, kDmm}, within(2s));
    EXPECT_EQ(polled.addresses, std::vector<GpibAddress>{kDmm});
    EXPECT_EQ(adapter.srqLine(within(1s)).outcome, Outcome::Done);
    if (ar488()) {
        EXPECT_EQ(found.addresses, (std::vector<GpibAddress>{kDmm, {9, 0}}));
        EXPECT_EQ(after([&] { return adapter.remoteEnable(true, within(1s)); }),
                  R(Outcome::Done, "++ren 1;++mode;"));
        EXPECT_EQ(after([&] {
                      return adapter.serialPoll({9, 0}, within(1s)).outcome;
                  }),
                  R(Outcome::NotSupported, ""));
        EXPECT_EQ(after([&] { return adapter.universalClear(within(1s)); }),
                  R(Outcome::Done, "++dcl;++mode;"));
        return;
    }
    EXPECT_EQ(found.outcome, Outcome::NotSupported);
    EXPECT_EQ(after([&] { return adapter.remoteEnable(true, within(1s)); }),
              R(Outcome::NotSupported, ""));
    EXPECT_EQ(after([&] { return adapter.universalClear(within(1s)); }),
              R(Outcome::NotSupported, ""));
    EXPECT_EQ(after([&] {
                  return adapter.serialPoll({9, 0}, within(1s)).outcome;
              }).second,
              "++spoll 9 96;++ver;");
}

INSTANTIATE_TEST_SUITE_P(Flavours, AdapterDriver,
                         ::testing::Values(Setup{Flavour::Prologix, Transport::Pty},
                                           Setup{Flavour::Ar488, Transport::Pty},
                                           Setup{Flavour::Prologix, Transport::Tcp},
                                           Setup{Flavour::Ar488, Transport::Tcp}),
                         nameOf);

TEST(AdapterOpen, AnAdapterThatResetsOnOpenIsAskedUntilItAnswers) {
    FakeAdapter fake(Flavour::Ar488, Transport::Pty);
    fake.deafFor(1200ms);
    LinkConfig config;
    config.device = *parseAdapterPlace(fake.device());
    PlusPlusAdapter adapter(config);
    const auto start = Clock::now();
    EXPECT_EQ(adapter.start(net::Deadline::after(5s)), "");
    EXPECT_GE(Clock::now() - start, 1200ms);
    EXPECT_EQ(adapter.flavour(), Flavour::Ar488);
    EXPECT_EQ(fake.commands().front(), "++ver");
}

TEST(AdapterOpen, ASecondProgramCannotOpenAPortInUse) {
    FakeAdapter fake(Flavour::Ar488, Transport::Pty);
    LinkConfig config;
    config.device = *parseAdapterPlace(fake.device());
    PlusPlusAdapter first(config);
    ASSERT_EQ(first.start(net::Deadline::after(5s)), "");
    PlusPlusAdapter second(config);
    EXPECT_NE(second.start(net::Deadline::after(1s)).find("in use by another program"),
              std::string::npos);
    EXPECT_EQ(first.srqLine({net::Deadline::after(1s), {}}).outcome, Outcome::Done);
}

} // namespace
} // namespace gateway::adapter::testing
