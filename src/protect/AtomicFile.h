#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace korvex::protect {

// Replaces path with bytes in one rename: everything is written to a temporary file beside the
// target, which replaces it only when every byte was written; then the folder is synced so the
// replacement survives power loss. The parent folder is created first. On failure the old file
// is left as it was.
bool writeFileAtomically(const QString& path, const QByteArray& bytes);

// Reads a whole file; nothing when it cannot be opened or read. maxBytes guards against
// reading something absurdly large where a small file is expected.
std::optional<QByteArray> readSmallFile(const QString& path, qint64 maxBytes = 16 * 1024 * 1024);

} // namespace korvex::protect
