// Bad input in every box of the window, on the real library: server texts with brackets,
// semicolons, 1000 characters, characters inside and outside Latin-1, blanks and controls;
// instrument addresses of every odd form; commands of 10 000 characters, outside Latin-1, with
// NUL and controls. Each gets a clear message or a clean library error, in time, and what
// reaches the library and the gateway is exactly what was typed. Then the same with random
// texts from a fixed seed.

#include "app/hardening/WindowHardening.h"

#include "app/device/CommandSend.h"
#include "app/links/InstrumentLink.h"
#include "gateway/Simulator.h"
#include "support/LoopbackSimulator.h"

#include <QLineEdit>

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <set>

namespace {

using namespace winhard;
namespace liberr = library::liberr;

constexpr auto kClickBound = kOpenTimeOut + kMargin + kSlack;

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

/// The Latin-1 bytes of a text, or nothing when a character has no Latin-1 byte.
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

/// Device names of the links the simulator holds, the interface link left out.
std::set<std::string> deviceLinks(const gateway::Simulator& sim) {
    std::set<std::string> out;
    for (const auto& link : sim.links()) {
        if (link.device != "gpib0") {
            out.insert(link.device);
        }
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

// ---- Random texts from a fixed seed.

enum class Pool { Digits, Structure, Letters, Controls, HighLatin1, BeyondLatin1 };

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

// ---- The server box.

class ServerBox : public WindowHardening {
protected:
    void SetUp() override { sim = startBench(); }

    /// Clicks Create Link with `text` in the server box and checks what holds for any text:
    /// in time, the text kept, the address handed to the library made of exactly the typed
    /// bytes, and no name looked up that was not typed. Returns whether the link came up.
    bool linkWith(const QString& text) {
        SCOPED_TRACE(printable(text));
        ui().combSrvrs->setEditText(text);
        const std::size_t opensBefore = lib.opened.size();
        const auto took = timedClick(ui().cmdLink);
        EXPECT_LT(took, kClickBound);
        EXPECT_EQ(ui().combSrvrs->currentText(), text);
        const auto bytes = latin1(text);
        if (bytes) {
            EXPECT_EQ(lib.opened.size(), opensBefore + 1);
            if (lib.opened.size() == opensBefore + 1) {
                EXPECT_EQ(lib.opened.back(), "lan;vxi-11[" + *bytes + "]:gpib");
            }
            for (const std::string& name : names->take()) {
                EXPECT_NE(bytes->find(name), std::string::npos) << "looked up " << name;
            }
        } else {
            EXPECT_EQ(lib.opened.size(), opensBefore) << "a text outside Latin-1 was sent";
        }
        if (st().hIntf == 0) {
            const std::string shown = error();
            EXPECT_EQ(shown.rfind("Create interface link error\r\n", 0), 0u) << shown;
            EXPECT_TRUE(shown.size() > 37 && shown.substr(shown.size() - 8) == " - Retry") << shown;
            EXPECT_TRUE(sim->links().empty()) << "a refused text left a link behind";
        }
        return st().hIntf != 0;
    }

    std::unique_ptr<gateway::Simulator> sim;
};

TEST_F(ServerBox, OddServerTextsAreRefusedByTheLibraryOrLinkAsTyped) {
    const QString port = QString::number(sim->portmapperPort());
    struct Row {
        QString text;
        int expected; ///< 0: links
    };
    const std::vector<Row> rows = {
        {QStringLiteral("[127.0.0.1:%1]").arg(port), liberr::kBadAddressSyntax},
        // Text that tries to close the host part and name an instrument must not link it.
        {QStringLiteral("127.0.0.1:%1]:gpib,9[").arg(port), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:%1]:gpib0").arg(port), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:%1;lan").arg(port), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:%1,9").arg(port), liberr::kBadAddressSyntax},
        {QStringLiteral("gw;lan;vxi-11"), liberr::kBadAddressSyntax},
        {QString(1000, QLatin1Char('a')), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:0"), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:99999"), liberr::kBadAddressSyntax},
        {QStringLiteral("127.0.0.1:"), liberr::kBadAddressSyntax},
        {QStringLiteral(" "), liberr::kBadAddressSyntax},
        {QStringLiteral("a\r\nb"), liberr::kBadAddressSyntax},
        {QString::fromUtf16(u"a\0b", 3), liberr::kBadAddressSyntax},
        {QStringLiteral("gat\u00E9"), liberr::kHostNotFound},
        {QStringLiteral("\u00E9"), liberr::kHostNotFound},
        {QStringLiteral("\t127.0.0.1:%1 ").arg(port), 0},
        {QStringLiteral("localhost:%1").arg(port), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(printable(row.text));
        const bool linked = linkWith(row.text);
        if (row.expected == 0) {
            EXPECT_TRUE(linked) << error();
            EXPECT_EQ(sim->links().size(), 1u);
            EXPECT_EQ(results(), "Link created to server " + row.text.toStdString());
        } else {
            EXPECT_FALSE(linked);
            EXPECT_TRUE(isReport(error(), "Create interface link error", row.expected));
        }
    }
}

TEST_F(ServerBox, ServerTextOutsideLatin1IsRefusedBeforeTheLibrary) {
    for (const QString& text :
         {QStringLiteral("gateway\u0416"), QStringLiteral("\u20AC"),
          QStringLiteral("127.0.0.1\uFF1A111"), QString::fromUtf16(u"gw\xD83D\xDE00", 4)}) {
        EXPECT_FALSE(linkWith(text));
        EXPECT_EQ(error(), "Create interface link error\r\n"
                           "the server name holds characters that cannot be sent - Retry");
    }
    // The box is still usable: the same window links as soon as the text is right.
    EXPECT_TRUE(linkWith(QStringLiteral("127.0.0.1:%1").arg(sim->portmapperPort())));
}

TEST_F(ServerBox, RandomServerTextsNeverCrashAndSendOnlyWhatWasTyped) {
    std::mt19937 rng(20240611);
    const std::vector<std::pair<Pool, int>> weights = {
        {Pool::Digits, 6},   {Pool::Structure, 5},  {Pool::Letters, 4},
        {Pool::Controls, 1}, {Pool::HighLatin1, 1}, {Pool::BeyondLatin1, 1}};
    int linked = 0;
    for (int i = 0; i < 150; ++i) {
        QString text = randomText(rng, weights);
        if (text.isEmpty()) {
            continue; // the default gateway: not this test's subject
        }
        // A dotted address off this machine would be connected to; keep traffic on loopback.
        const QString host = text.section(QLatin1Char(']'), 0, 0).section(QLatin1Char(':'), 0, 0);
        in_addr addr{};
        if (::inet_pton(AF_INET, host.trimmed().toLatin1().constData(), &addr) == 1 &&
            (ntohl(addr.s_addr) >> 24) != 127) {
            text.prepend(QLatin1Char('x'));
        }
        linked += linkWith(text) ? 1 : 0;
    }
    std::printf("figure: 150 random server texts, %d linked\n", linked);
}

// ---- The instrument box.

class InstrumentBox : public WindowHardening {
protected:
    void SetUp() override {
        sim = startBench();
        server = QStringLiteral("127.0.0.1:%1").arg(sim->portmapperPort());
        ASSERT_NO_FATAL_FAILURE(linkServer(server));
    }

    /// Clicks Select Inst and Link with `text` in the instrument box; checks the time and that
    /// both boxes keep their text.
    void linkWith(const QString& text) {
        ui().combInst->setEditText(text);
        ui().cmdLinki->setEnabled(true);
        const auto took = timedClick(ui().cmdLinki);
        EXPECT_LT(took, kClickBound);
        EXPECT_EQ(ui().combInst->currentText(), text);
        EXPECT_EQ(ui().combSrvrs->currentText(), server);
    }

    std::unique_ptr<gateway::Simulator> sim;
    QString server;
};

TEST_F(InstrumentBox, OddAddressesGetAMessageALibraryErrorOrTheInstrumentTyped) {
    const std::string notANumber = InstrumentLink::kNotANumber;
    const std::string lengthRefused = InstrumentLink::kLengthRefused;
    struct Row {
        QString text;
        std::string device; ///< the link expected, or empty
        int error = 0;      ///< the library error expected, or 0
        std::string notice; ///< the message expected, or empty
    };
    auto links = [](QString t, std::string device) { return Row{std::move(t), device, 0, {}}; };
    auto failed = [](QString t, int error) { return Row{std::move(t), {}, error, {}}; };
    auto refused = [](QString t, std::string why) { return Row{std::move(t), {}, 0, why}; };
    const std::vector<Row> rows = {
        links(QStringLiteral("7"), "gpib0,7"),
        links(QStringLiteral(" 7 "), "gpib0,7"),
        links(QStringLiteral("07"), "gpib0,7"),
        links(QStringLiteral("+7"), "gpib0,7"),
        links(QStringLiteral("\t9"), "gpib0,9"),
        links(QStringLiteral("705"), "gpib0,7,5"),
        links(QStringLiteral("0705"), "gpib0,7,5"),
        failed(QStringLiteral("-1"), liberr::kBadAddressSyntax),
        failed(QStringLiteral("50"), liberr::kAddressOutOfRange),
        failed(QStringLiteral("100"), liberr::kAddressOutOfRange),
        failed(QStringLiteral("131"), liberr::kAddressOutOfRange),
        failed(QStringLiteral("3031"), liberr::kAddressOutOfRange),
        failed(QStringLiteral("99999"), liberr::kAddressOutOfRange),
        failed(QStringLiteral("7.5"), liberr::kBadAddressSyntax),
        failed(QStringLiteral("1000000000000"), liberr::kBadAddressSyntax),
        failed(QStringLiteral("99999999999999999999"), liberr::kBadAddressSyntax),
        refused(QStringLiteral("150.5"), lengthRefused),
        refused(QStringLiteral("705.0"), lengthRefused),
        failed(QStringLiteral("07050"), liberr::kAddressOutOfRange),
        refused(QStringLiteral("1e3"), notANumber),
        refused(QStringLiteral("0x7"), notANumber),
        refused(QStringLiteral("\u096D"), notANumber), // a Devanagari seven
        refused(QStringLiteral("\uFF17"), notANumber), // a full-width seven
        refused(QStringLiteral("7,5"), notANumber),
        refused(QStringLiteral("7;9"), notANumber),
        refused(QStringLiteral("7\n"), notANumber),
        refused(QStringLiteral("\n7"), notANumber),
        refused(QStringLiteral("7\u00A0"), notANumber),
        refused(QString::fromUtf16(u"7\0", 2), notANumber),
        refused(QStringLiteral(""), notANumber),
        refused(QStringLiteral("   "), notANumber),
        refused(QString(1000, QLatin1Char('9')), notANumber),
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(printable(row.text));
        const std::size_t opensBefore = lib.opened.size();
        linkWith(row.text);
        EXPECT_EQ(deviceLinks(*sim),
                  row.device.empty() ? std::set<std::string>{} : std::set<std::string>{row.device});
        if (!row.device.empty()) {
            EXPECT_NE(st().hDev, 0);
            EXPECT_EQ(error(), "");
        } else if (row.error != 0) {
            EXPECT_EQ(st().hDev, 0);
            EXPECT_TRUE(isReport(error(), "Create device link error", row.error));
        } else {
            EXPECT_EQ(st().hDev, 0);
            EXPECT_EQ(error(), row.notice);
            EXPECT_EQ(lib.opened.size(), opensBefore) << "a refused address reached the library";
        }
    }
}

/// The instrument a typed address names, worked out apart from the window: blanks around an
/// optional sign and a decimal number whose value is whole; 0-30 is a primary address, 101-3030
/// a primary and secondary address (each 0-30).
std::optional<std::string> namedDevice(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'))) {
        return std::nullopt;
    }
    for (const QChar c : t) {
        if (!(c.unicode() < 0x80 && (c.isDigit() || c == QLatin1Char('+') ||
                                     c == QLatin1Char('-') || c == QLatin1Char('.')))) {
            return std::nullopt;
        }
    }
    const std::string s = t.toStdString();
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v) || v != std::trunc(v)) {
        return std::nullopt;
    }
    const long n = std::lround(v);
    if (n >= 0 && n <= 30) {
        return "gpib0," + std::to_string(n);
    }
    if (n >= 101 && n <= 3030 && n % 100 <= 30) {
        return "gpib0," + std::to_string(n / 100) + "," + std::to_string(n % 100);
    }
    return std::nullopt;
}

