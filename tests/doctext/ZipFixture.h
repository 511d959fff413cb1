#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <vector>
#include <zip.h>

// Archives for the document-text suites, written by libzip into memory so that the tests see
// what a real writer produces, plus helpers that patch the written bytes into hostile shapes.
namespace korvex::test {

enum class Compression { Store, Deflate, Bzip2 };

struct ZipEntry {
    QByteArray name;
    QByteArray data;
    Compression compression = Compression::Deflate;
    int level = 0; // 0: libzip's default
    bool directory = false;
    // Host system and external attributes, when the writer's defaults will not do.
    std::optional<std::pair<zip_uint8_t, zip_uint32_t>> attributes;
};

inline ZipEntry stored(const QByteArray& name, const QByteArray& data) {
    return {name, data, Compression::Store, 0, false, std::nullopt};
}

inline ZipEntry deflated(const QByteArray& name, const QByteArray& data, int level = 0) {
    return {name, data, Compression::Deflate, level, false, std::nullopt};
}

inline QByteArray buildZip(const std::vector<ZipEntry>& entries) {
    // libzip writes nothing at all for an archive without members; the format has a 22-byte
    // end record for it.
    if (entries.empty())
        return QByteArray("PK\x05\x06", 4) + QByteArray(18, '\0');
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (target == nullptr)
        qFatal("libzip: no buffer source");
    zip_source_keep(target);
    zip_t* archive = zip_open_from_source(target, ZIP_TRUNCATE, &error);
    if (archive == nullptr)
        qFatal("libzip: cannot open the buffer for writing");
    for (const ZipEntry& entry : entries) {
        zip_int64_t index = -1;
        if (entry.directory) {
            index = zip_dir_add(archive, entry.name.constData(), ZIP_FL_ENC_UTF_8);
        } else {
            // The entries outlive zip_close, so libzip may read their bytes in place.
            zip_source_t* source = zip_source_buffer(
                archive, entry.data.constData(), static_cast<zip_uint64_t>(entry.data.size()), 0);
            index = zip_file_add(archive, entry.name.constData(), source, ZIP_FL_ENC_UTF_8);
            if (index >= 0) {
                const zip_int32_t method = entry.compression == Compression::Store ? ZIP_CM_STORE
                                           : entry.compression == Compression::Bzip2
                                               ? ZIP_CM_BZIP2
                                               : ZIP_CM_DEFLATE;
                zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), method,
                                         static_cast<zip_uint32_t>(entry.level));
            }
        }
        if (index < 0)
            qFatal("libzip: cannot add %s: %s", entry.name.constData(), zip_strerror(archive));
        if (entry.attributes)
            zip_file_set_external_attributes(archive, static_cast<zip_uint64_t>(index), 0,
                                             entry.attributes->first, entry.attributes->second);
    }
    if (zip_close(archive) != 0)
        qFatal("libzip: cannot write the archive: %s", zip_strerror(archive));

    QByteArray bytes;
    zip_source_open(target);
    zip_source_seek(target, 0, SEEK_END);
    bytes.resize(static_cast<qsizetype>(zip_source_tell(target)));
    zip_source_seek(target, 0, SEEK_SET);
    if (zip_source_read(target, bytes.data(), static_cast<zip_uint64_t>(bytes.size())) !=
        bytes.size())
        qFatal("libzip: cannot read the written archive back");
    zip_source_close(target);
    zip_source_free(target);
    return bytes;
}

// Central-directory view of a written archive, read with libzip rather than the code under test.
struct StoredSizes {
    std::uint64_t compressed = 0;
    std::uint64_t uncompressed = 0;
};

inline StoredSizes storedSizes(const QByteArray& archiveBytes, const char* name) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(
        archiveBytes.constData(), static_cast<zip_uint64_t>(archiveBytes.size()), 0, &error);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (archive == nullptr)
        qFatal("libzip: cannot reopen a fixture");
    zip_stat_t st;
    if (zip_stat(archive, name, 0, &st) != 0)
        qFatal("libzip: fixture has no member %s", name);
    zip_discard(archive);
    return {st.comp_size, st.size};
}

