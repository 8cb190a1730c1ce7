#pragma once
// Shared by the fuzz targets: a check that stops the run with a message, so a broken property
// is reported as a crash (and its input saved) both by libFuzzer and by the replay tests.

#include "vxi11/codec/Xdr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", __FILE__, __LINE__, #cond);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz {

/// True when `inner` lies entirely inside `outer` (a decoded view must point into its input).
inline bool within(vxi11::xdr::ByteView inner, vxi11::xdr::ByteView outer) {
    if (inner.empty())
        return true;
    const auto* b = outer.data();
    const auto* e = outer.data() + outer.size();
    return inner.data() >= b && inner.data() + inner.size() <= e;
}

/// True when `encoded` equals the first `encoded.size()` bytes of `input`.
inline bool isPrefixOf(const vxi11::xdr::Bytes& encoded, vxi11::xdr::ByteView input) {
    return encoded.size() <= input.size() &&
           std::equal(encoded.begin(), encoded.end(), input.begin());
}

/// Strict decoders accept only the canonical encoding: decoding `input` as T and encoding the
/// result again must give back exactly the input. Returns whether it decoded.
template <typename T>
bool checkStrictRoundTrip(vxi11::xdr::ByteView input) {
    const auto value = vxi11::xdr::decodeAll<T>(input);
    if (value)
        FUZZ_CHECK(vxi11::xdr::encodeAll(*value) == vxi11::xdr::Bytes(input.begin(), input.end()));
    return value.has_value();
}

/// As the client decodes results (bytes after a complete result tolerated): what decoded must
/// re-encode to a prefix of the input.
template <typename T>
bool checkTolerantRoundTrip(vxi11::xdr::ByteView input) {
    const auto value = vxi11::xdr::decodeAll<T>(input, true);
    if (value)
        FUZZ_CHECK(isPrefixOf(vxi11::xdr::encodeAll(*value), input));
    // Strict decoding may only accept what tolerant decoding accepts.
    if (vxi11::xdr::decodeAll<T>(input))
        FUZZ_CHECK(value.has_value());
    return value.has_value();
}

} // namespace fuzz
