#include "platform/SessionLockWatcher.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDateTime>
#include <QStringList>
#include <QVariant>
#include <array>
#include <fcntl.h>
#include <unistd.h>

// The slots the bus delivers to, spelled once for connect and disconnect alike.
#define SESSION_LOCK_SLOT SLOT(onSessionLock())
#define SESSION_PROPERTIES_SLOT SLOT(onSessionPropertiesChanged(QString, QVariantMap, QStringList))
#define PREPARE_FOR_SLEEP_SLOT SLOT(onPrepareForSleep(bool))
#define SCREEN_SAVER_SLOT SLOT(onScreenSaverActiveChanged(bool, QDBusMessage))

namespace korvex::platform {

namespace {

const QString kLogind = QStringLiteral("org.freedesktop.login1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/login1");
const QString kManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The screen savers that announce activation with ActiveChanged(bool); each owns the bus name
// of the same spelling while it runs.
const std::array<QString, 5> kScreenSavers = {
    QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("org.gnome.ScreenSaver"),
    QStringLiteral("org.xfce.ScreenSaver"), QStringLiteral("org.mate.ScreenSaver"),
    QStringLiteral("org.cinnamon.ScreenSaver")};

// logind answers at once; the bound only keeps a wedged bus from freezing the window.
constexpr int kCallTimeoutMs = 5000;

std::optional<QString> objectPathFrom(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return std::nullopt;
    const QString path = qvariant_cast<QDBusObjectPath>(reply.arguments().constFirst()).path();
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

} // namespace

SessionLockWatcher::SessionLockWatcher(QObject* parent)
    : SessionLockWatcher(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), parent) {}

SessionLockWatcher::SessionLockWatcher(const QDBusConnection& systemBus,
                                       const QDBusConnection& sessionBus, QObject* parent)
    : QObject(parent), systemBus_(systemBus), sessionBus_(sessionBus) {}

SessionLockWatcher::~SessionLockWatcher() {
    releaseSleepInhibitor();
    disconnectAll();
}

bool SessionLockWatcher::registerFor(quintptr windowHandle) {
    Q_UNUSED(windowHandle);
    if (registered_)
        return true;
    // Both are tried every time: each subscription stays in place whatever the other finds.
    const bool logind = subscribeToLogind();
    const bool screenSaver = subscribeToScreenSavers() && screenSaverPresent();
    registered_ = logind || screenSaver;
    return registered_;
}

bool SessionLockWatcher::subscribeToLogind() {
    if (!systemBus_.isConnected() || systemBus_.interface() == nullptr)
        return false;
    const QDBusReply<bool> present = systemBus_.interface()->isServiceRegistered(kLogind);
    if (!present.isValid() || !present.value())
        return false;

    // Only logind itself may announce these: the sender is matched by its bus name.
    if (!sleepSubscribed_)
        sleepSubscribed_ =
            systemBus_.connect(kLogind, kManagerPath, kManagerInterface,
                               QStringLiteral("PrepareForSleep"), this, PREPARE_FOR_SLEEP_SLOT);
    if (sessionPath_.isEmpty()) {
        const std::optional<QString> path = findOwnSession();
        if (!path) {
            qWarning("SessionLockWatcher: logind knows no session for this process -- session "
                     "lock detection is inactive.");
        } else if (systemBus_.connect(kLogind, *path, kSessionInterface, QStringLiteral("Lock"),
                                      this, SESSION_LOCK_SLOT)) {
            sessionPath_ = *path;
            if (!systemBus_.connect(kLogind, sessionPath_, kPropertiesInterface,
                                    QStringLiteral("PropertiesChanged"), this,
                                    SESSION_PROPERTIES_SLOT))
                qWarning("SessionLockWatcher: cannot follow the session's activity -- switching "
                         "away from the session is not detected.");
        }
    }
    return sleepSubscribed_ || !sessionPath_.isEmpty();
}

std::optional<QString> SessionLockWatcher::findOwnSession() const {
    // The session the desktop started us in, when it told us; else the one logind files this
    // process under (none for a process started outside any login session).
    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (!sessionId.isEmpty()) {
        QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kManagerPath, kManagerInterface,
                                                           QStringLiteral("GetSession"));
        call << sessionId;
        if (std::optional<QString> path =
                objectPathFrom(systemBus_.call(call, QDBus::Block, kCallTimeoutMs)))
            return path;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kManagerPath, kManagerInterface,
                                                       QStringLiteral("GetSessionByPID"));
    call << quint32(::getpid());
    return objectPathFrom(systemBus_.call(call, QDBus::Block, kCallTimeoutMs));
}

