#pragma once
// The library against a FakeGateway: options that never ask a name server, the arguments a
// call carried, the thread's error text, and a handler that answers the link calls itself.

#include "lan/LanLibrary.h"
#include "library/LibraryError.h"
#include "support/RawConnection.h"
#include "vxi11/client/FakeGateway.h"
#include "vxi11/codec/Xdr.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace testsupport {

/// Options that never ask a name server: only "localhost" is known.
inline lan::LanLibrary::Options quietOptions() {
    lan::LanLibrary::Options o;
    o.resolver = [](const std::string& host) -> std::vector<net::IpAddress> {
        if (host == "localhost") {
            return {net::IpAddress::fromIpv4(loopback())};
        }
        return {};
    };
    return o;
}

/// The decoded arguments of a call the fake gateway received.
template <typename T>
T argsOf(const CoreCall& c) {
    auto v = vxi11::xdr::decodeAll<T>(c.args);
    EXPECT_TRUE(v.has_value());
    return v.value_or(T{});
}

/// The text of the calling thread's last library error.
inline std::string lastText(lan::LanLibrary& lib) {
    char buf[sicl::kErrorTextBufferSize];
    lib.vb_igeterrstr(lib.vb_igeterrno(), buf);
    return buf;
}

/// A handler that answers link calls and passes everything else to `rest`.
inline FakeGateway::Handler
linksAnd(std::function<bool(Peer&, const vxi11::rpc::ParsedCall&)> rest) {
    return [rest](FakeGateway& g, Peer& p, const vxi11::rpc::ParsedCall& c) {
        return g.answerLinkCalls(p, c) || rest(p, c);
    };
}

} // namespace testsupport
