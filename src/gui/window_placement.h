#pragma once

class QWidget;

namespace sentrel {
class SettingsStore;
}

namespace sentrel::gui {

// The main window's placement in the settings store's [Window] section, with the value
// names it always had: Flags, ShowCmd (1 normal, 2 minimised, 3 maximised),
// PixelsPerInch, MinMaxPos and NormPos ("left,top,right,bottom" of the normal geometry),
// each of these also under its name followed by "(<width>x<height>)" of the screen,
// FormVersion (2) and Visible. Saving puts the values into the store (the caller writes
// the file).
void SavePlacement(const QWidget& window, SettingsStore& settings);

// Restores a stored placement: nothing unless FormVersion is at least 2; the normal
// position and size only when the stored PixelsPerInch equals the screen's, the window
// state (normal, minimised, maximised) in any case. The size stored for this screen size
// is preferred over the plain one. The position and size are fitted to the screen's free
// area, so no part of the window is restored beyond the screen.
void RestorePlacement(QWidget& window, const SettingsStore& settings);

// Once the window manager has framed the shown window: when the frame (the title bar above
// all) reaches beyond the screen's free area, the window is made to fit and moved inside
// it, title bar first. A window manager's frame is not known before the window is first
// shown, so the restore alone can leave the title bar above the screen. Returns whether
// it moved or resized the window.
bool KeepFrameOnScreen(QWidget& window);

// The screen's resolution as the placement records it.
int ScreenPixelsPerInch(const QWidget& window);

}  // namespace sentrel::gui
