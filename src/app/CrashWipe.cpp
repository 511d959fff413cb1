#include "app/CrashWipe.h"

#include "crypto/SecureBuffer.h"

#include <QtGlobal>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace korvex::app {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kAlternateStackBytes = 65536;

std::terminate_handler gPreviousTerminate = nullptr;

// Runs with the handler already reset to the default (SA_RESETHAND) and the signal blocked:
// the re-raised signal is delivered as soon as this returns, and a fault that caused it would
// fault again, either way ending the process the way it would have ended without us.
void onFatalSignal(int signal) {
    crypto::wipeAllSecureBuffers();
    ::raise(signal);
}

[[noreturn]] void onTerminate() {
    crypto::wipeAllSecureBuffers();
    if (gPreviousTerminate != nullptr)
        gPreviousTerminate(); // reports the exception and aborts
    std::abort();
}

void installAlternateStack() {
    long wanted = -1;
#ifdef _SC_SIGSTKSZ
    wanted = ::sysconf(_SC_SIGSTKSZ);
#endif
    const std::size_t bytes =
        std::max<std::size_t>(kAlternateStackBytes, wanted > 0 ? std::size_t(wanted) : 0);
    // Kept for the life of the process.
    void* memory =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        qWarning("installCrashWipe: could not allocate the alternate signal stack.");
        return;
    }
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = bytes;
    stack.ss_flags = 0;
    if (::sigaltstack(&stack, nullptr) != 0) {
        qWarning("installCrashWipe: could not install the alternate signal stack.");
        ::munmap(memory, bytes);
    }
}

} // namespace

void installCrashWipe() {
    const rlimit noCore{0, 0};
    if (::setrlimit(RLIMIT_CORE, &noCore) != 0)
        qWarning("installCrashWipe: could not turn off core dumps.");
    if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        qWarning("installCrashWipe: could not mark the process as not dumpable.");

    installAlternateStack();
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    for (const int signal : kFatalSignals) {
        if (::sigaction(signal, &action, nullptr) != 0)
            qWarning("installCrashWipe: could not install the handler for signal %d.", signal);
    }
    const std::terminate_handler previous = std::set_terminate(onTerminate);
    if (previous != onTerminate) // a second call must not chain the handler to itself
        gPreviousTerminate = previous;
}

} // namespace korvex::app
