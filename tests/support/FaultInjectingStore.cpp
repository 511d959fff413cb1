#include "support/FaultInjectingStore.h"

#include <QFile>
#include <algorithm>
#include <cstring>

namespace korvex::test {

namespace {

void apply(QByteArray& image, const MutatingIo& io, qint64 bytes) {
    switch (io.kind) {
    case IoKind::Write: {
        if (bytes <= 0)
            return;
        const qint64 end = io.offset + bytes;
        if (end > image.size())
            image.resize(end, '\0');
        std::memcpy(image.data() + io.offset, io.bytes.constData(),
                    static_cast<std::size_t>(bytes));
        return;
    }
    case IoKind::Resize:
        if (bytes > 0)
            image.resize(io.offset, '\0');
        return;
    case IoKind::Flush:
        return;
    }
}

void applyWhole(QByteArray& image, const MutatingIo& io) {
    apply(image, io, io.kind == IoKind::Write ? io.bytes.size() : 1);
}

} // namespace

qint64 landedBytes(Landing landing, qint64 length) {
    switch (landing) {
    case Landing::Nothing:
        return 0;
    case Landing::FirstByte:
        return std::min<qint64>(1, length);
    case Landing::Half:
        return length / 2;
    case Landing::AllButLastByte:
        return std::max<qint64>(0, length - 1);
    case Landing::Everything:
        return length;
    }
    return 0;
}

const char* landingName(Landing landing) {
    switch (landing) {
    case Landing::Nothing:
        return "nothing";
    case Landing::FirstByte:
        return "first byte";
    case Landing::Half:
        return "half";
    case Landing::AllButLastByte:
        return "all but the last byte";
    case Landing::Everything:
        return "everything";
    }
    return "?";
}

QString MutatingIo::describe() const {
    switch (kind) {
    case IoKind::Write:
        return QStringLiteral("write of %1 bytes at %2").arg(bytes.size()).arg(offset);
    case IoKind::Resize:
        return QStringLiteral("resize to %1").arg(offset);
    case IoKind::Flush:
        return QStringLiteral("flush");
    }
    return QString();
}

// ---------------------------------------------------------------------------------------------
// FaultPlan

void FaultPlan::arm(Mode mode, int k, Landing landing) {
    mode_ = mode;
    target_ = k;
    landing_ = landing;
    log_.clear();
    fired_ = false;
    dead_ = false;
    haveDurable_ = false;
    durable_.clear();
    unflushed_.clear();
    inFlight_ = MutatingIo();
}

FaultPlan::Verdict FaultPlan::admit(const MutatingIo& io, vault::FileBlockStore& file) {
    if (dead_)
        return Verdict::Dead;
    if (mode_ == Mode::PowerLoss && !haveDurable_) {
        // Whatever is on the file before the first mutating I/O is taken as durable.
        const qint64 size = file.size();
        durable_ = QByteArray(std::max<qint64>(size, 0), '\0');
        if (size > 0)
            file.readAt(0, durable_.data(), size);
        haveDurable_ = true;
    }
    log_.append(io);
    if (mutatingIoCount() != target_)
        return Verdict::Proceed;
    fired_ = true;
    if (mode_ == Mode::Fail)
        return Verdict::Fail;
    if (mode_ == Mode::PowerLoss) {
        dead_ = true;
        inFlight_ = io;
        return Verdict::Dead;
    }
    return Verdict::Proceed;
}

void FaultPlan::completed(const MutatingIo& io, bool ok) {
    if (mode_ != Mode::PowerLoss || !ok)
        return;
    if (io.kind != IoKind::Flush) {
        unflushed_.append(io);
        return;
    }
    for (const MutatingIo& done : std::as_const(unflushed_))
        applyWhole(durable_, done);
    unflushed_.clear();
}

QList<Landing> FaultPlan::inFlightLandings() const {
    switch (inFlight_.kind) {
    case IoKind::Write: {
        // Only the landings that leave a different number of bytes behind.
        QList<Landing> landings;
        QList<qint64> seen;
        for (Landing landing : {Landing::Nothing, Landing::FirstByte, Landing::Half,
                                Landing::AllButLastByte, Landing::Everything}) {
            const qint64 bytes = landedBytes(landing, inFlight_.bytes.size());
            if (!seen.contains(bytes)) {
                seen.append(bytes);
                landings.append(landing);
            }
        }
        return landings;
    }
    case IoKind::Resize:
        return {Landing::Nothing, Landing::Everything};
    case IoKind::Flush:
        return {Landing::Nothing};
    }
    return {};
}

QByteArray FaultPlan::postCrashImage(const QList<bool>& keepUnflushed, Landing inFlight) const {
    QByteArray image = durable_;
    for (int i = 0; i < unflushed_.size(); ++i) {
        if (i < keepUnflushed.size() && keepUnflushed[i])
            applyWhole(image, unflushed_[i]);
    }
    if (inFlight_.kind == IoKind::Write)
        apply(image, inFlight_, landedBytes(inFlight, inFlight_.bytes.size()));
    else if (inFlight_.kind == IoKind::Resize)
        apply(image, inFlight_, inFlight == Landing::Nothing ? 0 : 1);
    return image;
}

bool FaultPlan::writePostCrashImage(const QString& path, const QList<bool>& keepUnflushed,
                                    Landing inFlight) const {
    if (storeOpen_ || !dead_)
        return false;
    const QByteArray image = postCrashImage(keepUnflushed, inFlight);
    // Only the blocks that differ from what the file holds are rewritten: images of one
    // operation differ in a few places, and a reader's flush then has little to push.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray current = file.readAll();
    constexpr qint64 kBlock = 4096;
    for (qint64 at = 0; at < image.size(); at += kBlock) {
        const qint64 n = std::min<qint64>(kBlock, image.size() - at);
        if (QByteArrayView(image).sliced(at, n) == current.mid(at, n))
            continue;
        if (!file.seek(at) || file.write(image.constData() + at, n) != n)
            return false;
    }
    return file.resize(image.size());
}

// ---------------------------------------------------------------------------------------------
// FaultInjectingStore

FaultInjectingStore::FaultInjectingStore(const QString& path, std::shared_ptr<FaultPlan> plan)
    : file_(path), plan_(std::move(plan)) {}

FaultInjectingStore::~FaultInjectingStore() {
    close();
}

bool FaultInjectingStore::create() {
    if (plan_->dead_)
        return false;
    plan_->storeOpen_ = file_.create();
    return plan_->storeOpen_;
}

bool FaultInjectingStore::open() {
    if (plan_->dead_)
        return false;
    plan_->storeOpen_ = file_.open();
    return plan_->storeOpen_;
}

// Closing stays possible after a power loss: it stands for the process letting go of the file.
void FaultInjectingStore::close() {
    file_.close();
    plan_->storeOpen_ = false;
}

bool FaultInjectingStore::remove() {
    if (plan_->dead_)
        return false;
    plan_->storeOpen_ = false;
    return file_.remove();
}

qint64 FaultInjectingStore::size() const {
    return plan_->dead_ ? -1 : file_.size();
}

bool FaultInjectingStore::readAt(qint64 offset, void* buffer, qint64 length) {
    return !plan_->dead_ && file_.readAt(offset, buffer, length);
}

bool FaultInjectingStore::resize(qint64 newSize) {
    const MutatingIo io{IoKind::Resize, newSize, QByteArray()};
    if (plan_->admit(io, file_) != FaultPlan::Verdict::Proceed)
        return false;
    const bool ok = file_.resize(newSize);
    plan_->completed(io, ok);
    return ok;
}

bool FaultInjectingStore::writeAt(qint64 offset, const void* buffer, qint64 length) {
    const MutatingIo io{IoKind::Write, offset,
                        QByteArray(static_cast<const char*>(buffer), std::max<qint64>(length, 0))};
    switch (plan_->admit(io, file_)) {
    case FaultPlan::Verdict::Dead:
        return false;
    case FaultPlan::Verdict::Fail: {
        const qint64 landed = landedBytes(plan_->landing_, length);
        if (landed > 0)
            file_.writeAt(offset, buffer, landed);
        return false;
    }
    case FaultPlan::Verdict::Proceed:
        break;
    }
    const bool ok = file_.writeAt(offset, buffer, length);
    plan_->completed(io, ok);
    return ok;
}

bool FaultInjectingStore::flush() {
    const MutatingIo io{IoKind::Flush, 0, QByteArray()};
    if (plan_->admit(io, file_) != FaultPlan::Verdict::Proceed)
        return false;
    const bool ok = file_.flush();
    plan_->completed(io, ok);
    return ok;
}

} // namespace korvex::test
