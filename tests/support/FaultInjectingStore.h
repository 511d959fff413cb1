#pragma once

#include "vault/FileBlockStore.h"
#include "vault/IVaultBlockStore.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <memory>

namespace korvex::test {

// How much of a write reached the medium: nothing, a prefix of it, or all of it.
enum class Landing { Nothing, FirstByte, Half, AllButLastByte, Everything };
qint64 landedBytes(Landing landing, qint64 length);
const char* landingName(Landing landing);

// The mutating I/Os a store sees: writeAt, resize and flush.
enum class IoKind { Write, Resize, Flush };

struct MutatingIo {
    IoKind kind = IoKind::Flush;
    qint64 offset = 0; // write: where it starts; resize: the new size
    QByteArray bytes;  // write: what it writes
    QString describe() const;
};

// What a FaultInjectingStore is told to do, and what it saw. The test keeps the plan; the store
// only holds a share of it, so the record outlives the store when a container destroys it.
//
// Counting starts at every arming; the k-th mutating I/O is counted from 1.
//  - countOnly: every call passes through; mutatingIoCount() says how many crash points the
//    operation that ran has.
//  - armFailure(k, landing): the k-th mutating I/O returns false without reaching the file,
//    except that for a write the prefix given by landing is written first. Every other call
//    passes through.
//  - armPowerLoss(k): calls pass through until the k-th mutating I/O, which never reaches the
//    file; from then on every call that can fail does (create, open, remove, size, readAt,
//    resize, writeAt, flush), while close still lets go of the file. Meanwhile the plan models the
//    medium: whatever the file held when the first mutating I/O after arming arrived counts as
//    durable, a successful flush makes every write and resize before it durable, and the writes and
//    resizes since the last flush are kept in order. After the store is closed,
//    writePostCrashImage() replaces the file with one possible content after the power loss.
class FaultPlan {
public:
    void countOnly() { arm(Mode::CountOnly, 0, Landing::Nothing); }
    void armFailure(int k, Landing landing = Landing::Nothing) { arm(Mode::Fail, k, landing); }
    void armPowerLoss(int k) { arm(Mode::PowerLoss, k, Landing::Nothing); }

    int mutatingIoCount() const { return static_cast<int>(log_.size()); }
    // Every mutating I/O since arming, in order, the faulted one included.
    const QList<MutatingIo>& ioLog() const { return log_; }
    // The armed failure or power loss has happened.
    bool fired() const { return fired_; }

    // After a power loss: the writes and resizes that were done but not yet flushed, the I/O
    // that was under way when the power went, and the ways it can have landed (a resize either
    // happened or not; a flush leaves nothing of its own).
    int unflushedCount() const { return static_cast<int>(unflushed_.size()); }
    const MutatingIo& inFlight() const { return inFlight_; }
    QList<Landing> inFlightLandings() const;

    // The durable image, then the unflushed I/Os whose keep flag is set, in their original
    // order, then the in-flight I/O as far as it landed.
    QByteArray postCrashImage(const QList<bool>& keepUnflushed, Landing inFlight) const;
    // Writes that image over path. Refused (false) while the store is still open, and before
    // a power loss happened.
    bool writePostCrashImage(const QString& path, const QList<bool>& keepUnflushed,
                             Landing inFlight) const;

private:
    friend class FaultInjectingStore;
    enum class Mode { CountOnly, Fail, PowerLoss };
    enum class Verdict { Proceed, Fail, Dead };

    void arm(Mode mode, int k, Landing landing);
    // Called by the store before a mutating I/O reaches the file.
    Verdict admit(const MutatingIo& io, vault::FileBlockStore& file);
    // Called by the store after a mutating I/O that was let through.
    void completed(const MutatingIo& io, bool ok);

    Mode mode_ = Mode::CountOnly;
    int target_ = 0;
    Landing landing_ = Landing::Nothing;
    QList<MutatingIo> log_;
    bool fired_ = false;
    bool dead_ = false;
    bool storeOpen_ = false;
    bool haveDurable_ = false;
    QByteArray durable_;
    QList<MutatingIo> unflushed_;
    MutatingIo inFlight_;
};

// An IVaultBlockStore over a real FileBlockStore at path that injects the faults its plan is
// armed with.
class FaultInjectingStore final : public vault::IVaultBlockStore {
public:
    FaultInjectingStore(const QString& path, std::shared_ptr<FaultPlan> plan);
    ~FaultInjectingStore() override;

    bool exists() const override { return file_.exists(); }
    bool create() override;
    bool open() override;
    void close() override;
    bool isOpen() const override { return file_.isOpen(); }
    QString errorString() const override { return file_.errorString(); }
    bool remove() override;
    qint64 size() const override;
    bool resize(qint64 newSize) override;
    bool readAt(qint64 offset, void* buffer, qint64 length) override;
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override;
    bool flush() override;
    std::optional<platform::FileIdentity> backingFile() const override {
        return file_.backingFile();
    }

private:
    vault::FileBlockStore file_;
    std::shared_ptr<FaultPlan> plan_;
};

} // namespace korvex::test
