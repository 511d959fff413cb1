#pragma once

#include "crypto/SecureBuffer.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Shared by the fuzz targets: a broken promise aborts with a line that names it, so that
// libFuzzer keeps the input and prints the stack.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace korvex::fuzz {

// A 32-byte key whose bytes are seed, seed + 1, ...: fixed, so that a saved input replays.
inline crypto::SecureBuffer fixedKey(std::uint8_t seed) {
    std::uint8_t bytes[32];
    for (int i = 0; i < 32; ++i)
        bytes[i] = std::uint8_t(seed + i);
    return crypto::SecureBuffer::copyOf(bytes, sizeof bytes);
}

// The process's private scratch folder (0700), removed at exit; its canonical path, so that
// what the product resolves compares equal to what the harness wrote.
inline const QString& scratchFolder() {
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/zelvora-fuzz-XXXXXX"));
    static const QString path = [] {
        if (!dir.isValid()) {
            std::fprintf(stderr, "cannot create a temporary folder\n");
            std::abort();
        }
        return QDir(dir.path()).canonicalPath();
    }();
    return path;
}

// Replaces the file at path with bytes (0600 when created); false when that fails.
inline bool writeScratchFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner) &&
           file.write(bytes) == bytes.size();
}

} // namespace korvex::fuzz
