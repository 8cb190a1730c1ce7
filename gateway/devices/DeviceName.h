#pragma once
// Parses VXI-11.2 device names: "gpib0" (the interface), "gpib0,PAD", "gpib0,PAD,SAD", with
// the aliases "gpib", "hpib" and "hpib0", compared without regard to case.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace gateway {

/// `a` and `b` equal without regard to case: how names, aliases and headers compare.
inline bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

/// The one interface the simulator has: the name of its link and of the bus's SRQ line.
inline constexpr std::string_view kInterfaceName = "gpib0";

/// A parsed device name.
struct DeviceName {
    bool isInterface = true;
    int pad = -1;           ///< 0-30 on a device link
    std::optional<int> sad; ///< 0-30 (96-126 on the wire name are accepted as 0-30)
    std::string lan;        ///< a LAN instrument's name as configured; empty on the bus

    /// Canonical form: "gpib0", "gpib0,5", "gpib0,5,2", or the LAN instrument's name.
    std::string canonical() const;
    /// Whose service requests a link to this name hears: the bus's SRQ line (kInterfaceName)
    /// for the interface and every device on the bus, the instrument's own for a LAN one.
    std::string srqSource() const { return lan.empty() ? std::string(kInterfaceName) : lan; }
};

/// Parses `name`; on failure returns the VXI-11 error for create_link: 1 (syntax error),
/// 3 (no such interface or device) or 21 (address out of range).
std::variant<DeviceName, std::int32_t> parseDeviceName(std::string_view name);

/// The bus device that an alphanumeric HiSLIP sub-address names, as VISA-style clients can
/// only write them: `hislipN` (any case) with N 1-30 is primary address N, and N 101-3030 is
/// primary N / 100 with secondary N % 100 (0-30), as the window writes addresses. Nothing for
/// anything else (`hislip0` is the default instrument, not address 0).
std::optional<DeviceName> parseHislipAlias(std::string_view name);

} // namespace gateway
