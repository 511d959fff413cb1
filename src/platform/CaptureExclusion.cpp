#include "platform/CaptureExclusion.h"

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace korvex::platform {

#ifdef Q_OS_WIN

// WDA_EXCLUDEFROMCAPTURE; older SDK headers do not define it.
constexpr DWORD kExcludeFromCapture = 0x00000011;

bool excludeFromCapture(quintptr nativeWindow) {
    if (nativeWindow == 0)
        return false;
    return SetWindowDisplayAffinity(reinterpret_cast<HWND>(nativeWindow), kExcludeFromCapture) !=
           FALSE;
}

bool captureExclusionAvailable() {
    return true;
}

#else

bool excludeFromCapture(quintptr nativeWindow) {
    Q_UNUSED(nativeWindow);
    return false;
}

bool captureExclusionAvailable() {
    return false;
}

#endif

} // namespace korvex::platform
