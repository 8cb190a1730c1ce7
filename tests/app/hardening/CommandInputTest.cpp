// Bad commands in the command box, on the real library: 10 000 characters, every byte, NUL
// and controls, characters outside Latin-1. Each is written byte for byte plus a line feed,
// split at the gateway's size with END on the last piece, or refused with a message before
// anything is written. Then the same with random texts from a fixed seed, and long and 8-bit
// commands on the simulator, whose instrument gets them as typed.

#include "app/hardening/BadInput.h"

#include "app/device/CommandSend.h"

#include <QLineEdit>

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

using namespace winhard;

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
