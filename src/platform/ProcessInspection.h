#pragma once

namespace korvex::platform {

// The process id of whatever traces this process (a debugger, strace), or 0 when nothing does or
// the kernel does not say.
int tracerPid();

} // namespace korvex::platform
