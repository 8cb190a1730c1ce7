#include "gateway/adapter/PlusPlusCodec.h"

#include <algorithm>

namespace gateway::adapter {

namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;
constexpr std::uint8_t kPlus = '+';
constexpr int kSecondaryBase = 96;

void appendText(std::string_view text, std::vector<std::uint8_t>& out) {
    out.insert(out.end(), text.begin(), text.end());
}

std::string addressText(const GpibAddress& address) {
    std::string text = std::to_string(address.primary);
    if (address.secondary) {
        text += ' ' + std::to_string(*address.secondary + kSecondaryBase);
    }
    return text;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

const char* flavourName(Flavour flavour) {
    switch (flavour) {
    case Flavour::Prologix:
        return "prologix";
    case Flavour::Ar488:
        return "ar488";
    case Flavour::Auto:
        break;
    }
    return "auto";
}

std::optional<Flavour> parseFlavour(std::string_view name) {
    for (Flavour f : {Flavour::Auto, Flavour::Prologix, Flavour::Ar488}) {
        if (name == flavourName(f)) {
            return f;
        }
    }
    return std::nullopt;
}

bool isValid(const GpibAddress& address) {
    return address.primary <= 30 && (!address.secondary || *address.secondary <= 30);
}

void appendEscaped(std::span<const std::uint8_t> data, std::vector<std::uint8_t>& out) {
    for (std::uint8_t b : data) {
        if (b == kCr || b == kLf || b == kEsc || b == kPlus) {
            out.push_back(kEsc);
        }
        out.push_back(b);
    }
}

EncodedWrite encodeWrite(std::span<const std::uint8_t> data, bool end, std::size_t maxLine,
                         std::optional<bool> eoiNow) {
    EncodedWrite encoded;
    maxLine = std::max<std::size_t>(maxLine, 1);
    // Room for the whole text at once: reserved line by line, a long message cut into short
    // lines would be copied again for every line.
    const std::size_t lines = (data.size() + maxLine - 1) / maxLine;
    encoded.text.reserve(data.size() + data.size() / 8 + lines + 2 * sizeof("++eoi 0\n"));
    encoded.lineEnds.reserve(lines);
    encoded.dataEnds.reserve(lines);
    std::optional<bool> eoi = eoiNow;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t length = std::min(maxLine, data.size() - at);
        const bool last = at + length == data.size();
        const bool wanted = end && last;
        if (eoi != wanted) {
            appendText(wanted ? "++eoi 1\n" : "++eoi 0\n", encoded.text);
            eoi = wanted;
        }
        appendEscaped(data.subspan(at, length), encoded.text);
        encoded.text.push_back(kLf);
        at += length;
        encoded.lineEnds.push_back(encoded.text.size());
        encoded.dataEnds.push_back(at);
    }
    encoded.eoiAfter = eoi.value_or(true);
    return encoded;
}

std::string addressCommand(const GpibAddress& address) {
    return "++addr " + addressText(address) + "\n";
}

std::string serialPollCommand(const GpibAddress& address) {
    return "++spoll " + addressText(address) + "\n";
}

std::size_t LineSplitter::feed(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (b == kLf) {
            if (!m_line.empty() && m_line.back() == static_cast<char>(kCr) && !m_cut) {
                m_line.pop_back();
            }
            m_complete = true;
            return i + 1;
        }
        if (m_line.size() < kMaxReplyLine) {
            m_line.push_back(static_cast<char>(b));
        } else {
            m_cut = true;
        }
    }
    return bytes.size();
}

std::optional<std::string> LineSplitter::take() {
    if (!m_complete) {
        return std::nullopt;
    }
    std::string line = std::move(m_line);
    if (m_cut && !line.empty() && line.back() == static_cast<char>(kCr)) {
        line.pop_back();
    }
    m_overlong = m_cut;
    m_line.clear();
    m_complete = false;
    m_cut = false;
    return line;
}

void LineSplitter::reset() {
    m_line.clear();
    m_complete = false;
    m_cut = false;
    m_overlong = false;
}

Flavour flavourOfVersion(std::string_view line) {
    if (startsWith(line, "Prologix GPIB")) {
        return Flavour::Prologix;
    }
    if (startsWith(line, "AR488 GPIB")) {
        return Flavour::Ar488;
    }
    return Flavour::Auto;
}

std::optional<int> parseSmallNumber(std::string_view line, int max) {
    if (line.empty() || line.size() > 3) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : line) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

ErrorLine errorLineOf(std::string_view line) {
    struct Row {
        std::string_view text;
        ErrorLine error;
    };
    static constexpr Row kRows[] = {
        {"Unrecognized command", ErrorLine::Unrecognized},
        {"Missing parameter", ErrorLine::MissingParameter},
        {"Invalid parameter", ErrorLine::InvalidParameter},
        {"Transmit failed!", ErrorLine::TransmitFailed},
    };
    for (const Row& row : kRows) {
        if (line == row.text) {
            return row.error;
        }
    }
    return ErrorLine::None;
}

std::optional<std::vector<GpibAddress>> parseListeners(std::string_view line) {
    std::vector<GpibAddress> found;
    while (!line.empty()) {
        const std::size_t comma = line.find(',');
        const std::string_view entry = line.substr(0, comma);
        const std::size_t colon = entry.find(':');
        const auto primary = parseSmallNumber(entry.substr(0, colon), 30);
        if (!primary) {
            return std::nullopt;
        }
        GpibAddress address{static_cast<std::uint8_t>(*primary), std::nullopt};
        if (colon != std::string_view::npos) {
            const auto sad = parseSmallNumber(entry.substr(colon + 1), kSecondaryBase + 30);
            if (!sad || *sad < kSecondaryBase) {
                return std::nullopt;
            }
            address.secondary = static_cast<std::uint8_t>(*sad - kSecondaryBase);
        }
        found.push_back(address);
        if (comma == std::string_view::npos) {
            break;
        }
        line.remove_prefix(comma + 1);
        if (line.empty()) {
            return std::nullopt; // a trailing comma
        }
    }
    return found;
}

} // namespace gateway::adapter