TEST_F(InstrumentBox, RandomAddressesNeverCrashAndLinkOnlyTheInstrumentTyped) {
    std::mt19937 rng(7705);
    const std::vector<std::pair<Pool, int>> weights = {
        {Pool::Digits, 12},  {Pool::Structure, 3},  {Pool::Letters, 1},
        {Pool::Controls, 1}, {Pool::HighLatin1, 1}, {Pool::BeyondLatin1, 1}};
    int linked = 0;
    for (int i = 0; i < 300; ++i) {
        const QString text = randomText(rng, weights);
        SCOPED_TRACE(printable(text));
        linkWith(text);
        const auto links = deviceLinks(*sim);
        if (st().hDev != 0) {
            ++linked;
            const auto named = namedDevice(text);
            ASSERT_TRUE(named) << "linked an instrument for a text that names none";
            EXPECT_EQ(links, std::set<std::string>{*named});
        } else {
            EXPECT_TRUE(links.empty());
            EXPECT_FALSE(error().empty());
        }
    }
    std::printf("figure: 300 random instrument texts, %d linked\n", linked);
}

// ---- The command box.

class CommandBox : public WindowHardening {
protected:
    static constexpr std::uint32_t kMaxRecv = 1024; ///< the gateway's largest write

    CommandBox()
        : writes(std::make_shared<std::vector<WriteRecord>>()),
          writesMutex(std::make_shared<std::mutex>()),
          gw(windowGateway({}, writes, writesMutex), kMaxRecv) {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(linkServer(QStringLiteral("127.0.0.1:%1").arg(gw.port())));
        ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
        ui().ckAutoQuery->setChecked(false); // the fake gateway has no answers to read
    }

