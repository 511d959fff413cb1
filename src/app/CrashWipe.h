#pragma once

namespace korvex::app {

// Makes a crash take the secrets with it: fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT, handled on an alternate stack so that a stack overflow is caught too) and
// std::terminate zero every registered secure buffer and then let the default action happen.
// Also turns off core dumps and marks the process as not dumpable, so that no copy of its
// memory is written out or read by another process of the same user. Once per process, on the
// main thread, as early as possible.
void installCrashWipe();

} // namespace korvex::app
