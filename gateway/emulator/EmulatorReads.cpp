// Reads, serial polls and the listener search: the commands that wait on the bus.

#include "gateway/emulator/CommandWords.h"
#include "gateway/emulator/Emulator.h"

#include <array>
#include <string>
#include <thread>

namespace gateway::emulator {

namespace {

constexpr std::uint8_t kUnlisten = 0x3F;
constexpr std::uint8_t kUntalk = 0x5F;
constexpr std::uint8_t kListen = 0x20;
constexpr std::uint8_t kFirstSecondary = 0x60;
constexpr std::uint8_t kLastSecondary = 0x7E;
constexpr std::uint8_t kRequestService = 0x40;

/// What ends a plain AR488 read for each `++eor` (7 is END itself).
constexpr std::array<std::string_view, 7> kEndSequences = {"\r\n", "\r",   "\n",      "",
                                                           "\n\r", "\x03", "\r\n\x03"};

/// `++fndl` runs under this read_tmo_ms, and leaves it there when it fails.
constexpr int kSearchTimeoutMs = 35;
/// How long after ATN is released NDAC is looked at.
constexpr std::chrono::microseconds kSettle{1600};

} // namespace

Emulator::ReadEnd Emulator::plainReadEnd(bool eoiAsked) const {
    ReadEnd end;
    if (eoiAsked || m_settings.eoi == 1 || m_settings.eor == 7) {
        end.atEnd = true;
        return end;
    }
    end.sequence = kEndSequences[static_cast<std::size_t>(m_settings.eor)];
    if (!end.sequence.empty()) {
        end.byte = static_cast<std::uint8_t>(end.sequence.back());
    }
    return end;
}

void Emulator::read(const Words& words) {
    if (!ar488()) {
        // A plain read ends at its time-out only; `eoi` at END; a number after that byte.
        ReadEnd end;
        if (words.size() == 1 && words[0] == "eoi") {
            end.atEnd = true;
        } else if (words.size() == 1 && !isNumber(words[0])) {
            badKeyword();
            return;
        } else if (!words.empty()) {
            const auto byte = numberIn(words[0], 0, 255);
            if (!byte || words.size() > 1) {
                return;
            }
            end.byte = static_cast<std::uint8_t>(*byte);
        }
        readToHost(m_settings.target, end);
        return;
    }
    // `++read [pad [sad]] [eoi|char]`: with `eoi` last, the numbers before it address the
    // talker; without, the last number is the end byte and those before it the address.
    Words rest = words;
    const bool eoi = !rest.empty() && rest.back() == "eoi";
    if (eoi) {
        rest.pop_back();
    }
    for (const std::string_view word : rest) {
        if (!isNumber(word)) {
            badKeyword();
            return;
        }
    }
    ReadEnd end = plainReadEnd(eoi);
    if (!eoi && !rest.empty()) {
        const auto byte = numberIn(rest.back(), 0, 255);
        if (!byte) {
            return;
        }
        end.byte = static_cast<std::uint8_t>(*byte);
        end.sequence = {};
        rest.pop_back();
    }
    GpibAddress from = m_settings.target;
    if (!rest.empty()) {
        const auto pad = numberIn(rest[0], 0, 30);
        const auto sad = rest.size() == 2 ? secondary(rest[1]) : std::nullopt;
        if (!pad || *pad == m_options.ownAddress || rest.size() > 2 || (rest.size() == 2 && !sad)) {
            return;
        }
        from = {*pad, sad};
    }
    readToHost(from, end);
}

std::optional<std::uint8_t> Emulator::poll(GpibAddress device) {
    std::optional<std::uint8_t> status;
    handshake([&](net::Deadline d) {
        status = m_bus.serialPoll(device, d);
        return status.has_value();
    });
    return status;
}

void Emulator::spoll(const Words& words) {
    std::vector<GpibAddress> devices;
    if (ar488() && words.size() == 1 && words[0] == "all") {
        allSpoll({});
        return;
    }
    if (words.empty()) {
        // An AR488 polls a primary only, whatever secondary `++addr` has.
        devices.push_back(ar488() ? GpibAddress{m_settings.target.primary, {}} : m_settings.target);
    }
    for (const std::string_view word : words) {
        if (!isNumber(word)) {
            badKeyword();
            return;
        }
    }
    if (!ar488() && !words.empty()) {
        const auto pad = numberIn(words[0], 0, 30);
        const auto sad = words.size() == 2 ? secondary(words[1]) : std::nullopt;
        if (!pad || words.size() > 2 || (words.size() == 2 && !sad)) {
            return;
        }
        devices.push_back({*pad, sad});
    }
    if (ar488()) {
        for (const std::string_view word : words) {
            const auto pad = numberIn(word, 1, 30);
            if (!pad) {
                return;
            }
            devices.push_back({*pad, {}});
        }
    }
    // The first device that answers is printed; when none does, nothing at all is.
    for (const GpibAddress& device : devices) {
        if (const auto status = poll(device)) {
            reply(std::to_string(*status));
            return;
        }
    }
}

void Emulator::allSpoll(const Words& words) {
    if (!words.empty()) {
        return;
    }
    for (int primary = 0; primary <= 29; ++primary) {
        if (primary == m_options.ownAddress) {
            continue;
        }
        const auto status = poll({primary, {}});
        if (status && (*status & kRequestService) != 0) {
            reply("SRQ:" + std::to_string(primary) + "," + std::to_string(*status));
            break;
        }
    }
    reply("");
}

void Emulator::fndl(const Words& words) {
    const int saved = m_settings.readTimeoutMs;
    m_settings.readTimeoutMs = kSearchTimeoutMs;
    if (words.empty()) {
        reply("Missing parameter");
        return;
    }
    const auto primaries = searchList(words);
    if (!primaries) {
        return;
    }
    std::string found;
    for (const int primary : *primaries) {
        if (primary == m_options.ownAddress) {
            continue;
        }
        const auto here = listenersAt(primary);
        if (!here) {
            return;
        }
        if (!here->empty()) {
            found.append(found.empty() ? "" : ",").append(*here);
        }
    }
    m_settings.readTimeoutMs = saved;
    reply(found);
}

std::optional<std::vector<int>> Emulator::searchList(const Words& words) {
    std::vector<int> primaries;
    for (const std::string_view word : words) {
        const std::size_t dash = word.find('-');
        if (word == "all") {
            for (int primary = 0; primary <= 30; ++primary) {
                primaries.push_back(primary);
            }
        } else if (isNumber(word)) {
            const auto primary = numberIn(word, 0, 30);
            if (!primary) {
                return std::nullopt;
            }
            primaries.push_back(*primary);
        } else if (dash != std::string_view::npos && isNumber(word.substr(0, dash)) &&
                   isNumber(word.substr(dash + 1))) {
            const auto first = numberIn(word.substr(0, dash), 0, 30);
            const auto last = numberIn(word.substr(dash + 1), 0, 30);
            if (!first || !last) {
                return std::nullopt;
            }
            for (int primary = *first; primary <= *last; ++primary) {
                primaries.push_back(primary);
            }
        } else {
            badKeyword();
            return std::nullopt;
        }
    }
    return primaries;
}

std::optional<std::string> Emulator::listenersAt(int primary) {
    const auto listen = static_cast<std::uint8_t>(kListen + primary);
    const std::uint8_t address[] = {kUnlisten, kUntalk, listen};
    const auto heard = listenerAfter(address);
    if (!heard || *heard) {
        return heard ? std::optional<std::string>(std::to_string(primary)) : std::nullopt;
    }
    // No listener at the primary alone: is one there under any secondary?
    std::array<std::uint8_t, kLastSecondary - kFirstSecondary + 1> every{};
    for (std::size_t i = 0; i < every.size(); ++i) {
        every[i] = static_cast<std::uint8_t>(kFirstSecondary + i);
    }
    const auto extended = listenerAfter(every);
    if (!extended || !*extended) {
        return extended ? std::optional<std::string>("") : std::nullopt;
    }
    std::string found;
    for (int sad = kFirstSecondary; sad <= kLastSecondary; ++sad) {
        const std::uint8_t one[] = {kUnlisten, kUntalk, listen, static_cast<std::uint8_t>(sad)};
        const auto there = listenerAfter(one);
        if (!there) {
            return std::nullopt;
        }
        if (*there) {
            found.append(found.empty() ? "" : ",")
                .append(std::to_string(primary) + ":" + std::to_string(sad));
        }
    }
    return found;
}

std::optional<bool> Emulator::listenerAfter(std::span<const std::uint8_t> bytes) {
    if (!handshake([&](net::Deadline d) { return m_bus.command(bytes, d); })) {
        return std::nullopt;
    }
    m_bus.releaseAtn(timeLimit());
    std::this_thread::sleep_for(kSettle);
    return m_bus.notDataAccepted(timeLimit());
}

} // namespace gateway::emulator
