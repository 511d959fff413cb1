#include "FakeLogind.h"
#include "PrivateBusDaemon.h"
#include "PrivateSessionBus.h"
#include "platform/SessionLockWatcher.h"

#include <QDBusConnection>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>
#include <memory>
#include <unistd.h>

using korvex::platform::SessionLockWatcher;
using korvex::test::FakeLogind;
using korvex::test::PrivateBusDaemon;
using korvex::test::PrivateSessionBus;

namespace {

const QString kOwnSessionId = QStringLiteral("c7");
const QString kOwnSession = QStringLiteral("/org/freedesktop/login1/session/c7");
const QString kSessionByPid = QStringLiteral("/org/freedesktop/login1/session/_32");
const QString kOtherSession = QStringLiteral("/org/freedesktop/login1/session/c9");

// The watcher's warning lines, in the order written.
QStringList gWarnings;
QtMessageHandler gPreviousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("SessionLockWatcher:")))
        gWarnings.append(message);
    if (gPreviousHandler)
        gPreviousHandler(type, context, message);
}

QStringList wipeLines() {
    QStringList lines;
    for (const QString& line : gWarnings) {
        if (line.endsWith(QStringLiteral(" -- wiping session.")))
            lines.append(line);
    }
    return lines;
}

// "SessionLockWatcher: <what> at <UTC ISO time> -- wiping session."
QString whatOf(const QString& line) {
    static const QRegularExpression format(
        QStringLiteral("^SessionLockWatcher: (.+) at \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ -- "
                       "wiping session\\.$"));
    const QRegularExpressionMatch match = format.match(line);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<malformed: %1>").arg(line);
}

enum class Event {
    Lock,
    Unlock,
    OtherSessionLock,
    ImpostorLock,
    SleepStarts,
    SleepEnds,
    SessionInactive,
    SessionActive,
    ScreenSaverOn,
    ScreenSaverOff,
};

} // namespace

class TestSessionLockWatcher : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void eachEventWipesOnceOthersAreIgnored_data();
    void eachEventWipesOnceOthersAreIgnored();
    void findsItsOwnSession_data();
    void findsItsOwnSession();
    void registerForTellsWhetherDetectionIsActive();
    void registerForRetriesAfterNothingWasFound();
    void sleepInhibitorIsHeldAndReleased();
    void sleepInhibitorUnavailable();
    void suspendWaitsForTheReceiversWipe();
    void defaultBusesComeFromTheEnvironment();

private:
    std::unique_ptr<SessionLockWatcher> registeredWatcher() {
        auto watcher = std::make_unique<SessionLockWatcher>(watcherSystem_, watcherSession_);
        return watcher->registerFor(1) ? std::move(watcher) : nullptr;
    }
    bool sendScreenSaver(const QString& interface, bool active) {
        return FakeLogind::sendInOrder(screenSaver_, QStringLiteral("/org/gnome/ScreenSaver"),
                                       interface, QStringLiteral("ActiveChanged"), {active});
    }

    PrivateSessionBus sessionBus_;
    PrivateBusDaemon systemBus_;
    std::unique_ptr<FakeLogind> logind_;
    // The watcher's own connections, apart from those of the services it listens to.
    QDBusConnection watcherSystem_{QString()};
    QDBusConnection watcherSession_{QString()};
    // A screen saver's connection on the session bus, and an ordinary client on the system bus.
    QDBusConnection screenSaver_{QString()};
    QDBusConnection impostor_{QString()};
};

