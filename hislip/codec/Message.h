#pragma once
// HiSLIP messages: the 16-byte header, the message types and control codes, and one encoder per
// message. Pure functions over bytes, shared by the client and the simulator's server.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace hislip {

using Bytes = std::vector<std::uint8_t>;

/// Bytes of a header: prologue, type, control code, parameter, payload length.
inline constexpr std::size_t kHeaderSize = 16;
/// Protocol version 1.0: major in the high byte, minor in the low byte.
inline constexpr std::uint16_t kProtocolVersion = 0x0100;
/// The first MessageID of a session, and again after each device clear.
inline constexpr std::uint32_t kFirstMessageId = 0xFFFFFF00u;
/// "Nothing sent since the session began or was cleared": the first MessageID less 2.
inline constexpr std::uint32_t kNoMessageId = 0xFFFFFEFEu;
/// A server's Data that does not end the response it belongs to, in synchronized mode.
inline constexpr std::uint32_t kUnknownMessageId = 0xFFFFFFFFu;
/// MessageIDs step by 2 (modulo 2^32).
inline constexpr std::uint32_t kMessageIdStep = 2;
/// Longest sub-address (Initialize payload) and lock string.
inline constexpr std::size_t kMaxSubAddress = 256;
inline constexpr std::size_t kMaxLockString = 256;
/// Port of a HiSLIP server when none is given.
inline constexpr std::uint16_t kDefaultPort = 4880;

/// Message types 0-25; 26-127 are reserved, 128-255 vendor specific.
enum class MessageType : std::uint8_t {
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    AsyncMaximumMessageSize = 15,
    AsyncMaximumMessageSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
};

/// The last type this protocol version defines; the first vendor-specific type.
inline constexpr std::uint8_t kLastDefinedType = 25;
inline constexpr std::uint8_t kFirstVendorType = 128;

/// Control code values.
namespace control {
/// InitializeResponse, the device clear feature bitmaps: 1 overlapped, 0 synchronized.
inline constexpr std::uint8_t kOverlapped = 0x01;
/// Client Data, DataEND, Trigger, AsyncStatusQuery: a response's END reached the application.
inline constexpr std::uint8_t kRmtDelivered = 0x01;
/// AsyncLock.
inline constexpr std::uint8_t kLockRelease = 0;
inline constexpr std::uint8_t kLockRequest = 1;
/// AsyncLockResponse to a request: 0 not granted in time, 1 granted, 3 invalid.
inline constexpr std::uint8_t kLockFailed = 0;
inline constexpr std::uint8_t kLockGranted = 1;
/// AsyncLockResponse to a release: 1 exclusive released, 2 shared released, 3 nothing held.
inline constexpr std::uint8_t kReleasedExclusive = 1;
inline constexpr std::uint8_t kReleasedShared = 2;
inline constexpr std::uint8_t kLockError = 3;
/// AsyncRemoteLocalControl requests (the REN modes).
inline constexpr std::uint8_t kDisableRemote = 0;
inline constexpr std::uint8_t kEnableRemote = 1;
inline constexpr std::uint8_t kDisableRemoteGoLocal = 2;
inline constexpr std::uint8_t kEnableRemoteGoRemote = 3;
inline constexpr std::uint8_t kEnableRemoteLockLocal = 4;
inline constexpr std::uint8_t kEnableRemoteGoRemoteLockLocal = 5;
inline constexpr std::uint8_t kGoLocal = 6;
} // namespace control

/// FatalError codes.
namespace fatalCode {
inline constexpr std::uint8_t kUnidentified = 0;
inline constexpr std::uint8_t kBadHeader = 1;
inline constexpr std::uint8_t kChannelsNotEstablished = 2;
inline constexpr std::uint8_t kBadInitialization = 3;
inline constexpr std::uint8_t kTooManyClients = 4;
} // namespace fatalCode

/// Error codes.
namespace errorCode {
inline constexpr std::uint8_t kUnidentified = 0;
inline constexpr std::uint8_t kUnknownType = 1;
inline constexpr std::uint8_t kUnknownControlCode = 2;
inline constexpr std::uint8_t kUnknownVendorMessage = 3;
inline constexpr std::uint8_t kTooLarge = 4;
} // namespace errorCode

/// A message header (the prologue is implied).
struct Header {
    MessageType type{};
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0; ///< payload bytes that follow
    bool operator==(const Header&) const = default;
};

using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

