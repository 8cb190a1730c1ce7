#pragma once
// Shared by the client's tests: a session opened on a scripted peer, and short ways to call it.

#include "HislipPeer.h"

#include "hislip/client/HislipTransport.h"
#include "library/LibraryError.h"
#include "library/Resource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace testsupport {

using namespace std::chrono_literals;

inline library::Resource hislipResource(std::uint16_t port, std::string name = "hislip0") {
    library::Resource r;
    r.kind = library::Resource::Kind::Hislip;
    r.visa = true;
    r.host = "127.0.0.1";
    r.port = port;
    r.name = std::move(name);
    return r;
}

inline library::CallTime within(std::int32_t ms) {
    library::CallTime t;
    t.timeoutMs = ms;
    return t;
}

inline hislip::Bytes bytesOf(std::string_view s) {
    return hislip::Bytes(s.begin(), s.end());
}

/// The library error number `f` throws, 0 if none.
inline int failureOf(const std::function<void()>& f, std::string* text = nullptr) {
    try {
        f();
    } catch (const library::LibraryError& e) {
        if (text != nullptr) {
            *text = e.text();
        }
        return e.number();
    }
    return 0;
}

class HislipClientTest : public ::testing::Test {
protected:
    std::unique_ptr<hislip::HislipSession> open(const HislipPeer& peer,
                                                hislip::HislipOptions options = {},
                                                std::int32_t timeoutMs = 5000) {
        return hislip::HislipTransport(options).openSession(hislipResource(peer.port()),
                                                            within(timeoutMs));
    }
    static void write(hislip::HislipSession& s, std::string_view text, bool end = true) {
        std::size_t sent = 0;
        s.write({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, end,
                within(5000), sent);
        EXPECT_EQ(sent, text.size());
    }
    /// Reads once into a buffer of `size` bytes.
    static std::string read(hislip::HislipSession& s, std::size_t size = 256,
                            std::optional<std::uint8_t> termChar = std::nullopt,
                            std::int32_t* reason = nullptr, std::int32_t timeoutMs = 5000) {
        std::string buffer(size, '\0');
        library::ReadProgress progress;
        s.read({reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size()}, termChar,
               within(timeoutMs), progress);
        if (reason != nullptr) {
            *reason = progress.reason;
        }
        buffer.resize(progress.count);
        return buffer;
    }
};

} // namespace testsupport
