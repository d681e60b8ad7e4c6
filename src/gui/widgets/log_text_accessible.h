#pragma once

namespace sentrel::gui {

// Lets screen readers reach the log pane's text: its accessible interface is a read-only,
// multi-line text with a caret and a selection. Installed once, by the first pane made.
void InstallLogTextAccessibility();

}  // namespace sentrel::gui
