#pragma once

#include "PrivateBusDaemon.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvex::test {

// A session of the test's own: private HOME, configuration, data and runtime folders in a
// temporary folder, no display (so no keyring prompt can ever appear), and on demand a private
// D-Bus session bus with or without a gnome-keyring daemon whose login keyring is unlocked by a
// throwaway password.
//
// isolate() must run before anything in the process looks at those folders or connects to a
// session bus: it points this process's environment at the private session. The daemons are
// children of the test that die with it (even when it crashes), and stop() ends them.
class PrivateSessionBus {
public:
    enum class Keyring { None, Unlocked };

    ~PrivateSessionBus() { stop(); }

    // Private folders, no display and, until start(), no session bus at all.
    bool isolate() {
        if (!root_.isValid())
            return false;
        const QString home = root_.filePath(QStringLiteral("home"));
        const QString runtime = root_.filePath(QStringLiteral("run"));
        for (const QString& folder : {home, runtime, serviceFolder()}) {
            if (!QDir().mkpath(folder))
                return false;
        }
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("HOME", QFile::encodeName(home));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + QStringLiteral("/.config")));
        qputenv("XDG_DATA_HOME", QFile::encodeName(home + QStringLiteral("/.local/share")));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(home + QStringLiteral("/.cache")));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY",
                                 "GNOME_KEYRING_CONTROL", "SSH_AUTH_SOCK"})
            qunsetenv(name);
        isolated_ = true;
        return true;
    }

    // Starts the bus (and the keyring) and points this process at it.
    bool start(Keyring keyring) {
        if (!isolated_ && !isolate())
            return false;
        if (!startBus())
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", address_);
        return keyring == Keyring::None || startKeyring();
    }

    void stop() {
        endChild(keyring_);
        bus_.stop();
        releaseStalledServices();
    }

    QString root() const { return root_.path(); }
    // Where the bus finds activatable services; empty to begin with.
    QString serviceFolder() const { return root_.filePath(QStringLiteral("services")); }

    // Makes name activatable on the bus by a service that starts and never answers, as a
    // prompter that hangs would. stop() releases it.
    bool addStalledService(const QString& name) {
        const QString fifo = root_.filePath(QStringLiteral("stall.fifo"));
        if (!QFile::exists(fifo) && ::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0)
            return false;
        QFile service(serviceFolder() + QLatin1Char('/') + name + QStringLiteral(".service"));
        if (!service.open(QIODevice::WriteOnly))
            return false;
        service.write("[D-BUS Service]\nName=" + name.toUtf8() + "\nExec=/bin/cat " +
                      QFile::encodeName(fifo) + "\n");
        service.close();
        return reloadBusConfig();
    }

    // Makes name activatable by a service file that is never started by the tests.
    bool addActivatableService(const QString& name) {
        QFile service(serviceFolder() + QLatin1Char('/') + name + QStringLiteral(".service"));
        if (!service.open(QIODevice::WriteOnly))
            return false;
        service.write("[D-BUS Service]\nName=" + name.toUtf8() + "\nExec=/bin/false\n");
        service.close();
        return reloadBusConfig();
    }

    // dbus-send against the current session bus, waiting for the reply. Null on failure.
    static QByteArray dbusSend(const QStringList& arguments) {
        QProcess tool;
        tool.start(QStringLiteral("dbus-send"),
                   QStringList{QStringLiteral("--session"), QStringLiteral("--print-reply")} +
                       arguments);
        if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit ||
            tool.exitCode() != 0)
            return {};
        QByteArray output = tool.readAllStandardOutput();
        return output.isNull() ? QByteArray("") : output;
    }

    // The object path of the keyring's default collection; empty when it cannot be had.
    static QString defaultCollection() {
        const QByteArray reply =
            dbusSend({QStringLiteral("--dest=org.freedesktop.secrets"),
                      QStringLiteral("/org/freedesktop/secrets"),
                      QStringLiteral("org.freedesktop.Secret.Service.ReadAlias"),
                      QStringLiteral("string:default")});
        const int start = reply.indexOf("object path \"");
        if (start < 0)
            return {};
        const int from = start + int(qstrlen("object path \""));
        return QString::fromUtf8(reply.mid(from, reply.indexOf('"', from) - from));
    }

    static QByteArray itemProperty(const QString& objectPath, const QString& interface,
                                   const QString& property) {
        return dbusSend({QStringLiteral("--dest=org.freedesktop.secrets"), objectPath,
                         QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                         QStringLiteral("string:") + interface,
                         QStringLiteral("string:") + property});
    }

    // Locks the login collection through the Secret Service's own Lock call. Nothing can
    // unlock it again here (no prompt can be shown, so an unlock prompt ends dismissed).
    static bool lockDefaultCollection() {
        const QString collection = defaultCollection();
        return !collection.isEmpty() &&
               !dbusSend({QStringLiteral("--dest=org.freedesktop.secrets"),
                          QStringLiteral("/org/freedesktop/secrets"),
                          QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                          QStringLiteral("array:objpath:") + collection})
                    .isNull() &&
               itemProperty(collection, QStringLiteral("org.freedesktop.Secret.Collection"),
                            QStringLiteral("Locked"))
                   .contains("boolean true");
    }

    static bool nameHasOwner(const QString& name) {
        return dbusSend({QStringLiteral("--dest=org.freedesktop.DBus"),
                         QStringLiteral("/org/freedesktop/DBus"),
                         QStringLiteral("org.freedesktop.DBus.NameHasOwner"),
                         QStringLiteral("string:") + name})
            .contains("boolean true");
    }

private:
    bool startBus() {
        // Only the services the test puts in serviceFolder() can be activated: whatever the
        // machine has installed (a keyring, a prompter) stays out of reach.
        if (!bus_.start(serviceFolder()))
            return false;
        address_ = bus_.address().toUtf8();
        return true;
    }

    bool startKeyring() {
        keyring_ = std::make_unique<QProcess>();
        keyring_->setChildProcessModifier(&dieWithParent);
        keyring_->setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        // Its complaints (a prompt it cannot show) go to a log beside the keyrings.
        keyring_->setStandardOutputFile(QProcess::nullDevice());
        keyring_->setStandardErrorFile(root_.filePath(QStringLiteral("keyring.log")));
        keyring_->start(QStringLiteral("gnome-keyring-daemon"),
                        {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                         QStringLiteral("--components=secrets")});
        if (!keyring_->waitForStarted(10000))
            return false;
        // The login keyring is created on first start and unlocked with this password.
        // There is no event loop here: push the bytes out before closing the channel.
        keyring_->write("throwaway-password");
        if (!keyring_->waitForBytesWritten(10000))
            return false;
        keyring_->closeWriteChannel();

        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000 && keyring_->state() == QProcess::Running) {
            if (nameHasOwner(QStringLiteral("org.freedesktop.secrets")))
                return true;
            QThread::msleep(50);
        }
        return false;
    }

    bool reloadBusConfig() {
        return !dbusSend({QStringLiteral("--dest=org.freedesktop.DBus"),
                          QStringLiteral("/org/freedesktop/DBus"),
                          QStringLiteral("org.freedesktop.DBus.ReloadConfig")})
                    .isNull();
    }

    // A stalled service blocks reading the fifo; a writer that opens and closes it ends it.
    void releaseStalledServices() {
        const QByteArray fifo = QFile::encodeName(root_.filePath(QStringLiteral("stall.fifo")));
        const int fd = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    }

    QTemporaryDir root_;
    PrivateBusDaemon bus_;
    std::unique_ptr<QProcess> keyring_;
    QByteArray address_;
    bool isolated_ = false;
};

} // namespace korvex::test
