#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace korvex::protect {

// Replaces path with bytes in one rename: everything is written to a temporary file beside the
// target, which replaces it only when every byte was written; then the folder is synced so the
// replacement survives power loss. Missing folders are created (0700); the file is 0600. On
// failure the old file is left as it was.
//
// True once the target holds the new bytes. When only the final folder sync failed the
// replacement has happened all the same, but may not survive a power loss: durable, when
// given, says which (a warning is logged either way).
bool writeFileAtomically(const QString& path, const QByteArray& bytes, bool* durable = nullptr);

// Reads a whole regular file; nothing when it cannot be opened or read, or is not a regular
// file (a FIFO, device or link). maxBytes guards against reading something absurdly large where
// a small file is expected.
std::optional<QByteArray> readSmallFile(const QString& path, qint64 maxBytes = 16 * 1024 * 1024);

} // namespace korvex::protect
