#pragma once

#include "app/WindowContext.h"

class TestLoops;

/// Operations on the gateway's bus as a whole: bus status, interface clear, ATN and REN.
class InterfaceOperations {
public:
    InterfaceOperations(WindowContext& ctx, TestLoops& loops) : m_ctx(ctx), m_loops(loops) {}

    /// Shows the REN, SRQ and NDAC lines.
    void cmdStatus_Click();
    /// Sends interface clear, asserts REN, releases ATN and stops both loops.
    void cmdIFC_Click();
    /// Asserts or releases ATN as the box says (runs on every change of the box).
    void ckATN_Click();
    /// Asserts or releases REN as the box says (runs on every change of the box).
    void ckRen_Click();

    /// Connects this unit's controls to its handlers.
    void wire();

private:
    WindowContext& m_ctx;
    TestLoops& m_loops;
};
