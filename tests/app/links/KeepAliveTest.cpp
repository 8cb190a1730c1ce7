// The keep-alive tick of Timer2: idle and active ticks, the extra session, and its failures.
#include "app/links/KeepAlive.h"
#include "support/WindowFixture.h"

#include <QLabel>
#include <QTimer>

#include <gmock/gmock.h>

#include <chrono>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

class KeepAliveTick : public testsupport::WindowFixture {
protected:
    /// One tick, delivered through the timer's own signal as the event loop would.
    void tick() { QMetaObject::invokeMethod(ui.Timer2, "timeout", Qt::DirectConnection); }
};

TEST_F(KeepAliveTick, TimerRunsEveryMinuteFromTheMomentTheWindowIsShown) {
    EXPECT_TRUE(ui.Timer2->isActive());
    EXPECT_EQ(ui.Timer2->interval(), 60000);
}

TEST_F(KeepAliveTick, WithoutAServerLinkOnlyClearsTheActivityMark) {
    st.MsgSentFlg = 0;
    tick();
    EXPECT_TRUE(lib.calls.empty());
    st.MsgSentFlg = 1;
    tick();
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_TRUE(ui.lblKeepAliveMsg->isHidden());
}

TEST_F(KeepAliveTick, SendsOnlyAfterAWholeIdlePeriod) {
    linkServer(); // sets the activity mark
    resetRecords();

    tick(); // the link was just used: nothing is sent
    EXPECT_TRUE(lib.calls.empty());
    EXPECT_EQ(st.MsgSentFlg, 0);

    tick(); // a whole period without an operation
    EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_igpibbusstatus", {st.hIntf, 1}, {}}));
    EXPECT_EQ(st.MsgSentFlg, 0);

    resetRecords();
    tick(); // and again every period while idle
    EXPECT_EQ(lib.operations().size(), 1u);
}

TEST_F(KeepAliveTick, ShowsTheIndicatorForTheExchangeAndTheWait) {
    linkServer();
    st.MsgSentFlg = 0;
    bool shownDuringProbe = false;
    lib.onCall = [&](const Call& c) {
        if (c.entry == "vb_igpibbusstatus") {
            shownDuringProbe = ui.lblKeepAliveMsg->isVisible();
        }
    };
    const auto start = std::chrono::steady_clock::now();
    tick();
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_TRUE(shownDuringProbe);
    EXPECT_TRUE(ui.lblKeepAliveMsg->isHidden());
    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

TEST_F(KeepAliveTick, WithAnInstrumentOpensAndClosesOneExtraSession) {
    linkInstrument(QStringLiteral("705"));
    const auto dev = st.hDev;
    const auto intf = st.hIntf;
    ui.combSrvrs->setEditText(QStringLiteral("gw2")); // the current server text is used
    st.MsgSentFlg = 0;
    resetRecords();
    const sicl::SessionId extra = lib.nextId;

    tick();

    EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_iopen", {}, "lan;vxi-11[gw2]:gpib, 705"},
                                              Call{"vb_iclose", {extra}, {}},
                                              Call{"vb_igpibbusstatus", {intf, 1}, {}}));
    EXPECT_EQ(st.hDev, dev);
    EXPECT_EQ(st.hIntf, intf);
    EXPECT_EQ(st.linkAddr, QStringLiteral("lan;vxi-11[gw2]:gpib, 705"));
}

TEST_F(KeepAliveTick, FailureIsReportedTheIndicatorHiddenAndTheSessionsKept) {
    linkInstrument();
    const auto dev = st.hDev;
    st.MsgSentFlg = 0;
    lib.failNext("vb_iopen", 15, "I/O timeout");

    tick();

    EXPECT_EQ(errorText(), "Keep-alive error\r\nI/O timeout - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
    EXPECT_TRUE(ui.lblKeepAliveMsg->isHidden());
    EXPECT_EQ(st.hDev, dev);
    EXPECT_EQ(st.MsgSentFlg, 0);
    EXPECT_TRUE(lib.callsTo("vb_igpibbusstatus").empty());

    // The next idle tick tries again.
    resetRecords();
    tick();
    EXPECT_EQ(lib.callsTo("vb_igpibbusstatus").size(), 1u);
}

TEST_F(KeepAliveTick, LeavesAnExistingReportAloneWhenItSucceeds) {
    linkServer();
    window->reporting().errorReport(QStringLiteral("Read error"), QStringLiteral("timeout"));
    st.MsgSentFlg = 0;
    tick();
    EXPECT_EQ(errorText(), "Read error\r\ntimeout - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
}

} // namespace
