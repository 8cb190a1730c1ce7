#include "app/hardening/BadInput.h"

#include "support/LoopbackSimulator.h"

#include <cstdio>

namespace winhard {

std::unique_ptr<gateway::Simulator> startBench() {
    std::vector<gateway::InstrumentConfig> bench;
    for (const auto& [pad, sad] : std::vector<std::pair<int, std::optional<int>>>{
             {7, std::nullopt}, {9, std::nullopt}, {7, 5}}) {
        bench.push_back(testsupport::instrumentAt(pad, "Bench," + std::to_string(pad)));
        bench.back().sad = sad;
    }
    auto sim = std::make_unique<gateway::Simulator>(testsupport::onFreePorts(std::move(bench)));
    EXPECT_TRUE(testsupport::started(*sim));
    return sim;
}

std::optional<std::string> latin1(const QString& text) {
    std::string out;
    for (const QChar c : text) {
        if (c.unicode() > 0xFF) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(c.unicode()));
    }
    return out;
}

std::string printable(const QString& text) {
    std::string out;
    for (const QChar c : text.left(40)) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F) {
            out.push_back(static_cast<char>(c.unicode()));
        } else {
            char code[12];
            std::snprintf(code, sizeof code, "\\u%04x", c.unicode());
            out += code;
        }
    }
    return text.size() > 40 ? out + "...(" + std::to_string(text.size()) + ")" : out;
}

QString randomText(std::mt19937& rng, const std::vector<std::pair<Pool, int>>& weights) {
    std::vector<int> w;
    for (const auto& [pool, weight] : weights) {
        w.push_back(weight);
    }
    std::discrete_distribution<int> pick(w.begin(), w.end());
    std::uniform_int_distribution<int> percent(0, 99);
    const int length = percent(rng) < 5 ? std::uniform_int_distribution<int>(200, 1200)(rng)
                                        : std::uniform_int_distribution<int>(0, 12)(rng);
    static const std::u16string structure = u" \t[];:,.+-e?*x";
    static const std::u16string beyond = u"\u0416\u20AC\u096D\uFB01\uFF11\u0660\u0100";
    QString out;
    while (out.size() < length) {
        auto any = [&](int lo, int hi) {
            return static_cast<char16_t>(std::uniform_int_distribution<int>(lo, hi)(rng));
        };
        auto from = [&](const std::u16string& s) {
            return s[static_cast<std::size_t>(
                std::uniform_int_distribution<int>(0, static_cast<int>(s.size()) - 1)(rng))];
        };
        switch (weights[static_cast<std::size_t>(pick(rng))].first) {
        case Pool::Digits:
            out += QChar(any(u'0', u'9'));
            break;
        case Pool::Structure:
            out += QChar(from(structure));
            break;
        case Pool::Letters:
            out += QChar(any(u'a', u'z'));
            break;
        case Pool::Controls: {
            const char16_t c = any(0, 32);
            out += QChar(c == 32 ? char16_t{0x7F} : c);
            break;
        }
        case Pool::HighLatin1:
            out += QChar(any(0x80, 0xFF));
            break;
        case Pool::BeyondLatin1:
            if (percent(rng) < 20) {
                out += QChar(char16_t{0xD83D}); // a character outside the BMP
                out += QChar(char16_t{0xDE00});
            } else {
                out += QChar(from(beyond));
            }
            break;
        }
    }
    return out;
}

} // namespace winhard
