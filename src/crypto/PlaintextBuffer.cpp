#include "crypto/PlaintextBuffer.h"

#include "crypto/SecureBuffer.h"
#include "crypto/Sodium.h"

#include <new>
#include <sodium.h>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace korvex::crypto {

namespace {

constexpr std::size_t kHugePageBytes = std::size_t(2) * 1024 * 1024;

std::size_t roundUp(std::size_t value, std::size_t multiple) {
    const std::size_t rounded = (value + multiple - 1) / multiple * multiple;
    if (rounded < value)
        throw std::bad_alloc();
    return rounded;
}

} // namespace

PlaintextBuffer::PlaintextBuffer(std::size_t capacity) {
    if (capacity == 0)
        return;
    ensureSodiumInitialised();
    const bool huge = capacity >= kHugePageBytes;
    // A whole number of huge pages lets the kernel place a large region on a huge-page
    // boundary; the part past the capacity is never touched, so it costs no memory.
    const std::size_t length = roundUp(
        capacity, huge ? kHugePageBytes : static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
    void* address =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        throw std::bad_alloc();
    // The buffer works without either advice: without huge pages it is only slower to fill,
    // and MADV_DONTDUMP has been there since Linux 3.4.
    if (huge)
        (void)::madvise(address, length, MADV_HUGEPAGE);
    (void)::madvise(address, length, MADV_DONTDUMP);

    base_ = static_cast<std::uint8_t*>(address);
    capacity_ = capacity;
    mappedLength_ = length;
    viewSize_ = capacity;
    registrySlot_ = SecureBufferRegistry::claim(base_, capacity_);
}

PlaintextBuffer::~PlaintextBuffer() {
    release();
}

PlaintextBuffer::PlaintextBuffer(PlaintextBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)), capacity_(std::exchange(other.capacity_, 0)),
      mappedLength_(std::exchange(other.mappedLength_, 0)),
      viewOffset_(std::exchange(other.viewOffset_, 0)),
      viewSize_(std::exchange(other.viewSize_, 0)),
      registrySlot_(std::exchange(other.registrySlot_, -1)) {}

PlaintextBuffer& PlaintextBuffer::operator=(PlaintextBuffer&& other) noexcept {
    if (this != &other) {
        release();
        base_ = std::exchange(other.base_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
        mappedLength_ = std::exchange(other.mappedLength_, 0);
        viewOffset_ = std::exchange(other.viewOffset_, 0);
        viewSize_ = std::exchange(other.viewSize_, 0);
        registrySlot_ = std::exchange(other.registrySlot_, -1);
    }
    return *this;
}

void PlaintextBuffer::setView(std::size_t offset, std::size_t size) {
    if (offset > capacity_ || size > capacity_ - offset)
        throw std::out_of_range("PlaintextBuffer::setView: the view must lie within the capacity");
    viewOffset_ = offset;
    viewSize_ = size;
}

void PlaintextBuffer::release() noexcept {
    // Zeroed while still registered, and out of the registry before the unmap, so that a crash
    // wipe at any point here finds either live memory or no slot.
    if (base_ != nullptr)
        sodium_memzero(base_, capacity_);
    SecureBufferRegistry::release(registrySlot_);
    if (base_ != nullptr)
        ::munmap(base_, mappedLength_);
    base_ = nullptr;
    capacity_ = 0;
    mappedLength_ = 0;
    viewOffset_ = 0;
    viewSize_ = 0;
    registrySlot_ = -1;
}

} // namespace korvex::crypto
