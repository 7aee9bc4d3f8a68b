#pragma once

class QWindow;

namespace tovali {

/// Asks the window manager to show the window on every workspace and above other windows
/// (`_NET_WM_DESKTOP` 0xFFFFFFFF, `_NET_WM_STATE_STICKY` and `_NET_WM_STATE_ABOVE`). Call it
/// before the window is shown; on a shown window it asks the window manager by message instead.
/// Does nothing when the application does not run on X11 (xcb).
void showOnEveryWorkspace(QWindow& window);

} // namespace tovali
