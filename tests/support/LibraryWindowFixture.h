#pragma once
// A GoogleTest fixture around the main window on a real instrument library (the VXI-11 one,
// usually in front of an in-process simulator), with the views of it and the link steps that
// such tests use.
// Window tests link siclquill_app, siclquill_testsupport, siclquill_qttestmain and Qt6::Test.

#include "support/WindowFixture.h"

#include "sicl/InstrumentLibrary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace testsupport {

/// The window on a library the test owns. The window goes in TearDown, before the library
/// and any simulator that the derived fixture holds.
class LibraryWindowFixture : public ::testing::Test {
protected:
    /// Creates and shows the window on `lib`, with Exit made harmless: it counts instead of
    /// ending the test process.
    void openWindow(sicl::InstrumentLibrary& lib) {
        window = std::make_unique<frm1>(lib, beeps);
        window->setExitAction([this] { ++exits; });
        window->show();
    }

    void TearDown() override { window.reset(); }

    Controls& ui() { return window->controls(); }
    WindowState& st() { return window->state(); }
    std::string results() { return ui().txtResults->text().toStdString(); }
    /// The error box's report while it is shown, else empty.
    std::string error() {
        return ui().txtError->isHidden() ? "" : ui().txtError->text().toStdString();
    }

    /// Create Link to `server`, clicked; the test fails when no server link came up.
    void linkServer(const QString& server) {
        ui().combSrvrs->setEditText(server);
        ui().cmdLink->click();
        ASSERT_NE(st().hIntf, 0) << error();
    }

    /// Select Inst and Link to `address` in the instrument box, clicked; the test fails when
    /// no instrument link came up.
    void linkInstrument(const QString& address) {
        ui().combInst->setEditText(address);
        ui().cmdLinki->setEnabled(true); // as typing into the instrument box does
        ui().cmdLinki->click();
        ASSERT_NE(st().hDev, 0) << error();
    }

    CountingBeep beeps;
    std::unique_ptr<frm1> window;
    int exits = 0; ///< times Exit ended the program
};

} // namespace testsupport
