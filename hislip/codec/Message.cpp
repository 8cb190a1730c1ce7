#include "hislip/codec/Message.h"

#include <algorithm>

namespace hislip {

namespace {

constexpr std::uint8_t kPrologue0 = 'H';
constexpr std::uint8_t kPrologue1 = 'S';

void storeBe(std::uint8_t* out, std::uint64_t value, int bytes) noexcept {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<std::uint8_t>(value & 0xFFu);
        value >>= 8;
    }
}

std::uint64_t loadBe(const std::uint8_t* in, int bytes) noexcept {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = (value << 8) | in[i];
    }
    return value;
}

std::span<const std::uint8_t> textBytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

Bytes bare(MessageType type, std::uint8_t control = 0, std::uint32_t parameter = 0) {
    return encodeMessage(Header{type, control, parameter, 0});
}

Bytes sized(MessageType type, std::uint64_t size) {
    std::uint8_t payload[8];
    storeBe(payload, size, 8);
    return encodeMessage(Header{type, 0, 0, 0}, payload);
}

using L = Lane;
struct Row {
    MessageType type;
    TypeRule rule;
    std::string_view name;
};

// Where each defined type travels and who sends it. DeviceClearAcknowledge is a sync message
// (the protocol's summary and its device clear sequence agree; one table says otherwise), and
// both error messages may come on either channel.
constexpr std::array<Row, kLastDefinedType + 1> kRules{{
    {MessageType::Initialize, {L::Sync, true, false}, "Initialize"},
    {MessageType::InitializeResponse, {L::Sync, false, true}, "InitializeResponse"},
    {MessageType::FatalError, {L::Either, true, true}, "FatalError"},
    {MessageType::Error, {L::Either, true, true}, "Error"},
    {MessageType::AsyncLock, {L::Async, true, false}, "AsyncLock"},
    {MessageType::AsyncLockResponse, {L::Async, false, true}, "AsyncLockResponse"},
    {MessageType::Data, {L::Sync, true, true}, "Data"},
    {MessageType::DataEnd, {L::Sync, true, true}, "DataEND"},
    {MessageType::DeviceClearComplete, {L::Sync, true, false}, "DeviceClearComplete"},
    {MessageType::DeviceClearAcknowledge, {L::Sync, false, true}, "DeviceClearAcknowledge"},
    {MessageType::AsyncRemoteLocalControl, {L::Async, true, false}, "AsyncRemoteLocalControl"},
    {MessageType::AsyncRemoteLocalResponse, {L::Async, false, true}, "AsyncRemoteLocalResponse"},
    {MessageType::Trigger, {L::Sync, true, false}, "Trigger"},
    {MessageType::Interrupted, {L::Sync, false, true}, "Interrupted"},
    {MessageType::AsyncInterrupted, {L::Async, false, true}, "AsyncInterrupted"},
    {MessageType::AsyncMaximumMessageSize, {L::Async, true, false}, "AsyncMaximumMessageSize"},
    {MessageType::AsyncMaximumMessageSizeResponse,
     {L::Async, false, true},
     "AsyncMaximumMessageSizeResponse"},
    {MessageType::AsyncInitialize, {L::Async, true, false}, "AsyncInitialize"},
    {MessageType::AsyncInitializeResponse, {L::Async, false, true}, "AsyncInitializeResponse"},
    {MessageType::AsyncDeviceClear, {L::Async, true, false}, "AsyncDeviceClear"},
    {MessageType::AsyncServiceRequest, {L::Async, false, true}, "AsyncServiceRequest"},
    {MessageType::AsyncStatusQuery, {L::Async, true, false}, "AsyncStatusQuery"},
    {MessageType::AsyncStatusResponse, {L::Async, false, true}, "AsyncStatusResponse"},
    {MessageType::AsyncDeviceClearAcknowledge,
     {L::Async, false, true},
     "AsyncDeviceClearAcknowledge"},
    {MessageType::AsyncLockInfo, {L::Async, true, false}, "AsyncLockInfo"},
    {MessageType::AsyncLockInfoResponse, {L::Async, false, true}, "AsyncLockInfoResponse"},
}};

} // namespace

HeaderBytes encodeHeader(const Header& header) noexcept {
    HeaderBytes out{};
    out[0] = kPrologue0;
    out[1] = kPrologue1;
    out[2] = static_cast<std::uint8_t>(header.type);
    out[3] = header.control;
    storeBe(out.data() + 4, header.parameter, 4);
    storeBe(out.data() + 8, header.length, 8);
    return out;
}

std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes) noexcept {
    if (bytes[0] != kPrologue0 || bytes[1] != kPrologue1) {
        return std::nullopt;
    }
    Header h;
    h.type = static_cast<MessageType>(bytes[2]);
    h.control = bytes[3];
    h.parameter = static_cast<std::uint32_t>(loadBe(bytes.data() + 4, 4));
    h.length = loadBe(bytes.data() + 8, 8);
    return h;
}

Bytes encodeMessage(Header header, std::span<const std::uint8_t> payload) {
    header.length = payload.size();
    const HeaderBytes head = encodeHeader(header);
    Bytes out(head.begin(), head.end());
    out.resize(kHeaderSize + payload.size());
    std::copy(payload.begin(), payload.end(), out.begin() + kHeaderSize);
    return out;
}

