#pragma once

struct Controls;
class QWidget;

/// Creates every control of the main window in its place, frame by frame, with its name,
/// caption and tool tip, and fills `ui` with them. The window calls it once.
void createWindowControls(Controls& ui, QWidget& window);
