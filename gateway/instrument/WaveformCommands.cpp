// The waveform commands: rows of an instrument's command table (see Config.h).

#include "gateway/instrument/CommandTable.h"

namespace gateway {

namespace {

void setPoints(CommandContext& c) {
    const auto points = countArgument(c.args);
    if (!points || *points < 1 || *points > kMaxWaveformPoints) {
        c.status.fail(scpi::kDataOutOfRange, "Data out of range", esr::kExecutionError);
    } else {
        c.settings.waveformPoints = *points;
    }
}

void points(CommandContext& c) {
    c.reply.text = std::to_string(c.settings.waveformPoints);
}

void data(CommandContext& c) {
    const std::string length = std::to_string(c.settings.waveformPoints);
    c.reply.text = "#" + std::to_string(length.size()) + length;
    c.reply.waveform = c.settings.waveformPoints;
}

void acceptBlock(CommandContext& c) {
    c.settings.acceptedBytes += c.blockBytes;
}

void acceptedBytes(CommandContext& c) {
    c.reply.text = std::to_string(c.settings.acceptedBytes);
}

} // namespace

std::vector<CommandRow> waveformCommands() {
    return {{"WAV:POIN", setPoints},       {"WAVEFORM:POINTS", setPoints},
            {"WAV:POIN?", points},         {"WAVEFORM:POINTS?", points},
            {"WAV:DATA?", data},           {"WAVEFORM:DATA?", data},
            {"DATA", acceptBlock},         {"DATA:COUN?", acceptedBytes},
            {"DATA:COUNT?", acceptedBytes}};
}

} // namespace gateway
