#pragma once
// The two kinds of `++` adapter the simulator can present, and the settings the host changes
// with `++` commands, with each kind's values at power-on.

#include "gateway/emulator/EmulatedBus.h"

#include <optional>
#include <string_view>

namespace gateway::emulator {

/// Which adapter's command set, replies and quirks to reproduce.
enum class Flavour { Prologix, Ar488 };

/// The flavour named `name` ("prologix", "ar488"), if it is one.
std::optional<Flavour> flavourNamed(std::string_view name);

/// The settings of the adapter. Numbers as the host sets and queries them.
struct Settings {
    GpibAddress target{1, {}}; ///< `++addr`: the device data lines and reads go to
    int controller = 1;        ///< `++mode`: 1 controller in charge, 0 device
    int autoRead = 0;          ///< `++auto`
    int eoi = 0;               ///< `++eoi`: END with the last byte of a data line
    int eos = 0;               ///< `++eos`: 0 CR LF, 1 CR, 2 LF, 3 nothing after a data line
    int eotEnable = 0;         ///< `++eot_enable`: a byte to the host when a read sees END
    int eotChar = 0;           ///< `++eot_char`
    int readTimeoutMs = 1200;  ///< `++read_tmo_ms`: the per-byte time-out of reads and polls
    int eor = 0;               ///< `++eor` (AR488): what ends a plain read
    int saveOnChange = 1;      ///< `++savecfg` (Prologix): settings saved as they change
};

/// The settings at power-on, before anything was saved.
Settings factoryDefaults(Flavour flavour);

/// The terminator `++eos` appends to a data line.
std::string_view eosBytes(int eos);

/// The `++ver` text: a Prologix says which link it is on, USB or Ethernet.
std::string_view versionText(Flavour flavour, bool overNetwork);
/// The firmware string an AR488 prints for `++ver real`.
inline constexpr std::string_view kAr488Firmware =
    "AR488 GPIB controller, ver. 0.53.04, 13/04/2025";

} // namespace gateway::emulator
