#include "PrivateBusDaemon.h"
#include "platform/BlockDeviceAccess.h"
#include "support/LoopDisk.h"
#include "support/OrdinaryUser.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QFile>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QThread>
#include <QVariantMap>
#include <QtTest>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using korvex::platform::BlockDeviceOpenError;
using korvex::platform::mayOpenDisksDirectly;
using korvex::platform::openBlockDevice;
using korvex::test::LoopDisk;
using korvex::test::OrdinaryUser;
using korvex::test::PrivateBusDaemon;

namespace {

constexpr quint64 kDiskSize = 8 * 1024 * 1024;
// Where the helper writes its marker (see helper_blockdevice.cpp).
constexpr quint64 kMarkerOffset = 1024 * 1024;
const QByteArray kMarker = QByteArrayLiteral("written by helper_blockdevice");
constexpr int kHelperIoFailed = 10;

const QString kBlockDevices = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");

dev_t deviceNumberOf(const QString& path) {
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_rdev : dev_t(0);
}

// A stand-in for UDisks2 on a private bus: it owns org.freedesktop.UDisks2 and answers the
// Manager's ResolveDevice and the block objects' OpenDevice the way UDisks2 does once polkit has
// decided: by opening the device node itself (as root, with the caller's flags) and handing the
// descriptor over, or with an error. Its object lives on a thread of its own, as UDisks2 lives
// in a process of its own.
class FakeUDisks {
public:
    static inline const QString kService = QStringLiteral("org.freedesktop.UDisks2");
    static inline const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");

    // One OpenDevice call as received.
    struct OpenCall {
        QString object;
        QString mode;
        int flags = 0;
        bool interactive = false;
    };

