#pragma once

#include <QtGlobal>
#include <atomic>
#include <functional>

namespace korvex::vault {

// The step a long vault operation is in.
enum class TransferStep {
    Starting = 0,
    Encrypting = 1, // reading the source and encrypting it
    Decrypting = 2, // reading the stored record and decrypting it
    Saving = 3,     // the record into the vault, or the exported copy to its place
    Erasing = 4,    // the three passes over an imported original
};

// Shared between the thread doing a long import, export, read or erase and the window that
// shows it: how far the work is, and whether it has been asked to stop. The work looks at
// stopRequested() only at points where stopping leaves everything as it was; from the point
// where it must finish what it started (a commit, an erase) it says so with setStoppable(false)
// and no longer looks.
class TransferProgress {
public:
    // Called on the working thread after each change of step or amount; for whatever follows the
    // work from outside (a test, a tool). Set before the work starts.
    using Observer = std::function<void(const TransferProgress&)>;

    void setObserver(Observer observer) { observer_ = std::move(observer); }

    void requestStop() noexcept { stopRequested_.store(true); }
    // Whether the work should stop now: a stop was asked for, and the work may still stop.
    bool stopRequested() const noexcept { return stoppable_.load() && stopRequested_.load(); }
    // Whether a stop was asked for at all, honoured or not.
    bool stopAsked() const noexcept { return stopRequested_.load(); }
    void setStoppable(bool stoppable) noexcept { stoppable_.store(stoppable); }
    bool stoppable() const noexcept { return stoppable_.load(); }

    void beginStep(TransferStep step, qint64 total) {
        done_.store(0);
        total_.store(total);
        step_.store(step);
        notify();
    }
    void advance(qint64 bytes) {
        done_.fetch_add(bytes);
        notify();
    }

    TransferStep step() const noexcept { return step_.load(); }
    qint64 done() const noexcept { return done_.load(); }
    qint64 total() const noexcept { return total_.load(); }

    // The calls the work makes, for a progress that may be absent.
    static bool stopRequested(const TransferProgress* progress) {
        return progress != nullptr && progress->stopRequested();
    }
    static void beginStep(TransferProgress* progress, TransferStep step, qint64 total) {
        if (progress != nullptr)
            progress->beginStep(step, total);
    }
    static void advance(TransferProgress* progress, qint64 bytes) {
        if (progress != nullptr)
            progress->advance(bytes);
    }
    static void setStoppable(TransferProgress* progress, bool stoppable) {
        if (progress != nullptr)
            progress->setStoppable(stoppable);
    }

private:
    void notify() {
        if (observer_)
            observer_(*this);
    }

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stoppable_{true};
    std::atomic<TransferStep> step_{TransferStep::Starting};
    std::atomic<qint64> done_{0};
    std::atomic<qint64> total_{0};
    Observer observer_;
};

// The size of the pieces long work is done in: the points where it reports and may stop.
inline constexpr qint64 kTransferChunkBytes = qint64(8) << 20;

} // namespace korvex::vault
