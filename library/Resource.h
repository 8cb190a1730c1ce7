#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace library {

/// TCP port of a HiSLIP server when the resource names none.
inline constexpr std::uint16_t kHislipPort = 4880;

/// An address as the library's iopen takes it, told apart by transport.
///
/// Two grammars, any case: the VXI-11 form `lan;vxi-11[HOST[:PORT]]:NAME` (the window's own,
/// parsed in full by the VXI-11 transport, so its errors stay as they are) and VISA resource
/// strings `TCPIP[n]::HOST[::NAME][::INSTR]` (VXI-11 unless NAME begins with `hislip`: HiSLIP,
/// `hislip0,PORT` for a port other than 4880) and `TCPIP[n]::HOST::PORT::SOCKET`.
struct Resource {
    enum class Kind { Vxi11, Hislip, Socket };
    Kind kind = Kind::Vxi11;
    /// The address exactly as given.
    std::string text;
    /// A VISA resource string; false for the `lan;vxi-11[...]` form, whose other fields are
    /// left empty for the VXI-11 transport to parse from `text`.
    bool visa = false;
    int board = 0;          ///< the n of TCPIP[n]
    std::string host;       ///< host name or dotted IPv4 address (IPv6 without its brackets)
    std::uint16_t port = 0; ///< HiSLIP or socket TCP port; 0 for VXI-11 (the portmapper's 111)
    /// VXI-11 device name (`inst0` when left out) or HiSLIP sub-address, as typed.
    std::string name;
};

/// The short name of a transport as traces and messages show it: "vxi-11", "hislip",
/// "socket".
const char* transportName(Resource::Kind kind) noexcept;

/// Parses an address; throws LibraryError(liberr::kBadAddressSyntax) with a detail naming
/// what is wrong. Never reads past `text`.
Resource parseResource(std::string_view text);

} // namespace library
