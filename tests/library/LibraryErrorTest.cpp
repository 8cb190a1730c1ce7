#include "library/LibraryError.h"

#include <gtest/gtest.h>

#include <string>

using namespace library;

TEST(LibraryError, EveryNumberHasAShortTextThatKeepsRoomForDetail) {
    int found = 0;
    for (int n = -5; n < 1000; ++n) {
        if (const char* text = errorTableText(n)) {
            ++found;
            SCOPED_TRACE(n);
            const std::string s(text);
            EXPECT_FALSE(s.empty());
            EXPECT_LE(s.size(), 40u); // leaves room for ": host" and the like in 59
            EXPECT_EQ(s.find_first_of("_\r\n"), std::string::npos) << "reads as prose";
        }
    }
    EXPECT_GE(found, 30);
}

TEST(LibraryError, GatewayCodesKeepTheirNumbersAndLocalOnesCannotCollide) {
    for (int code : {1, 3, 4, 5, 6, 8, 9, 11, 12, 15, 17, 21, 23, 29}) {
        EXPECT_EQ(gatewayError(code).number(), code);
    }
    for (int local = liberr::kBadAddressSyntax; local <= liberr::kInterrupted; ++local) {
        EXPECT_NE(errorTableText(local), nullptr) << local;
    }
    // Codes the protocol does not define, and codes in the local range, must not pose as a
    // local failure or as a defined gateway error.
    for (int odd : {0, 2, 7, 30, 99, 100, 104, -1, 70000}) {
        const LibraryError e = gatewayError(odd);
        EXPECT_EQ(e.number(), liberr::kUnknownGatewayError) << odd;
        EXPECT_NE(e.text().find(std::to_string(odd)), std::string::npos);
    }
}

TEST(LibraryError, DetailIsJoinedAndTheWholeTextShortenedTo59AtAWordsEnd) {
    EXPECT_EQ(LibraryError(liberr::kHostNotFound, "gatewayx").text(), "host not found: gatewayx");
    EXPECT_EQ(LibraryError(liberr::kIoTimeout).text(), "I/O timeout");
    const LibraryError longOne(liberr::kHostNotFound, std::string(200, 'h'));
    EXPECT_EQ(longOne.text().size(), kMaxErrorText);
    EXPECT_EQ(LibraryError(liberr::kServerError, "the instrument cannot do that while a sweep "
                                                 "runs on channel 2")
                  .text(),
              "server error: the instrument cannot do that while a sweep");
    EXPECT_EQ(errorText(4242), "unknown error 4242");
}

TEST(LibraryError, ALanInstrumentsTextsNameNoGatewayAndNoLink) {
    for (int n = 0; n < 1000; ++n) {
        if (const char* text = errorTableText(n, FarEnd::Instrument)) {
            const std::string s(text);
            // Errors only a gateway reports keep their words; every other names neither.
            if (n == liberr::kSyntax || n == liberr::kInvalidLinkId ||
                n == liberr::kOutOfResources || n == liberr::kCallRefused ||
                n == liberr::kNoVxi11Service || n == liberr::kUnknownGatewayError ||
                n == liberr::kShortWrite) {
                continue;
            }
            EXPECT_EQ(s.find("gateway"), std::string::npos) << n << ": " << s;
            EXPECT_EQ(s.find("link"), std::string::npos) << n << ": " << s;
        }
    }
    const LibraryError lost(liberr::kConnectionLost, "sync channel closed");
    EXPECT_EQ(lost.wordedFor(FarEnd::Instrument).text(),
              "connection to instrument lost: sync channel closed");
    EXPECT_EQ(lost.wordedFor(FarEnd::Instrument).number(), liberr::kConnectionLost);
}
