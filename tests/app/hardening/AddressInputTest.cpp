// Bad addresses in the server and instrument boxes, on the real library: server texts with
// brackets, semicolons, 1000 characters, characters inside and outside Latin-1, blanks and
// controls; instrument addresses of every odd form. Each gets a clear message or a clean
// library error, in time, and what reaches the library is exactly what was typed, and links
// only what it names. Then the same with random texts from a fixed seed.

#include "app/hardening/BadInput.h"

#include "app/links/InstrumentLink.h"

#include <QLineEdit>

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

namespace {

using namespace winhard;
namespace liberr = library::liberr;

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

} // namespace