    explicit FakeUDisks(const QString& busAddress)
        : connection_(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-udisks"))) {}

    ~FakeUDisks() {
        connection_.unregisterService(kService);
        connection_.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        thread_.quit();
        thread_.wait();
        delete object_;
        QDBusConnection::disconnectFromBus(QStringLiteral("fake-udisks"));
    }

    FakeUDisks(const FakeUDisks&) = delete;
    FakeUDisks& operator=(const FakeUDisks&) = delete;

    bool start() {
        if (!connection_.isConnected())
            return false;
        thread_.start();
        object_ = new Object(state_);
        // Registered before the move: Qt gives an object registered with its sub-paths a helper
        // child, which has to be made in the object's thread and moves along with it.
        const bool registered =
            connection_.registerVirtualObject(kRoot, object_, QDBusConnection::SubPath);
        object_->moveToThread(&thread_);
        return registered && setPresent(true);
    }

    bool setPresent(bool present) {
        return present ? connection_.registerService(kService)
                       : connection_.unregisterService(kService);
    }

    // Forgets every device, call and refusal; with a Manager that answers ResolveDevice.
    void reset(bool withManager) {
        QMutexLocker lock(&state_.mutex);
        state_.withManager = withManager;
        state_.objects.clear();
        state_.nodes.clear();
        state_.refusal.clear();
        state_.resolved.clear();
        state_.openCalls.clear();
    }
    // The block object of devicePath ("/dev/loop3") is object; its OpenDevice opens node.
    void addDevice(const QString& devicePath, const QString& object, const QString& node) {
        QMutexLocker lock(&state_.mutex);
        state_.objects.insert(devicePath, object);
        state_.nodes.insert(object, node);
    }
    // OpenDevice answers with this error, as when polkit refused; empty: it opens the device.
    void refuseWith(const QString& errorName) {
        QMutexLocker lock(&state_.mutex);
        state_.refusal = errorName;
    }

    QStringList resolved() const {
        QMutexLocker lock(&state_.mutex);
        return state_.resolved;
    }
    QList<OpenCall> openCalls() const {
        QMutexLocker lock(&state_.mutex);
        return state_.openCalls;
    }

private:
    struct State {
        mutable QMutex mutex;
        bool withManager = true;
        QMap<QString, QString> objects; // device path -> object path
        QMap<QString, QString> nodes;   // object path -> node OpenDevice opens
        QString refusal;
        QStringList resolved; // the "path" of every ResolveDevice
        QList<OpenCall> openCalls;
    };

    class Object : public QDBusVirtualObject {
    public:
        explicit Object(State& state) : state_(state) {}

        QString introspect(const QString& path) const override {
            Q_UNUSED(path);
            return QString();
        }

        bool handleMessage(const QDBusMessage& message,
                           const QDBusConnection& connection) override {
            if (message.type() != QDBusMessage::MethodCallMessage)
                return false;
            QMutexLocker lock(&state_.mutex);
            if (message.path() == kRoot + QStringLiteral("/Manager") && state_.withManager &&
                message.interface() == QStringLiteral("org.freedesktop.UDisks2.Manager") &&
                message.member() == QStringLiteral("ResolveDevice")) {
                connection.send(resolveDevice(message));
                return true;
            }
            if (state_.nodes.contains(message.path()) &&
                message.interface() == QStringLiteral("org.freedesktop.UDisks2.Block") &&
                message.member() == QStringLiteral("OpenDevice")) {
                connection.send(openDevice(message));
                return true;
            }
            connection.send(message.createErrorReply(
                QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                QStringLiteral("No such interface or method at this object")));
            return true;
        }

    private:
        QDBusMessage resolveDevice(const QDBusMessage& message) {
            const QVariantMap spec = message.arguments().isEmpty()
                                         ? QVariantMap()
                                         : qdbus_cast<QVariantMap>(message.arguments().at(0));
            const QString path = spec.value(QStringLiteral("path")).toString();
            state_.resolved.append(path);
            QList<QDBusObjectPath> found;
            if (state_.objects.contains(path))
                found.append(QDBusObjectPath(state_.objects.value(path)));
            return message.createReply(QVariant::fromValue(found));
        }

        QDBusMessage openDevice(const QDBusMessage& message) {
            OpenCall call;
            call.object = message.path();
            call.interactive = message.isInteractiveAuthorizationAllowed();
            if (message.arguments().size() == 2) {
                call.mode = message.arguments().at(0).toString();
                call.flags = qdbus_cast<QVariantMap>(message.arguments().at(1))
                                 .value(QStringLiteral("flags"))
                                 .toInt();
            }
            state_.openCalls.append(call);
            if (!state_.refusal.isEmpty())
                return message.createErrorReply(state_.refusal, QStringLiteral("Refused"));
            // What UDisks2 lets a caller add to the mode.
            const int allowed = O_DIRECT | O_EXCL | O_SYNC | O_CLOEXEC | O_NONBLOCK;
            if (call.mode != QStringLiteral("rw") || (call.flags & ~allowed) != 0)
                return message.createErrorReply(
                    QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                    QStringLiteral("Invalid mode or flags"));
            const QString node = state_.nodes.value(call.object);
            const int fd =
                ::open(QFile::encodeName(node).constData(), O_RDWR | call.flags | O_CLOEXEC);
            if (fd < 0)
                return message.createErrorReply(
                    QStringLiteral("org.freedesktop.UDisks2.Error.Failed"),
                    QStringLiteral("Error opening device %1: %2")
                        .arg(node, QString::fromLocal8Bit(std::strerror(errno))));
            // The descriptor object keeps its own copy; ours closes now.
            const QDBusMessage reply =
                message.createReply(QVariant::fromValue(QDBusUnixFileDescriptor(fd)));
            ::close(fd);
            return reply;
        }

        State& state_;
    };

    QDBusConnection connection_;
    QThread thread_;
    State state_;
    Object* object_ = nullptr;
};

// How the stand-in answers OpenDevice in a case of the ordinary user's table.
enum class Answer {
    Disk,        // opens the disk that was asked for
    OtherDisk,   // opens another disk
    DiskHeld,    // opens the disk, which the test holds exclusively meanwhile
    Refuse,      // answers with the row's error
    Unknown,     // ResolveDevice knows no such device
    NoUDisks,    // nobody owns org.freedesktop.UDisks2
    NoSystemBus, // there is no bus at the system bus's address
};

} // namespace

class TestBlockDeviceAccess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void onlyRootOrTheDiskGroupMayOpenDisksDirectly();
    void rootOpensDirectlyAndExclusively();
    void refusesWhatIsNotTheExpectedDevice_data();
    void refusesWhatIsNotTheExpectedDevice();
    void ordinaryUserGoesThroughUDisks_data();
    void ordinaryUserGoesThroughUDisks();

private:
    QString skipReason() const {
        if (!LoopDisk::unavailable().isEmpty())
            return LoopDisk::unavailable();
        return disksReady_ ? QString() : QStringLiteral("loop disks could not be attached");
    }

    PrivateBusDaemon systemBus_;
    std::unique_ptr<FakeUDisks> udisks_;
    OrdinaryUser ordinary_;
    LoopDisk disk_;
    LoopDisk otherDisk_;
    bool disksReady_ = false;
};

void TestBlockDeviceAccess::initTestCase() {
    QVERIFY(systemBus_.start(QString(), PrivateBusDaemon::Users::Everyone));
    // Nothing here may ever reach the machine's own system bus.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", systemBus_.address().toUtf8());
    udisks_ = std::make_unique<FakeUDisks>(systemBus_.address());
    QVERIFY(udisks_->start());
    QVERIFY(ordinary_.prepare(QStringLiteral(ZELVORA_BLOCKDEVICE_HELPER)));
    if (LoopDisk::unavailable().isEmpty()) {
        QVERIFY2(disk_.create(kDiskSize, QString()), qPrintable(disk_.lastError()));
        QVERIFY2(otherDisk_.create(kDiskSize, QString()), qPrintable(otherDisk_.lastError()));
        disksReady_ = true;
    }
}

