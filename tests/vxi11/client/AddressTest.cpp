#include "vxi11/transport/Address.h"
#include "library/LibraryError.h"

#include <gtest/gtest.h>

using library::LibraryError;
using vxi11::Address;
using vxi11::parseAddress;
namespace liberr = library::liberr;

namespace {

int refusal(const std::string& text) {
    try {
        parseAddress(text);
    } catch (const LibraryError& e) {
        return e.number();
    }
    return 0;
}

} // namespace

TEST(Address, InterfaceSessionNamesGpib0AndDefaultPortmapper) {
    const Address a = parseAddress("lan;vxi-11[127.0.0.1]:gpib");
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.portmapperPort, 111);
    EXPECT_FALSE(a.deviceSession);
    EXPECT_EQ(a.device, "gpib0");
}

TEST(Address, HostPortAndNumberedInterfaceAreKept) {
    const Address a = parseAddress("lan;vxi-11[gateway.lab:40111]:gpib1");
    EXPECT_EQ(a.host, "gateway.lab");
    EXPECT_EQ(a.portmapperPort, 40111);
    EXPECT_EQ(a.device, "gpib1");
    EXPECT_FALSE(a.deviceSession);
}

TEST(Address, Ipv6HostsAreBracketedToCarryAPortOrBareWithout) {
    struct Row {
        const char* text;
        const char* host;
        std::uint16_t port;
    };
    for (const Row& r : {Row{"lan;vxi-11[[::1]:40111]:inst0", "::1", 40111},
                         Row{"lan;vxi-11[[fe80::1%eth0]]:inst0", "fe80::1%eth0", 111},
                         Row{"lan;vxi-11[::1]:gpib", "::1", 111},
                         Row{"lan;vxi-11[ [2001:db8::5] : 7 ]:gpib", "2001:db8::5", 7}}) {
        SCOPED_TRACE(r.text);
        const Address a = parseAddress(r.text);
        EXPECT_EQ(a.host, r.host);
        EXPECT_EQ(a.portmapperPort, r.port);
    }
    for (const char* bad :
         {"lan;vxi-11[[::1]x]:gpib", "lan;vxi-11[[::g]]:gpib", "lan;vxi-11[::1:x]:gpib",
          "lan;vxi-11[[::1]:0]:gpib", "lan;vxi-11[[127.0.0.1:111]]:gpib"}) {
        EXPECT_EQ(refusal(bad), liberr::kBadAddressSyntax) << bad;
    }
}

TEST(Address, DeviceFormsAsTheWindowBuildsThem) {
    struct Row {
        const char* text;
        const char* device;
    };
    for (const Row& r :
         {Row{"lan;vxi-11[h]:gpib, 7", "gpib0,7"}, Row{"lan;vxi-11[h]:gpib,7", "gpib0,7"},
          Row{"lan;vxi-11[h]:gpib,  07  ", "gpib0,7"}, Row{"lan;vxi-11[h]:gpib, 0", "gpib0,0"},
          Row{"lan;vxi-11[h]:gpib, 30", "gpib0,30"}, Row{"lan;vxi-11[h]:gpib, 705", "gpib0,7,5"},
          Row{"lan;vxi-11[h]:gpib, 1205", "gpib0,12,5"},
          Row{"lan;vxi-11[h]:gpib, 101", "gpib0,1,1"},
          Row{"lan;vxi-11[h]:gpib, 3030", "gpib0,30,30"},
          Row{"lan;vxi-11[h]:gpib, 1200", "gpib0,12,0"}}) {
        SCOPED_TRACE(r.text);
        const Address a = parseAddress(r.text);
        EXPECT_TRUE(a.deviceSession);
        EXPECT_EQ(a.device, r.device);
    }
}

TEST(Address, NumbersOutsideBothRangesAreInvalidAddresses) {
    for (const char* n : {"31", "50", "100", "131", "3031", "3100", "12345", "999999999"}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(refusal(std::string("lan;vxi-11[h]:gpib, ") + n), liberr::kAddressOutOfRange);
    }
}

