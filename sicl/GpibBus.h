#pragma once
// The IEEE 488.1 command bytes that callers of the library send on an interface session
// (the bus-status requests are beside the entries, in InstrumentLibrary.h).

#include <cstdint>

namespace sicl {

/// Multiline interface messages, sent with ATN asserted.
namespace gpib {
inline constexpr std::uint8_t kGtl = 0x01;           ///< go to local (addressed listeners)
inline constexpr std::uint8_t kSdc = 0x04;           ///< selected device clear
inline constexpr std::uint8_t kPpc = 0x05;           ///< parallel poll configure
inline constexpr std::uint8_t kGet = 0x08;           ///< group execute trigger
inline constexpr std::uint8_t kTct = 0x09;           ///< take control
inline constexpr std::uint8_t kLlo = 0x11;           ///< local lockout
inline constexpr std::uint8_t kDcl = 0x14;           ///< device clear (all devices)
inline constexpr std::uint8_t kPpu = 0x15;           ///< parallel poll unconfigure
inline constexpr std::uint8_t kSpe = 0x18;           ///< serial poll enable
inline constexpr std::uint8_t kSpd = 0x19;           ///< serial poll disable
inline constexpr std::uint8_t kListenBase = 0x20;    ///< MLA: 0x20 + primary address
inline constexpr std::uint8_t kUnl = 0x3F;           ///< unlisten
inline constexpr std::uint8_t kTalkBase = 0x40;      ///< MTA: 0x40 + primary address
inline constexpr std::uint8_t kUnt = 0x5F;           ///< untalk
inline constexpr std::uint8_t kSecondaryBase = 0x60; ///< MSA: 0x60 + secondary address
/// Highest primary or secondary address; 31 is the unlisten/untalk code.
inline constexpr int kMaxAddress = 30;
} // namespace gpib

} // namespace sicl
