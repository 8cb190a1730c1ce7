#pragma once
// The IEEE 488.1 command bytes that device_docmd's send command carries to a gateway's bus
// (multiline interface messages, sent with ATN asserted), as the wire has them.

#include <cstdint>

namespace vxi11::gpib {

constexpr std::uint8_t kGtl = 0x01;           ///< go to local (addressed listeners)
constexpr std::uint8_t kSdc = 0x04;           ///< selected device clear
constexpr std::uint8_t kPpc = 0x05;           ///< parallel poll configure
constexpr std::uint8_t kGet = 0x08;           ///< group execute trigger
constexpr std::uint8_t kTct = 0x09;           ///< take control
constexpr std::uint8_t kLlo = 0x11;           ///< local lockout
constexpr std::uint8_t kDcl = 0x14;           ///< device clear, to every device
constexpr std::uint8_t kPpu = 0x15;           ///< parallel poll unconfigure
constexpr std::uint8_t kSpe = 0x18;           ///< serial poll enable
constexpr std::uint8_t kSpd = 0x19;           ///< serial poll disable
constexpr std::uint8_t kListenBase = 0x20;    ///< MLA: 0x20 + primary address
constexpr std::uint8_t kUnl = 0x3F;           ///< unlisten
constexpr std::uint8_t kTalkBase = 0x40;      ///< MTA: 0x40 + primary address
constexpr std::uint8_t kUnt = 0x5F;           ///< untalk
constexpr std::uint8_t kSecondaryBase = 0x60; ///< MSA: 0x60 + secondary address
constexpr std::uint8_t kCommandBits = 0x7F;   ///< the bits a command byte carries (no parity)
constexpr int kMaxAddress = 30;               ///< highest primary or secondary address

} // namespace vxi11::gpib
