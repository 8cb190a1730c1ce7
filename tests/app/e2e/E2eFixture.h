#pragma once
// The whole road: the window as a user drives it (keys into the boxes, mouse clicks on the
// buttons), on the VXI-11 library, over loopback, to an in-process gateway simulator serving
// the demo bench plus one instrument that never answers.

#include "support/SimulatorWindowFixture.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace e2e {

constexpr int kSilentPad = 14;
inline const std::string kDmmIdentity =
    "Orvane Instruments,DM-6510 Digital Multimeter,OV220417,2.4.1";
inline const std::string kCounterIdentity =
    "Talvik Labs,FC-330 Frequency Counter and Source,TL0330-118,1.07";

class E2e : public testsupport::SimulatorWindowFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start(testsupport::demoBenchWithSilentAt(kSilentPad)));
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    /// Replaces the text of a combo box as a user does: select all, type.
    static void typeInto(QComboBox* box, const QString& text) {
        box->setFocus();
        box->lineEdit()->selectAll();
        if (text.isEmpty()) {
            QTest::keyClick(box, Qt::Key_Delete);
        } else {
            QTest::keyClicks(box, text);
        }
    }

    static void press(QPushButton* button) {
        ASSERT_TRUE(button->isEnabled()) << button->objectName().toStdString();
        QTest::mouseClick(button, Qt::LeftButton);
    }

    /// Types the server into the server box and clicks Create Link.
    void linkServer() {
        typeInto(ui().combSrvrs, server);
        press(ui().cmdLink);
        ASSERT_NE(st().hIntf, 0) << error();
    }

    /// Types an instrument address and clicks Select Inst and Link.
    void linkInstrument(int pad) {
        typeInto(ui().combInst, QString::number(pad));
        press(ui().cmdLinki);
        ASSERT_NE(st().hDev, 0) << error();
    }

    /// Types a command into the command box and presses Enter there.
    void enterCommand(const QString& command) {
        typeInto(ui().combCmd, command);
        QTest::keyClick(ui().combCmd, Qt::Key_Return);
    }

    /// The gateway's link id of the live link to `device` ("gpib0,22"), if there is one.
    std::optional<std::int32_t> lidOf(const std::string& device) {
        for (const auto& link : sim->links()) {
            if (link.device == device) {
                return link.lid;
            }
        }
        return std::nullopt;
    }
};

} // namespace e2e
