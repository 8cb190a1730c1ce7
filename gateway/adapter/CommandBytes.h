#pragma once

#include "gateway/adapter/PlusPlusCodec.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace gateway::adapter {

/// What a sequence of GPIB command bytes (sent with ATN) does, in terms an adapter can do.
struct BusAction {
    enum class Kind {
        Target,         ///< addressed and left so: the adapter's current address
        Clear,          ///< SDC to an addressed listener
        Trigger,        ///< GET to an addressed listener
        Local,          ///< GTL to an addressed listener
        Lockout,        ///< LLO, universal
        UniversalClear, ///< DCL
        Unlisten,       ///< UNL with no listener after it
        Untalk,         ///< UNT with no talker after it
        Poll            ///< SPE, a talker, SPD: a serial poll of that talker
    };
    Kind kind = Kind::Target;
    GpibAddress address; ///< for Target, Clear, Trigger, Local, Poll
    bool operator==(const BusAction&) const = default;
};

/// The actions the command bytes come to, in order; nothing when a byte has no adapter
/// equivalent (ATN-only bytes such as PPC or TCT, a secondary with no address before it, an
/// addressed command with no listener, several listeners left addressed). UNL and UNT before
/// an address are part of addressing and give no action of their own. The talk address of
/// `controller` (the adapter's own address, when given) is the controller taking the talker's
/// part, as a listener search does before it addresses each listener: it addresses nobody.
std::optional<std::vector<BusAction>>
planCommandBytes(std::span<const std::uint8_t> bytes,
                 std::optional<std::uint8_t> controller = std::nullopt);

} // namespace gateway::adapter
