// Select Inst and Link: the address forms, the device address sent to the library, the message
// shown, the time-out re-applied, and the refusals and failures.
#include "app/links/InstrumentLink.h"
#include "support/WindowFixture.h"

#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gmock/gmock.h>

#include <cctype>
#include <string>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class InstrumentLink : public testsupport::WindowFixture {
protected:
    /// Types `address` into the instrument box and clicks Select Inst and Link.
    void linkTo(const QString& address) {
        ui.combInst->setEditText(address);
        ui.cmdLinki->setEnabled(true);
        resetRecords();
        ui.cmdLinki->click();
    }
};

struct AddressCase {
    const char* typed;
    const char* sent; ///< device address handed to iopen; null when nothing is opened
    int pad;          ///< pad and sad after the link (the previous link left 7 and 5)
    int sad;
    const char* message; ///< response box text, or the error notice when nothing is opened
};

class InstrumentAddressForms : public InstrumentLink,
                               public ::testing::WithParamInterface<AddressCase> {};

TEST_P(InstrumentAddressForms, SendsTheNumberAfterABlankAndDerivesPadAndSad) {
    const AddressCase& c = GetParam();
    linkInstrument(QStringLiteral("705")); // pad 7, sad 5 before the case
    ui.txtResults->setText(QStringLiteral("before"));

    linkTo(QString::fromLatin1(c.typed));

    EXPECT_EQ(st.Device, QString::fromLatin1(c.typed));
    EXPECT_EQ(st.pad, c.pad);
    EXPECT_EQ(st.sad, c.sad);
    if (c.sent != nullptr) {
        EXPECT_THAT(lib.callsTo("vb_iopen"), ElementsAre(Call{"vb_iopen", {}, c.sent}));
        EXPECT_EQ(st.linkAddr.toStdString(), c.sent);
        EXPECT_NE(st.hDev, 0);
        EXPECT_EQ(resultText(), c.message);
        EXPECT_TRUE(ui.txtError->isHidden());
    } else {
        EXPECT_TRUE(lib.callsTo("vb_iopen").empty());
        EXPECT_EQ(st.hDev, 0);
        EXPECT_EQ(errorText(), c.message);
        EXPECT_FALSE(ui.txtError->isHidden());
        EXPECT_EQ(resultText(), "before");
        EXPECT_EQ(beeps.count, 0);
        // The old session was closed; the device controls stay disabled.
        EXPECT_EQ(lib.callsTo("vb_iclose").size(), 1u);
        EXPECT_FALSE(ui.cmdSend->isEnabled());
        EXPECT_FALSE(ui.ckLF->isEnabled());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, InstrumentAddressForms,
    ::testing::Values(
        AddressCase{"7", "lan;vxi-11[gw]:gpib, 7", 7, 0, "Link created to instrument at gw, 7, 0"},
        AddressCase{"07", "lan;vxi-11[gw]:gpib, 7", 7, 0, "Link created to instrument at gw, 7, 0"},
        AddressCase{"0", "lan;vxi-11[gw]:gpib, 0", 0, 0, "Link created to instrument at gw, 0, 0"},
        AddressCase{"30", "lan;vxi-11[gw]:gpib, 30", 30, 0,
                    "Link created to instrument at gw, 30, 0"},
        AddressCase{"705", "lan;vxi-11[gw]:gpib, 705", 7, 5,
                    "Link created to instrument at gw, 7, 5"},
        AddressCase{"1205", "lan;vxi-11[gw]:gpib, 1205", 12, 5,
                    "Link created to instrument at gw, 12, 5"},
        AddressCase{"3030", "lan;vxi-11[gw]:gpib, 3030", 30, 30,
                    "Link created to instrument at gw, 30, 30"},
        AddressCase{"12345", "lan;vxi-11[gw]:gpib, 12345", 7, 5,
                    "Link created to instrument at gw, 7, 5"},
        AddressCase{"100", "lan;vxi-11[gw]:gpib, 100", 7, 5,
                    "Link created to instrument at gw, 7, 5"},
        AddressCase{"50", "lan;vxi-11[gw]:gpib, 50", 7, 5,
                    "Link created to instrument at gw, 7, 5"},
        AddressCase{"-3", "lan;vxi-11[gw]:gpib,-3", 7, 5, "Link created to instrument at gw, 7, 5"},
        AddressCase{"150.5", nullptr, 7, 5, "Length of address is out of range, reenter"},
        AddressCase{"101.5", nullptr, 7, 5, "Length of address is out of range, reenter"},
        AddressCase{"", nullptr, 7, 5, "Address is not a number, reenter"},
        AddressCase{"abc", nullptr, 7, 5, "Address is not a number, reenter"},
        AddressCase{"7x", nullptr, 7, 5, "Address is not a number, reenter"},
        AddressCase{"\u0667", nullptr, 7, 5, "Address is not a number, reenter"}),
    [](const ::testing::TestParamInfo<AddressCase>& caseInfo) {
        // A readable, stable name: the typed text with anything but letters and digits as _.
        std::string name = "n" + std::to_string(caseInfo.index) + "_";
        for (const char* ch = caseInfo.param.typed; *ch != '\0'; ++ch) {
            const unsigned char c = static_cast<unsigned char>(*ch);
            name += std::isalnum(c) != 0 && c < 0x80 ? static_cast<char>(c) : '_';
        }
        return name;
    });

TEST_F(InstrumentLink, UsesTheServerBoxForTheAddressAndTheLinkedNameForTheMessage) {
    linkServer(QStringLiteral("gw"));
    ui.combSrvrs->setEditText(QStringLiteral("other"));
    linkTo(QStringLiteral("9"));
    EXPECT_THAT(lib.callsTo("vb_iopen"),
                ElementsAre(Call{"vb_iopen", {}, "lan;vxi-11[other]:gpib, 9"}));
    EXPECT_EQ(resultText(), "Link created to instrument at gw, 9, 0");
}

TEST_F(InstrumentLink, ServerBoxOutsideLatin1IsRefusedWithoutALibraryCall) {
    linkServer();
    ui.combSrvrs->setEditText(QStringLiteral("gw\u2013lab"));
    linkTo(QStringLiteral("9"));
    EXPECT_TRUE(lib.callsTo("vb_iopen").empty());
    EXPECT_EQ(errorText(), "Create device link error\r\nthe server name holds characters that "
                           "cannot be sent - Retry");
    EXPECT_EQ(beeps.count, 1);
}

TEST_F(InstrumentLink, SuccessEnablesTheDeviceControlsAndResetsTheBoxes) {
    linkServer();
    ui.cmdIDNtstoff->setEnabled(true);
    linkTo(QStringLiteral("7"));

    for (QWidget* w : std::initializer_list<QWidget*>{
             ui.cmdSend, ui.cmdRead, ui.cmdIDNtst, ui.cmdCmdtst, ui.cmdLock, ui.cmdUnlock,
             ui.cmdSDC, ui.cmdDT, ui.cmdSpoll, ui.ckCR, ui.ckLF, ui.ckAutoLock, ui.ckAutoQuery,
             ui.ckByteCnt}) {
        EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
    }
    EXPECT_FALSE(ui.cmdIDNtstoff->isEnabled());
    EXPECT_FALSE(ui.cmdCmdtstoff->isEnabled());
    EXPECT_FALSE(ui.ckCR->isChecked());
    EXPECT_TRUE(ui.ckLF->isChecked());
    EXPECT_FALSE(ui.ckAutoLock->isChecked());
    EXPECT_EQ(st.MsgSentFlg, 1);
}

TEST_F(InstrumentLink, ReappliesTheSelectedTimeOutToBothSessions) {
    linkServer(); // selects "3 Sec"
    linkTo(QStringLiteral("7"));
    EXPECT_THAT(lib.callsTo("vb_itimeout"), ElementsAre(Call{"vb_itimeout", {st.hIntf, 3000}, {}},
                                                        Call{"vb_itimeout", {st.hDev, 3000}, {}}));

    ui.optTimeout[0]->click();
    linkTo(QStringLiteral("7"));
    EXPECT_THAT(lib.callsTo("vb_itimeout"), ElementsAre(Call{"vb_itimeout", {st.hIntf, 1000}, {}},
                                                        Call{"vb_itimeout", {st.hDev, 1000}, {}}));
}

TEST_F(InstrumentLink, WithNoneSelectedTheNewSessionKeepsTheLibraryTimeOut) {
    linkServer();
    ui.optTimeout[3]->click();
    linkTo(QStringLiteral("7"));
    EXPECT_NE(st.hDev, 0);
    EXPECT_TRUE(lib.callsTo("vb_itimeout").empty());
}

TEST_F(InstrumentLink, FailingOpenReportsAndKeepsTheDeviceControlsDisabled) {
    linkServer();
    lib.failNext("vb_iopen", 21, "invalid address");
    linkTo(QStringLiteral("50"));

    EXPECT_EQ(errorText(), "Create device link error\r\ninvalid address - Retry");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(st.hDev, 0);
    EXPECT_FALSE(ui.cmdSend->isEnabled());
    EXPECT_FALSE(ui.ckLF->isEnabled());
    EXPECT_TRUE(lib.callsTo("vb_itimeout").empty());
}

TEST_F(InstrumentLink, FailingTimeOutFailsTheLinkButKeepsTheNewSession) {
    linkServer();
    lib.failNext("vb_itimeout", 4, "bad session");
    // The interface session is set first; fail the second call, the device session's.
    lib.onCall = [this](const Call& c) {
        if (c.entry == "vb_itimeout" && c.args[0] == st.hIntf) {
            lib.clearFailures();
            lib.failNext("vb_itimeout", 4, "bad session");
        }
    };
    linkTo(QStringLiteral("7"));

    EXPECT_EQ(errorText(), "Create device link error\r\nbad session - Retry");
    EXPECT_NE(st.hDev, 0);
    EXPECT_TRUE(ui.cmdSend->isEnabled());
    EXPECT_TRUE(ui.ckLF->isEnabled());
    EXPECT_EQ(st.MsgSentFlg, 1) << "set by the server link; the failed link leaves it";
}

TEST_F(InstrumentLink, LinkingAgainClosesTheOldSessionFirstAndHidesTheLock) {
    linkInstrument(QStringLiteral("7"));
    const auto oldDev = st.hDev;
    ui.lbliLock->setVisible(true);
    linkTo(QStringLiteral("7"));

    const auto ops = lib.operations();
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(lib.callsTo("vb_iclose").front(), (Call{"vb_iclose", {oldDev}, {}}));
    EXPECT_LT(std::find(ops.begin(), ops.end(), Call{"vb_iclose", {oldDev}, {}}) - ops.begin(),
              std::find_if(ops.begin(), ops.end(), [](const Call& c) {
                  return c.entry == "vb_iopen";
              }) - ops.begin());
    EXPECT_NE(st.hDev, oldDev);
    EXPECT_TRUE(ui.lbliLock->isHidden());
}

TEST_F(InstrumentLink, FailingCloseOfTheOldSessionIsReportedAndTheLinkGoesOn) {
    linkInstrument(QStringLiteral("7"));
    const auto oldDev = st.hDev;
    lib.failNext("vb_iclose", 5, "link lost");
    linkTo(QStringLiteral("9"));

    EXPECT_NE(st.hDev, 0);
    EXPECT_NE(st.hDev, oldDev);
    EXPECT_EQ(errorText(), "Close device link error\r\nlink lost - Retry");
    EXPECT_EQ(resultText(), "Link created to instrument at gw, 9, 0");
}

TEST_F(InstrumentLink, TypingOrPickingAnAddressEnablesTheLinkButton) {
    linkServer();
    ASSERT_FALSE(ui.cmdLinki->isEnabled());
    QTest::keyClicks(ui.combInst->lineEdit(), QStringLiteral("7"));
    EXPECT_TRUE(ui.cmdLinki->isEnabled());

    ui.cmdLink->click(); // disables it again and empties the list
    ASSERT_FALSE(ui.cmdLinki->isEnabled());
    ui.combInst->addItem(QStringLiteral("9"));
    EXPECT_FALSE(ui.cmdLinki->isEnabled()) << "filling the list is no change by the user";
    emit ui.combInst->activated(0);
    EXPECT_TRUE(ui.cmdLinki->isEnabled());
}

TEST_F(InstrumentLink, SetsTheTerminatorOnTheOldSessionBeforeClosingItAndNoneOnTheNew) {
    linkInstrument(QStringLiteral("7"));
    const auto oldDev = st.hDev;
    ui.ckLF->setChecked(false);
    ui.ckCR->setChecked(true);
    linkTo(QStringLiteral("9"));

    ASSERT_NE(st.hDev, oldDev);
    EXPECT_THAT(lib.callsTo("vb_itermchr"), ElementsAre(Call{"vb_itermchr", {oldDev, 10}, {}}));
    const auto ops = lib.operations();
    EXPECT_LT(std::find(ops.begin(), ops.end(), Call{"vb_itermchr", {oldDev, 10}, {}}),
              std::find(ops.begin(), ops.end(), Call{"vb_iclose", {oldDev}, {}}));
    EXPECT_TRUE(ui.ckLF->isChecked()) << "shows LF although the new session has none set";
}

TEST_F(InstrumentLink, OpenWithoutAnErrorNumberCompletesBothLinksWithIdZero) {
    // The library gives no error number, so nothing is raised and each link completes.
    lib.failNext("vb_iopen", 0, "");
    ui.combSrvrs->setEditText(QStringLiteral("gw"));
    ui.cmdLink->click();
    EXPECT_EQ(st.hIntf, 0);
    EXPECT_EQ(resultText(), "Link created to server gw");
    EXPECT_TRUE(ui.cmdFindInst->isEnabled());

    lib.failNext("vb_iopen", 0, "");
    linkTo(QStringLiteral("7"));
    EXPECT_EQ(st.hDev, 0);
    EXPECT_EQ(resultText(), "Link created to instrument at gw, 7, 0");
    EXPECT_TRUE(ui.cmdSend->isEnabled());
    EXPECT_TRUE(ui.cmdFindInst->isEnabled()) << "the instrument link leaves the server's controls";
    EXPECT_TRUE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 0);
    // The device operations then find no device.
    ui.cmdSend->click();
    EXPECT_EQ(resultText(), "No devices found. Select and link a device");
}

