#pragma once

struct Controls;

/// Gives every control of the main window an accessible name (its caption, or what it is for
/// when it has none) and an accessible description (its tool tip, or a short purpose), so that
/// screen readers announce the window as a sighted user reads it, and lets Tab leave the
/// multi-line response box, which would otherwise swallow the key and trap the focus there.
/// The window calls it once, after creating its controls.
void setUpAccessibility(Controls& ui);
