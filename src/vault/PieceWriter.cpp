#include "vault/PieceWriter.h"

namespace korvex::vault {

PieceWriter::PieceWriter(IVaultBlockStore& store, std::size_t pieceBytes)
    : store_(store), buffers_{crypto::PlaintextBuffer(pieceBytes),
                              crypto::PlaintextBuffer(pieceBytes)} {
    thread_ = std::thread([this] { run(); });
}

PieceWriter::~PieceWriter() {
    stop();
}

std::uint8_t* PieceWriter::buffer() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || !pieces_[next_].queued; });
    return failed_ ? nullptr : buffers_[next_].storage();
}

void PieceWriter::submit(qint64 offset, std::size_t length) {
    {
        const std::lock_guard lock(mutex_);
        pieces_[next_] = Piece{offset, length, true};
        next_ = 1 - next_;
    }
    changed_.notify_all();
}

quint64 PieceWriter::waitBeyond(quint64 seen) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        return failed_ || written_ > seen || (!pieces_[0].queued && !pieces_[1].queued);
    });
    return written_;
}

bool PieceWriter::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return failed_ || (!pieces_[0].queued && !pieces_[1].queued); });
    return !failed_;
}

void PieceWriter::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PieceWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || pieces_[writing_].queued; });
        if (stopping_)
            return;
        const Piece piece = pieces_[writing_];
        lock.unlock();
        const bool ok = store_.writeAt(piece.offset, buffers_[writing_].storage(),
                                       static_cast<qint64>(piece.length));
        if (ok)
            store_.startWriteBack(piece.offset, static_cast<qint64>(piece.length));
        lock.lock();
        pieces_[writing_].queued = false;
        if (ok)
            written_ += piece.length;
        else
            failed_ = true;
        writing_ = 1 - writing_;
        changed_.notify_all();
        if (failed_)
            return;
    }
}

} // namespace korvex::vault
