#include "core/LockoutTracker.h"

#include "protect/LocalIntegrityKey.h"
#include "protect/ProtectedFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonObject>
#include <QJsonValue>
#include <QSettings>
#include <QVariant>
#include <algorithm>
#include <utility>

namespace korvex::core {

namespace {

using protect::EnvelopeKind;
using protect::LocalIntegrityKey;
using protect::ProtectedReadStatus;

constexpr int kMaxFailedCount = 1000000;
constexpr int kFreeAttempts = 5;
constexpr int kMaxCooldownSeconds = 60;
constexpr int kMaxCooldownExponent = 30;

const QString kFailedCountKey = QStringLiteral("failedCount");
const QString kCooldownUntilKey = QStringLiteral("cooldownUntil");
const QString kLastSeenKey = QStringLiteral("lastSeen");
const QString kLockoutSuffix = QStringLiteral(".lockout");
const QString kUntilSuffix = QStringLiteral("_until");

// The floor in a QSettings store. Each operation opens the store afresh, so a value changed
// behind our back is seen at the next read.
class SettingsFloorStore final : public LockoutFloorStore {
public:
    explicit SettingsFloorStore(QString settingsFilePath) : path_(std::move(settingsFilePath)) {}

    std::optional<quint32> readCount(const QString& name) override {
        const auto settings = open();
        const QVariant value = settings->value(name);
        if (!value.isValid())
            return std::nullopt;
        // An ini file gives every value back as text: only an unsigned integer is a count.
        bool ok = false;
        const uint count = value.toString().toUInt(&ok, 10);
        if (!ok)
            return std::nullopt;
        return quint32(count);
    }

    std::optional<QString> readText(const QString& name) override {
        const auto settings = open();
        const QVariant value = settings->value(name);
        if (value.metaType().id() != QMetaType::QString)
            return std::nullopt;
        return value.toString();
    }

    bool writeCount(const QString& name, quint32 count) override {
        const auto settings = open();
        settings->setValue(name, count);
        return commit(*settings);
    }

    bool writeText(const QString& name, const QString& text) override {
        const auto settings = open();
        settings->setValue(name, text);
        return commit(*settings);
    }

    bool remove(const QString& name) override {
        const auto settings = open();
        settings->remove(name);
        return commit(*settings);
    }

private:
    std::unique_ptr<QSettings> open() const {
        if (path_.isEmpty())
            return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                               QStringLiteral("Zelvora"),
                                               QStringLiteral("LockoutFloor"));
        return std::make_unique<QSettings>(path_, QSettings::IniFormat);
    }

    static bool commit(QSettings& settings) {
        settings.sync();
        return settings.status() == QSettings::NoError;
    }

