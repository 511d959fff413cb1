#pragma once

#include <QByteArray>
#include <QString>

namespace korvex::core {

// idlelock.dat: minutes of inactivity before the idle warning, 0 (off) to 1440, in an
// authenticated settings file.
inline constexpr int kDefaultIdleTimeoutMinutes = 15;
inline constexpr int kMaxIdleTimeoutMinutes = 1440;

// The stored minutes clamped into 0..1440; 15 when the file is missing, unreadable, fails
// verification, is not an object, lacks the value or holds a non-integer.
int loadIdleTimeoutMinutes(const QString& path);
// Clamps minutes into 0..1440 and replaces the file atomically; false leaves the old file.
bool saveIdleTimeoutMinutes(const QString& path, int minutes);
// The setting for a window that asks on every mouse move and key press: the file (and its key
// file) is read and verified again only when either changed on disk since the last read.
class IdleTimeoutSource {
public:
    explicit IdleTimeoutSource(const QString& path) : path_(path) {}
    int minutes();

private:
    QString path_;
    QByteArray stamp_;
    int minutes_ = kDefaultIdleTimeoutMinutes;
};

// The idle timer's interval for minutes, capped at the largest timer interval (2147483647 ms).
int idleTimeoutMilliseconds(int minutes);

} // namespace korvex::core
