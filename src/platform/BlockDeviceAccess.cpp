#include "platform/BlockDeviceAccess.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QList>
#include <QVariant>
#include <QVariantMap>
#include <QtDebug>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvex::platform {

namespace {

const QString kUDisks = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockDevicesPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");

// UDisks2 answers a lookup at once.
constexpr int kLookupTimeoutMs = 25000;
// OpenDevice waits while polkit asks the user for an administrator password; the user may take
// a while to find it.
constexpr int kAuthorisationTimeoutMs = 5 * 60 * 1000;

// Kernel block device names are short ("sda", "nvme0n1", "mmcblk0", "dm-0", "loop3").
constexpr qsizetype kMaxKernelNameLength = 64;

bool isSaneKernelName(const QString& name) {
    if (name.isEmpty() || name.size() > kMaxKernelNameLength || name.startsWith(QLatin1Char('.')))
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                        (u >= u'0' && u <= u'9') || u == u'-' || u == u'_' || u == u'.' ||
                        u == u'+' || u == u':';
        if (!ok)
            return false;
    }
    return !name.contains(QStringLiteral(".."));
}

void setError(BlockDeviceOpenError* error, BlockDeviceOpenError value) {
    if (error)
        *error = value;
}

// Keeps fd when it is a read-write descriptor of the block device expectedDevice; closes it
// otherwise. Returns fd or -1.
int checkedDescriptor(int fd, dev_t expectedDevice, BlockDeviceOpenError* error) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        ::close(fd);
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    if (!S_ISBLK(status.st_mode) || status.st_rdev != expectedDevice) {
        ::close(fd);
        setError(error, BlockDeviceOpenError::NotFound);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) {
        ::close(fd);
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    setError(error, BlockDeviceOpenError::None);
    return fd;
}

// UDisks2 names its objects after the kernel name, every byte outside [A-Za-z0-9] written as
// "_" and two hex digits.
QString udisksObjectPath(const QString& kernelName) {
    QString path = kBlockDevicesPath;
    for (const char c : kernelName.toLatin1()) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            path.append(QLatin1Char(c));
        else
            path.append(QStringLiteral("_%1").arg(uint(uchar(c)), 2, 16, QLatin1Char('0')));
    }
    return path;
}

// What a failed UDisks2 call means to the caller.
BlockDeviceOpenError errorOf(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    const QString text = reply.errorMessage();
    if (name.startsWith(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized")))
        return BlockDeviceOpenError::NotAuthorized;
    // Nobody there to give authorisation, or the bus does not let us ask.
    if (name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.Disconnected") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.NoServer") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.AccessDenied") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.AuthFailed"))
        return BlockDeviceOpenError::NotAuthorized;
    // UDisks2 reports a failed open() as Error.Failed with strerror's text.
    if (name == QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy") ||
        text.contains(QStringLiteral("EBUSY")) ||
        text.contains(QStringLiteral("Device or resource busy")))
        return BlockDeviceOpenError::Busy;
    if (name == QStringLiteral("org.freedesktop.DBus.Error.UnknownObject") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.UnknownInterface") ||
        name == QStringLiteral("org.freedesktop.UDisks2.Error.NotFound"))
        return BlockDeviceOpenError::NotFound;
    return BlockDeviceOpenError::Failed;
}

// The UDisks2 object of /dev/<kernelName>. Asks the Manager where it can (UDisks2 2.7.3 and
// later); older versions name the object after the kernel name. Empty with error set when the
// device is unknown or UDisks2 cannot be reached.
QString udisksBlockObject(const QDBusConnection& bus, const QString& kernelName,
                          BlockDeviceOpenError* error) {
    QDBusMessage resolve = QDBusMessage::createMethodCall(kUDisks, kManagerPath, kManagerInterface,
                                                          QStringLiteral("ResolveDevice"));
    resolve.setArguments(
        {QVariantMap{{QStringLiteral("path"), QStringLiteral("/dev/") + kernelName}},
         QVariantMap()});
    const QDBusMessage reply = bus.call(resolve, QDBus::Block, kLookupTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        const QList<QDBusObjectPath> objects =
            reply.arguments().isEmpty()
                ? QList<QDBusObjectPath>()
                : qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().constFirst());
        if (objects.isEmpty() || objects.constFirst().path().isEmpty()) {
            *error = BlockDeviceOpenError::NotFound;
            return QString();
        }
        return objects.constFirst().path();
    }
    const BlockDeviceOpenError failure = errorOf(reply);
    // An older UDisks2 without ResolveDevice (or without the Manager object).
    if (failure == BlockDeviceOpenError::NotFound)
        return udisksObjectPath(kernelName);
    *error = failure;
    if (failure == BlockDeviceOpenError::Failed)
        qWarning() << "BlockDeviceAccess: UDisks2 could not look up" << kernelName << "-"
                   << reply.errorName() << reply.errorMessage();
    return QString();
}