    std::vector<WriteRecord> takeWrites() {
        std::lock_guard lock(*writesMutex);
        return std::exchange(*writes, {});
    }

    /// Sends `text` and checks that the gateway got exactly its bytes and a line feed, split
    /// at the gateway's size with END on the last piece only, or, for a text outside Latin-1,
    /// that nothing was written and the user was told why.
    void sendAndCheck(const QString& text) {
        SCOPED_TRACE(printable(text));
        takeWrites();
        ui().combCmd->setEditText(text);
        beeps.count = 0;
        const auto took = timedClick(ui().cmdSend);
        EXPECT_LT(took, kClickBound);
        EXPECT_EQ(ui().combCmd->currentText(), text);
        const auto pieces = takeWrites();
        const auto bytes = latin1(text);
        if (text.isEmpty()) {
            EXPECT_TRUE(pieces.empty());
            EXPECT_EQ(results(), "Device command box empty, nothing sent to the device");
            EXPECT_EQ(beeps.count, 1);
            return;
        }
        if (!bytes) {
            EXPECT_TRUE(pieces.empty()) << "a command outside Latin-1 was written";
            EXPECT_EQ(results(), CommandSend::notLatin1Message().toStdString());
            EXPECT_EQ(beeps.count, 1);
            return;
        }
        std::string received;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            received += pieces[i].data;
            EXPECT_EQ(pieces[i].end, i + 1 == pieces.size()) << "piece " << i;
            EXPECT_LE(pieces[i].data.size(), kMaxRecv);
        }
        const std::string expected = *bytes + "\n";
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "the bytes written differ from the bytes typed";
        EXPECT_EQ(error(), "");
        EXPECT_TRUE(ui().txtResults->text() == QStringLiteral("Send String => ") + text + "\n")
            << results();
        EXPECT_EQ(beeps.count, 0);
    }

    std::shared_ptr<std::vector<WriteRecord>> writes;
    std::shared_ptr<std::mutex> writesMutex;
    testsupport::FakeGateway gw;
};

