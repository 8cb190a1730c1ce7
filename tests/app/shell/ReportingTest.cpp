// How operations report in the window (error box, response box, beeps) and waitSecs.
#include "support/WindowFixture.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

namespace {

using Reports = testsupport::WindowFixture;

TEST_F(Reports, SuccessAfterAFailureHidesTheOldReportAndReplacesTheResult) {
    ui.combSrvrs->setEditText(QStringLiteral("gw"));
    ui.txtResults->setText(QStringLiteral("earlier"));
    lib.failNext("vb_iopen", 12, "cannot connect");
    ui.cmdLink->click();
    ASSERT_FALSE(ui.txtError->isHidden());
    ASSERT_EQ(resultText(), "earlier");

    ui.cmdLink->click();

    EXPECT_TRUE(ui.txtError->isHidden());
    EXPECT_EQ(resultText(), "Link created to server gw");
    EXPECT_EQ(beeps.count, 1);
}

TEST_F(Reports, TwoFailuresInARowShowOnlyTheSecondWithABeepEach) {
    lib.failNext("vb_iopen", 12, "first reason");
    lib.failNext("vb_iopen", 13, "second reason");
    ui.cmdLink->click();
    EXPECT_EQ(beeps.count, 1);
    ui.cmdLink->click();

    EXPECT_EQ(errorText(), "Create interface link error\r\nsecond reason - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 2);
}

TEST_F(Reports, EmptyDescriptionStillShowsLabelLineBreakAndRetry) {
    lib.failNext("vb_iopen", 12, "");
    ui.cmdLink->click();
    EXPECT_EQ(errorText(), "Create interface link error\r\n - Retry");
}

TEST_F(Reports, ErrorBoxKeepsTheReportExactlyButDrawsTheLineBreakVisibly) {
    window->reporting().errorReport(QStringLiteral("Read error"), QStringLiteral("timeout"));
    EXPECT_EQ(ui.txtError->text(), QStringLiteral("Read error\r\ntimeout - Retry"));
    const QString drawn = ui.txtError->QLineEdit::text();
    EXPECT_FALSE(drawn.contains(QLatin1Char('\r')));
    EXPECT_TRUE(drawn.startsWith(QStringLiteral("Read error")));
    EXPECT_TRUE(drawn.endsWith(QStringLiteral("timeout - Retry")));
    EXPECT_GT(drawn.size(), QStringLiteral("Read errortimeout - Retry").size());
}

TEST_F(Reports, AppendedLineJoinsWithCrLf) {
    window->reporting().resultLine(QStringLiteral("one"));
    window->reporting().appendedLine(QStringLiteral("two"));
    EXPECT_EQ(resultText(), "one\r\ntwo");
}

using Clock = std::chrono::steady_clock;

TEST(WaitSecs, ZeroAndNegativeReturnAtOnce) {
    for (double secs : {0.0, -1.0, -1e9}) {
        const auto start = Clock::now();
        waitSecs(secs);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50)) << secs;
    }
}

TEST(WaitSecs, WaitsAtLeastTheDurationWithoutRunningEvents) {
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    const auto start = Clock::now();
    waitSecs(0.1);
    const auto elapsed = Clock::now() - start;

    EXPECT_GE(elapsed, std::chrono::milliseconds(100));
    EXPECT_LT(elapsed, std::chrono::seconds(2)); // generous: the machine may be busy
    EXPECT_FALSE(ran) << "an event ran during the wait";
    QCoreApplication::processEvents();
    EXPECT_TRUE(ran);
}

} // namespace
