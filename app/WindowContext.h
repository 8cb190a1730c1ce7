#pragma once

#include "app/Controls.h"
#include "app/Reporting.h"
#include "app/WindowState.h"
#include "sicl/Sicl32Module.h"

/// What every handler unit works with: the window's controls and state, the reporting steps
/// and the library wrappers. The window owns all four.
struct WindowContext {
    Controls& ui;
    WindowState& st;
    Reporting& report;
    sicl::Sicl32Module& sicl;
};
