#pragma once

#include "crypto/PlaintextBuffer.h"
#include "vault/IVaultBlockStore.h"

#include <QtGlobal>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

namespace korvex::vault {

// Writes pieces to a block store on a thread of its own, so that the next piece can be read
// and encrypted while the last one is being written. Two buffers take turns: the caller fills
// one while the other is written. The buffers are zeroed when the writer is destroyed.
//
// Only the writer's thread touches the store between the first submit() and drain() or
// stop(); the caller leaves the store alone until then.
class PieceWriter {
public:
    // Throws std::bad_alloc when the buffers cannot be had.
    PieceWriter(IVaultBlockStore& store, std::size_t pieceBytes);
    // Stops as stop() does.
    ~PieceWriter();
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    // A buffer of pieceBytes to fill, once the writer is done with it; null after a failed
    // write.
    std::uint8_t* buffer();
    // Queues the buffer buffer() last gave: its first length bytes go to offset.
    void submit(qint64 offset, std::size_t length);
    // Waits until more than `seen` bytes have been written, or nothing is left to write, and
    // returns how many have been.
    quint64 waitBeyond(quint64 seen);
    // Waits until everything queued has been written; false when any write failed.
    bool drain();
    // Drops what is queued and not yet started, and waits for the write in progress. The store
    // is the caller's again afterwards.
    void stop();

private:
    void run();

    IVaultBlockStore& store_;
    std::array<crypto::PlaintextBuffer, 2> buffers_;
    struct Piece {
        qint64 offset = 0;
        std::size_t length = 0;
        bool queued = false;
    };
    std::array<Piece, 2> pieces_;
    int next_ = 0;    // the buffer the caller fills next
    int writing_ = 0; // the buffer the writer takes next
    quint64 written_ = 0;
    bool failed_ = false;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

} // namespace korvex::vault
