// Fuzzes the parser of every address the library takes (VISA resource strings, and the VXI-11
// form handed on whole): any text a user or a script may give. It must either give a
// well-formed resource or refuse with the bad-address error, and a resource it accepts must
// read back the same when written out in its plainest form.
//
// Input: the address text.

#include "FuzzCheck.h"

#include "library/LibraryError.h"
#include "library/Resource.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

using library::Resource;

// The parser refuses longer texts outright; a plain form past it cannot be read back.
constexpr std::size_t kLongestAddress = 512;

bool plainName(std::string_view name) {
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != ',' && c != '_' && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

bool startsWithHislip(std::string_view name) {
    constexpr std::string_view kHislip = "hislip";
    if (name.size() < kHislip.size()) {
        return false;
    }
    for (std::size_t i = 0; i < kHislip.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != kHislip[i]) {
            return false;
        }
    }
    return true;
}

void checkWellFormed(const Resource& r) {
    FUZZ_CHECK(!r.host.empty());
    FUZZ_CHECK(r.board >= 0 && r.board <= 999);
    switch (r.kind) {
    case Resource::Kind::Socket:
        FUZZ_CHECK(r.port != 0 && r.name.empty());
        break;
    case Resource::Kind::Hislip:
        FUZZ_CHECK(r.port != 0 && startsWithHislip(r.name));
        FUZZ_CHECK(r.name.find(',') == std::string::npos);
        break;
    case Resource::Kind::Vxi11:
        FUZZ_CHECK(r.port == 0 && !r.name.empty() && !startsWithHislip(r.name));
        break;
    }
}

/// The resource in its plainest form: board and INSTR written out, an IPv6 host bracketed.
std::string plainForm(const Resource& r) {
    const std::string host = r.host.find(':') != std::string::npos ? "[" + r.host + "]" : r.host;
    std::string text = "TCPIP" + std::to_string(r.board) + "::" + host + "::";
    switch (r.kind) {
    case Resource::Kind::Socket:
        return text + std::to_string(r.port) + "::SOCKET";
    case Resource::Kind::Hislip:
        return text + r.name + "," + std::to_string(r.port) + "::INSTR";
    case Resource::Kind::Vxi11:
        break;
    }
    return text + r.name + "::INSTR";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    Resource r;
    try {
        r = library::parseResource(text);
    } catch (const library::LibraryError& e) {
        FUZZ_CHECK(e.number() == library::liberr::kBadAddressSyntax);
        FUZZ_CHECK(!e.text().empty() && e.text().size() <= library::kMaxErrorText);
        return 0;
    }
    FUZZ_CHECK(r.text == text);
    if (!r.visa) {
        // The VXI-11 transport's own form, parsed (and refused) there.
        FUZZ_CHECK(r.kind == Resource::Kind::Vxi11 && r.host.empty() && r.name.empty());
        return 0;
    }
    checkWellFormed(r);
    // A name the plain form could not hold as it is (a single colon, a bracket) is not
    // written out again.
    if (!plainName(r.name)) {
        return 0;
    }
    const std::string plain = plainForm(r);
    if (plain.size() > kLongestAddress) {
        return 0;
    }
    const Resource again = library::parseResource(plain);
    FUZZ_CHECK(again.visa && again.kind == r.kind && again.board == r.board &&
               again.host == r.host && again.port == r.port && again.name == r.name);
    return 0;
}
