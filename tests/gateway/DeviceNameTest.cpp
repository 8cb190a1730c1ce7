// The names clients give devices: create_link's device names and HiSLIP's aliases of bus
// addresses, as their parsers read them.

#include "gateway/devices/DeviceName.h"

#include <gtest/gtest.h>

using namespace gateway;

TEST(DeviceName, ParsesAliasesAndCanonicalises) {
    auto name = [](const char* text) {
        const auto r = parseDeviceName(text);
        return std::holds_alternative<DeviceName>(r)
                   ? std::get<DeviceName>(r).canonical()
                   : "error " + std::to_string(std::get<std::int32_t>(r));
    };
    EXPECT_EQ(name("GPIB0"), "gpib0");
    EXPECT_EQ(name("hpib,7"), "gpib0,7");
    EXPECT_EQ(name("gpib0,07,126"), "gpib0,7,30");
    EXPECT_EQ(name("gpib0,7,95"), "error 21");
    EXPECT_EQ(name("gpib0, 7"), "error 1");
    EXPECT_EQ(name("0gpib"), "error 1");
    EXPECT_EQ(name("vxi0,1"), "error 3");
}

TEST(HislipAlias, NamesOnePrimaryOrAPrimaryAndSecondaryAddressAndNothingElse) {
    const std::pair<const char*, const char*> accepted[] = {
        {"hislip1", "gpib0,1"},       {"HISLIP30", "gpib0,30"},   {"HiSlIp22", "gpib0,22"},
        {"hislip101", "gpib0,1,1"},   {"hislip200", "gpib0,2,0"}, {"hislip502", "gpib0,5,2"},
        {"hislip3030", "gpib0,30,30"}};
    for (const auto& [name, canonical] : accepted) {
        const std::optional<DeviceName> parsed = parseHislipAlias(name);
        EXPECT_EQ(parsed ? parsed->canonical() : "nothing", canonical) << name;
    }
    // hislip0 is the default instrument, not address 0; 31-100 name no address; a secondary
    // or primary past 30, five digits, or anything but digits name nothing.
    for (const char* refused :
         {"hislip0",   "hislip00",   "hislip31",   "hislip99",    "hislip100",
          "hislip131", "hislip3031", "hislip3100", "hislip10000", "hislip",
          "",          "hislip-1",   "hislip+5",   "hislip 5",    "hislip5 ",
          "hislip5x",  "xhislip5",   "hislib5",    "gpib0,5",     "hislip\xb2"}) {
        EXPECT_FALSE(parseHislipAlias(refused)) << refused;
    }
}
