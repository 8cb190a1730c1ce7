#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cli {

/// An instrument as the user names it: a GPIB address or a VXI-11 device name behind the
/// gateway of -s, or a VISA resource string that names its own host and transport.
struct DeviceAddress {
    std::string typed;      ///< as the user wrote it
    std::string deviceName; ///< what follows "]:" in the library address; empty for VISA
    std::optional<int> pad; ///< set for a GPIB address
    std::optional<int> sad;
    bool visa = false; ///< a VISA resource string: the library gets `typed` as it is
};

/// Parses ADDR: `22` (primary 0-30), `502` (primary 5, secondary 2: 101-3030), `5,2`
/// (PAD,SAD), a VXI-11 device name such as `inst0` or `hpib,7` (a letter first, then
/// letters, digits, `,` `_` `.`; at most 64 bytes), or a VISA resource string
/// (`TCPIP[n]::HOST[::NAME][::INSTR]`, `TCPIP[n]::HOST::PORT::SOCKET`, any case), checked by
/// the library's own grammar. Throws UsageError.
DeviceAddress parseDeviceAddress(std::string_view text);

/// The device address for a GPIB primary and optional secondary address.
DeviceAddress gpibAddress(int pad, std::optional<int> sad);

/// The library address of an instrument: behind `server` (HOST[:PORT]), or a VISA resource
/// string as it was typed.
std::string libraryAddress(const std::string& server, const DeviceAddress& device);

/// The library address of the gateway's GPIB interface behind `server`.
std::string interfaceAddress(const std::string& server);

/// "22" or "5,2": how results name a GPIB address.
std::string addressText(int pad, std::optional<int> sad);

/// Checks HOST[:PORT]: a host without characters that would change the meaning of a library
/// address, and a port 1-65535 when one is given; throws UsageError.
void checkServer(std::string_view server);

} // namespace cli
