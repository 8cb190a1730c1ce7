// Find Instruments: the exact bus traffic of a scan, its messages, and its failure path.
#include "app/links/InstrumentDiscovery.h"
#include "support/WindowFixture.h"

#include <QLabel>

#include <gmock/gmock.h>

#include <set>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testsupport::Call;

namespace {

/// A bus on the fake: NDAC reads asserted right after a probe addressed a present device.
class InstrumentDiscovery : public testsupport::WindowFixture {
protected:
    void placeInstruments(std::set<int> addresses) {
        m_present = std::move(addresses);
        lib.onCall = [this](const Call& c) {
            if (c.entry == "vb_igpibsendcmd") {
                m_listener = c.text.size() == 3 ? static_cast<unsigned char>(c.text[2]) - 0x20 : -1;
            }
        };
        lib.busStatus = [this](sicl::SessionId, std::int16_t request) -> std::int16_t {
            if (request == 8) {
                return lib.ownAddress;
            }
            return request == 3 && m_present.count(m_listener) != 0 ? 1 : 0;
        };
    }

    /// The calls that a scan on session `h` with own address `own` makes, in order.
    static std::vector<Call> expectedScan(sicl::SessionId h, int own) {
        std::vector<Call> calls{{"vb_igpibbusstatus", {h, 8}, {}}};
        for (int a = 0; a <= 30; ++a) {
            if (a == own) {
                continue;
            }
            const std::string probe{'\x3F', static_cast<char>(0x40 + own),
                                    static_cast<char>(0x20 + a)};
            calls.push_back({"vb_igpibsendcmd", {h, 3}, probe});
            calls.push_back({"vb_igpibatnctl", {h, 0}, {}});
            calls.push_back({"vb_igpibbusstatus", {h, 3}, {}});
            calls.push_back({"vb_igpibsendcmd", {h, 1}, "?"});
        }
        return calls;
    }

    QStringList listed() const {
        QStringList out;
        for (int i = 0; i < ui.combInst->count(); ++i) {
            out << ui.combInst->itemText(i);
        }
        return out;
    }

