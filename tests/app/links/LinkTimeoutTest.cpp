// The link time-out options, clicked with and without an instrument link.
#include "app/links/LinkTimeout.h"
#include "support/WindowFixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QRadioButton>

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using testsupport::Call;

namespace {

using LinkTimeoutOptions = testsupport::WindowFixture;

TEST_F(LinkTimeoutOptions, EachOptionSetsItsTimeOnTheInterfaceSessionOnly) {
    linkServer();
    const std::int64_t expected[4] = {1000, 3000, 10000, 0};
    for (int i = 0; i < 4; ++i) {
        resetRecords();
        ui.optTimeout[static_cast<std::size_t>(i)]->click();
        EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_itimeout", {st.hIntf, expected[i]}, {}}))
            << "option " << i;
        EXPECT_TRUE(ui.optTimeout[static_cast<std::size_t>(i)]->isChecked());
    }
}

TEST_F(LinkTimeoutOptions, NoneWithAnInstrumentLinkedReachesBothSessions) {
    linkInstrument();
    resetRecords();
    ui.optTimeout[3]->click();
    EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_itimeout", {st.hIntf, 0}, {}},
                                              Call{"vb_itimeout", {st.hDev, 0}, {}}));
}

TEST_F(LinkTimeoutOptions, ClickingTheSelectedOptionAppliesItAgain) {
    linkServer();
    resetRecords();
    ui.optTimeout[1]->click();
    EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_itimeout", {st.hIntf, 3000}, {}}));
}

TEST_F(LinkTimeoutOptions, AccessibilityToggleAppliesTheOptionToBothSessions) {
    linkInstrument();
    for (const std::size_t i : {std::size_t{0}, std::size_t{2}}) {
        resetRecords();
        QAccessibleInterface* option = QAccessible::queryAccessibleInterface(ui.optTimeout[i]);
        QAccessibleActionInterface* actions =
            option != nullptr ? option->actionInterface() : nullptr;
        ASSERT_NE(actions, nullptr);
        actions->doAction(QAccessibleActionInterface::toggleAction());
        EXPECT_TRUE(ui.optTimeout[i]->isChecked());
        const std::int64_t ms = i == 0 ? 1000 : 10000;
        EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_itimeout", {st.hIntf, ms}, {}},
                                                  Call{"vb_itimeout", {st.hDev, ms}, {}}));
    }
}

TEST_F(LinkTimeoutOptions, RefusalIsReportedAndTheProgramGoesOn) {
    linkServer();
    // A failed relink leaves the options enabled with no interface session.
    lib.failNext("vb_iopen", 12, "host not found");
    ui.cmdLink->click();
    ASSERT_EQ(st.hIntf, 0);
    ASSERT_TRUE(ui.optTimeout[2]->isEnabled());
    resetRecords();
    lib.failNext("vb_itimeout", 6, "invalid session");

    ui.optTimeout[2]->click();

    EXPECT_THAT(lib.operations(), ElementsAre(Call{"vb_itimeout", {0, 10000}, {}}));
    EXPECT_EQ(errorText(), "Set link timeout error\r\ninvalid session - Retry");
    EXPECT_FALSE(ui.txtError->isHidden());
    EXPECT_EQ(beeps.count, 1);
}

TEST_F(LinkTimeoutOptions, ServerLinkReportsARefusedTimeOutButStaysLinked) {
    lib.failNext("vb_itimeout", 6, "not supported");
    ui.combSrvrs->setEditText(QStringLiteral("gw"));
    ui.cmdLink->click();
    EXPECT_NE(st.hIntf, 0);
    EXPECT_EQ(errorText(), "Set link timeout error\r\nnot supported - Retry");
    EXPECT_TRUE(ui.cmdFindInst->isEnabled());
    EXPECT_EQ(st.MsgSentFlg, 1);
}

} // namespace
