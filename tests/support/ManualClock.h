#pragma once

#include "core/Clock.h"

namespace korvex::test {

// A clock the test sets and moves; it never moves by itself.
class ManualClock final : public core::Clock {
public:
    explicit ManualClock(const QDateTime& start = QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC))
        : now_(start) {}
    QDateTime nowUtc() const override { return now_; }
    void set(const QDateTime& now) { now_ = now.toUTC(); }
    void setUnix(qint64 seconds) { now_ = QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC); }
    void advance(qint64 seconds) { now_ = now_.addSecs(seconds); }

private:
    QDateTime now_;
};

} // namespace korvex::test
