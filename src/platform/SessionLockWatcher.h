#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtGlobal>
#include <optional>

class QDBusMessage;

namespace korvex::platform {

// Turns the desktop's "the user is gone" events into one signal, sessionLockedOrSuspended, on
// which the main window wipes the session and signs the user out.
//
// On Linux these events are D-Bus signals:
//  - logind (system bus): Lock on this process's own session, the session becoming inactive
//    (switched away from on its seat), and PrepareForSleep(true) before a suspend;
//  - screen savers (session bus): ActiveChanged(true) from the freedesktop, GNOME, Xfce, MATE
//    and Cinnamon screen-saver interfaces.
// Each event writes one warning line and emits the signal once; Unlock, resumes and screen
// savers going inactive are ignored. One lock may arrive by more than one route (logind and the
// screen saver both report it); the receiver's wipe must act only once.
//
// Suspend: logind only waits for programs that hold a "delay" sleep inhibitor. Take one with
// holdSleepInhibitor(); connect sessionLockedOrSuspended directly (same thread, the default
// automatic connection), wipe in the slot and then call releaseSleepInhibitor(), so that the
// keys are gone before the machine sleeps. The watcher never releases it on its own after
// emitting, as a queued receiver would then still hold the keys when the machine sleeps; a
// receiver that never releases only delays the suspend by logind's maximum delay.
//
// All of it runs on the thread that owns the watcher; the D-Bus calls block it briefly
// (bounded by a timeout) while registering and while taking the inhibitor.
class SessionLockWatcher : public QObject {
    Q_OBJECT
public:
    // Listens on the real system bus (logind) and session bus (screen savers).
    explicit SessionLockWatcher(QObject* parent = nullptr);
    // For tests and embedders: the buses to listen on.
    SessionLockWatcher(const QDBusConnection& systemBus, const QDBusConnection& sessionBus,
                       QObject* parent = nullptr);
    // Releases the inhibitor and disconnects every subscription.
    ~SessionLockWatcher() override;

    SessionLockWatcher(const SessionLockWatcher&) = delete;
    SessionLockWatcher& operator=(const SessionLockWatcher&) = delete;

    // Called on every show of the main window; the handle is unused on Linux. Subscribes to the
    // events above. True when some lock or suspend detection is in place: logind is on the
    // system bus (its PrepareForSleep, and with a session found, Lock and the session's
    // activity), or a screen saver currently owns one of its names on the session bus. A match
    // rule alone proves nothing: the bus accepts one whether or not anything will ever send the
    // signal, so an absent screen saver does not count, though its subscription stays in place
    // should one start later.
    // Once true, later calls return true at once and subscribe nothing twice; after false, the
    // next call tries again what is still missing.
    bool registerFor(quintptr windowHandle);

    // Takes a logind "delay" inhibitor for sleep and keeps its descriptor. False when logind is
    // not reachable or refuses. True at once when one is already held.
    bool holdSleepInhibitor();
    // Closes the inhibitor's descriptor, letting a delayed suspend proceed. Idempotent.
    void releaseSleepInhibitor();
    bool holdsSleepInhibitor() const;

Q_SIGNALS:
    void sessionLockedOrSuspended();

private Q_SLOTS:
    void onSessionLock();
    void onSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                    const QStringList& invalidated);
    void onPrepareForSleep(bool start);
    void onScreenSaverActiveChanged(bool active, const QDBusMessage& message);

private:
    bool subscribeToLogind();
    bool subscribeToScreenSavers();
    bool screenSaverPresent() const;
    std::optional<QString> findOwnSession() const;
    void disconnectAll();
    void reportAndEmit(const QString& what);

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    bool registered_ = false;
    bool sleepSubscribed_ = false;
    QString sessionPath_; // empty until Lock and activity are subscribed for it
    bool screenSaversSubscribed_ = false;
    int inhibitorFd_ = -1;
};

} // namespace korvex::platform