TEST(Address, MalformedTextIsBadSyntax) {
    for (const char* text : {"",
                             "gpib0,7",
                             "lan;vxi-11",
                             "lan;vxi-11[",
                             "lan;vxi-11[h",
                             "lan;vxi-11[]:gpib",
                             "lan;vxi-11[ ]:gpib",
                             "lan;vxi-11[h]",
                             "lan;vxi-11[h]gpib",
                             "lan;vxi-11[h]:",
                             "lan;vxi-11[h]:gpib,",
                             "lan;vxi-11[h]:gpib, ",
                             "lan;vxi-11[h]:gpib, 7a",
                             "lan;vxi-11[h]:gpib, -5",
                             "lan;vxi-11[h]:gpib, 7 5",
                             "lan;vxi-11[h]:gpib,1234567890",
                             "lan;vxi-11[h:]:gpib",
                             "lan;vxi-11[h:0]:gpib",
                             "lan;vxi-11[h:65536]:gpib",
                             "lan;vxi-11[h:x]:gpib",
                             "lan;vxi-11[a b]:gpib",
                             "lan;vxi-11[[h]:gpib",
                             "lan;vxi-11[h]:gpib,7a",
                             "lan;vxi-11[h]:GPIB2,"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(refusal(text), liberr::kBadAddressSyntax);
    }
}

TEST(Address, OtherDeviceNamesPassUnchangedAndSayWhichSessionTheyOpen) {
    struct Row {
        const char* name;
        bool deviceSession;
    };
    for (const Row& r :
         {Row{"inst0", true}, Row{"INST1", true}, Row{"hpib,7", true}, Row{"gpib0,7,5", true},
          Row{"COM1,1", true}, Row{"my_scope.2", true}, Row{"hpib", false}, Row{"HPIB7", false}}) {
        SCOPED_TRACE(r.name);
        const Address a = parseAddress(std::string("lan;vxi-11[h:9]:") + r.name);
        EXPECT_EQ(a.device, r.name);
        EXPECT_EQ(a.deviceSession, r.deviceSession);
        EXPECT_FALSE(a.primary.has_value());
    }
    // The window's forms keep their mapping: a GPIB address is a number, and a second comma
    // makes the text a device name of its own.
    EXPECT_EQ(parseAddress("lan;vxi-11[h]:gpib1,5").device, "gpib1,5");
    EXPECT_EQ(parseAddress("lan;vxi-11[h]:gpib1, 505").device, "gpib1,5,5");
    const std::string longest(vxi11::kMaxDeviceNameLength, 'x');
    EXPECT_EQ(parseAddress("lan;vxi-11[h]:" + longest).device, longest);
}

TEST(Address, HostileDeviceNamesAreRefusedAsBadNames) {
    for (const std::string& name :
         {std::string(vxi11::kMaxDeviceNameLength + 1, 'x'), std::string("in st0"),
          std::string("inst0 "), std::string("gpib, 7, 5"), std::string("inst\t0"),
          std::string("inst\0x", 6), std::string("inst\x01"), std::string("inst\x7f"),
          std::string("inst0\r\n"), std::string("inst\xc3\xa9"), std::string("inst\xff"),
          std::string("a;b"), std::string("usb-1"), std::string(100000, 'z'),
          "gpib" + std::string(60, '5') + ",0"}) {
        SCOPED_TRACE(name.size() > 70 ? "long" : name);
        EXPECT_EQ(refusal("lan;vxi-11[h]:" + name),
                  name.size() > 500 ? liberr::kBadAddressSyntax : liberr::kBadDeviceName);
    }
}

TEST(Address, NeverReadsPastTheTextOrTrustsBrackets) {
    // A text cut right after each prefix must be refused, not read beyond (ASan checks this).
    const std::string full = "lan;vxi-11[host:111]:gpib, 705";
    for (std::size_t n = 0; n < full.size(); ++n) {
        const std::string cut = full.substr(0, n);
        const std::string_view view(cut);
        try {
            parseAddress(view);
        } catch (const LibraryError&) {
        }
    }
    EXPECT_EQ(refusal(std::string("lan;vxi-11[h\0x]:gpib", 19)), liberr::kBadAddressSyntax);
    for (const char* stray :
         {"lan;vxi-11[h]:inst[0]", "lan;vxi-11[h]:inst0]", "lan;vxi-11[h]:[inst0"}) {
        EXPECT_EQ(refusal(stray), liberr::kBadAddressSyntax) << stray;
    }
    EXPECT_EQ(refusal(std::string(600, '[')), liberr::kBadAddressSyntax);
}

TEST(Address, PrefixIgnoresCaseAndHostBlanksAreTrimmed) {
    const Address a = parseAddress("LAN;VXI-11[ 127.0.0.1 ]:gpib");
    EXPECT_EQ(a.host, "127.0.0.1");
}

TEST(Address, RefusalTextsNameWhatWasWrong) {
    try {
        parseAddress("lan;vxi-11[h]:gpib, 50");
        FAIL();
    } catch (const LibraryError& e) {
        EXPECT_EQ(e.text(), "invalid GPIB address: 50");
    }
}
