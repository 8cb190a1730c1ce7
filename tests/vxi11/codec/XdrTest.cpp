#include "vxi11/codec/Xdr.h"
#include "Hex.h"

#include <gtest/gtest.h>

using namespace vxi11::xdr;
using testhex::fromHex;

TEST(Xdr, EncodesIntegersBigEndianAndOpaqueWithZeroPadding) {
    Encoder e;
    e.putUint(0x01020304);
    e.putInt(-2);
    e.putBool(true);
    e.putString("inst0");
    e.putOpaque({});
    const std::uint8_t fixed[] = {0xAA, 0xBB};
    e.putFixedOpaque(fixed);
    EXPECT_EQ(e.bytes(), fromHex("01020304 fffffffe 00000001 00000005 696e7374 30000000 "
                                 "00000000 aabb0000"));
}

TEST(Xdr, DecodesWhatItEncodes) {
    Encoder e;
    e.putUint(7);
    e.putInt(-5);
    e.putBool(false);
    e.putString("gpib0,5,2");
    const Bytes data = e.take();
    Decoder d(data);
    std::uint32_t u = 0;
    std::int32_t i = 0;
    bool b = true;
    std::string s;
    ASSERT_TRUE(d.getUint(u) && d.getInt(i) && d.getBool(b) && d.getString(s));
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(i, -5);
    EXPECT_FALSE(b);
    EXPECT_EQ(s, "gpib0,5,2");
    EXPECT_TRUE(d.atEnd());
}

TEST(Xdr, RefusesMalformedItemsWithoutReadingPastTheInput) {
    struct Case {
        const char* name;
        const char* hex;
        std::uint32_t bound;
    };
    const Case cases[] = {
        {"short length word", "000000", UINT32_MAX},
        {"length beyond the data", "00000005 696e7374", UINT32_MAX},
        {"missing padding", "00000005 696e7374 30", UINT32_MAX},
        {"non-zero padding", "00000005 696e7374 30000100", UINT32_MAX},
        {"length above the bound", "00000005 696e7374 30000000", 4},
        {"length near 2^32", "ffffffff 00000000", UINT32_MAX},
        {"length 2^32-3 would wrap with padding", "fffffffd 00000000", UINT32_MAX},
    };
    for (const Case& c : cases) {
        const Bytes data = fromHex(c.hex);
        Decoder d(data);
        Bytes out;
        EXPECT_FALSE(d.getOpaque(out, c.bound)) << c.name;
        EXPECT_FALSE(d.ok()) << c.name;
        std::uint32_t after = 0;
        EXPECT_FALSE(d.getUint(after)) << c.name << ": a failed decoder stays failed";
    }
}

TEST(Xdr, AcceptsAnItemAsLongAsItsBound) {
    // A 40-byte SRQ handle is the longest allowed: refusing it would refuse a valid client.
    for (std::uint32_t length : {0u, 5u, 40u}) {
        Encoder e;
        e.putOpaque(Bytes(length, 0x68));
        e.putString(std::string(length, 'x'));
        const Bytes data = e.take();
        Decoder d(data);
        Bytes opaque;
        std::string text;
        EXPECT_TRUE(d.getOpaque(opaque, length) && d.getString(text, length)) << length;
        EXPECT_EQ(opaque.size(), length);
        EXPECT_EQ(text.size(), length);
        EXPECT_TRUE(d.atEnd()) << length;
    }
}

TEST(Xdr, BoolAcceptsOnlyZeroAndOne) {
    const Bytes data = fromHex("00000002");
    Decoder d(data);
    bool b = false;
    EXPECT_FALSE(d.getBool(b));
}

struct Pair {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    void encode(Encoder& e) const {
        e.putUint(a);
        e.putUint(b);
    }
    static bool decode(Decoder& d, Pair& v) { return d.getUint(v.a) && d.getUint(v.b); }
};

TEST(Xdr, DecodeAllRefusesTrailingBytesUnlessAllowed) {
    const Bytes data = fromHex("00000001 00000002 00000003");
    EXPECT_FALSE(decodeAll<Pair>(data).has_value());
    const auto p = decodeAll<Pair>(data, true);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->b, 2u);
    EXPECT_FALSE(decodeAll<Pair>(fromHex("00000001 000000")).has_value());
}
