// Read: what reaches the library, how the response is cut and shown, and the failure path.
#include "support/WindowFixture.h"

#include "app/device/ResponseRead.h"

#include <QLabel>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class ResponseReadTest : public testsupport::WindowFixture {
protected:
    void SetUp() override {
        linkInstrument(QStringLiteral("9"));
        resetRecords();
        st.MsgSentFlg = 0; // the link itself counts as traffic
    }

    /// Reads `response` with the display boxes set as given; returns the response box text.
    QString readBack(const std::string& response, bool displayAll, bool byteCount) {
        ui.ckDispAll->setChecked(displayAll);
        ui.ckByteCnt->setChecked(byteCount);
        lib.queueRead(response);
        ui.cmdRead->click();
        return ui.txtResults->text();
    }

    std::vector<std::string> operationNames() const {
        std::vector<std::string> out;
        for (const Call& c : lib.operations()) {
            out.push_back(c.entry);
        }
        return out;
    }
};

TEST_F(ResponseReadTest, HandsTheLibraryAFresh100ByteBuffer) {
    lib.queueRead(std::string(100, 'Z'));
    ui.cmdRead->click();
    ui.cmdRead->click();
    const auto reads = lib.callsTo("vb_iread");
    ASSERT_EQ(reads.size(), 2U);
    for (const Call& c : reads) {
        EXPECT_EQ(c.args[1], st.hDev);
        EXPECT_EQ(c.args[2], 100);
        EXPECT_EQ(c.text, std::string(100, ' ')); // nothing of the first response is left
    }
}

TEST_F(ResponseReadTest, CutsAtTheFirstTerminatorUnlessAllCharactersAreWanted) {
    EXPECT_EQ(readBack("12.5\r\n", false, false), QStringLiteral("12.5"));
    EXPECT_EQ(readBack("12.5\r\n", true, false), QStringLiteral("12.5\r\n"));
    // A carriage return wins over an earlier line feed.
    EXPECT_EQ(readBack("a\nb\n\rc", false, false), QStringLiteral("a\nb\n"));
    EXPECT_EQ(readBack("a\nb\n", false, false), QStringLiteral("a"));
    // A leading terminator leaves nothing.
    EXPECT_EQ(readBack("\r\nXYZ", false, false), QString());
}

TEST_F(ResponseReadTest, ShowsAWholeResponseWithoutTerminatorLessTrailingBlanks) {
    const std::string full = std::string(99, 'Q') + "R";
    EXPECT_EQ(readBack(full, false, false), QString::fromLatin1(full));
    EXPECT_EQ(readBack("OK   ", false, false), QStringLiteral("OK"));
    EXPECT_EQ(readBack("  lead", false, false), QStringLiteral("  lead"));
}

TEST_F(ResponseReadTest, ALongerResponseIsCutAtTheBufferSize) {
    const std::string longer = std::string(100, 'A') + "BBBB";
    EXPECT_EQ(readBack(longer, false, true),
              QString(100, QLatin1Char('A')) + QStringLiteral("\r\nByte count=  100"));
}

TEST_F(ResponseReadTest, ByteCountIsTheLibrarysCountNotTheShownLength) {
    EXPECT_EQ(readBack("ABC\r\n", false, true), QStringLiteral("ABC\r\nByte count=  5"));
    EXPECT_EQ(readBack("ABC\r\n", true, true), QStringLiteral("ABC\r\n\r\nByte count=  5"));
    EXPECT_EQ(readBack("\rX", false, true), QStringLiteral("\r\nByte count=  2"));
    EXPECT_EQ(readBack("", false, true), QStringLiteral("\r\nByte count=  0"));
}

TEST_F(ResponseReadTest, ShowsEveryByteNulAndHighBytesIncluded) {
    const QString shown = readBack(std::string("A\0B\xB5\xFF\n", 6), true, false);
    ASSERT_EQ(shown.size(), 6);
    EXPECT_EQ(shown.at(1), QChar(0));
    EXPECT_EQ(shown.at(3), QChar(0xB5));
    EXPECT_EQ(shown.at(4), QChar(0xFF));
    // A NUL right before the unfilled buffer is shown, not dropped with the blanks.
    EXPECT_EQ(readBack(std::string("X\0", 2), false, false), QString::fromLatin1("X\0", 2));
}

TEST_F(ResponseReadTest, DrawsTabsAndLineBreaksAsTheyAreAndPicturesOnlyForUnseenBytes) {
    const std::string bytes("1\t2\x01\x7F\x1B\0"
                            "3\r\n",
                            10);
    EXPECT_EQ(readBack(bytes, true, false), QString::fromLatin1(bytes.data(), 10));
    EXPECT_EQ(ui.txtResults->toPlainText(), QStringLiteral("1\t2\u2401\u2421\u241B\u24003\n"));
    readBack("4.5\t6.5\r\n", false, false);
    EXPECT_EQ(ui.txtResults->toPlainText(), QStringLiteral("4.5\t6.5"));
}

TEST_F(ResponseReadTest, SuccessSetsFlagsHidesErrorAndDoesNotBeep) {
    st.Sendlock = 1;
    ui.txtError->setVisible(true);
    readBack("1\n", false, false);
    EXPECT_EQ(st.Sendlock, 0);
    EXPECT_EQ(st.MsgSentFlg, 1);
    EXPECT_TRUE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 0);
}

TEST_F(ResponseReadTest, FailureKeepsTheWaitingTextAndReportsWithoutUnlocking) {
    ui.ckAutoLock->setChecked(true);
    lib.failNext("vb_iread", 15, "I/O timeout");
    ui.cmdRead->click();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iread"));
    EXPECT_EQ(resultText(), "Device Read: Waiting for device response");
    EXPECT_EQ(errorText(), "Read error\r\nI/O timeout - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.Sendlock, 0); // so the next read locks again
}

TEST_F(ResponseReadTest, NoWaitingTextWhileALoopRuns) {
    ui.txtResults->setText(QStringLiteral("before"));
    st.IDNTestFlg = 1;
    lib.failNext("vb_iread", 15, "I/O timeout");
    ui.cmdRead->click();
    EXPECT_EQ(resultText(), "before");
    EXPECT_EQ(st.MsgSentFlg, 0);
}

TEST_F(ResponseReadTest, AutoLockLocksAndUnlocksAroundEachRead) {
    ui.ckAutoLock->setChecked(true);
    lib.queueRead("1\n");
    lib.queueRead("2\n");
    ui.cmdRead->click();
    ui.cmdRead->click();
    EXPECT_THAT(operationNames(), ElementsAre("vb_ilock", "vb_iread", "vb_iunlock", "vb_ilock",
                                              "vb_iread", "vb_iunlock"));
    EXPECT_EQ(resultText(), "2"); // the unlock message is replaced by the response
}

TEST_F(ResponseReadTest, FailedUnlockIsReportedThenHiddenByTheResponse) {
    ui.ckAutoLock->setChecked(true);
    lib.failNext("vb_iunlock", 3, "device not locked");
    lib.queueRead("7\n");
    ui.cmdRead->click();
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(ui.txtError->isHidden());
    EXPECT_EQ(resultText(), "7");
}

using ResponseReadUnlinkedTest = testsupport::WindowFixture;

TEST_F(ResponseReadUnlinkedTest, WithoutInstrumentLinkRefusesAndKeepsSendlock) {
    resetRecords();
    st.Sendlock = 1;
    window->responseRead().cmdRead_Click();
    EXPECT_EQ(resultText(), "No devices linked. Select a device and create link");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_EQ(st.Sendlock, 1);
}

} // namespace
