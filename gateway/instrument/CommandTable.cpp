#include "gateway/instrument/CommandTable.h"

#include "gateway/devices/DeviceName.h"
#include "gateway/instrument/ProgramParser.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

namespace gateway {

namespace {

/// Longest count a command takes, in digits.
constexpr std::size_t kMaxCountDigits = 12;

void nothing(CommandContext&) {
    // No settings to reset and nothing pending to wait for; the queues stay as they are.
}

void illegalParameter(CommandContext& c) {
    c.status.fail(scpi::kIllegalParameterValue, "Illegal parameter value", esr::kExecutionError);
}

void setEventEnable(CommandContext& c) {
    if (const auto v = registerArgument(c.args)) {
        c.status.setEventEnable(*v);
    } else {
        illegalParameter(c);
    }
}

void setServiceEnable(CommandContext& c) {
    if (const auto v = registerArgument(c.args)) {
        c.status.setServiceEnable(*v);
    } else {
        illegalParameter(c);
    }
}

void nextError(CommandContext& c) {
    c.reply.text = c.status.nextError();
}

const std::vector<CommandRow>& commonRows() {
    static const std::vector<CommandRow> rows = {
        {"*IDN?", [](CommandContext& c) { c.reply.text = c.config.idn; }},
        {"*RST", nothing},
        {"*WAI", nothing},
        {"*CLS", [](CommandContext& c) { c.status.clearStatus(); }},
        {"*ESR?",
         [](CommandContext& c) { c.reply.text = std::to_string(c.status.takeEventStatus()); }},
        {"*ESE", setEventEnable},
        {"*ESE?", [](CommandContext& c) { c.reply.text = std::to_string(c.status.eventEnable()); }},
        {"*SRE", setServiceEnable},
        {"*SRE?",
         [](CommandContext& c) { c.reply.text = std::to_string(c.status.serviceEnable()); }},
        // *STB? reports MSS in bit 6, and unlike a serial poll it clears nothing.
        {"*STB?",
         [](CommandContext& c) {
             c.reply.text =
                 std::to_string(c.status.masterSummary(c.output.hasOutput(Clock::now())));
         }},
        {"*OPC", [](CommandContext& c) { c.status.raise(esr::kOpc); }},
        {"*OPC?", [](CommandContext& c) { c.reply.text = "1"; }},
        {"*TRG", [](CommandContext& c) { ++c.settings.triggers; }},
        {"*TST?", [](CommandContext& c) { c.reply.text = "0"; }},
        {"SYST:ERR?", nextError},
        {"SYSTEM:ERROR?", nextError},
        {"SYST:ERR:NEXT?", nextError},
        {"SYSTEM:ERROR:NEXT?", nextError},
    };
    return rows;
}

} // namespace

std::span<const CommandRow> commonCommands() {
    return commonRows();
}

const CommandRow* findCommand(std::span<const CommandRow> rows, std::string_view header) {
    const auto it = std::find_if(rows.begin(), rows.end(), [&](const CommandRow& row) {
        return sameIgnoringCase(row.header, header);
    });
    return it == rows.end() ? nullptr : &*it;
}

std::optional<std::uint8_t> registerArgument(std::string_view args) {
    const std::string s(trimmed(args));
    if (s.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !(v >= -0.5 && v < 255.5)) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(v + 0.5);
}

std::optional<std::uint64_t> countArgument(std::string_view args) {
    const std::string_view s = trimmed(args);
    if (s.empty() || s.size() > kMaxCountDigits) {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    return v;
}

} // namespace gateway
