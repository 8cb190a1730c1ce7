// The listener scan on a scripted library: the bytes of each probe, the addresses it leaves
// out, which primaries get secondary probes, and where a failure stops it.

#include "sicl/ListenerScan.h"
#include "support/FakeLibrary.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakeLibrary;

/// A bus on which NDAC is held after the probe that addresses one of `listeners` (a primary
/// alone, or a primary then one of its secondaries; a primary-only device also listens
/// through any MSA that follows its MLA).
class ScriptedBus {
public:
    ScriptedBus(FakeLibrary& lib, std::vector<sicl::Listener> listeners)
        : m_listeners(std::move(listeners)) {
        lib.busStatus = [this, &lib](sicl::SessionId, std::int16_t request) -> std::int16_t {
            return request == 8 ? lib.ownAddress : (request == 3 ? m_ndac : 0);
        };
        lib.onCall = [this](const testsupport::Call& call) {
            if (call.entry != "vb_igpibsendcmd" || call.text.size() < 3) {
                return;
            }
            const int pad = static_cast<unsigned char>(call.text[2]) - 0x20;
            const std::optional<int> sad =
                call.text.size() > 3
                    ? std::optional<int>(static_cast<unsigned char>(call.text[3]) - 0x60)
                    : std::nullopt;
            m_ndac = 0;
            for (const sicl::Listener& l : m_listeners) {
                if (l.pad == pad && (!l.sad || l.sad == sad)) {
                    m_ndac = 1;
                }
            }
        };
    }

private:
    std::vector<sicl::Listener> m_listeners;
    std::int16_t m_ndac = 0;
};

TEST(ListenerScan, ProbesEachAddressButItsOwnWithUnlMtaMlaThenNdacAndUnl) {
    FakeLibrary lib;
    lib.ownAddress = 21;
    ScriptedBus bus(lib, {{4, std::nullopt}, {21, std::nullopt}, {30, std::nullopt}});
    sicl::Sicl32Module sicl(lib);
    EXPECT_EQ(sicl::scanListeners(sicl, 2, 21),
              (std::vector<sicl::Listener>{{4, std::nullopt}, {30, std::nullopt}}));
    const auto sent = lib.callsTo("vb_igpibsendcmd");
    ASSERT_EQ(sent.size(), 60u) << "30 probes (21 is the gateway's own), each ended by UNL";
    EXPECT_EQ(sent[0].text, std::string("\x3F\x55\x20", 3)); // UNL, MTA 21, MLA 0
    EXPECT_EQ(sent[1].text, "\x3F");
    EXPECT_EQ(sent[59 - 1].text, std::string("\x3F\x55\x3E", 3)); // MLA 30
    const std::vector<std::string> entries = lib.entries();
    const std::vector<std::string> probe(entries.begin(), entries.begin() + 4);
    EXPECT_EQ(probe, (std::vector<std::string>{"vb_igpibsendcmd", "vb_igpibatnctl",
                                               "vb_igpibbusstatus", "vb_igpibsendcmd"}));
    EXPECT_THROW(sicl::scanListeners(sicl, 2, 200), std::out_of_range);
}

TEST(ListenerScan, ProbesSecondariesOnlyWherePrimaryAloneFoundNothing) {
    FakeLibrary lib;
    ScriptedBus bus(lib, {{5, 2}, {5, 30}, {9, std::nullopt}});
    sicl::Sicl32Module sicl(lib);
    std::vector<std::string> probes;
    sicl::ListenerScanOptions options;
    options.secondary = true;
    options.onProbe = [&](const std::string& bytes) { probes.push_back(bytes); };
    EXPECT_EQ(sicl::scanListeners(sicl, 2, 0, options),
              (std::vector<sicl::Listener>{{5, 2}, {5, 30}, {9, std::nullopt}}));
    // 30 primaries; all but 9 probed again at 31 secondaries; each probe and its UNL.
    EXPECT_EQ(probes.size(), 2u * (30 + 29 * 31));
    EXPECT_EQ(std::count(probes.begin(), probes.end(), std::string("\x3F\x40\x29\x60", 4)), 0)
        << "9 listened alone: no MSA after MLA 9";
}

TEST(ListenerScan, AFailureEndsTheScanWithoutAnotherByte) {
    FakeLibrary lib;
    ScriptedBus bus(lib, {});
    sicl::Sicl32Module sicl(lib);
    lib.onCall = [&lib](const testsupport::Call& call) {
        if (call.entry == "vb_igpibatnctl" && lib.callsTo("vb_igpibatnctl").size() == 3) {
            lib.failAlways("vb_igpibatnctl", 17, "I/O error");
        }
    };
    EXPECT_THROW(sicl::scanListeners(sicl, 2, 0), sicl::SiclError);
    EXPECT_EQ(lib.operations().back().entry, "vb_igpibatnctl");
    EXPECT_EQ(lib.callsTo("vb_igpibsendcmd").size(), 5u); // 2 probes with UNL, the third's MLA
}

} // namespace
