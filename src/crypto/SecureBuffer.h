#pragma once

#include <cstddef>
#include <cstdint>

namespace korvex::crypto {

// An owning byte buffer in locked, guard-paged memory that is zeroed when released and is
// registered for the crash wipe. Movable, never copied implicitly: use copyOf for a copy.
class SecureBuffer {
public:
    SecureBuffer() noexcept = default;
    // Allocates size locked bytes (none for size 0). Throws std::bad_alloc when the locked
    // allocation of a non-empty buffer fails: a buffer that silently holds no memory would be
    // one write away from a crash.
    explicit SecureBuffer(std::size_t size);
    ~SecureBuffer();

    SecureBuffer(SecureBuffer&& other) noexcept;
    SecureBuffer& operator=(SecureBuffer&& other) noexcept;
    SecureBuffer(const SecureBuffer&) = delete;
    SecureBuffer& operator=(const SecureBuffer&) = delete;

    static SecureBuffer copyOf(const void* bytes, std::size_t length);
    SecureBuffer clone() const { return copyOf(data_, size_); }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    int registrySlot() const noexcept { return registrySlot_; }

    // Constant-time comparison of contents.
    bool equals(const SecureBuffer& other) const noexcept;

private:
    void release() noexcept;

    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    int registrySlot_ = -1;
};

// The process-wide registry of live secret buffers, so that a crash handler can zero them all.
namespace SecureBufferRegistry {
inline constexpr int kCapacity = 128;
// Claims the first free slot for (address, length); -1 when all slots are taken.
int claim(void* address, std::size_t length) noexcept;
void release(int slot) noexcept;
// Number of slots currently registered; for diagnostics and tests.
int registeredCount() noexcept;
} // namespace SecureBufferRegistry

// Zeroes every registered buffer. Takes no lock and allocates nothing, so it is safe to call
// from a crash handler while other threads run.
void wipeAllSecureBuffers() noexcept;

} // namespace korvex::crypto