void TestBlockDeviceAccess::cleanupTestCase() {
    udisks_.reset();
}

void TestBlockDeviceAccess::rootOpensDirectlyAndExclusively() {
    if (!skipReason().isEmpty())
        QSKIP(qPrintable(skipReason()));
    QVERIFY(mayOpenDisksDirectly());
    const dev_t device = deviceNumberOf(disk_.devicePath());

    BlockDeviceOpenError error = BlockDeviceOpenError::Failed;
    const int fd = openBlockDevice(disk_.kernelName(), device, &error);
    QVERIFY(fd >= 0);
    QCOMPARE(error, BlockDeviceOpenError::None);
    QCOMPARE(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    QByteArray sector(512, 'z');
    QCOMPARE(::pwrite(fd, sector.constData(), 512, 4096), ssize_t(512));
    QCOMPARE(::fsync(fd), 0);
    QCOMPARE(disk_.read(4096, 512), sector);

    // A second opener (another instance, say) is turned away while the first holds it.
    error = BlockDeviceOpenError::None;
    QCOMPARE(openBlockDevice(disk_.kernelName(), device, &error), -1);
    QCOMPARE(error, BlockDeviceOpenError::Busy);

    ::close(fd);
    const int again = openBlockDevice(disk_.kernelName(), device, &error);
    QVERIFY(again >= 0);
    QCOMPARE(error, BlockDeviceOpenError::None);
    ::close(again);
}

void TestBlockDeviceAccess::onlyRootOrTheDiskGroupMayOpenDisksDirectly() {
    if (::geteuid() == 0)
        QVERIFY(mayOpenDisksDirectly());
    if (!ordinary_.unavailable().isEmpty())
        QSKIP(qPrintable(ordinary_.unavailable()));
    QCOMPARE(ordinary_.run({QStringLiteral("may-open")}), 1);
}

void TestBlockDeviceAccess::refusesWhatIsNotTheExpectedDevice_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("deviceOf"); // the node whose number is expected

    QTest::newRow("the name now belongs to another device") << QString() << QStringLiteral("other");
    QTest::newRow("a character device") << QStringLiteral("null") << QStringLiteral("/dev/null");
    QTest::newRow("no such node") << QStringLiteral("zelvora-no-such-disk")
                                  << QStringLiteral("disk");
    QTest::newRow("empty name") << QStringLiteral("") << QStringLiteral("disk");
    QTest::newRow("a path upwards") << QStringLiteral("../dev/loop0") << QStringLiteral("disk");
    QTest::newRow("a path downwards") << QStringLiteral("disk/by-id/x") << QStringLiteral("disk");
    QTest::newRow("dots") << QStringLiteral("..") << QStringLiteral("disk");
    QTest::newRow("a space") << QStringLiteral("loop0 ") << QStringLiteral("disk");
}

void TestBlockDeviceAccess::refusesWhatIsNotTheExpectedDevice() {
    if (!skipReason().isEmpty())
        QSKIP(qPrintable(skipReason()));
    QFETCH(QString, name);
    QFETCH(QString, deviceOf);
    if (name.isNull())
        name = disk_.kernelName();
    const dev_t expected = deviceOf == QStringLiteral("other")
                               ? deviceNumberOf(otherDisk_.devicePath())
                           : deviceOf == QStringLiteral("disk") ? deviceNumberOf(disk_.devicePath())
                                                                : deviceNumberOf(deviceOf);
    QVERIFY(expected != 0);

    BlockDeviceOpenError error = BlockDeviceOpenError::None;
    QCOMPARE(openBlockDevice(name, expected, &error), -1);
    QCOMPARE(error, BlockDeviceOpenError::NotFound);
    // Nothing refused stays open: the disk can still be opened exclusively.
    const int fd = openBlockDevice(disk_.kernelName(), deviceNumberOf(disk_.devicePath()));
    QVERIFY(fd >= 0);
    ::close(fd);
}

