#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vxi11 {

/// Portmapper port used when the address names none.
inline constexpr std::uint16_t kDefaultPortmapperPort = 111;
/// Longest VXI-11 device name an address may give (`lan;vxi-11[HOST]:NAME`).
inline constexpr std::size_t kMaxDeviceNameLength = 64;

/// A parsed library address: `lan;vxi-11[HOST[:PORT]]:gpib[N][,ADDR]` (the GPIB forms) or
/// `lan;vxi-11[HOST[:PORT]]:NAME` (any other VXI-11 device name, sent as it is).
struct Address {
    std::string host;                                      ///< host name or dotted IPv4 address
    std::uint16_t portmapperPort = kDefaultPortmapperPort; ///< from `HOST:PORT`
    /// The VXI-11 device name sent in create_link: "gpib0", "gpib0,7", "gpib0,7,5", "inst0",
    /// "hpib,7" ...
    std::string device;
    /// A device session (an instrument, or a device behind an interface); otherwise an
    /// interface session, on which the bus operations go out as docmd.
    bool deviceSession = false;
    std::optional<int> primary;   ///< the GPIB address of a GPIB form, if it has one
    std::optional<int> secondary; ///< its secondary address
};

/// The address of VXI-11 device `name` (any name create_link takes: `inst0`, `gpib0`,
/// `gpib0,7`) on `host`, whose portmapper listens at `portmapperPort`; the name is checked and
/// the session kind told as for the `lan;vxi-11[...]` form.
Address addressOf(std::string host, std::uint16_t portmapperPort, std::string_view name);

/// Parses an address; throws LibraryError: bad address syntax, an invalid GPIB address (a
/// number outside 0-30 and 101-3030), or a bad device name (too long, a character other than
/// letters, digits, `,` `_` `.`).
Address parseAddress(std::string_view text);

} // namespace vxi11
