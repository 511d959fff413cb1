#pragma once

#include <QString>

namespace korvex::platform {

// Everything the program creates is its user's alone, whatever the umask: folders 0700, files
// 0600. These create and tighten; they never loosen anything.

// Creates path and every missing folder above it, each new one 0700. Folders that already
// exist are left as they are (a folder the user chose keeps its permissions). True when path
// is a folder afterwards.
bool createPrivateFolder(const QString& path);

// Takes every permission of group and others away from path (a file or folder the program
// owns), keeping the owner's. A path that belongs to someone else, or is a symbolic link, is
// left alone and reported as false; so is a failure to change it.
bool restrictToOwner(const QString& path);
// The same on an open descriptor.
bool restrictToOwner(int fileDescriptor);

// Permission bits for what the program creates.
inline constexpr unsigned kPrivateFileMode = 0600;
inline constexpr unsigned kPrivateFolderMode = 0700;

} // namespace korvex::platform
