#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vxi11 {

/// Portmapper port used when the address names none.
inline constexpr std::uint16_t kDefaultPortmapperPort = 111;

/// A parsed library address: `lan;vxi-11[HOST]:INTF` or `lan;vxi-11[HOST]:INTF,ADDR`.
struct Address {
    std::string host;                                      ///< host name or dotted IPv4 address
    std::uint16_t portmapperPort = kDefaultPortmapperPort; ///< from `HOST:PORT`
    std::string interfaceName;                             ///< VXI-11 interface name, e.g. "gpib0"
    std::optional<int> primary;                            ///< set for a device session
    std::optional<int> secondary;                          ///< set for a secondary address

    bool isDevice() const noexcept { return primary.has_value(); }
    /// The VXI-11 device name sent in create_link: "gpib0", "gpib0,7" or "gpib0,7,5".
    std::string deviceName() const;
};

/// Parses an address; throws LibraryError (bad address syntax, or invalid GPIB address for a
/// number outside 0-30 and 101-3030 or a secondary above 30).
Address parseAddress(std::string_view text);

} // namespace vxi11