std::optional<TypeRule> ruleOf(MessageType type) noexcept {
    const auto v = static_cast<std::uint8_t>(type);
    if (v > kLastDefinedType) {
        return std::nullopt;
    }
    return kRules[v].rule;
}

std::string_view typeName(MessageType type) noexcept {
    const auto v = static_cast<std::uint8_t>(type);
    if (v <= kLastDefinedType) {
        return kRules[v].name;
    }
    return isVendorSpecific(type) ? "vendor-specific type" : "reserved type";
}

Bytes initialize(std::uint16_t version, std::uint16_t vendor, std::string_view subAddress) {
    return encodeMessage(
        Header{MessageType::Initialize, 0, (std::uint32_t{version} << 16) | vendor, 0},
        textBytes(subAddress));
}

Bytes initializeResponse(bool overlapped, std::uint16_t version, std::uint16_t sessionId) {
    return bare(MessageType::InitializeResponse, overlapped ? control::kOverlapped : 0,
                (std::uint32_t{version} << 16) | sessionId);
}

Bytes fatalError(std::uint8_t code, std::string_view text) {
    return encodeMessage(Header{MessageType::FatalError, code, 0, 0}, textBytes(text));
}

Bytes error(std::uint8_t code, std::string_view text) {
    return encodeMessage(Header{MessageType::Error, code, 0, 0}, textBytes(text));
}

Bytes asyncLockRequest(std::uint32_t timeoutMs, std::string_view key) {
    return encodeMessage(Header{MessageType::AsyncLock, control::kLockRequest, timeoutMs, 0},
                         textBytes(key));
}

Bytes asyncLockRelease(std::uint32_t lastMessageId) {
    return bare(MessageType::AsyncLock, control::kLockRelease, lastMessageId);
}

Bytes asyncLockResponse(std::uint8_t code) {
    return bare(MessageType::AsyncLockResponse, code);
}

HeaderBytes dataHeader(bool end, std::uint8_t controlCode, std::uint32_t messageId,
                       std::uint64_t length) noexcept {
    return encodeHeader(
        Header{end ? MessageType::DataEnd : MessageType::Data, controlCode, messageId, length});
}

Bytes data(bool end, std::uint8_t controlCode, std::uint32_t messageId,
           std::span<const std::uint8_t> payload) {
    return encodeMessage(
        Header{end ? MessageType::DataEnd : MessageType::Data, controlCode, messageId, 0}, payload);
}

Bytes deviceClearComplete(std::uint8_t features) {
    return bare(MessageType::DeviceClearComplete, features);
}

Bytes deviceClearAcknowledge(std::uint8_t features) {
    return bare(MessageType::DeviceClearAcknowledge, features);
}

Bytes asyncRemoteLocalControl(std::uint8_t request, std::uint32_t lastMessageId) {
    return bare(MessageType::AsyncRemoteLocalControl, request, lastMessageId);
}

Bytes asyncRemoteLocalResponse() {
    return bare(MessageType::AsyncRemoteLocalResponse);
}

Bytes trigger(bool rmtDelivered, std::uint32_t messageId) {
    return bare(MessageType::Trigger, rmtDelivered ? control::kRmtDelivered : 0, messageId);
}

Bytes interrupted(std::uint32_t messageId) {
    return bare(MessageType::Interrupted, 0, messageId);
}

Bytes asyncInterrupted(std::uint32_t messageId) {
    return bare(MessageType::AsyncInterrupted, 0, messageId);
}

Bytes asyncMaximumMessageSize(std::uint64_t size) {
    return sized(MessageType::AsyncMaximumMessageSize, size);
}

Bytes asyncMaximumMessageSizeResponse(std::uint64_t size) {
    return sized(MessageType::AsyncMaximumMessageSizeResponse, size);
}

Bytes asyncInitialize(std::uint16_t sessionId) {
    return bare(MessageType::AsyncInitialize, 0, sessionId);
}

Bytes asyncInitializeResponse(std::uint16_t vendor) {
    return bare(MessageType::AsyncInitializeResponse, 0, vendor);
}

Bytes asyncDeviceClear() {
    return bare(MessageType::AsyncDeviceClear);
}

Bytes asyncServiceRequest(std::uint8_t statusByte) {
    return bare(MessageType::AsyncServiceRequest, statusByte);
}

Bytes asyncStatusQuery(bool rmtDelivered, std::uint32_t messageId) {
    return bare(MessageType::AsyncStatusQuery, rmtDelivered ? control::kRmtDelivered : 0,
                messageId);
}

Bytes asyncStatusResponse(std::uint8_t statusByte) {
    return bare(MessageType::AsyncStatusResponse, statusByte);
}

Bytes asyncDeviceClearAcknowledge(std::uint8_t features) {
    return bare(MessageType::AsyncDeviceClearAcknowledge, features);
}

Bytes asyncLockInfo() {
    return bare(MessageType::AsyncLockInfo);
}

Bytes asyncLockInfoResponse(bool exclusiveGranted, std::uint32_t holders) {
    return bare(MessageType::AsyncLockInfoResponse, exclusiveGranted ? 1 : 0, holders);
}

std::optional<std::uint64_t> decodeMaximumMessageSize(std::span<const std::uint8_t> payload) {
    if (payload.size() != 8) {
        return std::nullopt;
    }
    return loadBe(payload.data(), 8);
}

} // namespace hislip