void TestSessionLockWatcher::initTestCase() {
    QVERIFY(sessionBus_.start(PrivateSessionBus::Keyring::None));
    QVERIFY(systemBus_.start());
    // Nothing here may ever reach the machine's own system bus.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus_.address().toUtf8());
    const QString sessionAddress = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");

    logind_ = std::make_unique<FakeLogind>(systemBus_.address(), QStringLiteral("fake-logind"));
    QVERIFY(logind_->start());
    logind_->addSession(kOwnSessionId, kOwnSession);
    logind_->addSession(QStringLiteral("c9"), kOtherSession);
    logind_->setSessionByPid(kSessionByPid);

    watcherSystem_ = QDBusConnection::connectToBus(systemBus_.address(), QStringLiteral("w-sys"));
    watcherSession_ = QDBusConnection::connectToBus(sessionAddress, QStringLiteral("w-session"));
    screenSaver_ = QDBusConnection::connectToBus(sessionAddress, QStringLiteral("screensaver"));
    impostor_ = QDBusConnection::connectToBus(systemBus_.address(), QStringLiteral("impostor"));
    for (const QDBusConnection& connection :
         {watcherSystem_, watcherSession_, screenSaver_, impostor_})
        QVERIFY(connection.isConnected());

    gPreviousHandler = qInstallMessageHandler(recordWarnings);
}

void TestSessionLockWatcher::init() {
    gWarnings.clear();
    logind_->clearCalls();
    logind_->setRefuseInhibit(false);
    qputenv("XDG_SESSION_ID", kOwnSessionId.toUtf8());
    screenSaver_.unregisterService(QStringLiteral("org.gnome.ScreenSaver"));
}

void TestSessionLockWatcher::cleanupTestCase() {
    qInstallMessageHandler(gPreviousHandler);
    logind_.reset();
}

void TestSessionLockWatcher::eachEventWipesOnceOthersAreIgnored_data() {
    QTest::addColumn<Event>("event");
    QTest::addColumn<QString>("screenSaver");
    QTest::addColumn<QString>("expected"); // what the wipe line names; empty when ignored

    const QString gnome = QStringLiteral("org.gnome.ScreenSaver");
    QTest::newRow("session Lock") << Event::Lock << QString()
                                  << QStringLiteral("logind session Lock");
    QTest::newRow("session Unlock") << Event::Unlock << QString() << QString();
    QTest::newRow("another session's Lock") << Event::OtherSessionLock << QString() << QString();
    QTest::newRow("Lock from a client that is not logind")
        << Event::ImpostorLock << QString() << QString();
    QTest::newRow("PrepareForSleep(true)")
        << Event::SleepStarts << QString()
        << QStringLiteral("PrepareForSleep (system going to sleep)");
    QTest::newRow("PrepareForSleep(false)") << Event::SleepEnds << QString() << QString();
    QTest::newRow("session switched away")
        << Event::SessionInactive << QString() << QStringLiteral("logind session no longer active");
    QTest::newRow("session active again") << Event::SessionActive << QString() << QString();
    for (const char* name :
         {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver", "org.xfce.ScreenSaver",
          "org.mate.ScreenSaver", "org.cinnamon.ScreenSaver"}) {
        const QString interface = QString::fromLatin1(name);
        QTest::addRow("%s ActiveChanged(true)", name)
            << Event::ScreenSaverOn
            << interface << interface + QStringLiteral(" ActiveChanged (screen saver active)");
    }
    QTest::newRow("screen saver ActiveChanged(false)")
        << Event::ScreenSaverOff << gnome << QString();
}

