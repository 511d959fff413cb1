#include "core/IdleLockSetting.h"

#include "protect/ProtectedFile.h"

#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <algorithm>
#include <cmath>
#include <limits>
#include <sys/stat.h>

namespace korvex::core {

namespace {

const QString kTimeoutKey = QStringLiteral("timeoutMinutes");

int clampMinutes(qint64 minutes) {
    return int(std::clamp<qint64>(minutes, 0, kMaxIdleTimeoutMinutes));
}

} // namespace

int loadIdleTimeoutMinutes(const QString& path) {
    const protect::ProtectedReadResult file =
        protect::readProtectedFile(path, protect::EnvelopeKind::Authenticated);
    if (!file.ok() || !file.object.contains(kTimeoutKey))
        return kDefaultIdleTimeoutMinutes;
    const QJsonValue value = file.object.value(kTimeoutKey);
    if (!value.isDouble())
        return kDefaultIdleTimeoutMinutes;
    // JSON numbers are doubles; only a whole number is an integer value.
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::trunc(number))
        return kDefaultIdleTimeoutMinutes;
    if (number <= 0)
        return 0;
    if (number >= kMaxIdleTimeoutMinutes)
        return kMaxIdleTimeoutMinutes;
    return clampMinutes(qint64(number));
}

bool saveIdleTimeoutMinutes(const QString& path, int minutes) {
    QJsonObject object;
    object.insert(kTimeoutKey, clampMinutes(minutes));
    return protect::writeProtectedFile(path, object, protect::EnvelopeKind::Authenticated);
}

namespace {

// What changes whenever a file is replaced or written: device, inode, size, modification and
// status-change times (the latter cannot be set back by anyone).
QByteArray fileStamp(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QByteArrayLiteral("missing;");
    return QByteArray::number(qulonglong(info.st_dev)) + ':' +
           QByteArray::number(qulonglong(info.st_ino)) + ':' +
           QByteArray::number(qlonglong(info.st_size)) + ':' +
           QByteArray::number(qlonglong(info.st_mtim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(info.st_mtim.tv_nsec)) + ':' +
           QByteArray::number(qlonglong(info.st_ctim.tv_sec)) + '.' +
           QByteArray::number(qlonglong(info.st_ctim.tv_nsec)) + ';';
}

} // namespace

int IdleTimeoutSource::minutes() {
    const QByteArray stamp = fileStamp(path_) + fileStamp(path_ + QStringLiteral(".key"));
    if (stamp != stamp_) {
        minutes_ = loadIdleTimeoutMinutes(path_);
        stamp_ = stamp;
    }
    return minutes_;
}

int idleTimeoutMilliseconds(int minutes) {
    const qint64 ms = qint64(clampMinutes(minutes)) * 60000;
    return int(std::min<qint64>(ms, std::numeric_limits<int>::max()));
}

} // namespace korvex::core