bool SessionLockWatcher::subscribeToScreenSavers() {
    if (screenSaversSubscribed_)
        return true;
    if (!sessionBus_.isConnected())
        return false;
    // Any sender and any path: each screen saver publishes its own object.
    std::size_t connected = 0;
    for (; connected < kScreenSavers.size(); ++connected) {
        if (!sessionBus_.connect(QString(), QString(), kScreenSavers[connected],
                                 QStringLiteral("ActiveChanged"), this, SCREEN_SAVER_SLOT))
            break;
    }
    if (connected < kScreenSavers.size()) {
        for (std::size_t i = 0; i < connected; ++i)
            sessionBus_.disconnect(QString(), QString(), kScreenSavers[i],
                                   QStringLiteral("ActiveChanged"), this, SCREEN_SAVER_SLOT);
        return false;
    }
    screenSaversSubscribed_ = true;
    return true;
}

bool SessionLockWatcher::screenSaverPresent() const {
    QDBusConnectionInterface* bus = sessionBus_.interface();
    if (bus == nullptr)
        return false;
    for (const QString& name : kScreenSavers) {
        const QDBusReply<bool> owned = bus->isServiceRegistered(name);
        if (owned.isValid() && owned.value())
            return true;
    }
    return false;
}

void SessionLockWatcher::disconnectAll() {
    if (sleepSubscribed_)
        systemBus_.disconnect(kLogind, kManagerPath, kManagerInterface,
                              QStringLiteral("PrepareForSleep"), this, PREPARE_FOR_SLEEP_SLOT);
    sleepSubscribed_ = false;
    if (!sessionPath_.isEmpty()) {
        systemBus_.disconnect(kLogind, sessionPath_, kSessionInterface, QStringLiteral("Lock"),
                              this, SESSION_LOCK_SLOT);
        systemBus_.disconnect(kLogind, sessionPath_, kPropertiesInterface,
                              QStringLiteral("PropertiesChanged"), this, SESSION_PROPERTIES_SLOT);
        sessionPath_.clear();
    }
    if (screenSaversSubscribed_) {
        for (const QString& screenSaver : kScreenSavers)
            sessionBus_.disconnect(QString(), QString(), screenSaver,
                                   QStringLiteral("ActiveChanged"), this, SCREEN_SAVER_SLOT);
    }
    screenSaversSubscribed_ = false;
    registered_ = false;
}

bool SessionLockWatcher::holdSleepInhibitor() {
    if (inhibitorFd_ >= 0)
        return true;
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kManagerPath, kManagerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QStringLiteral("Zelvora")
         << QStringLiteral("Wiping the open vault's keys before the system sleeps")
         << QStringLiteral("delay");
    const QDBusMessage reply = systemBus_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        qWarning("SessionLockWatcher: logind gave no sleep inhibitor (%s) -- a suspend will not "
                 "wait for the session wipe.",
                 qPrintable(reply.errorName()));
        return false;
    }
    // The message's copy closes with it; keep one of our own.
    const QDBusUnixFileDescriptor descriptor =
        qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().constFirst());
    const int fd =
        descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 3) : -1;
    if (fd < 0) {
        qWarning("SessionLockWatcher: logind's sleep inhibitor came without a usable descriptor "
                 "-- a suspend will not wait for the session wipe.");
        return false;
    }
    inhibitorFd_ = fd;
    return true;
}

void SessionLockWatcher::releaseSleepInhibitor() {
    if (inhibitorFd_ < 0)
        return;
    ::close(inhibitorFd_);
    inhibitorFd_ = -1;
}

bool SessionLockWatcher::holdsSleepInhibitor() const {
    return inhibitorFd_ >= 0;
}

void SessionLockWatcher::onSessionLock() {
    reportAndEmit(QStringLiteral("logind session Lock"));
}

void SessionLockWatcher::onSessionPropertiesChanged(const QString& interface,
                                                    const QVariantMap& changed,
                                                    const QStringList& invalidated) {
    Q_UNUSED(invalidated);
    // Another session took the seat (a user switch, a change of virtual terminal).
    const auto active = changed.constFind(QStringLiteral("Active"));
    if (interface != kSessionInterface || active == changed.constEnd() ||
        active->metaType() != QMetaType::fromType<bool>() || active->toBool())
        return;
    reportAndEmit(QStringLiteral("logind session no longer active"));
}

void SessionLockWatcher::onPrepareForSleep(bool start) {
    if (!start)
        return;
    reportAndEmit(QStringLiteral("PrepareForSleep (system going to sleep)"));
}

void SessionLockWatcher::onScreenSaverActiveChanged(bool active, const QDBusMessage& message) {
    if (!active)
        return;
    reportAndEmit(
        QStringLiteral("%1 ActiveChanged (screen saver active)").arg(message.interface()));
}

void SessionLockWatcher::reportAndEmit(const QString& what) {
    qWarning("SessionLockWatcher: %s at %s -- wiping session.", qPrintable(what),
             qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)));
    Q_EMIT sessionLockedOrSuspended();
}

} // namespace korvex::platform
