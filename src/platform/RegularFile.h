#pragma once

#include <QString>
#include <QtGlobal>
#include <cstddef>
#include <optional>

namespace korvex::platform {

// Paths handed to us by the user or found on disk can name a FIFO, a device or a symbolic link
// where a file is expected. Opening a FIFO blocks until a writer appears, reading a device may
// never end, and a link can point anywhere; so every such path is opened through these.

// Why openRegularFile refused.
enum class RegularFileError {
    None = 0,
    Missing = 1,    // nothing at the path (or a folder on the way is missing)
    NotRegular = 2, // a folder, FIFO, socket, device or symbolic link
    Denied = 3,     // no permission
    Failed = 4,     // any other failure of the system call
};

// Opens path (read-only, or read-write with forWriting) without following a symbolic link in
// its last component and without blocking on a FIFO; returns the descriptor (close-on-exec,
// blocking again) only when it is a regular file. -1 otherwise, with error set when given.
int openRegularFile(const QString& path, bool forWriting = false,
                    RegularFileError* error = nullptr);

// Opens path for writing as a regular file of the user's: created 0600 when missing (*created
// then set), never through a symbolic link, never a FIFO, device or folder (and without blocking
// on a FIFO). extraFlags adds O_APPEND or O_TRUNC; the content is otherwise left as it is. The
// descriptor (close-on-exec, blocking) or -1, with error set when given.
int openRegularFileForWriting(const QString& path, int extraFlags = 0, bool* created = nullptr,
                              RegularFileError* error = nullptr);

// Whole transfers on a descriptor, retried across interruptions: false on an error or, for a
// read, an end of file before length bytes.
bool readFully(int fileDescriptor, void* buffer, std::size_t length);
bool writeFully(int fileDescriptor, const void* buffer, std::size_t length);
// Whether the next read finds the end of the file (nothing more to read).
bool atEndOfFile(int fileDescriptor);

// Whether path itself (a final link is not followed) is a regular file.
bool isRegularFile(const QString& path);

// The identity of a file on this machine: two paths or descriptors name the same file exactly
// when their identities are equal (hard links included).
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

std::optional<FileIdentity> identityOf(int fileDescriptor);
// Follows links: the identity of the file the path finally leads to.
std::optional<FileIdentity> identityOfPath(const QString& path);

} // namespace korvex::platform
