// Opens a block device in a process of its own, so that the tests can run it as an ordinary
// user, who may not open disks and so goes through UDisks2 on the system bus:
//
//   helper_blockdevice open <system bus address> <kernel name> <device number> <app|noapp>
//       Opens /dev/<kernel name>, then writes kMarker at kMarkerOffset through the descriptor
//       and reads it back. With "app" it runs under a QCoreApplication, with "noapp" without.
//   helper_blockdevice may-open
//
// Exit status: for open, 0 when the device was opened, written and read, otherwise the
// BlockDeviceOpenError's value, or 10 when reading or writing failed; for may-open, 0 when this
// process may open disks itself, 1 when not. 20 is a usage error.

#include "platform/BlockDeviceAccess.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

using namespace korvex::platform;

namespace {

constexpr off_t kMarkerOffset = 1024 * 1024;
constexpr char kMarker[] = "written by helper_blockdevice";
constexpr int kIoFailed = 10;
constexpr int kUsage = 20;

int writeAndReadBack(int fd) {
    QByteArray sector(512, '\0');
    std::memcpy(sector.data(), kMarker, sizeof kMarker);
    if (::pwrite(fd, sector.constData(), size_t(sector.size()), kMarkerOffset) != sector.size() ||
        ::fsync(fd) != 0)
        return kIoFailed;
    QByteArray back(512, '\0');
    if (::pread(fd, back.data(), size_t(back.size()), kMarkerOffset) != back.size() ||
        back != sector)
        return kIoFailed;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "may-open") == 0)
        return mayOpenDisksDirectly() ? 0 : 1;
    if (argc != 6 || std::strcmp(argv[1], "open") != 0)
        return kUsage;
    // Before anything connects to the system bus.
    if (::setenv("DBUS_SYSTEM_BUS_ADDRESS", argv[2], 1) != 0)
        return kUsage;
    std::unique_ptr<QCoreApplication> app;
    if (std::strcmp(argv[5], "app") == 0)
        app = std::make_unique<QCoreApplication>(argc, argv);
    else if (std::strcmp(argv[5], "noapp") != 0)
        return kUsage;

    char* end = nullptr;
    const unsigned long long device = std::strtoull(argv[4], &end, 10);
    if (end == argv[4] || *end != '\0')
        return kUsage;

    BlockDeviceOpenError error = BlockDeviceOpenError::Failed;
    const int fd = openBlockDevice(QString::fromLocal8Bit(argv[3]), dev_t(device), &error);
    if (fd < 0) {
        std::fprintf(stderr, "openBlockDevice: error %d\n", int(error));
        return error == BlockDeviceOpenError::None ? kIoFailed : int(error);
    }
    if (error != BlockDeviceOpenError::None) {
        ::close(fd);
        return kIoFailed;
    }
    const int status = writeAndReadBack(fd);
    ::close(fd);
    return status;
}
