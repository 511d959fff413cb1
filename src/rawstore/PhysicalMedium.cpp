#include "rawstore/PhysicalMedium.h"

#include "rawstore/PhysicalDisks.h"

#include <cerrno>
#include <chrono>
#include <limits>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace korvex::rawstore {

namespace {

constexpr quint64 kMaxOffset = quint64(std::numeric_limits<off_t>::max());

bool inRange(quint64 offset, quint64 length) {
    return offset <= kMaxOffset && length <= kMaxOffset - offset;
}

} // namespace

PhysicalDiskMedium::PhysicalDiskMedium(const DiskInfo& disk, quint64 size, quint32 sectorSize)
    : kernelName_(disk.kernelName), device_(disk.device), size_(size), sectorSize_(sectorSize) {}

PhysicalDiskMedium::~PhysicalDiskMedium() {
    close();
}

bool PhysicalDiskMedium::open(platform::BlockDeviceOpenError* error) {
    close();
    if (kernelName_.isEmpty() || device_ == 0) {
        if (error)
            *error = platform::BlockDeviceOpenError::NotFound;
        return false;
    }
    fd_ = platform::openBlockDevice(kernelName_, device_, error);
    return fd_ >= 0;
}

bool PhysicalDiskMedium::lockAgainstPartitioning() {
    if (!isOpen())
        return false;
    // udev holds the lock shared for a moment while it looks at a disk that just changed: a
    // holder that lets go within a few seconds is waited for.
    constexpr int kAttempts = 60;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

DiskRecheck PhysicalDiskMedium::recheck(const DiskInfo& disk, DiskInfo* now) const {
    if (!isOpen())
        return DiskRecheck::NotTheDisk;
    return recheckOpenDisk(fd_, disk, now);
}

void PhysicalDiskMedium::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool PhysicalDiskMedium::readAt(quint64 offset, void* buffer, quint64 length) {
    if (!isOpen() || !inRange(offset, length))
        return false;
    auto* out = static_cast<unsigned char*>(buffer);
    quint64 done = 0;
    while (done < length) {
        const ssize_t got = ::pread(fd_, out + done, size_t(length - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += quint64(got);
    }
    return true;
}

bool PhysicalDiskMedium::writeAt(quint64 offset, const void* buffer, quint64 length) {
    if (!isOpen() || !inRange(offset, length))
        return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    quint64 done = 0;
    while (done < length) {
        const ssize_t put = ::pwrite(fd_, in + done, size_t(length - done), off_t(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += quint64(put);
    }
    while (::fdatasync(fd_) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

} // namespace korvex::rawstore