    QString path_;
};

enum class LoadStatus {
    NoRecord = 0,   // nothing there, or a key file that can no longer give its key
    Suspicious = 1, // deleted under a usable key file, altered, or not an object
    Loaded = 2,
};

QDateTime cooldownEnd(const QDateTime& base, int failedCount) {
    const int seconds = LockoutTracker::cooldownSeconds(failedCount);
    return seconds > 0 ? base.addSecs(seconds) : QDateTime();
}

QString timeText(const QDateTime& time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QDateTime parseTime(const QString& text) {
    if (text.isEmpty())
        return QDateTime();
    const QDateTime time = QDateTime::fromString(text, Qt::ISODate);
    return time.isValid() ? time.toUTC() : QDateTime();
}

int clampCount(double value) {
    if (!(value > 0))
        return 0;
    return value >= kMaxFailedCount ? kMaxFailedCount : int(value);
}

LockoutRecord recordFrom(const QJsonObject& object) {
    LockoutRecord record;
    const QJsonValue count = object.value(kFailedCountKey);
    record.failedCount = count.isDouble() ? clampCount(count.toDouble()) : 0;
    record.cooldownUntil = parseTime(object.value(kCooldownUntilKey).toString());
    record.lastSeen = parseTime(object.value(kLastSeenKey).toString());
    return record;
}

bool writeLockoutFile(const QString& path, const LockoutRecord& record) {
    const QJsonObject object{{kFailedCountKey, record.failedCount},
                             {kCooldownUntilKey, timeText(record.cooldownUntil)},
                             {kLastSeenKey, timeText(record.lastSeen)}};
    return protect::writeProtectedFile(path, object, EnvelopeKind::Authenticated);
}

// A key file that says the key itself is gone: the retired format, or a TPM-sealed key whose
// root cannot be had. Nothing under such a key can be verified or rewritten.
bool keyUnusable(const QString& keyFilePath) {
    return LocalIntegrityKey::isOlderKeyFile(keyFilePath) ||
           LocalIntegrityKey::isHardwareKeyLost(keyFilePath);
}

LoadStatus loadLockoutFile(const QString& path, LockoutRecord* record) {
    const QString keyFile = path + QStringLiteral(".key");
    const protect::ProtectedReadResult read =
        protect::readProtectedFile(path, EnvelopeKind::Authenticated);
    switch (read.status) {
    case ProtectedReadStatus::Ok:
        *record = recordFrom(read.object);
        return LoadStatus::Loaded;
    case ProtectedReadStatus::NotAnObject:
        return LoadStatus::Suspicious;
    case ProtectedReadStatus::Unverifiable:
        return keyUnusable(keyFile) ? LoadStatus::NoRecord : LoadStatus::Suspicious;
    case ProtectedReadStatus::KeyUnavailable:
        // A dismissed keyring prompt or a keyring that is not running says nothing about the
        // file: no charge; the cache and the floor still count.
        return LoadStatus::NoRecord;
    case ProtectedReadStatus::Missing:
        break;
    }
    if (!QFile::exists(keyFile))
        return LoadStatus::NoRecord;
    // The file is gone but its key file is there: deleted, unless the key cannot be had at all
    // (the key file alone cannot tell the two apart when the keyring is out of reach).
    protect::KeyLoadFailure failure = protect::KeyLoadFailure::None;
    if (LocalIntegrityKey::loadKey(keyFile, &failure).empty() &&
        protect::isTemporaryKeyFailure(failure))
        return LoadStatus::NoRecord;
    return keyUnusable(keyFile) ? LoadStatus::NoRecord : LoadStatus::Suspicious;
}

QString sha256Hex(const QString& text) {
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString pathDigest(const QString& lockoutPath) {
    return sha256Hex(lockoutPath);
}

// The first 16 hex digits of the digest of the account's keySalt text, or empty when the
// identity beside the lockout file cannot be read and verified.
QString saltPart(const QString& lockoutPath) {
    if (!lockoutPath.endsWith(kLockoutSuffix))
        return QString();
    const QString identityPath = lockoutPath.chopped(kLockoutSuffix.size());
    const protect::ProtectedReadResult identity =
        protect::readProtectedFile(identityPath, EnvelopeKind::Authenticated);
    if (!identity.ok())
        return QString();
    const QString keySalt = identity.object.value(QStringLiteral("keySalt")).toString();
    if (keySalt.isEmpty())
        return QString();
    return sha256Hex(keySalt).left(16);
}

QString floorNameFor(const QString& digest, const QString& salt) {
    return salt.isEmpty() ? digest : digest + QLatin1Char('_') + salt;
}

void writeFloor(LockoutFloorStore& floor, const QString& name, const LockoutRecord& record) {
    floor.writeCount(name, quint32(std::max(record.failedCount, 0)));
    if (record.cooldownUntil.isValid())
        floor.writeText(name + kUntilSuffix, timeText(record.cooldownUntil));
    else
        floor.remove(name + kUntilSuffix);
}

QDateTime laterOf(const QDateTime& lastSeen, const QDateTime& now) {
    return lastSeen.isValid() && lastSeen > now ? lastSeen : now;
}

} // namespace

std::unique_ptr<LockoutFloorStore> createSettingsFloorStore(const QString& settingsFilePath) {
    return std::make_unique<SettingsFloorStore>(settingsFilePath);
}

LockoutTracker::LockoutTracker(const QString& lockoutPath, const Clock& clock,
                               std::shared_ptr<LockoutFloorStore> floor)
    : path_(lockoutPath), clock_(clock), floor_(std::move(floor)) {
    if (!floor_)
        floor_ = createSettingsFloorStore();
}

int LockoutTracker::cooldownSeconds(int failedCount) {
    if (failedCount <= kFreeAttempts)
        return 0;
    const int exponent = std::min(failedCount - kFreeAttempts, kMaxCooldownExponent);
    return int(std::min<qint64>(qint64(1) << exponent, kMaxCooldownSeconds));
}

LockoutRecord LockoutTracker::effectiveState(QString* floorName) {
    const QDateTime now = clock_.nowUtc().toUTC();
    LockoutRecord state;
    const LoadStatus status = loadLockoutFile(path_, &state);

    bool chargedUnsaved = false;
    if (status == LoadStatus::Suspicious) {
        if (unsaved_) {
            // This process could not save its own state, which explains the file; what it
            // meant to save (including any charge already made) is in the cache.
            state = cached_;
        } else {
            // Deleted or altered: that costs at least a sixth failure and a fresh cooldown.
            state.lastSeen = now;
            state.failedCount = std::max(state.failedCount, kFreeAttempts + 1);
            state.cooldownUntil = cooldownEnd(state.lastSeen, state.failedCount);
            chargedUnsaved = !writeLockoutFile(path_, state);
        }
    }

    if (cached_.failedCount > state.failedCount)
        state = cached_;
    if (chargedUnsaved) {
        // Charge once: without this every later check would find the file missing again and
        // restart the cooldown, locking the user out for as long as the file cannot be saved.
        cached_ = state;
        unsaved_ = true;
    }

    // The floor is kept outside the data folder and does not depend on the file's key, so it
    // is consulted even when that key is unusable: a planted key file of the retired format
    // must not wipe the history the way deleting the file cannot.
    const QString name = floorNameFor(pathDigest(path_), saltPart(path_));
    if (floorName)
        *floorName = name;
    const std::optional<quint32> floorCount = floor_->readCount(name);
    if (floorCount && clampCount(double(*floorCount)) > state.failedCount) {
        state.failedCount = clampCount(double(*floorCount));
        const std::optional<QString> until = floor_->readText(name + kUntilSuffix);
        const QDateTime untilTime = until ? parseTime(*until) : QDateTime();
        if (untilTime.isValid()) {
            state.cooldownUntil = untilTime;
        } else {
            state.cooldownUntil = cooldownEnd(now, state.failedCount);
            writeFloor(*floor_, name, state);
        }
    }
    return state;
}

bool LockoutTracker::recordFailedAttempt() {
    QString floorName;
    LockoutRecord state = effectiveState(&floorName);
    const QDateTime now = clock_.nowUtc().toUTC();
    // A clock set back does not move the cooldown's start back with it.
    const QDateTime base = laterOf(state.lastSeen, now);
    state.failedCount += 1;
    state.lastSeen = base;
    state.cooldownUntil = cooldownEnd(base, state.failedCount);

    cached_ = state;
    const bool saved = writeLockoutFile(path_, state);
    unsaved_ = !saved;
    writeFloor(*floor_, floorName, state);
    return saved;
}

void LockoutTracker::resetFailedAttempts() {
    LockoutRecord cleared;
    cleared.lastSeen = clock_.nowUtc().toUTC();
    cached_ = cleared;
    unsaved_ = !writeLockoutFile(path_, cleared);

    const QString digest = pathDigest(path_);
    const QString salt = saltPart(path_);
    const QString name = floorNameFor(digest, salt);
    floor_->remove(name);
    floor_->remove(name + kUntilSuffix);
    if (!salt.isEmpty()) {
        floor_->remove(digest);
        floor_->remove(digest + kUntilSuffix);
    }
}

int LockoutTracker::lockoutSecondsRemaining() {
    const LockoutRecord state = effectiveState(nullptr);
    if (!state.cooldownUntil.isValid())
        return 0;
    const QDateTime reference = laterOf(state.lastSeen, clock_.nowUtc().toUTC());
    if (state.cooldownUntil <= reference)
        return 0;
    // No cooldown outlasts its step of the schedule: an end time taken from the floor can lie
    // far ahead of the reference (a forged value, or a clock set back with the file's lastSeen
    // gone), and must neither lock the account out for good nor overflow.
    const qint64 seconds = reference.secsTo(state.cooldownUntil);
    return int(std::min<qint64>(seconds, cooldownSeconds(state.failedCount)));
}

} // namespace korvex::core
