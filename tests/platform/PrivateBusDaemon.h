#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <csignal>
#include <memory>
#include <sys/prctl.h>

namespace korvex::test {

// For a child process of a test: it is killed when the test dies, even in a crash.
inline void dieWithParent() {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// Asks a child process to end, kills it when it does not, and lets it go.
inline void endChild(std::unique_ptr<QProcess>& process) {
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
    process.reset();
}

// A private dbus-daemon of the test's own that changes nothing in the process's environment:
// tests that need a second bus (say, one standing in for the system bus) connect to address()
// explicitly. The daemon dies with the test.
class PrivateBusDaemon {
public:
    ~PrivateBusDaemon() { stop(); }

    // Who may connect: the daemon's own user only, or every user (for a test that runs a helper
    // as an ordinary user against a bus standing in for the system bus).
    enum class Users { Own, Everyone };

    // serviceFolder, when given, is the one place the bus activates services from; otherwise
    // nothing can be activated on it.
    bool start(const QString& serviceFolder = QString(), Users users = Users::Own) {
        if (!root_.isValid())
            return false;
        // The socket lives in the temporary folder, which only its owner can enter by default.
        if (users == Users::Everyone &&
            !QFile::setPermissions(root_.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                     QFile::ExeOwner | QFile::ReadGroup |
                                                     QFile::ExeGroup | QFile::ReadOther |
                                                     QFile::ExeOther))
            return false;
        const QString config = root_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const QString services =
            serviceFolder.isEmpty()
                ? QString()
                : QStringLiteral("  <servicedir>%1</servicedir>\n"
                                 "  <limit name=\"service_start_timeout\">120000</limit>\n")
                      .arg(serviceFolder);
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                       "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                       "busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>session</type>\n"
                       "  <listen>unix:dir=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "%2"
                       "  <policy context=\"default\">\n"
                       "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                       "    <allow eavesdrop=\"true\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "%3"
                       "  </policy>\n"
                       "</busconfig>\n")
                       .arg(root_.path(), services,
                            users == Users::Everyone ? QStringLiteral("    <allow user=\"*\"/>\n")
                                                     : QString())
                       .toUtf8());
        file.close();

        daemon_ = std::make_unique<QProcess>();
        daemon_->setChildProcessModifier(&dieWithParent);
        daemon_->start(QStringLiteral("dbus-daemon"),
                       {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                        QStringLiteral("--print-address=1")});
        if (!daemon_->waitForStarted(10000))
            return false;
        QElapsedTimer waited;
        waited.start();
        while (!daemon_->canReadLine()) {
            if (waited.elapsed() > 10000 || daemon_->state() != QProcess::Running)
                return false;
            daemon_->waitForReadyRead(500);
        }
        address_ = QString::fromUtf8(daemon_->readLine().trimmed());
        return !address_.isEmpty();
    }

    void stop() { endChild(daemon_); }

    QString address() const { return address_; }

private:
    QTemporaryDir root_;
    std::unique_ptr<QProcess> daemon_;
    QString address_;
};

} // namespace korvex::test
