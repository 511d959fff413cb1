// Runs the program's start-up in a process of its own, so that a test can run it as an ordinary
// user (root ignores file permissions). Refusals are printed to standard output as
// "REFUSED <title>\n<text>"; a dialog that appears instead is rejected and reported as
// "DIALOG <class>". The exit status is start-up's.

#include "app/Startup.h"
#include "platform/SealedKeyStore.h"
#include "protect/LocalIntegrityKey.h"
#include "support/PlatformDoubles.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    korvex::platform::NoSealedKeyStore noTpm;
    korvex::test::FakeUserDataProtection user;
    korvex::protect::setLocalProtectionServices(&noTpm, &user);

    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            std::printf("DIALOG %s\n", dialog->metaObject()->className());
            std::fflush(stdout);
            dialog->reject();
        }
    });
    watch.start(50);
    return korvex::app::startAndRunSessions([](const QString& title, const QString& text) {
        std::printf("REFUSED %s\n%s\n", qPrintable(title), qPrintable(text));
        std::fflush(stdout);
    });
}
