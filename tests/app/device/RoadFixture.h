#pragma once
// The window on the VXI-11 library, talking over loopback to an in-process gateway simulator
// with one instrument at primary address 9.

#include "support/LibraryWindowFixture.h"
#include "support/LoopbackSimulator.h"

#include "gateway/Simulator.h"
#include "vxi11/Vxi11Library.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace roadtest {

inline const std::string kIdentity = "BRASK,ROADMETER 9,0042,1.0";

class RoadFixture : public testsupport::LibraryWindowFixture {
protected:
    void SetUp() override {
        sim = std::make_unique<gateway::Simulator>(
            testsupport::onFreePorts({testsupport::instrumentAt(9, kIdentity)}));
        ASSERT_TRUE(testsupport::started(*sim));

        openWindow(lib);
        ui().combSrvrs->setEditText(QString::fromStdString(testsupport::serverOf(*sim)));
        ui().cmdLink->click();
        ASSERT_NE(st().hIntf, 0) << ui().txtError->text().toStdString();
        ui().combInst->setEditText(QStringLiteral("9"));
        ui().cmdLinki->setEnabled(true);
        ui().cmdLinki->click();
        ASSERT_NE(st().hDev, 0) << ui().txtError->text().toStdString();
    }

    std::unique_ptr<gateway::Simulator> sim;
    vxi11::Vxi11Library lib;
};

} // namespace roadtest
