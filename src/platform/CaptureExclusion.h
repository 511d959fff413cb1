#pragma once

#include <QtGlobal>

namespace korvex::platform {

// Asks the window system to leave the given top-level window out of screenshots, screen
// recordings and screen sharing. nativeWindow is the window's native handle (QWidget::winId()).
//
// Returns true only when the system confirmed the exclusion. Windows honours it through the
// window's display affinity; Linux (X11 and Wayland alike) offers applications no such
// mechanism, so there this does nothing and returns false. Callers must not tell the user the
// window is protected on the strength of a false result.
bool excludeFromCapture(quintptr nativeWindow);

// Whether excludeFromCapture can succeed at all on this platform.
bool captureExclusionAvailable();

} // namespace korvex::platform
