#include "gateway/emulator/Settings.h"

namespace gateway::emulator {

std::optional<Flavour> flavourNamed(std::string_view name) {
    if (name == "prologix") {
        return Flavour::Prologix;
    }
    if (name == "ar488") {
        return Flavour::Ar488;
    }
    return std::nullopt;
}

Settings factoryDefaults(Flavour flavour) {
    Settings s;
    if (flavour == Flavour::Prologix) {
        // Nobody has reported a Prologix's own power-on values, as clients set every one:
        // END on and a short time-out suit what they set.
        s.eoi = 1;
        s.readTimeoutMs = 500;
    }
    return s;
}

std::string_view eosBytes(int eos) {
    switch (eos) {
    case 0:
        return "\r\n";
    case 1:
        return "\r";
    case 2:
        return "\n";
    default:
        return {};
    }
}

std::string_view versionText(Flavour flavour, bool overNetwork) {
    if (flavour == Flavour::Ar488) {
        return kAr488Firmware;
    }
    return overNetwork ? "Prologix GPIB-ETHERNET Controller version 01.06.06.00"
                       : "Prologix GPIB-USB Controller version 6.107";
}

} // namespace gateway::emulator
