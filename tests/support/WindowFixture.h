#pragma once

// A GoogleTest fixture around the main window driven by the scripted fake library.
// Window tests link siclquill_app, siclquill_testsupport, siclquill_qttestmain and Qt6::Test.

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/TextBoxes.h"
#include "app/WindowState.h"
#include "app/frm1.h"
#include "support/FakeLibrary.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QString>

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

/// Counts beeps instead of making them.
class CountingBeep final : public BeepSink {
public:
    void beep() override { ++count; }
    int count = 0;
};

/// The window under test on a fake library, shown (offscreen in the test main), with Exit made
/// harmless: it counts instead of ending the test process.
class WindowFixture : public ::testing::Test {
protected:
    WindowFixture()
        : window(std::make_unique<frm1>(lib, beeps)), ui(window->controls()), st(window->state()) {
        window->setExitAction([this] { ++exits; });
        window->show();
    }

    /// Forgets the calls and beeps recorded so far (after reaching a state with the helpers).
    void resetRecords() {
        lib.clearCalls();
        beeps.count = 0;
    }

    /// Links to `server` with Create Link and checks that the link came up.
    void linkServer(const QString& server = QStringLiteral("gw")) {
        ui.combSrvrs->setEditText(server);
        ASSERT_TRUE(ui.cmdLink->isEnabled());
        ui.cmdLink->click();
        ASSERT_NE(st.hIntf, 0) << "server link failed: " << ui.txtError->text().toStdString();
    }

    /// Links to the instrument at `address` (typed into the instrument box) with Select Inst
    /// and Link, linking to the server first when no server link exists.
    void linkInstrument(const QString& address = QStringLiteral("7"),
                        const QString& server = QStringLiteral("gw")) {
        if (st.hIntf == 0) {
            linkServer(server);
        }
        ui.combInst->setEditText(address);
        ui.cmdLinki->setEnabled(true); // as typing into the instrument box does
        ui.cmdLinki->click();
        ASSERT_NE(st.hDev, 0) << "instrument link failed: " << ui.txtError->text().toStdString();
    }

    /// The error box's report as plain text (CR LF kept).
    std::string errorText() const { return ui.txtError->text().toStdString(); }
    /// The response box's text (CR LF kept).
    std::string resultText() const { return ui.txtResults->text().toStdString(); }

    FakeLibrary lib;
    CountingBeep beeps;
    std::unique_ptr<frm1> window;
    Controls& ui;
    WindowState& st;
    int exits = 0; ///< times Exit ended the program
};

} // namespace testsupport