    std::set<int> m_present;
    int m_listener = -1;
};

TEST_F(InstrumentDiscovery, ProbesEveryAddressButItsOwnWithTheExactCommandBytes) {
    lib.ownAddress = 0;
    placeInstruments({22, 3, 9});
    linkServer();
    resetRecords();

    ui.cmdFindInst->click();

    EXPECT_THAT(lib.operations(), ElementsAreArray(expectedScan(st.hIntf, 0)));
    EXPECT_EQ(st.Ctlraddr, 0);
    EXPECT_EQ(listed(), (QStringList{"3", "9", "22"}));
    EXPECT_TRUE(ui.combInst->currentText().isEmpty()); // the user picks
    EXPECT_EQ(resultText(),
              "FindInst: Found  3 VXI-11 devices\r\nSelect a device and press Create Link");
    EXPECT_TRUE(ui.cmdLinki->isEnabled());
    EXPECT_EQ(st.MsgSentFlg, 1);
    EXPECT_TRUE(ui.txtError->isHidden());
}

TEST_F(InstrumentDiscovery, SkipsTheInterfaceAddressAndNeverProbes31) {
    lib.ownAddress = 21;
    placeInstruments({21, 30}); // the interface itself would answer at 21
    linkServer();
    resetRecords();

    ui.cmdFindInst->click();

    EXPECT_THAT(lib.operations(), ElementsAreArray(expectedScan(st.hIntf, 21)));
    for (const Call& c : lib.callsTo("vb_igpibsendcmd")) {
        if (c.text.size() == 3) {
            EXPECT_NE(c.text[2], static_cast<char>(0x20 + 21));
            EXPECT_NE(c.text[2], static_cast<char>(0x20 + 31));
        }
    }
    EXPECT_EQ(listed(), QStringList{"30"});
}

TEST_F(InstrumentDiscovery, OwnAddressOutsideTheBusRangeProbesAll31) {
    lib.ownAddress = 31;
    placeInstruments({0, 30});
    linkServer();
    resetRecords();

    ui.cmdFindInst->click();

    EXPECT_EQ(lib.callsTo("vb_igpibatnctl").size(), 31u);
    EXPECT_EQ(listed(), (QStringList{"0", "30"}));
    // The talk address byte is 0x40 + 31 (untalk): still one byte, sent as it is.
    EXPECT_EQ(lib.callsTo("vb_igpibsendcmd")[0].text, std::string("\x3F\x5F\x20", 3));
}

TEST_F(InstrumentDiscovery, MessagesForNoneOneAndSeveralFound) {
    linkServer();

    placeInstruments({});
    ui.cmdFindInst->click();
    EXPECT_EQ(resultText(), "FindInst: No VXI-11 devices found");
    EXPECT_EQ(ui.combInst->count(), 0);
    EXPECT_FALSE(ui.cmdLinki->isEnabled());

    placeInstruments({5});
    ui.cmdFindInst->click();
    EXPECT_EQ(resultText(),
              "FindInst: Found  1 VXI-11 device\r\nSelect a device and press Create Link");
    EXPECT_EQ(listed(), QStringList{"5"});
    EXPECT_TRUE(ui.cmdLinki->isEnabled());

    placeInstruments({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    ui.cmdFindInst->click();
    EXPECT_EQ(resultText(),
              "FindInst: Found  12 VXI-11 devices\r\nSelect a device and press Create Link");
    EXPECT_EQ(ui.combInst->count(), 12);
}

TEST_F(InstrumentDiscovery, NothingFoundLeavesTheActivityMarkAlone) {
    placeInstruments({});
    linkServer();
    st.MsgSentFlg = 0;
    ui.cmdFindInst->click();
    EXPECT_EQ(st.MsgSentFlg, 0);
}

TEST_F(InstrumentDiscovery, ClosesTheInstrumentLinkAndResetsItsControls) {
    placeInstruments({7});
    linkInstrument("7");
    const auto dev = st.hDev;
    ui.lbliLock->setVisible(true);
    ui.ckCR->setChecked(true);
    resetRecords();

    ui.cmdFindInst->click();

    EXPECT_EQ(lib.operations().front(), (Call{"vb_iclose", {dev}, {}}));
    EXPECT_EQ(st.hDev, 0);
    EXPECT_TRUE(ui.lbliLock->isHidden());
    EXPECT_FALSE(ui.ckCR->isChecked());
    EXPECT_TRUE(ui.ckLF->isChecked());
    EXPECT_FALSE(ui.ckAutoLock->isChecked());
    for (QWidget* w : std::initializer_list<QWidget*>{
             ui.cmdSend, ui.cmdRead, ui.cmdIDNtst, ui.cmdLock, ui.cmdSpoll, ui.ckCR, ui.ckLF,
             ui.ckAutoQuery, ui.ckAutoLock, ui.ckByteCnt}) {
        EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
    }
    // The interface controls stay usable.
    EXPECT_TRUE(ui.cmdFindInst->isEnabled());
    EXPECT_TRUE(ui.cmdStatus->isEnabled());
    EXPECT_TRUE(ui.ckATN->isEnabled());
}

TEST_F(InstrumentDiscovery, LeavesLockAndUnlockDisabledWhenItUnticksAutoLock) {
    // Unticking Auto Lock enables Lock and Unlock through the box's own handler; the link
    // stage that follows must win, for Find Instruments and for Create Link alike.
    placeInstruments({7});
    for (QPushButton* operation : {ui.cmdFindInst, ui.cmdLink}) {
        linkInstrument("7");
        ui.ckAutoLock->setChecked(true);
        operation->click();
        EXPECT_FALSE(ui.ckAutoLock->isChecked());
        EXPECT_FALSE(ui.cmdLock->isEnabled()) << operation->objectName().toStdString();
        EXPECT_FALSE(ui.cmdUnlock->isEnabled()) << operation->objectName().toStdString();
    }
}

TEST_F(InstrumentDiscovery, FailureMidScanListsNothingAndStopsAtTheFailingCall) {
    placeInstruments({1, 2});
    linkServer();
    ui.cmdLinki->setEnabled(true);
    resetRecords();
    int sends = 0;
    lib.onCall = [&](const Call& c) {
        if (c.entry == "vb_igpibsendcmd" && ++sends == 5) {
            lib.failNext("vb_igpibsendcmd", 17, "bus error");
        }
    };

    ui.cmdFindInst->click();

    EXPECT_EQ(errorText(), "Create device link error\r\nbus error - Retry");
    EXPECT_EQ(beeps.count, 1);
    EXPECT_EQ(ui.combInst->count(), 0);
    EXPECT_FALSE(ui.cmdLinki->isEnabled());
    EXPECT_EQ(resultText(), "FindInst: Wait while looking for VXI-11 devices");
    // The failing send is the last call: no UNL follows it.
    const auto ops = lib.operations();
    EXPECT_EQ(ops.back().entry, "vb_igpibsendcmd");
    EXPECT_EQ(lib.callsTo("vb_igpibsendcmd").size(), 5u);
}

TEST_F(InstrumentDiscovery, FailingBusAddressRequestIsReportedLikeTheScan) {
    linkServer();
    resetRecords();
    lib.failNext("vb_igpibbusstatus", 3, "gateway busy");

    ui.cmdFindInst->click();

    EXPECT_EQ(errorText(), "Create device link error\r\ngateway busy - Retry");
    EXPECT_TRUE(lib.callsTo("vb_igpibsendcmd").empty());
}

TEST_F(InstrumentDiscovery, TalkAddressThatFitsNoCommandByteIsRefused) {
    lib.ownAddress = 300;
    linkServer();
    resetRecords();

    ui.cmdFindInst->click();

    EXPECT_TRUE(lib.callsTo("vb_igpibsendcmd").empty());
    EXPECT_EQ(errorText(),
              "Create device link error\r\ninterface bus address 300 is out of range - Retry");
}

TEST_F(InstrumentDiscovery, LeavesTheCommandBytesInTheAddressState) {
    placeInstruments({});
    linkServer();
    ui.cmdFindInst->click();
    EXPECT_EQ(st.linkAddr, QStringLiteral("?"));
}

} // namespace
