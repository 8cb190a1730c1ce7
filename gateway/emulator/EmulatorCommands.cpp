// The command table, the settings and the bus commands of both flavours.
//
// Replies to what the adapter does not take, as the facts of both kinds are known or chosen:
// - a command it does not know (or one only a controller has, in device mode):
//   "Unrecognized command";
// - a word that is neither a number nor a keyword the command knows: AR488
//   "Invalid parameter"; a Prologix, whose reply nobody has reported, is taken not to know a
//   command written so, "Unrecognized command" (so `++ver real` tells the two apart);
// - a number out of range, or a word where only a number goes: no reply at all, and nothing
//   changes.

#include "gateway/emulator/CommandWords.h"
#include "gateway/emulator/Emulator.h"

#include <array>
#include <string>

namespace gateway::emulator {

struct Emulator::Row {
    std::string_view name;
    bool prologix;
    bool ar488;
    bool anyMode; ///< also in device mode
    void (Emulator::*run)(const Words&);
};

struct Emulator::SettingRow {
    std::string_view name;
    int Settings::*field;
    int low;
    int prologixHigh; ///< below `low`: a Prologix does not know it
    int ar488High;
    bool anyMode;
};

namespace {

constexpr std::uint8_t kUnlisten = 0x3F;
constexpr std::uint8_t kUntalk = 0x5F;
constexpr std::size_t kMaxTriggered = 15;

} // namespace

const Emulator::Row* Emulator::findRow(std::string_view name) {
    static const std::array<Row, 20> rows = {{
        {"addr", true, true, true, &Emulator::addr},
        {"mode", true, true, true, &Emulator::mode},
        {"ver", true, true, true, &Emulator::ver},
        {"rst", true, true, true, &Emulator::rst},
        {"savecfg", true, true, true, &Emulator::savecfg},
        {"default", false, true, true, &Emulator::defaults},
        {"clr", true, true, false, &Emulator::clr},
        {"ifc", true, true, false, &Emulator::ifc},
        {"llo", true, true, false, &Emulator::llo},
        {"loc", true, true, false, &Emulator::loc},
        {"trg", true, true, false, &Emulator::trg},
        {"srq", true, true, false, &Emulator::srq},
        {"read", true, true, false, &Emulator::read},
        {"spoll", true, true, false, &Emulator::spoll},
        {"allspoll", false, true, false, &Emulator::allSpoll},
        {"fndl", false, true, false, &Emulator::fndl},
        {"ren", false, true, false, &Emulator::ren},
        {"unl", false, true, false, &Emulator::unl},
        {"unt", false, true, false, &Emulator::unt},
        {"dcl", false, true, false, &Emulator::dcl},
    }};
    for (const Row& row : rows) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

const Emulator::SettingRow* Emulator::findSetting(std::string_view name) {
    static const std::array<SettingRow, 7> rows = {{
        {"auto", &Settings::autoRead, 0, 1, 3, false},
        {"eoi", &Settings::eoi, 0, 1, 1, true},
        {"eos", &Settings::eos, 0, 3, 3, true},
        {"eot_enable", &Settings::eotEnable, 0, 1, 1, true},
        {"eot_char", &Settings::eotChar, 0, 255, 255, true},
        {"read_tmo_ms", &Settings::readTimeoutMs, 1, 3000, 32000, false},
        {"eor", &Settings::eor, 0, -1, 7, false},
    }};
    for (const SettingRow& row : rows) {
        if (row.name == name) {
            return &row;
        }
    }
    return nullptr;
}

void Emulator::command(std::string_view text) {
    if (m_options.heard) {
        m_options.heard("++" + std::string(text));
    }
    const std::size_t space = std::min(text.find(' '), text.size());
    const std::string_view name = text.substr(0, space);
    const Words words = splitWords(text.substr(space), ar488() ? " ," : " ");
    const bool controller = m_settings.controller == 1;
    if (const SettingRow* row = findSetting(name);
        row && (ar488() || row->prologixHigh >= row->low) && (controller || row->anyMode)) {
        setting(*row, words);
    } else if (const Row* command = findRow(name); command &&
                                                   (ar488() ? command->ar488 : command->prologix) &&
                                                   (controller || command->anyMode)) {
        (this->*command->run)(words);
    } else {
        reply("Unrecognized command");
    }
    if (!ar488() && m_settings.saveOnChange == 1) {
        m_saved = m_settings;
    }
}

void Emulator::setting(const SettingRow& row, const Words& words) {
    int& value = m_settings.*row.field;
    if (words.empty()) {
        reply(std::to_string(value));
        return;
    }
    const int high = ar488() ? row.ar488High : row.prologixHigh;
    if (const auto number = numberIn(words[0], row.low, high); number && words.size() == 1) {
        value = *number;
    }
}

std::optional<int> Emulator::secondary(std::string_view word) const {
    if (!ar488()) {
        const auto sad = numberIn(word, 0x60, 0x7E);
        return sad ? std::optional<int>(*sad - 0x60) : std::nullopt;
    }
    // An AR488 takes a secondary as 0-30 too: below 31 it adds 0x60 itself.
    const auto sad = numberIn(word, 0, 0x7E);
    if (sad && *sad <= 30) {
        return sad;
    }
    return sad && *sad >= 0x60 ? std::optional<int>(*sad - 0x60) : std::nullopt;
}

void Emulator::addr(const Words& words) {
    GpibAddress& target = m_settings.target;
    if (words.empty()) {
        std::string text = std::to_string(target.primary);
        if (target.secondary) {
            text.append(ar488() ? "," : " ").append(std::to_string(*target.secondary + 0x60));
        }
        reply(text);
        return;
    }
    const auto pad = numberIn(words[0], 0, 30);
    if (!pad || words.size() > 2 || (ar488() && *pad == m_options.ownAddress)) {
        return;
    }
    std::optional<int> sad;
    if (words.size() == 2 && !(sad = secondary(words[1]))) {
        return;
    }
    target = {*pad, sad};
}

void Emulator::mode(const Words& words) {
    if (words.empty()) {
        reply(std::to_string(m_settings.controller));
        return;
    }
    const auto value = numberIn(words[0], 0, 1);
    if (!value || words.size() > 1) {
        return;
    }
    const bool entering = *value == 1 && m_settings.controller == 0;
    m_settings.controller = *value;
    if (entering) {
        powerOn();
    }
}

void Emulator::clr(const Words& words) {
    if (words.empty()) {
        handshake([&](net::Deadline d) { return m_bus.clear(m_settings.target, d); });
    }
}

void Emulator::ifc(const Words& words) {
    if (words.empty()) {
        m_bus.interfaceClear(timeLimit());
    }
}

std::optional<bool> Emulator::allWord(const Words& words) {
    if (words.empty()) {
        return false;
    }
    if (ar488() && words.size() == 1 && words[0] == "all") {
        return true;
    }
    if (!isNumber(words[0])) {
        badKeyword();
    }
    return std::nullopt;
}

void Emulator::llo(const Words& words) {
    const auto all = allWord(words);
    // An AR488 leaves the bus alone unless REN is asserted.
    if (!all || (ar488() && !m_bus.remoteEnable(timeLimit()))) {
        return;
    }
    const std::optional<GpibAddress> device =
        *all ? std::nullopt : std::optional<GpibAddress>(m_settings.target);
    handshake([&](net::Deadline d) { return m_bus.localLockout(device, d); });
}

void Emulator::loc(const Words& words) {
    const auto all = allWord(words);
    if (!all || (ar488() && !m_bus.remoteEnable(timeLimit()))) {
        return;
    }
    if (*all) {
        m_bus.setRemoteEnable(false, timeLimit());
        m_bus.setRemoteEnable(true, timeLimit());
        return;
    }
    handshake([&](net::Deadline d) { return m_bus.goToLocal(m_settings.target, d); });
}

std::optional<std::vector<GpibAddress>> Emulator::triggerList(const Words& words) const {
    std::vector<GpibAddress> list;
    if (words.empty()) {
        list.push_back(m_settings.target);
        return list;
    }
    for (const std::string_view word : words) {
        // A Prologix takes a secondary after its primary; an AR488 primaries only.
        if (const auto pad = numberIn(word, ar488() ? 1 : 0, 30)) {
            list.push_back({*pad, {}});
        } else if (const auto sad = numberIn(word, 0x60, 0x7E);
                   !ar488() && sad && !list.empty() && !list.back().secondary) {
            list.back().secondary = *sad - 0x60;
        } else {
            return std::nullopt;
        }
    }
    if (list.size() > kMaxTriggered) {
        return std::nullopt;
    }
    return list;
}

void Emulator::trg(const Words& words) {
    const auto list = triggerList(words);
    if (!list) {
        return;
    }
    for (const GpibAddress& device : *list) {
        handshake([&](net::Deadline d) { return m_bus.trigger(device, d); });
    }
}

void Emulator::ren(const Words& words) {
    if (words.empty()) {
        reply(m_bus.remoteEnable(timeLimit()) ? "1" : "0");
    } else if (const auto on = numberIn(words[0], 0, 1); on && words.size() == 1) {
        m_bus.setRemoteEnable(*on == 1, timeLimit());
    }
}

void Emulator::unl(const Words& words) {
    if (words.empty() &&
        handshake([&](net::Deadline d) { return m_bus.command(std::span(&kUnlisten, 1), d); })) {
        m_bus.releaseAtn(timeLimit());
    }
}

void Emulator::unt(const Words& words) {
    if (words.empty() &&
        handshake([&](net::Deadline d) { return m_bus.command(std::span(&kUntalk, 1), d); })) {
        m_bus.releaseAtn(timeLimit());
    }
}

void Emulator::dcl(const Words& words) {
    if (words.empty()) {
        handshake([&](net::Deadline d) { return m_bus.clearAll(d); });
    }
}

void Emulator::srq(const Words& words) {
    if (words.empty()) {
        reply(m_bus.serviceRequest(timeLimit()) ? "1" : "0");
    }
}

void Emulator::ver(const Words& words) {
    if (words.empty()) {
        reply(versionText(m_options.flavour, m_options.overNetwork));
    } else if (ar488() && words.size() == 1 && words[0] == "real") {
        reply(kAr488Firmware);
    } else {
        badKeyword();
    }
}

void Emulator::rst(const Words& words) {
    if (!words.empty()) {
        return;
    }
    // The adapter restarts: saved settings back, the bus taken again, and what the host sends
    // meanwhile lost.
    m_settings = m_saved;
    m_lineFailed = false;
    m_framer.discardRest();
    m_deafUntil = std::chrono::steady_clock::now() + m_options.resetPause;
    if (m_settings.controller == 1) {
        powerOn();
    }
}

void Emulator::savecfg(const Words& words) {
    if (ar488()) {
        if (words.empty()) {
            m_saved = m_settings; // the AR488 writes its settings to EEPROM
        }
        return;
    }
    if (words.empty()) {
        reply(std::to_string(m_settings.saveOnChange));
    } else if (const auto on = numberIn(words[0], 0, 1); on && words.size() == 1) {
        // Whether to save is itself kept, whatever it says.
        m_settings.saveOnChange = *on;
        m_saved.saveOnChange = *on;
    }
}

void Emulator::defaults(const Words& words) {
    if (words.empty()) {
        m_settings = factoryDefaults(m_options.flavour);
    }
}

} // namespace gateway::emulator
