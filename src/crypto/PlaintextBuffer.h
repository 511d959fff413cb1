#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvex::crypto {

// An owning buffer for large decrypted content (a whole stored file): page-aligned anonymous
// memory of a fixed capacity, kept out of core dumps, registered for the crash wipe and zeroed
// before it is unmapped. Unlike SecureBuffer it is not locked: a file can be far larger than
// the locked-memory limit. Regions of 2 MiB and more ask for transparent huge pages, so that
// filling them costs a few hundred page faults instead of one per 4 KiB.
//
// The content is a view (offset, size) into the allocation, so that a record can be read into
// the buffer and decrypted where it lies, and the plaintext exposed without another copy.
// data() and size() describe the view; a new buffer's view is the whole capacity.
class PlaintextBuffer {
public:
    PlaintextBuffer() noexcept = default;
    // Maps capacity bytes (none for 0). Throws std::bad_alloc when a non-empty mapping fails.
    explicit PlaintextBuffer(std::size_t capacity);
    ~PlaintextBuffer();

    PlaintextBuffer(PlaintextBuffer&& other) noexcept;
    PlaintextBuffer& operator=(PlaintextBuffer&& other) noexcept;
    PlaintextBuffer(const PlaintextBuffer&) = delete;
    PlaintextBuffer& operator=(const PlaintextBuffer&) = delete;

    // The whole allocation, whatever the view.
    std::uint8_t* storage() noexcept { return base_; }
    const std::uint8_t* storage() const noexcept { return base_; }
    std::size_t capacity() const noexcept { return capacity_; }

    // Throws std::out_of_range unless [offset, offset + size) lies within the capacity.
    void setView(std::size_t offset, std::size_t size);
    std::size_t viewOffset() const noexcept { return viewOffset_; }

    std::uint8_t* data() noexcept { return base_ == nullptr ? nullptr : base_ + viewOffset_; }
    const std::uint8_t* data() const noexcept {
        return base_ == nullptr ? nullptr : base_ + viewOffset_;
    }
    std::size_t size() const noexcept { return viewSize_; }
    std::span<const std::uint8_t> bytes() const noexcept { return {data(), viewSize_}; }
    // True when the buffer holds no allocation. A buffer whose view is empty (an empty file)
    // still owns its memory and is not empty in this sense.
    bool empty() const noexcept { return base_ == nullptr; }
    int registrySlot() const noexcept { return registrySlot_; }

private:
    void release() noexcept;

    std::uint8_t* base_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t mappedLength_ = 0;
    std::size_t viewOffset_ = 0;
    std::size_t viewSize_ = 0;
    int registrySlot_ = -1;
};

} // namespace korvex::crypto
