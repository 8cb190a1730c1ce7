#include "sicl/ForwardingLibrary.h"
#include "support/FakeLibrary.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>

using testsupport::FakeLibrary;

namespace {

/// A decorator of the kind the trace and the bench's counter are: it changes one entry and
/// declares nothing else.
class TriggerCounter final : public sicl::ForwardingLibrary {
public:
    using ForwardingLibrary::ForwardingLibrary;
    int triggers = 0;
    std::int16_t vb_itrigger(sicl::SessionId) override {
        ++triggers;
        return 42;
    }
};

struct Row {
    const char* entry;
    std::function<std::int16_t(sicl::InstrumentLibrary&)> call;
};

} // namespace

TEST(ForwardingLibrary, EveryEntryButTheOverriddenOneReachesTheInnerLibraryUnchanged) {
    FakeLibrary inner;
    inner.statusByte = 0x51;
    inner.queueRead("answer");
    TriggerCounter decorator(inner);

    std::int16_t out16 = 0;
    std::int32_t reason = 0;
    std::int32_t actual = 0;
    std::string buf(16, ' ');
    std::array<char, sicl::kErrorTextBufferSize> text{};
    const std::vector<Row> rows = {
        {"vb_iopen", [](auto& l) { return l.vb_iopen("lan;vxi-11[h]:gpib"); }},
        {"vb_iclose", [](auto& l) { return l.vb_iclose(3); }},
        {"vb_iwrite", [&](auto& l) { return l.vb_iwrite(1, 3, "*IDN?\n", 6, 1, actual); }},
        {"vb_iread", [&](auto& l) { return l.vb_iread(1, 3, buf, 16, reason, actual); }},
        {"vb_itermchr", [](auto& l) { return l.vb_itermchr(3, 10); }},
        {"vb_iclear", [](auto& l) { return l.vb_iclear(3); }},
        {"vb_ireadstb", [&](auto& l) { return l.vb_ireadstb(3, out16); }},
        {"vb_iremote", [](auto& l) { return l.vb_iremote(3); }},
        {"vb_ilocal", [](auto& l) { return l.vb_ilocal(3); }},
        {"vb_ilock", [](auto& l) { return l.vb_ilock(3); }},
        {"vb_ilockshared", [](auto& l) { return l.vb_ilockshared(3, "k"); }},
        {"vb_iunlock", [](auto& l) { return l.vb_iunlock(3); }},
        {"vb_itimeout", [](auto& l) { return l.vb_itimeout(3, 1000); }},
        {"vb_igpibbusstatus", [&](auto& l) { return l.vb_igpibbusstatus(3, 8, out16); }},
        {"vb_igpibrenctl", [](auto& l) { return l.vb_igpibrenctl(3, 1); }},
        {"vb_igpibatnctl", [](auto& l) { return l.vb_igpibatnctl(3, 0); }},
        {"vb_igpibsendcmd", [](auto& l) { return l.vb_igpibsendcmd(3, "?@", 2); }},
        {"vb_iwaitsrq", [](auto& l) { return l.vb_iwaitsrq(3, 250); }},
        {"vb_igeterrno", [](auto& l) { return l.vb_igeterrno(); }},
        {"vb_igeterrstr", [&](auto& l) { return l.vb_igeterrstr(17, text.data()); }},
    };
    // Every entry of the interface but the one the decorator changes, each once.
    EXPECT_EQ(rows.size() + 1, 21u);
    // Through the decorator and straight to the inner library, the same scripted call must
    // leave the same record and give the same answer.
    for (const Row& row : rows) {
        SCOPED_TRACE(row.entry);
        const auto run = [&](sicl::InstrumentLibrary& target) {
            inner.clearCalls();
            inner.failNext(row.entry, 17, "inner failure", 9);
            reason = actual = 0;
            const std::int16_t result = row.call(target);
            return std::make_pair(result, inner.calls);
        };
        const auto [viaDecorator, seenVia] = run(decorator);
        const auto [direct, seenDirect] = run(inner);
        ASSERT_EQ(seenVia.size(), 1u);
        EXPECT_EQ(seenVia, seenDirect);
        EXPECT_EQ(viaDecorator, direct);
    }
    // The out arguments come back through the decorator as the inner library filled them.
    EXPECT_EQ(decorator.vb_ireadstb(3, out16), 0);
    EXPECT_EQ(out16, 0x51);

    inner.clearCalls();
    EXPECT_EQ(decorator.vb_itrigger(3), 42);
    EXPECT_EQ(decorator.triggers, 1);
    EXPECT_TRUE(inner.calls.empty());
}
