#include "library/Resource.h"
#include "library/LibraryError.h"

#include <gtest/gtest.h>

using library::LibraryError;
using library::parseResource;
using library::Resource;
namespace liberr = library::liberr;

TEST(Resource, VisaStringsPickTheirTransportInAnyCase) {
    struct Case {
        const char* text;
        Resource::Kind kind;
        const char* host;
        std::uint16_t port;
        const char* name;
        int board;
    };
    const Case cases[] = {
        {"TCPIP::10.0.0.5::INSTR", Resource::Kind::Vxi11, "10.0.0.5", 0, "inst0", 0},
        {"TCPIP::gw", Resource::Kind::Vxi11, "gw", 0, "inst0", 0},
        {"tcpip0::gw::gpib0,22::instr", Resource::Kind::Vxi11, "gw", 0, "gpib0,22", 0},
        {"TCPIP3::gw::inst1", Resource::Kind::Vxi11, "gw", 0, "inst1", 3},
        {"TCPIP::h::hislip0::INSTR", Resource::Kind::Hislip, "h", 4880, "hislip0", 0},
        {"TCPIP::h::HiSLIP2,4881::INSTR", Resource::Kind::Hislip, "h", 4881, "HiSLIP2", 0},
        {"TCPIP0::[fe80::1]::hislip0::INSTR", Resource::Kind::Hislip, "fe80::1", 4880, "hislip0",
         0},
        {"TCPIP::[fe80::1%eth0]::hislip0::INSTR", Resource::Kind::Hislip, "fe80::1%eth0", 4880,
         "hislip0", 0},
        {"TCPIP::[::1]::5025::SOCKET", Resource::Kind::Socket, "::1", 5025, "", 0},
        {"TCPIP::[::1]::inst0::INSTR", Resource::Kind::Vxi11, "::1", 0, "inst0", 0},
        {"TCPIP::127.0.0.1::5025::SOCKET", Resource::Kind::Socket, "127.0.0.1", 5025, "", 0},
        {"tcpip::scope-1.lab::65535::socket", Resource::Kind::Socket, "scope-1.lab", 65535, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Resource r = parseResource(c.text);
        EXPECT_TRUE(r.visa);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(r.host, c.host);
        EXPECT_EQ(r.port, c.port);
        EXPECT_EQ(r.name, c.name);
        EXPECT_EQ(r.board, c.board);
        EXPECT_EQ(r.text, c.text);
    }
}

TEST(Resource, TheWindowsFormIsLeftWholeForTheVxi11Transport) {
    for (const char* text : {"lan;vxi-11[127.0.0.1:5111]:gpib, 22", "anything at all", ""}) {
        const Resource r = parseResource(text);
        EXPECT_FALSE(r.visa);
        EXPECT_EQ(r.kind, Resource::Kind::Vxi11);
        EXPECT_EQ(r.text, text);
        EXPECT_TRUE(r.host.empty());
    }
}

TEST(Resource, MalformedVisaStringsAreBadAddressSyntax) {
    const char* bad[] = {
        "TCPIP",                           // no host
        "TCPIP::",                         // empty host
        "TCPIPx::h::INSTR",                // board is not a number
        "TCPIP::h::SOCKET",                // socket without a port
        "TCPIP::h::0::SOCKET",             // port 0
        "TCPIP::h::65536::SOCKET",         // port too large
        "TCPIP::h::50x5::SOCKET",          // port not a number
        "TCPIP::h::a::b::INSTR",           // too many fields
        "TCPIP::h::hislip0,1,2::INSTR",    // a second comma
        "TCPIP::h::hislip0,::INSTR",       // an empty port
        "TCPIP::[fe80::1::hislip0::INSTR", // an open bracket
        "TCPIP::[]::INSTR",                // an empty IPv6 host
        "TCPIP::[fe80::1%]::INSTR",        // an empty zone
        "TCPIP::ho st::INSTR",             // a blank in the host
        "TCPIP::h::::INSTR",               // an empty name
    };
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        try {
            parseResource(text);
            ADD_FAILURE() << "accepted";
        } catch (const LibraryError& e) {
            EXPECT_EQ(e.number(), liberr::kBadAddressSyntax);
        }
    }
    EXPECT_THROW(parseResource("TCPIP::" + std::string(600, 'a') + "::INSTR"), LibraryError);
}

TEST(Resource, RefusalsSayWhatIsWrongAndWhatWasMeant) {
    const std::pair<const char*, const char*> cases[] = {
        {"TCPIP::h::inst0::INSTR ", "a blank in the address"},
        {"TCPIP::h::40593", "a port needs ::SOCKET after it"},
        {"TCPIP::h::40593::INSTR", "a port needs ::SOCKET after it"},
        {"GPIB0::22::INSTR", "use TCPIP::GATEWAY::gpib0,PAD::INSTR"},
        {"ASRL1::INSTR", "only TCPIP resources are served"},
        {"USB0::0x1234::0x5678::SN1::INSTR", "only TCPIP resources are served"},
    };
    for (const auto& [text, why] : cases) {
        SCOPED_TRACE(text);
        try {
            parseResource(text);
            ADD_FAILURE() << "accepted";
        } catch (const LibraryError& e) {
            EXPECT_EQ(e.number(), liberr::kBadAddressSyntax);
            EXPECT_EQ(e.detail(), why);
        }
    }
    // The window's form keeps its blanks and its bracketed IPv6 host for the VXI-11 transport.
    EXPECT_FALSE(parseResource("lan;vxi-11[::1]:gpib, 22").visa);
}
