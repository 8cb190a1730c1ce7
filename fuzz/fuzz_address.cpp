// Fuzzes the library's address parser with any text a user may type into the address box.
// It must either give a well-formed address or refuse with one of its two address errors, and
// an address it accepts must read back the same when written out in its plain form.
//
// Input: the address text.

#include "FuzzCheck.h"

#include "vxi11/library/Address.h"
#include "vxi11/library/LibraryError.h"

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

void checkWellFormed(const vxi11::Address& a) {
    FUZZ_CHECK(!a.host.empty());
    for (char c : a.host) {
        const auto u = static_cast<unsigned char>(c);
        FUZZ_CHECK(u > 0x20 && u != 0x7F && c != '[' && c != ']' && c != ',' && c != ';');
    }
    FUZZ_CHECK(a.portmapperPort != 0);
    FUZZ_CHECK(!a.interfaceName.empty() && isDigit(a.interfaceName.back()));
    if (a.primary)
        FUZZ_CHECK(*a.primary >= 0 && *a.primary <= 30);
    if (a.secondary)
        FUZZ_CHECK(a.primary && *a.secondary >= 0 && *a.secondary <= 30);
    std::string name = a.interfaceName;
    if (a.primary)
        name += "," + std::to_string(*a.primary);
    if (a.secondary)
        name += "," + std::to_string(*a.secondary);
    FUZZ_CHECK(a.deviceName() == name);
}

std::string plainForm(const vxi11::Address& a) {
    std::string text =
        "lan;vxi-11[" + a.host + ":" + std::to_string(a.portmapperPort) + "]:" + a.interfaceName;
    if (a.primary)
        text += "," + std::to_string(a.secondary ? *a.primary * 100 + *a.secondary : *a.primary);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vxi11::Address a;
    try {
        a = vxi11::parseAddress(text);
    } catch (const vxi11::LibraryError& e) {
        FUZZ_CHECK(e.number() == vxi11::liberr::kBadAddressSyntax ||
                   e.number() == vxi11::liberr::kAddressOutOfRange);
        FUZZ_CHECK(!e.text().empty() && e.text().size() <= vxi11::kMaxErrorText);
        return 0;
    }
    checkWellFormed(a);
    const std::string plain = plainForm(a);
    if (plain.size() > kLongestAddress)
        return 0;
    const vxi11::Address again = vxi11::parseAddress(plain);
    FUZZ_CHECK(again.host == a.host && again.portmapperPort == a.portmapperPort &&
               again.interfaceName == a.interfaceName && again.primary == a.primary &&
               again.secondary == a.secondary);
    return 0;
}