// Offsets of one member's local header and central-directory record (archives without ZIP64).
struct EntryOffsets {
    qsizetype local = -1;
    qsizetype central = -1;
};

inline quint32 get32(const QByteArray& bytes, qsizetype at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

inline quint16 get16(const QByteArray& bytes, qsizetype at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData() + at);
    return quint16(p[0] | p[1] << 8);
}

inline void put32(QByteArray& bytes, qsizetype at, quint32 value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline EntryOffsets entryOffsets(const QByteArray& bytes, const QByteArray& name) {
    const qsizetype end = bytes.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0)
        qFatal("fixture has no end-of-central-directory record");
    qsizetype at = get32(bytes, end + 16);
    const int count = get16(bytes, end + 10);
    for (int i = 0; i < count; ++i) {
        const int nameLength = get16(bytes, at + 28);
        const int extraLength = get16(bytes, at + 30);
        const int commentLength = get16(bytes, at + 32);
        if (bytes.mid(at + 46, nameLength) == name)
            return {static_cast<qsizetype>(get32(bytes, at + 42)), at};
        at += 46 + nameLength + extraLength + commentLength;
    }
    qFatal("fixture has no member %s", name.constData());
}

// Field offsets within the local header and the central-directory record.
enum class Field { Crc, CompressedSize, UncompressedSize };

inline void patchBoth(QByteArray& bytes, const QByteArray& name, Field field, quint32 value) {
    const EntryOffsets offsets = entryOffsets(bytes, name);
    const int local = field == Field::Crc ? 14 : field == Field::CompressedSize ? 18 : 22;
    put32(bytes, offsets.local + local, value);
    put32(bytes, offsets.central + local + 2, value);
}

inline QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char& c : bytes)
        c = static_cast<char>(generator.bounded(256));
    return bytes;
}

// A python3 that can import `module`: Debian's own first, since the modules come as Debian
// packages, then whichever python3 the PATH names.
inline QString pythonWith(const QString& module) {
    QStringList candidates{QStringLiteral("/usr/bin/python3")};
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (!onPath.isEmpty())
        candidates << onPath;
    for (const QString& python : candidates) {
        if (!QFile::exists(python))
            continue;
        QProcess probe;
        probe.start(python, {QStringLiteral("-c"), QStringLiteral("import ") + module});
        if (probe.waitForFinished(30000) && probe.exitStatus() == QProcess::NormalExit &&
            probe.exitCode() == 0)
            return python;
    }
    return {};
}

// Runs `script` with the file path as its only argument and returns the file it wrote. On
// failure `whyNot` says why, for the caller's skip message.
inline std::optional<QByteArray> writtenByPython(const QString& module, const QString& script,
                                                 QString& whyNot) {
    const QString python = pythonWith(module);
    if (python.isEmpty()) {
        whyNot = QStringLiteral("no python3 with the %1 module").arg(module);
        return std::nullopt;
    }
    QTemporaryDir folder;
    if (!folder.isValid()) {
        whyNot = QStringLiteral("no temporary folder");
        return std::nullopt;
    }
    const QString path = folder.filePath(QStringLiteral("fixture"));
    QProcess process;
    process.start(python, {QStringLiteral("-c"), script, path});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        whyNot = QStringLiteral("python3 failed: ") +
                 QString::fromLocal8Bit(process.readAllStandardError());
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        whyNot = QStringLiteral("python3 wrote no file");
        return std::nullopt;
    }
    return file.readAll();
}

// Inputs that once broke the extractors, kept by the fuzzing runs.
inline QList<QByteArray> regressionInputs() {
    QList<QByteArray> inputs;
    const QDir folder(QStringLiteral(ZELVORA_DOCTEXT_REGRESSIONS));
    for (const QString& name : folder.entryList(QDir::Files, QDir::Name)) {
        QFile file(folder.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            inputs << file.readAll();
    }
    return inputs;
}

} // namespace korvex::test
