#pragma once

#include "vault/IVaultBlockStore.h"

#include <QString>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

// A vault address space in memory for the fuzz targets. The bytes are shared, so that a second
// store can reopen what a container left behind. A hostile header or index can ask for a read
// or write anywhere below 2^63: the store never grows past its limit, so such a request fails
// as it would on a full disk instead of allocating without bound.
namespace korvex::fuzz {

using SharedBytes = std::shared_ptr<std::vector<std::uint8_t>>;

class MemoryBlockStore final : public vault::IVaultBlockStore {
public:
    MemoryBlockStore(SharedBytes bytes, qint64 limit) : bytes_(std::move(bytes)), limit_(limit) {}

    bool exists() const override { return true; }
    bool create() override { return false; }
    bool open() override {
        open_ = true;
        return true;
    }
    void close() override { open_ = false; }
    bool isOpen() const override { return open_; }
    QString errorString() const override { return QString(); }
    bool remove() override { return false; }
    qint64 size() const override { return qint64(bytes_->size()); }
    bool resize(qint64 newSize) override {
        if (!open_ || newSize < 0 || newSize > limit_)
            return false;
        bytes_->resize(std::size_t(newSize));
        return true;
    }
    bool readAt(qint64 offset, void* buffer, qint64 length) override {
        if (!open_ || !inRange(offset, length, size()))
            return false;
        if (length > 0)
            std::memcpy(buffer, bytes_->data() + offset, std::size_t(length));
        return true;
    }
    bool writeAt(qint64 offset, const void* buffer, qint64 length) override {
        if (!open_ || !inRange(offset, length, limit_))
            return false;
        if (offset + length > size())
            bytes_->resize(std::size_t(offset + length));
        if (length > 0)
            std::memcpy(bytes_->data() + offset, buffer, std::size_t(length));
        return true;
    }
    bool flush() override { return open_; }

private:
    static bool inRange(qint64 offset, qint64 length, qint64 end) {
        return offset >= 0 && length >= 0 && offset <= end && length <= end - offset;
    }

    SharedBytes bytes_;
    qint64 limit_;
    bool open_ = false;
};

} // namespace korvex::fuzz