TEST_F(InstrumentLink, TextSetThroughAccessibilityEnablesTheLinkButton) {
    linkServer();
    ASSERT_FALSE(ui.cmdLinki->isEnabled());
    QAccessibleInterface* box = QAccessible::queryAccessibleInterface(ui.combInst->lineEdit());
    ASSERT_NE(box, nullptr);
    box->setText(QAccessible::Value, QStringLiteral("7"));
    EXPECT_EQ(ui.combInst->currentText(), QStringLiteral("7"));
    EXPECT_TRUE(ui.cmdLinki->isEnabled());
}

TEST(InstrumentAddress, ReadsTheFormsAndRefusesWhatIsNoNumber) {
    using Kind = ::InstrumentLink::AddressForm::Kind;
    const auto read = [](const char* t) {
        return ::InstrumentLink::readAddress(QString::fromLatin1(t));
    };
    EXPECT_EQ(read(" 705")->kind, Kind::Secondary); // four characters: pad " 7", sad "05"
    EXPECT_EQ(read(" 705")->pad, 7);
    EXPECT_EQ(read(" 705")->sad, 5);
    EXPECT_EQ(read("101.")->pad, 10); // "101." has four characters
    EXPECT_EQ(read("101.")->sad, 1);
    EXPECT_EQ(read("7.5")->kind, Kind::Primary);
    EXPECT_EQ(read("7.5")->pad, 8); // rounded half to even
    EXPECT_EQ(read("8.5")->pad, 8);
    EXPECT_EQ(read("29.6")->pad, 30);
    EXPECT_EQ(read("30.4")->kind, Kind::Other);
    EXPECT_EQ(read("100")->kind, Kind::Other);
    EXPECT_EQ(read("3031")->kind, Kind::Other);
    EXPECT_EQ(read("1e3"), std::nullopt);
    EXPECT_EQ(read("0x10"), std::nullopt);
    EXPECT_EQ(read(" "), std::nullopt);
    EXPECT_EQ(read("."), std::nullopt);
}

} // namespace
