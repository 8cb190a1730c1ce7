// Fuzzes the names a client gives the gateway for a device: create_link's device name and a
// HiSLIP sub-address (read as an alias of a bus address, else as a device name). Whatever the
// bytes, a name is a well-formed device or refused with one of create_link's errors; a device
// read back from its canonical form is the same device; and an alias names the addresses its
// number says.
//
// Input: the name.

#include "FuzzCheck.h"

#include "gateway/devices/DeviceName.h"
#include "vxi11/codec/Vxi11Types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace {

using gateway::DeviceName;

constexpr int kMaxAddress = 30;

void checkWellFormed(const DeviceName& d) {
    FUZZ_CHECK(d.lan.empty());
    if (d.isInterface) {
        FUZZ_CHECK(d.pad == -1 && !d.sad);
        return;
    }
    FUZZ_CHECK(d.pad >= 0 && d.pad <= kMaxAddress);
    FUZZ_CHECK(!d.sad || (*d.sad >= 0 && *d.sad <= kMaxAddress));
}

bool sameDevice(const DeviceName& a, const DeviceName& b) {
    return a.isInterface == b.isInterface && a.pad == b.pad && a.sad == b.sad && a.lan == b.lan;
}

/// `canonical` names `d` again, and is its own canonical form.
void checkReadsBack(const DeviceName& d, const std::string& canonical) {
    const auto again = gateway::parseDeviceName(canonical);
    const auto* read = std::get_if<DeviceName>(&again);
    FUZZ_CHECK(read != nullptr && sameDevice(*read, d) && read->canonical() == canonical);
}

void checkDeviceName(std::string_view name) {
    const auto parsed = gateway::parseDeviceName(name);
    if (const auto* code = std::get_if<std::int32_t>(&parsed)) {
        namespace err = vxi11::err;
        FUZZ_CHECK(*code == err::kSyntaxError || *code == err::kDeviceNotAccessible ||
                   *code == err::kInvalidAddress);
        return;
    }
    const DeviceName& d = std::get<DeviceName>(parsed);
    checkWellFormed(d);
    checkReadsBack(d, d.canonical());
}

void checkHislipAlias(std::string_view name) {
    const auto alias = gateway::parseHislipAlias(name);
    if (!alias) {
        return;
    }
    checkWellFormed(*alias);
    FUZZ_CHECK(!alias->isInterface);
    // "hislip" in any case, then only the digits of the address's number.
    constexpr std::string_view kPrefix = "hislip";
    FUZZ_CHECK(name.size() > kPrefix.size() &&
               gateway::sameIgnoringCase(name.substr(0, kPrefix.size()), kPrefix));
    long number = 0;
    for (const char c : name.substr(kPrefix.size())) {
        FUZZ_CHECK(c >= '0' && c <= '9');
        number = number * 10 + (c - '0');
    }
    const long expected = alias->sad ? alias->pad * 100L + *alias->sad : alias->pad;
    FUZZ_CHECK(number == expected);
    checkReadsBack(*alias, alias->canonical());
    const auto plain = gateway::parseHislipAlias("hislip" + std::to_string(expected));
    FUZZ_CHECK(plain && sameDevice(*plain, *alias));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    checkDeviceName(name);
    checkHislipAlias(name);
    return 0;
}
