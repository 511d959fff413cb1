#pragma once

#include "core/Clock.h"

#include <QDateTime>
#include <QString>
#include <memory>
#include <optional>

namespace korvex::core {

// A per-user store that survives deletion of the data folder, holding the lockout "floor": a
// second copy of the failed count (and cooldown end) so that deleting or restoring the
// lockout file does not wipe the history. Value names are chosen by the tracker.
class LockoutFloorStore {
public:
    virtual ~LockoutFloorStore() = default;
    virtual std::optional<quint32> readCount(const QString& name) = 0;
    virtual std::optional<QString> readText(const QString& name) = 0;
    virtual bool writeCount(const QString& name, quint32 count) = 0;
    virtual bool writeText(const QString& name, const QString& text) = 0;
    virtual bool remove(const QString& name) = 0;
};

// The floor in the user's native settings store under Software/Zelvora/LockoutFloor: on
// Linux a file in the user's configuration folder, on Windows the registry key of that name.
// A path gives an explicit settings file instead (used by tests).
std::unique_ptr<LockoutFloorStore>
createSettingsFloorStore(const QString& settingsFilePath = QString());

struct LockoutRecord {
    int failedCount = 0;
    QDateTime cooldownUntil; // invalid when no cooldown applies
    QDateTime lastSeen;      // the latest wall-clock time accepted; never moves backwards
};

// Counts consecutive failed sign-in attempts in a protected file (identity.dat.lockout) and
// the floor, and imposes a doubling cooldown from the sixth failure on (2 s ... 60 s). A clock
// set back does not shorten a cooldown, and a deleted or altered file costs a failure.
class LockoutTracker {
public:
    // floor may be null: the user's settings store is used.
    explicit LockoutTracker(const QString& lockoutPath, const Clock& clock = systemClock(),
                            std::shared_ptr<LockoutFloorStore> floor = nullptr);

    // True when the lockout file was saved.
    bool recordFailedAttempt();
    void resetFailedAttempts();
    // Whole seconds of cooldown left, 0 when none; never more than the current step.
    int lockoutSecondsRemaining();

    // Cooldown after failedCount consecutive failures; 0 when none applies.
    static int cooldownSeconds(int failedCount);
    const QString& path() const { return path_; }

private:
    // The state every operation starts from: the file, the failures recorded by this process
    // and the floor, in that order. floorName receives the floor's value name.
    LockoutRecord effectiveState(QString* floorName);

    QString path_;
    const Clock& clock_;
    std::shared_ptr<LockoutFloorStore> floor_;
    LockoutRecord cached_;
    // The last write of the lockout file failed, so the file does not hold this process's
    // state; a missing or stale file is then not charged as tampering again.
    bool unsaved_ = false;
};

} // namespace korvex::core