void TestBlockDeviceAccess::ordinaryUserGoesThroughUDisks_data() {
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<QString>("error");    // for Refuse
    QTest::addColumn<bool>("withManager"); // whether the stand-in answers ResolveDevice
    QTest::addColumn<bool>("app");         // whether the helper has a QCoreApplication
    QTest::addColumn<int>("expected");     // the helper's exit status

    const int none = int(BlockDeviceOpenError::None);
    const int notFound = int(BlockDeviceOpenError::NotFound);
    const int busy = int(BlockDeviceOpenError::Busy);
    const int notAuthorized = int(BlockDeviceOpenError::NotAuthorized);
    const int failed = int(BlockDeviceOpenError::Failed);

    QTest::newRow("authorised") << Answer::Disk << QString() << true << true << none;
    QTest::newRow("authorised, no application object")
        << Answer::Disk << QString() << true << false << none;
    QTest::newRow("authorised by a UDisks2 without ResolveDevice")
        << Answer::Disk << QString() << false << true << none;
    QTest::newRow("prompt dismissed")
        << Answer::Refuse << QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")
        << true << true << notAuthorized;
    QTest::newRow("not authorised")
        << Answer::Refuse << QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized") << true
        << true << notAuthorized;
    QTest::newRow("UDisks2 fails otherwise")
        << Answer::Refuse << QStringLiteral("org.freedesktop.UDisks2.Error.Failed") << true << true
        << failed;
    QTest::newRow("held exclusively by another program")
        << Answer::DiskHeld << QString() << true << true << busy;
    QTest::newRow("UDisks2 hands out another device")
        << Answer::OtherDisk << QString() << true << true << notFound;
    QTest::newRow("unknown to UDisks2") << Answer::Unknown << QString() << true << true << notFound;
    QTest::newRow("no UDisks2 on the bus")
        << Answer::NoUDisks << QString() << true << true << notAuthorized;
    QTest::newRow("no system bus")
        << Answer::NoSystemBus << QString() << true << false << notAuthorized;
}

void TestBlockDeviceAccess::ordinaryUserGoesThroughUDisks() {
    if (!skipReason().isEmpty())
        QSKIP(qPrintable(skipReason()));
    if (!ordinary_.unavailable().isEmpty())
        QSKIP(qPrintable(ordinary_.unavailable()));
    QFETCH(Answer, answer);
    QFETCH(QString, error);
    QFETCH(bool, withManager);
    QFETCH(bool, app);
    QFETCH(int, expected);

    const QString object = kBlockDevices + disk_.kernelName();
    udisks_->reset(withManager);
    if (answer != Answer::Unknown)
        udisks_->addDevice(disk_.devicePath(), object,
                           answer == Answer::OtherDisk ? otherDisk_.devicePath()
                                                       : disk_.devicePath());
    udisks_->refuseWith(error);
    QVERIFY(udisks_->setPresent(answer != Answer::NoUDisks));
    QVERIFY(disk_.write(kMarkerOffset, QByteArray(512, '\0')));

    // As another program holding the disk would.
    int held = -1;
    if (answer == Answer::DiskHeld) {
        held = openBlockDevice(disk_.kernelName(), deviceNumberOf(disk_.devicePath()));
        QVERIFY(held >= 0);
    }
    const QString bus = answer == Answer::NoSystemBus
                            ? QStringLiteral("unix:path=/nonexistent/zelvora-no-bus")
                            : systemBus_.address();
    QString errors;
    const int status = ordinary_.run({QStringLiteral("open"), bus, disk_.kernelName(),
                                      QString::number(deviceNumberOf(disk_.devicePath())),
                                      app ? QStringLiteral("app") : QStringLiteral("noapp")},
                                     true, &errors);
    if (held >= 0)
        ::close(held);
    QVERIFY(udisks_->setPresent(true));
    QVERIFY2(status == expected, qPrintable(QStringLiteral("exit status %1, expected %2: %3")
                                                .arg(status)
                                                .arg(expected)
                                                .arg(errors)));

    // Only an authorised open reaches the disk.
    const QByteArray marker = disk_.read(kMarkerOffset, kMarker.size());
    QCOMPARE(marker == kMarker, expected == int(BlockDeviceOpenError::None));

    const bool reachesUDisks = answer != Answer::NoUDisks && answer != Answer::NoSystemBus;
    QCOMPARE(udisks_->resolved(),
             reachesUDisks && withManager ? QStringList{disk_.devicePath()} : QStringList());
    const QList<FakeUDisks::OpenCall> calls = udisks_->openCalls();
    if (!reachesUDisks || answer == Answer::Unknown) {
        QVERIFY(calls.isEmpty());
        return;
    }
    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls.at(0).object, object);
    QCOMPARE(calls.at(0).mode, QStringLiteral("rw"));
    QVERIFY(calls.at(0).flags & O_EXCL);
    // Without it polkit would refuse at once instead of asking the user.
    QVERIFY(calls.at(0).interactive);
}

QTEST_GUILESS_MAIN(TestBlockDeviceAccess)
#include "tst_blockdeviceaccess.moc"
