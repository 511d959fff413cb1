#pragma once

#include <QDateTime>

namespace korvex::core {

// Where time-dependent logic (lockout, one-time codes) reads the time, so that tests can move
// it forward and back instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime nowUtc() const = 0;
    qint64 unixSeconds() const { return nowUtc().toSecsSinceEpoch(); }
};

class SystemClock final : public Clock {
public:
    QDateTime nowUtc() const override { return QDateTime::currentDateTimeUtc(); }
};

// The process-wide wall clock.
const Clock& systemClock();

} // namespace korvex::core