// Each event is followed by a marker event from the same sender on the same bus, which the
// watcher handles after it: once the marker's line is written, anything the event caused has
// happened, so "ignored" and "exactly once" need no waiting.
void TestSessionLockWatcher::eachEventWipesOnceOthersAreIgnored() {
    QFETCH(Event, event);
    QFETCH(QString, screenSaver);
    QFETCH(QString, expected);

    auto watcher = registeredWatcher();
    QVERIFY(watcher);
    // A second show keeps the first registration: nothing is subscribed twice.
    QVERIFY(watcher->registerFor(2));
    QSignalSpy wiped(watcher.get(), &SessionLockWatcher::sessionLockedOrSuspended);

    bool sent = false;
    switch (event) {
    case Event::Lock:
        sent = logind_->sendLock(kOwnSession);
        break;
    case Event::Unlock:
        sent = logind_->sendSignal(kOwnSession, FakeLogind::kSessionInterface,
                                   QStringLiteral("Unlock"), {});
        break;
    case Event::OtherSessionLock:
        sent = logind_->sendLock(kOtherSession);
        break;
    case Event::ImpostorLock:
        sent = FakeLogind::sendInOrder(impostor_, kOwnSession, FakeLogind::kSessionInterface,
                                       QStringLiteral("Lock"), {});
        break;
    case Event::SleepStarts:
    case Event::SleepEnds:
        sent = logind_->sendPrepareForSleep(event == Event::SleepStarts);
        break;
    case Event::SessionInactive:
    case Event::SessionActive:
        sent = logind_->sendSessionActive(kOwnSession, event == Event::SessionActive);
        break;
    case Event::ScreenSaverOn:
    case Event::ScreenSaverOff:
        sent = sendScreenSaver(screenSaver, event == Event::ScreenSaverOn);
        break;
    }
    QVERIFY(sent);

    const bool onSessionBus = event == Event::ScreenSaverOn || event == Event::ScreenSaverOff;
    QString marker;
    if (onSessionBus) {
        const QString markerInterface = screenSaver == QStringLiteral("org.xfce.ScreenSaver")
                                            ? QStringLiteral("org.mate.ScreenSaver")
                                            : QStringLiteral("org.xfce.ScreenSaver");
        QVERIFY(sendScreenSaver(markerInterface, true));
        marker = markerInterface + QStringLiteral(" ActiveChanged (screen saver active)");
    } else if (event == Event::SleepStarts) {
        QVERIFY(logind_->sendLock(kOwnSession));
        marker = QStringLiteral("logind session Lock");
    } else {
        QVERIFY(logind_->sendPrepareForSleep(true));
        marker = QStringLiteral("PrepareForSleep (system going to sleep)");
    }

    QTRY_VERIFY(!wipeLines().isEmpty() && whatOf(wipeLines().constLast()) == marker);
    QStringList expectedLines;
    if (!expected.isEmpty())
        expectedLines.append(expected);
    expectedLines.append(marker);
    QStringList seen;
    for (const QString& line : wipeLines())
        seen.append(whatOf(line));
    QCOMPARE(seen, expectedLines);
    QCOMPARE(wiped.count(), expectedLines.size());
}

void TestSessionLockWatcher::findsItsOwnSession_data() {
    QTest::addColumn<QByteArray>("sessionId"); // XDG_SESSION_ID; null for unset
    QTest::addColumn<QString>("session");
    QTest::addColumn<QStringList>("calls");

    const QString byPid = QStringLiteral("GetSessionByPID(%1)").arg(::getpid());
    QTest::newRow("XDG_SESSION_ID names it")
        << kOwnSessionId.toUtf8() << kOwnSession << QStringList{QStringLiteral("GetSession(c7)")};
    QTest::newRow("no XDG_SESSION_ID: by process")
        << QByteArray() << kSessionByPid << QStringList{byPid};
    QTest::newRow("XDG_SESSION_ID unknown to logind: by process")
        << QByteArray("c404") << kSessionByPid
        << QStringList{QStringLiteral("GetSession(c404)"), byPid};
}

void TestSessionLockWatcher::findsItsOwnSession() {
    QFETCH(QByteArray, sessionId);
    QFETCH(QString, session);
    QFETCH(QStringList, calls);
    if (sessionId.isNull())
        qunsetenv("XDG_SESSION_ID");
    else
        qputenv("XDG_SESSION_ID", sessionId);

    auto watcher = registeredWatcher();
    QVERIFY(watcher);
    QCOMPARE(logind_->calls(), calls);
    QSignalSpy wiped(watcher.get(), &SessionLockWatcher::sessionLockedOrSuspended);
    QVERIFY(logind_->sendLock(session));
    QTRY_COMPARE(wiped.count(), 1);
}

