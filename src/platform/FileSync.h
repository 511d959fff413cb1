#pragma once

#include <QString>

namespace korvex::platform {

// Durability barriers. Each returns true only when the kernel confirmed that what was written
// before the call has reached the device.

// Flushes the data (and the metadata needed to read it back, such as the length) of an open
// file descriptor.
bool syncFileData(int fileDescriptor);
// Flushes a folder's entries, so that a file created, renamed or deleted in it stays so after
// power loss.
bool syncFolder(const QString& folderPath);
// syncFolder on the folder holding filePath.
bool syncParentFolder(const QString& filePath);

} // namespace korvex::platform
