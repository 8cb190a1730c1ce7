#pragma once
// The window on the VXI-11 library, talking over loopback to an in-process gateway simulator
// with one instrument at primary address 9, linked to it.

#include "support/SimulatorWindowFixture.h"

#include <gtest/gtest.h>

#include <string>

namespace roadtest {

inline const std::string kIdentity = "BRASK,ROADMETER 9,0042,1.0";

class RoadFixture : public testsupport::SimulatorWindowFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(start({testsupport::instrumentAt(9, kIdentity)}));
        ASSERT_NO_FATAL_FAILURE(linkServer());
        ASSERT_NO_FATAL_FAILURE(linkInstrument(QStringLiteral("9")));
    }
};

} // namespace roadtest
