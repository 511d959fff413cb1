#pragma once

#include <QString>
#include <QtGlobal>
#include <sys/types.h>

namespace korvex::platform {

// Why openBlockDevice gave no descriptor.
enum class BlockDeviceOpenError {
    None = 0,
    NotFound = 1,      // no block device node with that name and device number
    Busy = 2,          // mounted, or held exclusively by another program (a second instance)
    NotAuthorized = 3, // this process may not open disks, and no authorisation was given (no
                       // UDisks2 on the system bus, or the administrator prompt was refused)
    Failed = 4,        // any other failure
};

// Whether this process may open block devices itself: it runs as root or in the "disk" group.
// Otherwise every open goes through UDisks2, which asks for administrator authorisation.
bool mayOpenDisksDirectly();

// Opens the whole-disk block device /dev/<kernelName> for reading and writing, exclusively
// (O_EXCL: the kernel refuses a mounted device and a second exclusive opener), close-on-exec.
// The node must be a block device whose device number is expectedDevice: a stale or replaced
// name is refused as NotFound. A process that may open disks opens it directly; otherwise, when
// UDisks2 is on the system bus, through its Block.OpenDevice call, which asks the user for
// administrator authorisation (polkit) and hands back the descriptor. A name that is not a plain
// kernel name ("", "../sda", "disk/by-id/x") is refused as NotFound. Returns the descriptor, or -1
// with error set when given.
//
// Going through UDisks2 blocks until the user has answered the prompt (for at most five
// minutes); the authentication dialog belongs to another process, so waiting on the GUI thread
// does not deadlock it, but a caller that must stay responsive calls this from a worker thread.
// No event loop or application object is needed.
int openBlockDevice(const QString& kernelName, dev_t expectedDevice,
                    BlockDeviceOpenError* error = nullptr);

} // namespace korvex::platform
