#include "crypto/SecureBuffer.h"

#include "crypto/Sodium.h"

#include <sodium.h>

#include <atomic>
#include <cstring>
#include <new>
#include <utility>

namespace korvex::crypto {

namespace {

enum SlotState : std::uint32_t { kFree = 0, kClaiming = 1, kRegistered = 2 };

struct RegistrySlot {
    std::atomic<std::uint32_t> state{kFree};
    std::atomic<void*> address{nullptr};
    std::atomic<std::size_t> length{0};
};

RegistrySlot gSlots[SecureBufferRegistry::kCapacity];

} // namespace

namespace SecureBufferRegistry {

int claim(void* address, std::size_t length) noexcept {
    for (int i = 0; i < kCapacity; ++i) {
        std::uint32_t expected = kFree;
        if (gSlots[i].state.compare_exchange_strong(expected, kClaiming,
                                                    std::memory_order_acq_rel)) {
            gSlots[i].address.store(address, std::memory_order_relaxed);
            gSlots[i].length.store(length, std::memory_order_relaxed);
            gSlots[i].state.store(kRegistered, std::memory_order_release);
            return i;
        }
    }
    return -1;
}

void release(int slot) noexcept {
    if (slot >= 0 && slot < kCapacity)
        gSlots[slot].state.store(kFree, std::memory_order_release);
}

int registeredCount() noexcept {
    int count = 0;
    for (const RegistrySlot& slot : gSlots)
        count += slot.state.load(std::memory_order_acquire) == kRegistered ? 1 : 0;
    return count;
}

} // namespace SecureBufferRegistry

void wipeAllSecureBuffers() noexcept {
    for (RegistrySlot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) != kRegistered)
            continue;
        void* address = slot.address.load(std::memory_order_relaxed);
        const std::size_t length = slot.length.load(std::memory_order_relaxed);
        if (address != nullptr && length > 0)
            sodium_memzero(address, length);
    }
}

SecureBuffer::SecureBuffer(std::size_t size) : size_(size) {
    if (size == 0)
        return;
    ensureSodiumInitialised();
    data_ = static_cast<std::uint8_t*>(sodium_malloc(size));
    if (data_ == nullptr) {
        size_ = 0;
        throw std::bad_alloc();
    }
    registrySlot_ = SecureBufferRegistry::claim(data_, size_);
}

SecureBuffer::~SecureBuffer() { release(); }

SecureBuffer::SecureBuffer(SecureBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      registrySlot_(std::exchange(other.registrySlot_, -1)) {}

SecureBuffer& SecureBuffer::operator=(SecureBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        registrySlot_ = std::exchange(other.registrySlot_, -1);
    }
    return *this;
}

SecureBuffer SecureBuffer::copyOf(const void* bytes, std::size_t length) {
    SecureBuffer copy(length);
    if (length > 0)
        std::memcpy(copy.data_, bytes, length);
    return copy;
}

bool SecureBuffer::equals(const SecureBuffer& other) const noexcept {
    if (size_ != other.size_)
        return false;
    return size_ == 0 || sodium_memcmp(data_, other.data_, size_) == 0;
}

void SecureBuffer::release() noexcept {
    SecureBufferRegistry::release(registrySlot_);
    if (data_ != nullptr)
        sodium_free(data_); // zeroes and unlocks before freeing
    data_ = nullptr;
    size_ = 0;
    registrySlot_ = -1;
}

} // namespace korvex::crypto