void TestSessionLockWatcher::registerForTellsWhetherDetectionIsActive() {
    // A bus that cannot be reached.
    const QDBusConnection nowhere = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/zelvora-bus"), QStringLiteral("nowhere"));
    QVERIFY(!nowhere.isConnected());
    SessionLockWatcher unreachable(nowhere, nowhere);
    QVERIFY(!unreachable.registerFor(1));

    // Working buses with no logind (the session bus has none) and no screen saver: a signal
    // subscription succeeds on any working bus, but nothing would ever send the signal.
    SessionLockWatcher idle(watcherSession_, watcherSession_);
    QVERIFY(!idle.registerFor(1));

    // No logind, but a screen saver runs.
    QVERIFY(screenSaver_.registerService(QStringLiteral("org.gnome.ScreenSaver")));
    SessionLockWatcher screenSaverOnly(nowhere, watcherSession_);
    QVERIFY(screenSaverOnly.registerFor(1));
    QSignalSpy wiped(&screenSaverOnly, &SessionLockWatcher::sessionLockedOrSuspended);
    QVERIFY(sendScreenSaver(QStringLiteral("org.gnome.ScreenSaver"), true));
    QTRY_COMPARE(wiped.count(), 1);
    QVERIFY(screenSaver_.unregisterService(QStringLiteral("org.gnome.ScreenSaver")));

    // logind alone, with no session for this process: PrepareForSleep still counts.
    qunsetenv("XDG_SESSION_ID");
    logind_->setSessionByPid(QString());
    SessionLockWatcher sleepOnly(watcherSystem_, nowhere);
    const bool sleepOnlyRegistered = sleepOnly.registerFor(1);
    logind_->setSessionByPid(kSessionByPid);
    QVERIFY(sleepOnlyRegistered);
    QVERIFY(gWarnings.contains(QStringLiteral("SessionLockWatcher: logind knows no session for "
                                              "this process -- session lock detection is "
                                              "inactive.")));
    QSignalSpy slept(&sleepOnly, &SessionLockWatcher::sessionLockedOrSuspended);
    QVERIFY(logind_->sendPrepareForSleep(true));
    QTRY_COMPARE(slept.count(), 1);
}

void TestSessionLockWatcher::registerForRetriesAfterNothingWasFound() {
    SessionLockWatcher watcher(watcherSession_, watcherSession_);
    QVERIFY(!watcher.registerFor(1));
    QVERIFY(!watcher.registerFor(1));

    // A screen saver starts before the window is shown again.
    QVERIFY(screenSaver_.registerService(QStringLiteral("org.gnome.ScreenSaver")));
    QVERIFY(watcher.registerFor(1));
    QVERIFY(watcher.registerFor(1));

    // The earlier attempts subscribed once between them: one event, one emission.
    QSignalSpy wiped(&watcher, &SessionLockWatcher::sessionLockedOrSuspended);
    QVERIFY(sendScreenSaver(QStringLiteral("org.gnome.ScreenSaver"), true));
    QVERIFY(sendScreenSaver(QStringLiteral("org.freedesktop.ScreenSaver"), true));
    QTRY_COMPARE(wipeLines().size(), 2);
    QCOMPARE(wiped.count(), 2);
}

