#include "sicl/Sicl32Module.h"
#include "support/FakeLibrary.h"

#include <gtest/gtest.h>

#include <cstring>

using sicl::Sicl32Module;
using sicl::SiclError;
using testsupport::Call;
using testsupport::FakeLibrary;

namespace {

/// Runs `f` and returns the SiclError it raised; fails the test if nothing was raised.
template <typename F>
SiclError raisedBy(F&& f) {
    try {
        f();
    } catch (const SiclError& e) {
        return e;
    }
    ADD_FAILURE() << "no SiclError raised";
    return SiclError(0, "");
}

class WrapperTest : public ::testing::Test {
protected:
    FakeLibrary lib;
    Sicl32Module sicl{lib};
};

TEST_F(WrapperTest, OpenReturnsTheLibraryIdAndFailsOnlyOnZero) {
    lib.nextId = -5; // any non-zero id is success, negative ones included
    EXPECT_EQ(sicl.iopen("lan;vxi-11[host]:gpib"), -5);
    EXPECT_EQ(lib.operations(), (std::vector<Call>{{"vb_iopen", {}, "lan;vxi-11[host]:gpib"}}));

    lib.failNext("vb_iopen", 21, "invalid address");
    const SiclError e = raisedBy([&] { sicl.iopen("lan;vxi-11[host]:gpib, 99"); });
    EXPECT_EQ(e.number(), 21);
    EXPECT_EQ(e.description(), "invalid address");
}

TEST_F(WrapperTest, FailureWithErrorNumberZeroRaisesNothingAndReturnsTheResult) {
    lib.failNext("vb_iopen", 0, "ignored");
    EXPECT_EQ(sicl.iopen("x"), 0);
    lib.failNext("vb_iclear", 0, "ignored", 7);
    EXPECT_EQ(sicl.iclear(3), 7);
    // The text is never asked for when there is no error number.
    EXPECT_TRUE(lib.callsTo("vb_igeterrstr").empty());
}

TEST_F(WrapperTest, StatusWrappersRaiseOnAnyNonZeroResultWithTheLibraryText) {
    struct Case {
        const char* entry;
        std::function<void()> call;
    };
    std::int16_t out16 = 0;
    std::int32_t a = 0, b = 0;
    std::string buf(10, ' ');
    const std::vector<Case> cases = {
        {"vb_iclose", [&] { sicl.iclose(1); }},
        {"vb_iwrite", [&] { sicl.iwrite(1, "abc", 3, 1, a); }},
        {"vb_iread", [&] { sicl.iread(1, buf, 10, a, b); }},
        {"vb_itermchr", [&] { sicl.itermchr(1, 10); }},
        {"vb_iclear", [&] { sicl.iclear(1); }},
        {"vb_ireadstb", [&] { sicl.ireadstb(1, out16); }},
        {"vb_itrigger", [&] { sicl.itrigger(1); }},
        {"vb_iremote", [&] { sicl.iremote(1); }},
        {"vb_ilocal", [&] { sicl.ilocal(1); }},
        {"vb_ilock", [&] { sicl.ilock(1); }},
        {"vb_iunlock", [&] { sicl.iunlock(1); }},
        {"vb_itimeout", [&] { sicl.itimeout(1, 3000); }},
        {"vb_igpibbusstatus", [&] { sicl.igpibbusstatus(1, 3, out16); }},
        {"vb_igpibrenctl", [&] { sicl.igpibrenctl(1, 1); }},
        {"vb_igpibatnctl", [&] { sicl.igpibatnctl(1, 0); }},
        {"vb_igpibsendcmd", [&] { sicl.igpibsendcmd(1, "?@#", 3); }},
        {"vb_ilockshared", [&] { sicl.ilockshared(1, "bench"); }},
        {"vb_iwaitsrq", [&] { sicl.iwaitsrq(1, 500); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry);
        lib.failNext(c.entry, 15, std::string(c.entry) + " timed out", -1);
        const SiclError e = raisedBy(c.call);
        EXPECT_EQ(e.number(), 15);
        EXPECT_EQ(e.description(), std::string(c.entry) + " timed out");
        // A result of -1 is a failure as much as 1 is.
        lib.failNext(c.entry, 4, "bad id", -1);
        EXPECT_EQ(raisedBy(c.call).number(), 4);
        // And success raises nothing.
        EXPECT_NO_THROW(c.call());
    }
}

TEST_F(WrapperTest, ErrorNumbersAreSignExtendedWithoutOffset) {
    lib.failNext("vb_ilock", -32768, "most negative");
    EXPECT_EQ(raisedBy([&] { sicl.ilock(1); }).number(), -32768);
    lib.failNext("vb_ilock", 32767, "most positive");
    EXPECT_EQ(raisedBy([&] { sicl.ilock(1); }).number(), 32767);
}

TEST_F(WrapperTest, ErrorTextOf59CharactersArrivesWholeAndNothingFollowsIt) {
    const std::string text59(59, 'x');
    lib.failNext("vb_iunlock", 12, text59);
    const SiclError e = raisedBy([&] { sicl.iunlock(1); });
    EXPECT_EQ(e.description(), text59);
    EXPECT_EQ(e.description().size(), 59u);

    // An empty text gives an empty description, not NUL bytes.
    lib.failNext("vb_iunlock", 12, "");
    EXPECT_EQ(raisedBy([&] { sicl.iunlock(1); }).description(), "");
}

TEST_F(WrapperTest, ErrorBufferIsZeroedForEveryCall) {
    // The library writes a short text; the buffer must not show leftovers from a longer one.
    lib.failNext("vb_iclear", 17, "a very long text from the first failure");
    (void)raisedBy([&] { sicl.iclear(1); });
    lib.failNext("vb_iclear", 18, "short");
    const SiclError second = raisedBy([&] { sicl.iclear(1); });
    EXPECT_EQ(second.number(), 18); // the second failure alone is reported
    EXPECT_EQ(second.description(), "short");
}

class UnterminatedTextLibrary : public FakeLibrary {
public:
    std::int16_t vb_igeterrstr(std::int16_t, char* buf) override {
        std::memset(buf, 'z', sicl::kErrorTextBufferSize); // no NUL anywhere
        return 0;
    }
};

TEST(WrapperBuffer, TextWithoutTerminatorIsCutAtTheBufferEnd) {
    UnterminatedTextLibrary lib;
    Sicl32Module sicl{lib};
    lib.failNext("vb_itrigger", 8, "");
    const SiclError e = raisedBy([&] { sicl.itrigger(1); });
    EXPECT_EQ(e.description(), std::string(sicl::kErrorTextBufferSize, 'z'));
}

TEST_F(WrapperTest, ArgumentsReachTheLibraryInOrderWithTheLeadingOne) {
    std::int32_t actual = 0, reason = 0, count = 100;
    std::string buf(100, ' ');
    lib.queueRead("+1.23E+00\r\n");
    sicl.iwrite(0, std::string("*IDN?\n"), 6, 1, actual);
    sicl.iread(0, buf, 100, reason, count);
    sicl.igpibsendcmd(-3, std::string("?@\x27", 3), 3);
    const std::vector<Call> expected = {
        {"vb_iwrite", {1, 0, 6, 1}, "*IDN?\n"},
        {"vb_iread", {1, 0, 100, 0, 100}, std::string(100, ' ')},
        {"vb_igpibsendcmd", {-3, 3}, "?@'"},
    };
    EXPECT_EQ(lib.operations(), expected);
    EXPECT_EQ(actual, 6);
    EXPECT_EQ(count, 11);
    EXPECT_EQ(buf.substr(0, 11), "+1.23E+00\r\n");
    EXPECT_EQ(buf.substr(11), std::string(89, ' '));
}

TEST_F(WrapperTest, SendCommandCarriesNulBytes) {
    const std::string bytes("\x3f\x00\x20", 3);
    sicl.igpibsendcmd(2, bytes, 3);
    EXPECT_EQ(lib.callsTo("vb_igpibsendcmd").at(0).text, bytes);
}

} // namespace
