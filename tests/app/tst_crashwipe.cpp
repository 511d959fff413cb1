#include "app/CrashWipe.h"
#include "crypto/SecureBuffer.h"
#include "platform/ProcessInspection.h"

#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvex;

namespace {

constexpr std::size_t kSecretBytes = 4096;
constexpr unsigned char kFill = 0xA5;

// Written by the child before it crashes, read by the parent afterwards.
struct SharedPages {
    unsigned char secret[kSecretBytes];    // registered for the wipe
    unsigned char bystander[kSecretBytes]; // not registered: must survive
    int coreLimitZero = -1;
    int dumpable = -1;
    int installed = 0;
};

enum class Crash { Raise, ProtectedPage, StackOverflow, Terminate };

volatile int gDepth = 0;
volatile bool gKeepGoing = true; // never cleared; hides the endless recursion from the compiler

// Deep enough to run off any stack; the frame's array keeps the compiler from turning the
// recursion into a loop.
[[gnu::noinline]] int recurse(int depth) {
    volatile char frame[512];
    frame[0] = char(depth);
    gDepth = depth;
    if (!gKeepGoing)
        return frame[0];
    return recurse(depth + 1) + frame[0];
}

[[noreturn]] void crash(Crash how, int signal) {
    switch (how) {
    case Crash::Raise:
        ::raise(signal);
        break;
    case Crash::ProtectedPage: {
        void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (page != MAP_FAILED)
            *static_cast<volatile int*>(page) = 1;
        break;
    }
    case Crash::StackOverflow:
        recurse(0);
        break;
    case Crash::Terminate:
        std::terminate();
    }
    ::_exit(3); // the crash did not end the process
}

} // namespace

class CrashWipeTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void aCrashWipesRegisteredSecretsAndStillEndsTheProcess_data() {
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("expectedSignal");
        QTest::newRow("SIGSEGV raised") << int(Crash::Raise) << SIGSEGV << SIGSEGV;
        QTest::newRow("SIGBUS raised") << int(Crash::Raise) << SIGBUS << SIGBUS;
        QTest::newRow("SIGILL raised") << int(Crash::Raise) << SIGILL << SIGILL;
        QTest::newRow("SIGFPE raised") << int(Crash::Raise) << SIGFPE << SIGFPE;
        QTest::newRow("SIGABRT raised") << int(Crash::Raise) << SIGABRT << SIGABRT;
        QTest::newRow("write to a protected page") << int(Crash::ProtectedPage) << 0 << SIGSEGV;
        QTest::newRow("stack overflow") << int(Crash::StackOverflow) << 0 << SIGSEGV;
        QTest::newRow("std::terminate") << int(Crash::Terminate) << 0 << SIGABRT;
    }

    void aCrashWipesRegisteredSecretsAndStillEndsTheProcess() {
        QFETCH(int, how);
        QFETCH(int, signal);
        QFETCH(int, expectedSignal);

        void* memory = ::mmap(nullptr, sizeof(SharedPages), PROT_READ | PROT_WRITE,
                              MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        QVERIFY(memory != MAP_FAILED);
        auto* shared = new (memory) SharedPages;

        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            std::memset(shared->secret, kFill, kSecretBytes);
            std::memset(shared->bystander, kFill, kSecretBytes);
            if (crypto::SecureBufferRegistry::claim(shared->secret, kSecretBytes) < 0)
                ::_exit(4);
            app::installCrashWipe();
            rlimit core{};
            shared->coreLimitZero =
                ::getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_cur == 0 && core.rlim_max == 0;
            shared->dumpable = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
            shared->installed = 1;
            crash(Crash(how), signal);
        }

        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        const SharedPages seen = *shared;
        ::munmap(memory, sizeof(SharedPages));

        QVERIFY2(WIFSIGNALED(status),
                 qPrintable(QStringLiteral("child exited with %1").arg(WEXITSTATUS(status))));
        QCOMPARE(WTERMSIG(status), expectedSignal);
        QCOMPARE(seen.installed, 1);
        QCOMPARE(seen.coreLimitZero, 1);
        QCOMPARE(seen.dumpable, 0);
        for (std::size_t i = 0; i < kSecretBytes; ++i) {
            QVERIFY2(seen.secret[i] == 0,
                     qPrintable(QStringLiteral("secret byte %1 survived").arg(i)));
            QVERIFY2(seen.bystander[i] == kFill, "an unregistered buffer was touched");
        }
    }

    void aTracerIsNoticed() {
        int pipeFds[2];
        QVERIFY(::pipe(pipeFds) == 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            char result[2] = {char('0' + (platform::tracerPid() != 0)), '-'};
            // The parent becomes the tracer.
            if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0)
                result[1] = char('0' + (platform::tracerPid() != 0));
            (void)!::write(pipeFds[1], result, 2);
            ::_exit(0); // leaves out the leak check, which would need to trace the child itself
        }
        ::close(pipeFds[1]);
        char result[2] = {};
        const ssize_t got = ::read(pipeFds[0], result, 2);
        ::close(pipeFds[0]);
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(got, ssize_t(2));
        QCOMPARE(result[0], '0');
        if (result[1] == '-')
            QSKIP("this environment does not allow ptrace");
        QCOMPARE(result[1], '1');
    }
};

QTEST_GUILESS_MAIN(CrashWipeTest)
#include "tst_crashwipe.moc"