// Opens /dev/<kernelName> through UDisks2, which asks polkit, which may ask the user.
int openThroughUDisks(const QString& kernelName, dev_t expectedDevice,
                      BlockDeviceOpenError* error) {
    // Blocking calls need no event loop: the connection is served by Qt's own D-Bus thread,
    // with or without an application object.
    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        setError(error, BlockDeviceOpenError::NotAuthorized);
        return -1;
    }
    BlockDeviceOpenError lookupError = BlockDeviceOpenError::Failed;
    const QString object = udisksBlockObject(bus, kernelName, &lookupError);
    if (object.isEmpty()) {
        setError(error, lookupError);
        return -1;
    }

    QDBusMessage open = QDBusMessage::createMethodCall(kUDisks, object, kBlockInterface,
                                                       QStringLiteral("OpenDevice"));
    open.setArguments(
        {QStringLiteral("rw"), QVariantMap{{QStringLiteral("flags"), qint32(O_EXCL | O_CLOEXEC)}}});
    open.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage reply = bus.call(open, QDBus::Block, kAuthorisationTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const BlockDeviceOpenError failure = errorOf(reply);
        if (failure == BlockDeviceOpenError::Failed)
            qWarning() << "BlockDeviceAccess: UDisks2 could not open" << kernelName << "-"
                       << reply.errorName() << reply.errorMessage();
        setError(error, failure);
        return -1;
    }
    if (reply.arguments().size() != 1 ||
        reply.arguments().constFirst().userType() != qMetaTypeId<QDBusUnixFileDescriptor>()) {
        qWarning() << "BlockDeviceAccess: UDisks2 answered OpenDevice without a descriptor";
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    const auto handed = reply.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    if (!handed.isValid()) {
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    // The descriptor object closes its own copy when it goes.
    const int fd = ::fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    return checkedDescriptor(fd, expectedDevice, error);
}

} // namespace

bool mayOpenDisksDirectly() {
    if (::geteuid() == 0)
        return true;
    const group* disk = ::getgrnam("disk");
    if (disk == nullptr)
        return false;
    const gid_t diskGroup = disk->gr_gid;
    if (::getegid() == diskGroup)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[std::size_t(i)] == diskGroup)
            return true;
    }
    return false;
}

int openBlockDevice(const QString& kernelName, dev_t expectedDevice, BlockDeviceOpenError* error) {
    if (!isSaneKernelName(kernelName)) {
        setError(error, BlockDeviceOpenError::NotFound);
        return -1;
    }
    const QByteArray path = QFile::encodeName(QStringLiteral("/dev/") + kernelName);
    // Tried first whoever we are: the node may be open to this user (a udev rule, an ACL).
    const int fd = ::open(path.constData(), O_RDWR | O_EXCL | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0)
        return checkedDescriptor(fd, expectedDevice, error);

    switch (errno) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case ELOOP: // a symbolic link, never a device node of its own
        setError(error, BlockDeviceOpenError::NotFound);
        return -1;
    case EBUSY:
        setError(error, BlockDeviceOpenError::Busy);
        return -1;
    case EACCES:
    case EPERM:
        if (!mayOpenDisksDirectly())
            return openThroughUDisks(kernelName, expectedDevice, error);
        setError(error, BlockDeviceOpenError::NotAuthorized);
        return -1;
    default: {
        const int failure = errno;
        qWarning() << "BlockDeviceAccess: cannot open" << kernelName << "-" << strerror(failure);
        setError(error, BlockDeviceOpenError::Failed);
        return -1;
    }
    }
}

} // namespace korvex::platform
