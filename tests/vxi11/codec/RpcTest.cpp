#include "vxi11/codec/Rpc.h"
#include "Hex.h"

#include <gtest/gtest.h>

using namespace vxi11;
using testhex::fromHex;
using CallStatus = rpc::ParsedCall::Status;

TEST(Rpc, EncodesAnAuthNoneCallHeaderOfFortyBytes) {
    const xdr::Bytes args = fromHex("0000002a");
    EXPECT_EQ(rpc::encodeCall(1, 0x0607AF, 1, 10, args),
              fromHex("00000001 00000000 00000002 000607af 00000001 0000000a 00000000 00000000 "
                      "00000000 00000000 0000002a"));
}

TEST(Rpc, ParsesACallWithAuthSysCredentialsAndExposesTheArguments) {
    const xdr::Bytes record =
        fromHex("00000007 00000000 00000002 000607af 00000001 00000017 "
                "00000001 00000008 0102030405060708 00000000 00000000 0000002a");
    const rpc::ParsedCall call = rpc::parseCall(record);
    ASSERT_EQ(call.status, CallStatus::Ok);
    EXPECT_EQ(call.header.xid, 7u);
    EXPECT_EQ(call.header.prog, 0x0607AFu);
    EXPECT_EQ(call.header.proc, 23u);
    EXPECT_EQ(call.header.cred.flavor, 1u);
    EXPECT_EQ(call.header.cred.body.size(), 8u);
    EXPECT_EQ(xdr::Bytes(call.args.begin(), call.args.end()), fromHex("0000002a"));
}

TEST(Rpc, ClassifiesBadCallsInTheOrderThatDecidesTheAnswer) {
    struct Case {
        const char* name;
        const char* hex;
        CallStatus expected;
    };
    const Case cases[] = {
        {"too short for xid and type", "00000001 000000", CallStatus::NotACall},
        {"a reply, not a call", "00000001 00000001 00000002", CallStatus::NotACall},
        {"rpc version 3", "00000001 00000000 00000003 000607af", CallStatus::RpcMismatch},
        {"header cut before proc", "00000001 00000000 00000002 000607af 00000001",
         CallStatus::NotACall},
        {"credential body over 400 bytes",
         "00000001 00000000 00000002 000607af 00000001 0000000a 00000001 00000194",
         CallStatus::BadCredentials},
        {"verifier missing",
         "00000001 00000000 00000002 000607af 00000001 0000000a 00000000 00000000",
         CallStatus::BadCredentials},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rpc::parseCall(fromHex(c.hex)).status, c.expected) << c.name;
}

TEST(Rpc, EncodesEveryKindOfReply) {
    EXPECT_EQ(rpc::encodeAcceptedReply(1, rpc::AcceptStat::Success, fromHex("00000000")),
              fromHex("00000001 00000001 00000000 00000000 00000000 00000000 00000000"));
    EXPECT_EQ(rpc::encodeAcceptedReply(2, rpc::AcceptStat::GarbageArgs),
              fromHex("00000002 00000001 00000000 00000000 00000000 00000004"));
    EXPECT_EQ(rpc::encodeProgMismatch(3, 1, 1),
              fromHex("00000003 00000001 00000000 00000000 00000000 00000002 00000001 00000001"));
    EXPECT_EQ(rpc::encodeRpcMismatch(4),
              fromHex("00000004 00000001 00000001 00000000 00000002 00000002"));
    EXPECT_EQ(rpc::encodeAuthError(5, rpc::AuthStat::TooWeak),
              fromHex("00000005 00000001 00000001 00000001 00000005"));
}

TEST(Rpc, DecodesRepliesOfEveryStatus) {
    // The results view points into the record, so the record must outlive it.
    const xdr::Bytes record =
        fromHex("00000009 00000001 00000000 00000001 00000004 deadbeef 00000000 0000000b");
    const auto success = rpc::decodeReply(record);
    ASSERT_TRUE(success.has_value());
    EXPECT_EQ(success->xid, 9u);
    EXPECT_TRUE(success->success());
    EXPECT_EQ(success->verf.flavor, 1u) << "a non-empty verifier is skipped, not assumed empty";
    EXPECT_EQ(xdr::Bytes(success->results.begin(), success->results.end()), fromHex("0000000b"));

    const auto mismatch = rpc::decodeReply(rpc::encodeProgMismatch(3, 1, 2));
    ASSERT_TRUE(mismatch.has_value());
    EXPECT_EQ(mismatch->acceptStat, rpc::AcceptStat::ProgMismatch);
    EXPECT_EQ(mismatch->mismatchHigh, 2u);

    for (auto stat : {rpc::AcceptStat::ProgUnavail, rpc::AcceptStat::ProcUnavail,
                      rpc::AcceptStat::GarbageArgs, rpc::AcceptStat::SystemErr}) {
        const auto r = rpc::decodeReply(rpc::encodeAcceptedReply(1, stat));
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->acceptStat, stat);
        EXPECT_FALSE(r->success());
    }

    const auto denied = rpc::decodeReply(rpc::encodeRpcMismatch(4));
    ASSERT_TRUE(denied.has_value());
    EXPECT_EQ(denied->replyStat, rpc::ReplyStat::Denied);
    EXPECT_EQ(denied->rejectStat, rpc::RejectStat::RpcMismatch);
    EXPECT_EQ(denied->mismatchLow, 2u);

    const auto auth = rpc::decodeReply(rpc::encodeAuthError(5, rpc::AuthStat::BadCred));
    ASSERT_TRUE(auth.has_value());
    EXPECT_EQ(auth->rejectStat, rpc::RejectStat::AuthError);
    EXPECT_EQ(auth->authStat, rpc::AuthStat::BadCred);
}

TEST(Rpc, RefusesMalformedReplies) {
    const char* cases[] = {
        "00000001",                                                       // no type
        "00000001 00000000 00000000",                                     // a call
        "00000001 00000001 00000002",                                     // unknown reply_stat
        "00000001 00000001 00000000 00000000 00000000 00000006",          // unknown accept_stat
        "00000001 00000001 00000000 00000000 00000191",                   // verifier over 400
        "00000001 00000001 00000000 00000000 00000000 00000002 00000001", // mismatch cut
        "00000001 00000001 00000001 00000002",                            // unknown reject_stat
        "00000001 00000001 00000001 00000001 00000008",                   // unknown auth_stat
        "00000001 00000001 00000000 00000000 00000000 00000003 00000000", // trailing bytes
    };
    for (const char* hex : cases)
        EXPECT_FALSE(rpc::decodeReply(fromHex(hex)).has_value()) << hex;
}

TEST(Rpc, PeeksTheXidOfAnyMessage) {
    EXPECT_EQ(rpc::peekXid(fromHex("0000002a 00000001")), 42u);
    EXPECT_FALSE(rpc::peekXid(fromHex("000000")).has_value());
}
