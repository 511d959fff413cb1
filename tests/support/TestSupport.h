#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace korvex::test {

// Writes bytes to path, creating or replacing it.
bool writeFile(const QString& path, const QByteArray& bytes);
QByteArray readWholeFile(const QString& path);
// Reads length bytes at offset (fewer at the end of the file).
QByteArray readFileRange(const QString& path, qint64 offset, qint64 length);
// Overwrites bytes in place at offset, growing the file if needed.
bool patchFile(const QString& path, qint64 offset, const QByteArray& bytes);
// The bytes of a buffer (SecureBuffer, PlaintextBuffer, Bytes) as a QByteArray, for comparing.
template <typename Buffer> QByteArray bytesOf(const Buffer& buffer) {
    return QByteArray(reinterpret_cast<const char*>(buffer.data()), qsizetype(buffer.size()));
}
// A secure buffer holding a copy of bytes.
inline crypto::SecureBuffer secureBufferOf(const QByteArray& bytes) {
    return crypto::SecureBuffer::copyOf(bytes.constData(), std::size_t(bytes.size()));
}
// Flips every bit of the byte at offset.
bool flipByte(const QString& path, qint64 offset);
// The permission bits of path itself (a final link is not followed); -1 when it cannot be
// examined.
int modeOf(const QString& path);
bool setMode(const QString& path, unsigned mode);

} // namespace korvex::test