TEST_F(CommandBox, LongControlAndEightBitCommandsReachTheGatewayByteForByte) {
    QString letters;
    QString everyByte;
    for (int i = 0; i < 10000; ++i) {
        letters += QChar(static_cast<char16_t>(u'A' + i % 26));
        everyByte += QChar(static_cast<char16_t>(i % 256)); // NUL, CR, LF and '?' included
    }
    for (const QString& text :
         {letters, everyByte, QStringLiteral("\u00E9"), QStringLiteral("\u00FF\u0080"),
          QString::fromUtf16(u"\0", 1), QString::fromUtf16(u"a\0b", 3),
          QStringLiteral("\x01\x02\x1b[0m"), QStringLiteral("line1\r\nline2"),
          QStringLiteral("   "), QStringLiteral("*IDN?;*RST;:SYST:ERR?")}) {
        sendAndCheck(text);
    }
}

TEST_F(CommandBox, CommandsOutsideLatin1AreRefusedAndNothingIsWritten) {
    for (const QString& text :
         {QStringLiteral("\u03A9"), QStringLiteral("\u20AC"), QStringLiteral("*IDN?\u0100"),
          QString::fromUtf16(u"\xD83D\xDE00", 2), QString(10000, QLatin1Char('x')) + u'\u0416'}) {
        sendAndCheck(text);
    }
    // A good command right after is sent as usual.
    sendAndCheck(QStringLiteral("*CLS"));
}

