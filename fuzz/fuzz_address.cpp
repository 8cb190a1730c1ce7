// Fuzzes the library's address parser with any text a user may type into the address box.
// It must either give a well-formed address or refuse with one of its three address errors,
// and an address it accepts must read back the same when written out with the device name it
// sends.
//
// Input: the address text.

#include "FuzzCheck.h"

#include "library/LibraryError.h"
#include "vxi11/transport/Address.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// The parser refuses longer texts outright; a plain form past it cannot be read back.
constexpr std::size_t kLongestAddress = 512;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isNameCharacter(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ',' || c == '_' ||
           c == '.';
}

void checkWellFormed(const vxi11::Address& a) {
    FUZZ_CHECK(!a.host.empty());
    for (char c : a.host) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u > 0x20 && u != 0x7F && c != '[' && c != ']' && c != ',' && c != ';');
    }
    FUZZ_CHECK(a.portmapperPort != 0);
    // What goes to create_link is always a name of the documented grammar.
    FUZZ_CHECK(!a.device.empty() && a.device.size() <= vxi11::kMaxDeviceNameLength);
    for (char c : a.device) {
        FUZZ_CHECK(isNameCharacter(c));
    }
    if (a.primary) {
        FUZZ_CHECK(a.deviceSession && *a.primary >= 0 && *a.primary <= 30);
        std::string name =
            a.device.substr(0, a.device.find(',')) + "," + std::to_string(*a.primary);
        if (a.secondary)
            name += "," + std::to_string(*a.secondary);
        FUZZ_CHECK(a.device == name);
    }
    if (a.secondary)
        FUZZ_CHECK(a.primary && *a.secondary >= 0 && *a.secondary <= 30);
    // A name with a comma is always a device behind an interface.
    if (a.device.find(',') != std::string::npos)
        FUZZ_CHECK(a.deviceSession);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vxi11::Address a;
    try {
        a = vxi11::parseAddress(text);
    } catch (const library::LibraryError& e) {
        FUZZ_CHECK(e.number() == library::liberr::kBadAddressSyntax ||
                   e.number() == library::liberr::kAddressOutOfRange ||
                   e.number() == library::liberr::kBadDeviceName);
        FUZZ_CHECK(!e.text().empty() && e.text().size() <= library::kMaxErrorText);
        return 0;
    }
    checkWellFormed(a);
    // Written out with the name it sends, the address opens the same kind of session there.
    // An IPv6 host goes back in brackets, or its colons would run into the port's.
    const bool ipv6 = a.host.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + a.host + "]" : a.host;
    const std::string plain =
        "lan;vxi-11[" + host + ":" + std::to_string(a.portmapperPort) + "]:" + a.device;
    if (plain.size() > kLongestAddress)
        return 0;
    const vxi11::Address again = vxi11::parseAddress(plain);
    FUZZ_CHECK(again.host == a.host && again.portmapperPort == a.portmapperPort &&
               again.device == a.device && again.deviceSession == a.deviceSession);
    return 0;
}
