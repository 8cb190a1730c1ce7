// The `++` commands of both flavours: settings and their defaults, addresses, the replies to
// what an adapter does not take, the bus commands, device mode and the reset.

#include "FakeBus.h"

#include <gtest/gtest.h>

namespace gateway::emulator::test {
namespace {

using namespace std::chrono_literals;

TEST(EmulatorCommands, Ar488StartsWithItsFirmwareDefaults) {
    Adapter adapter(Flavour::Ar488);
    EXPECT_EQ(adapter("++eoi\n++eos\n++read_tmo_ms\n++addr\n++auto\n++mode\n++eor\n++eot_enable\n"),
              "0\r\n0\r\n1200\r\n1\r\n0\r\n1\r\n0\r\n0\r\n");
}

TEST(EmulatorCommands, AddressesTakeEachFlavoursSyntax) {
    Adapter ar488(Flavour::Ar488);
    EXPECT_EQ(ar488("++addr 9 0\n++addr\n++addr 9,97\n++addr\n"), "9,96\r\n9,97\r\n");
    // Its own address, a secondary past 126 and a third word are refused without a word.
    EXPECT_EQ(ar488("++addr 0\n++addr 9 127\n++addr 9 96 1\n++addr\n++addr 4\n++addr\n"),
              "9,97\r\n4\r\n");

    Adapter prologix(Flavour::Prologix);
    EXPECT_EQ(prologix("++addr 9 96\n++addr\n++addr 9 0\n++addr 9,96\n++addr\n"),
              "9 96\r\n9 96\r\n");
}

TEST(EmulatorCommands, ABadNumberGetsNoReplyAndChangesNothing) {
    Adapter ar488(Flavour::Ar488);
    EXPECT_EQ(ar488("++read_tmo_ms 40000\n++read_tmo_ms 0\n++eos 9\n++auto x\n++eoi 1 1\n"
                    "++eor -1\n++read_tmo_ms\n++eos\n++auto\n++eoi\n++eor\n"),
              "1200\r\n0\r\n0\r\n0\r\n0\r\n");
    Adapter prologix(Flavour::Prologix);
    EXPECT_EQ(prologix("++read_tmo_ms 3001\n++auto 2\n++read_tmo_ms\n++auto\n"), "500\r\n0\r\n");
}

TEST(EmulatorCommands, WhatTheAdapterDoesNotTakeIsAnsweredAsItsFlavourDoes) {
    const std::tuple<Flavour, const char*, const char*> cases[] = {
        {Flavour::Ar488, "++foo\n", "Unrecognized command\r\n"},
        {Flavour::Ar488, "++\n", "Unrecognized command\r\n"},
        {Flavour::Ar488, "++fndl\n", "Missing parameter\r\n"},
        {Flavour::Ar488, "++llo foo\n", "Invalid parameter\r\n"},
        {Flavour::Ar488, "++ver foo\n", "Invalid parameter\r\n"},
        {Flavour::Ar488, "++read foo\n", "Invalid parameter\r\n"},
        {Flavour::Ar488, "++savecfg 0\n", ""},
        // A Prologix has no listener search, no REN, no universal commands, no `ver real`.
        {Flavour::Prologix, "++fndl all\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++ren 1\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++dcl\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++unl\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++eor 1\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++llo all\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++spoll all\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++ver real\n", "Unrecognized command\r\n"},
        {Flavour::Prologix, "++VER\n", "Unrecognized command\r\n"},
    };
    for (const auto& [flavour, line, answer] : cases) {
        Adapter adapter(flavour);
        EXPECT_EQ(adapter(line), answer) << line;
        EXPECT_TRUE(adapter.bus.log.empty()) << line;
        EXPECT_EQ(adapter.bus.reads, 0) << line;
    }
}

TEST(EmulatorCommands, VersionNamesTheAdapter) {
    EXPECT_EQ(Adapter(Flavour::Prologix)("++ver\n"),
              "Prologix GPIB-USB Controller version 6.107\r\n");
    EXPECT_EQ(Adapter(Flavour::Prologix, true)("++ver\n"),
              "Prologix GPIB-ETHERNET Controller version 01.06.06.00\r\n");
    const std::string firmware = "AR488 GPIB controller, ver. 0.53.04, 13/04/2025\r\n";
    EXPECT_EQ(Adapter(Flavour::Ar488)("++ver\n++ver real\n"), firmware + firmware);
}

TEST(EmulatorCommands, BusCommandsDriveTheBus) {
    using Log = std::vector<std::string>;
    const std::tuple<Flavour, const char*, Log> cases[] = {
        {Flavour::Prologix,
         "++clr\n++addr 5 96\n++clr\n++loc\n++llo\n++ifc\n",
         {"sdc 1", "sdc 5,0", "gtl 5,0", "llo 5,0", "ifc"}},
        {Flavour::Prologix, "++trg 5 96 7\n++trg\n++trg 5 96 96\n", {"get 5,0", "get 7", "get 1"}},
        // An AR488 leaves LLO and GTL alone while REN is not asserted.
        {Flavour::Ar488,
         "++llo\n++loc\n++ren 1\n++llo\n++llo all\n++loc\n++loc all\n",
         {"ren 1", "llo 1", "llo", "gtl 1", "ren 0", "ren 1"}},
        {Flavour::Ar488,
         "++trg 5 7\n++trg 5 96\n++addr 5 0\n++trg\n++clr\n",
         {"get 5", "get 7", "get 5,0", "sdc 5,0"}},
        {Flavour::Ar488, "++unl\n++unt\n++dcl\n", {"cmd 63", "cmd 95", "dcl"}},
    };
    for (const auto& [flavour, lines, log] : cases) {
        Adapter adapter(flavour);
        for (const auto& at : {std::pair{1, -1}, {5, -1}, {5, 0}, {7, -1}}) {
            adapter.bus.at(at.first, at.second);
        }
        EXPECT_EQ(adapter(lines), "") << lines;
        EXPECT_EQ(adapter.bus.log, log) << lines;
    }
    Adapter ar488(Flavour::Ar488);
    EXPECT_EQ(ar488("++ren\n++ren 1\n++ren\n"), "0\r\n1\r\n");
}

TEST(EmulatorCommands, DeviceModeIgnoresDataAndRefusesControllerCommands) {
    Adapter adapter(Flavour::Ar488);
    FakeDevice& device = adapter.bus.at(1);
    EXPECT_EQ(adapter("++mode 0\nX\n++clr\n++read\n++mode\n"),
              "Unrecognized command\r\nUnrecognized command\r\n0\r\n");
    // Back in controller mode, the AR488 takes the bus as it does at power-on.
    EXPECT_EQ(adapter("++mode 1\nY\n"), "");
    EXPECT_EQ(device.received, "Y\r\n");
    EXPECT_EQ(adapter.bus.log, (std::vector<std::string>{"ifc", "ren 1"}));
}

TEST(EmulatorCommands, ResetComesBackToTheSavedSettings) {
    Adapter prologix(Flavour::Prologix);
    // Saved as they change, until `++savecfg 0`; that choice is itself kept.
    EXPECT_EQ(prologix("++read_tmo_ms 100\n++savecfg 0\n++read_tmo_ms 200\n++rst\n"), "");
    EXPECT_EQ(prologix("++read_tmo_ms\n++savecfg\n"), "100\r\n0\r\n");

    Adapter ar488(Flavour::Ar488);
    EXPECT_EQ(ar488("++read_tmo_ms 100\n++savecfg\n++read_tmo_ms 200\n++rst\n"), "");
    EXPECT_EQ(ar488("++read_tmo_ms\n++default\n++read_tmo_ms\n"), "100\r\n1200\r\n");
    EXPECT_EQ(ar488.bus.log, (std::vector<std::string>{"ifc", "ren 1"}));
}

TEST(EmulatorCommands, WhatTheHostSendsWhileTheAdapterRestartsIsLost) {
    Adapter adapter(Flavour::Ar488, false, 60s);
    EXPECT_EQ(adapter("++rst\n++ver\n"), "");
    EXPECT_EQ(adapter("++ver\n"), "");
}

} // namespace
} // namespace gateway::emulator::test