/// The 16 bytes of `header`.
HeaderBytes encodeHeader(const Header& header) noexcept;
/// The header in `bytes`; nothing when the prologue is not "HS".
std::optional<Header> decodeHeader(std::span<const std::uint8_t, kHeaderSize> bytes) noexcept;
/// A whole message in one buffer: `header` (its length set from `payload`) and `payload`.
Bytes encodeMessage(Header header, std::span<const std::uint8_t> payload = {});

/// Which connection a message travels on.
enum class Lane { Sync, Async, Either };
/// Where a type belongs and who may send it (types 0-25 only).
struct TypeRule {
    Lane lane;
    bool fromClient;
    bool fromServer;
};
/// The rule of a defined type; nothing for reserved and vendor-specific types.
std::optional<TypeRule> ruleOf(MessageType type) noexcept;
/// The type's name as the protocol writes it ("DataEND", "AsyncLock", "type 42").
std::string_view typeName(MessageType type) noexcept;
inline bool isData(MessageType t) noexcept {
    return t == MessageType::Data || t == MessageType::DataEnd;
}
inline bool isReserved(MessageType t) noexcept {
    const auto v = static_cast<std::uint8_t>(t);
    return v > kLastDefinedType && v < kFirstVendorType;
}
inline bool isVendorSpecific(MessageType t) noexcept {
    return static_cast<std::uint8_t>(t) >= kFirstVendorType;
}

/// The two halves of a 32-bit parameter (versions and IDs).
inline std::uint16_t high16(std::uint32_t v) noexcept {
    return static_cast<std::uint16_t>(v >> 16);
}
inline std::uint16_t low16(std::uint32_t v) noexcept {
    return static_cast<std::uint16_t>(v & 0xFFFFu);
}
/// A vendor ID from two ASCII characters, the first in the high byte.
constexpr std::uint16_t vendorId(char first, char second) noexcept {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(first) << 8) |
                                      static_cast<unsigned char>(second));
}

// ---- One encoder per message, named after it.

Bytes initialize(std::uint16_t version, std::uint16_t vendor, std::string_view subAddress);
Bytes initializeResponse(bool overlapped, std::uint16_t version, std::uint16_t sessionId);
Bytes fatalError(std::uint8_t code, std::string_view text);
Bytes error(std::uint8_t code, std::string_view text);
/// AsyncLock request: wait up to `timeoutMs`; an empty key asks for the exclusive lock.
Bytes asyncLockRequest(std::uint32_t timeoutMs, std::string_view key);
/// AsyncLock release, once the message `lastMessageId` has completed.
Bytes asyncLockRelease(std::uint32_t lastMessageId);
Bytes asyncLockResponse(std::uint8_t code);
/// The header of a Data (or, with `end`, DataEND) message of `length` bytes.
HeaderBytes dataHeader(bool end, std::uint8_t controlCode, std::uint32_t messageId,
                       std::uint64_t length) noexcept;
Bytes data(bool end, std::uint8_t controlCode, std::uint32_t messageId,
           std::span<const std::uint8_t> payload);
Bytes deviceClearComplete(std::uint8_t features);
Bytes deviceClearAcknowledge(std::uint8_t features);
Bytes asyncRemoteLocalControl(std::uint8_t request, std::uint32_t lastMessageId);
Bytes asyncRemoteLocalResponse();
Bytes trigger(bool rmtDelivered, std::uint32_t messageId);
Bytes interrupted(std::uint32_t messageId);
Bytes asyncInterrupted(std::uint32_t messageId);
Bytes asyncMaximumMessageSize(std::uint64_t size);
Bytes asyncMaximumMessageSizeResponse(std::uint64_t size);
Bytes asyncInitialize(std::uint16_t sessionId);
Bytes asyncInitializeResponse(std::uint16_t vendor);
Bytes asyncDeviceClear();
Bytes asyncServiceRequest(std::uint8_t statusByte);
Bytes asyncStatusQuery(bool rmtDelivered, std::uint32_t messageId);
Bytes asyncStatusResponse(std::uint8_t statusByte);
Bytes asyncDeviceClearAcknowledge(std::uint8_t features);
Bytes asyncLockInfo();
Bytes asyncLockInfoResponse(bool exclusiveGranted, std::uint32_t holders);

/// The size carried by AsyncMaximumMessageSize(Response): exactly 8 bytes, else nothing.
std::optional<std::uint64_t> decodeMaximumMessageSize(std::span<const std::uint8_t> payload);

} // namespace hislip