void TestSessionLockWatcher::sleepInhibitorIsHeldAndReleased() {
    auto watcher = std::make_unique<SessionLockWatcher>(watcherSystem_, watcherSession_);
    QVERIFY(!watcher->holdsSleepInhibitor());
    const int first = logind_->inhibitorsGiven();

    QVERIFY(watcher->holdSleepInhibitor());
    QVERIFY(watcher->holdsSleepInhibitor());
    QVERIFY(watcher->holdSleepInhibitor()); // held already: no second inhibitor
    QCOMPARE(logind_->inhibitorsGiven(), first + 1);
    const QStringList calls = logind_->calls();
    QCOMPARE(calls.size(), 1);
    QVERIFY2(calls.constFirst().startsWith(QStringLiteral("Inhibit(sleep,Zelvora,")) &&
                 calls.constFirst().endsWith(QStringLiteral(",delay)")),
             qPrintable(calls.constFirst()));
    QTRY_VERIFY(logind_->inhibitor(first) == FakeLogind::Inhibitor::Held);

    watcher->releaseSleepInhibitor();
    QVERIFY(!watcher->holdsSleepInhibitor());
    QTRY_VERIFY(logind_->inhibitor(first) == FakeLogind::Inhibitor::Released);
    watcher->releaseSleepInhibitor(); // nothing held: nothing happens

    // Taken again, and let go by destruction.
    QVERIFY(watcher->holdSleepInhibitor());
    QCOMPARE(logind_->inhibitorsGiven(), first + 2);
    QVERIFY(logind_->inhibitor(first + 1) == FakeLogind::Inhibitor::Held);
    watcher.reset();
    QTRY_VERIFY(logind_->inhibitor(first + 1) == FakeLogind::Inhibitor::Released);
}

void TestSessionLockWatcher::sleepInhibitorUnavailable() {
    const QDBusConnection nowhere = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/zelvora-bus"), QStringLiteral("nowhere"));
    SessionLockWatcher unreachable(nowhere, nowhere);
    QVERIFY(!unreachable.holdSleepInhibitor());
    QVERIFY(!unreachable.holdsSleepInhibitor());

    SessionLockWatcher noLogind(watcherSession_, watcherSession_);
    QVERIFY(!noLogind.holdSleepInhibitor());
    QVERIFY(!noLogind.holdsSleepInhibitor());

    logind_->setRefuseInhibit(true);
    SessionLockWatcher refused(watcherSystem_, watcherSession_);
    QVERIFY(!refused.holdSleepInhibitor());
    QVERIFY(!refused.holdsSleepInhibitor());
    QCOMPARE(gWarnings.size(), 3);
}

// The receiver wipes inside the emission and then lets the suspend go on; until it does, the
// watcher keeps holding the suspend back.
void TestSessionLockWatcher::suspendWaitsForTheReceiversWipe() {
    auto watcher = registeredWatcher();
    QVERIFY(watcher);
    QVERIFY(watcher->holdSleepInhibitor());
    const int inhibitor = logind_->inhibitorsGiven() - 1;

    bool heldDuringWipe = false;
    int wipes = 0;
    connect(watcher.get(), &SessionLockWatcher::sessionLockedOrSuspended, this, [&] {
        heldDuringWipe = watcher->holdsSleepInhibitor() &&
                         logind_->inhibitor(inhibitor) == FakeLogind::Inhibitor::Held;
        ++wipes;
        watcher->releaseSleepInhibitor();
    });
    QVERIFY(logind_->sendPrepareForSleep(true));
    QTRY_COMPARE(wipes, 1);
    QVERIFY(heldDuringWipe);
    QTRY_VERIFY(logind_->inhibitor(inhibitor) == FakeLogind::Inhibitor::Released);
}

void TestSessionLockWatcher::defaultBusesComeFromTheEnvironment() {
    // Both addresses were set before anything opened the process-wide buses.
    QVERIFY(screenSaver_.registerService(QStringLiteral("org.gnome.ScreenSaver")));
    SessionLockWatcher watcher;
    QVERIFY(watcher.registerFor(1));
    QSignalSpy wiped(&watcher, &SessionLockWatcher::sessionLockedOrSuspended);
    QVERIFY(logind_->sendLock(kOwnSession));
    QTRY_COMPARE(wiped.count(), 1);
    QVERIFY(sendScreenSaver(QStringLiteral("org.gnome.ScreenSaver"), true));
    QTRY_COMPARE(wiped.count(), 2);
}

QTEST_GUILESS_MAIN(TestSessionLockWatcher)
#include "tst_sessionlockwatcher.moc"