TEST_F(CommandBox, RandomCommandsNeverCrashAndWriteOnlyWhatWasTyped) {
    std::mt19937 rng(1000003);
    const std::vector<std::pair<Pool, int>> weights = {
        {Pool::Digits, 3},   {Pool::Structure, 3},  {Pool::Letters, 6},
        {Pool::Controls, 2}, {Pool::HighLatin1, 2}, {Pool::BeyondLatin1, 1}};
    for (int i = 0; i < 300; ++i) {
        sendAndCheck(randomText(rng, weights));
    }
}

// ---- The command box on the simulator: the instrument gets the message as typed.

class CommandBoxOnSimulator : public WindowHardening {
protected:
    void SetUp() override {
        sim = startBench();
        ASSERT_NO_FATAL_FAILURE(
            linkServer(QStringLiteral("127.0.0.1:%1").arg(sim->portmapperPort())));
        ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
        ui().ckAutoQuery->setChecked(false);
    }
    std::unique_ptr<gateway::Simulator> sim;
};

TEST_F(CommandBoxOnSimulator, LongAndEightBitCommandsArriveAsTyped) {
    QString longCommand;
    for (int i = 0; i < 10000; ++i) {
        longCommand += QChar(static_cast<char16_t>(0x20 + i % 0x5F));
    }
    for (const QString& text : {longCommand, QStringLiteral("SYST:DISP \"caf\u00E9 \u00B0C\"")}) {
        ui().combCmd->setEditText(text);
        ui().cmdSend->click();
        const auto meter = sim->instrument(9);
        ASSERT_TRUE(meter);
        EXPECT_TRUE(meter->lastCommand == *latin1(text)) << printable(text);
        EXPECT_EQ(meter->inputQueue, "");
    }
}

} // namespace
